// The report figures of a strategy backtest, as _ravelin exposes them.
#pragma once

#include <string>

#include "strategy/strategy.hpp"

namespace mirtaly::strategy::charts {

// ---- number formatting ----------------------------------------------------

// Fixed-point text of a number, "--" for a missing value (None, NaN, NA, NaT).
std::string format_num(nb::handle value, nb::handle digits);
// A ratio as percent (0.05 -> "5.00%").
std::string format_pct(nb::handle value, nb::handle digits);
// Percentage points as percent (5.0 -> "5.00%").
std::string format_pct_points(nb::handle value, nb::handle digits);
// "2021: 5.12% | 2023: -3.10%" over (year, ratio) items in stored order.
std::string format_annual_excess(nb::handle annual_excess);

// ---- style and tables -----------------------------------------------------

void configure_strategy_plot_style(nb::handle plt);
void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics, nb::handle compact);

// ---- figures --------------------------------------------------------------

void plot_strategy_performance_unlocked(nb::handle total, nb::handle stats,
                                        nb::handle strategy_name, nb::handle plot_title,
                                        nb::handle save_path, nb::handle image_kind,
                                        nb::handle benchmark_name, nb::handle rolling_window);
nb::dict plot_strategy_performance(nb::handle total, nb::handle stats, nb::handle strategy_name,
                                   nb::handle plot_title, nb::handle save_path,
                                   nb::handle image_kind, nb::handle benchmark_name,
                                   nb::handle rolling_window);

void plot_weekly_net_value_unlocked(nb::handle total, nb::handle strategy_name,
                                    nb::handle plot_title, nb::handle save_path,
                                    nb::handle image_kind, nb::handle benchmark_name);
nb::dict plot_weekly_net_value(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                               nb::handle save_path, nb::handle image_kind,
                               nb::handle benchmark_name);

// The group backtest figure of one benchmark (drawn for the SDK's group core).
void plot_group_backtest_unlocked(nb::handle excess_cumulative, nb::handle annual_return,
                                  nb::handle benchmark_annual_return, nb::handle rank_ic,
                                  nb::handle stats, nb::handle factor_name, nb::handle plot_title,
                                  nb::handle save_path, nb::handle image_kind,
                                  nb::handle benchmark_name);
nb::dict plot_group_backtest(nb::handle excess_cumulative, nb::handle annual_return,
                             nb::handle benchmark_annual_return, nb::handle rank_ic,
                             nb::handle stats, nb::handle factor_name, nb::handle plot_title,
                             nb::handle save_path, nb::handle image_kind,
                             nb::handle benchmark_name);

}  // namespace mirtaly::strategy::charts
