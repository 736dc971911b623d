// The strategy backtest core of _ravelin, as Python sees it.
#pragma once

#include <functional>

#include "interop/interop.hpp"
#include "kernels/simulation.hpp"

namespace mirtaly::strategy {

inline constexpr int kTradingDaysPerYear = 252;
// Window of the rolling excess-stability panel, and its floor for short runs.
inline constexpr int kRollingStabilityDays = 60;
inline constexpr int kMinRollingStabilityDays = 5;
inline constexpr const char* kModule = "mirtaly.backtest._ravelin";

nb::object calc_strategy_vwap_daily_return(nb::handle signal_matrix, nb::handle can_buy_stock,
                                           nb::handle cant_sell_stock, nb::handle split_factor,
                                           nb::handle dividend_factor, nb::handle close_price,
                                           nb::handle prev_close, nb::handle buy_price,
                                           nb::handle sell_price, nb::handle total_money,
                                           nb::handle fee, nb::handle rule_fee,
                                           nb::handle lot_size);

// The market of a simulation, aligned to its trading days and stocks.
using MarketAligner =
    std::function<interop::AlignedMarket(nb::handle pnl_index, nb::handle columns, std::size_t n_days)>;
// calc_strategy_vwap_daily_return on checked arguments, with the market
// aligned by `align`.
nb::object simulate_daily_return(nb::handle signal_matrix, const kernels::VwapCosts& costs,
                                 const MarketAligner& align);

nb::object run_strategy_backtest_core(
    nb::handle strategy_matrix, nb::handle can_buy_stock, nb::handle cant_sell_stock,
    nb::handle split_factor, nb::handle dividend_factor, nb::handle close_price,
    nb::handle prev_close, nb::handle buy_price, nb::handle sell_price, nb::handle benchmark_dict,
    nb::handle benchmark_names, nb::handle rolling_window, nb::handle total_money, nb::handle fee,
    nb::handle rule_fee, nb::handle plot_image_kind, nb::handle plot_save_path,
    nb::handle strategy_name, nb::handle plot_title);
nb::object smooth_strategy_weights(nb::handle strategy_matrix, nb::handle rolling_window);
// The _RavelinResult data class, made once when the module loads.
nb::object ravelin_result_class();

nb::object build_total_backtesting_frame(nb::handle total_backtesting);
nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df);

nb::tuple period_return_drawdown_calmar(nb::handle daily_return);
nb::object calc_yearly_performance_metrics(nb::handle daily);
nb::object build_weekly_net_value_frame(nb::handle total);

// safe_sharpe as bound in _ravelin (looked up per call, so it stays replaceable).
nb::object sharpe(nb::handle returns);
nb::object sharpe(nb::handle returns, int periods);

}  // namespace mirtaly::strategy
