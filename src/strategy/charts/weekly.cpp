// The weekly net value figure: net values sampled each Friday, their
// drawdowns and the yearly metrics table.
#include <vector>

#include "kernels/cumulative.hpp"
#include "strategy/charts/draw.hpp"

namespace mirtaly::strategy::charts {

using namespace interop;
using namespace nb::literals;

namespace {

// Everything that differs between the tall and the wide page.
struct WeeklyLayout {
    Page page;
    Cell nav, drawdown, yearly_table;
    double title_size, title_y, drawdown_title_size;
    int drawdown_legend_columns;
    bool compact_table;
};

// clang-format off
const WeeklyLayout& layout_for(bool is_long) {
    static const WeeklyLayout tall{
        .page = {.width = 15.5, .height = 12.4, .columns = 1,
                 .height_ratios = {3.1, 1.45, 1.9}, .width_ratios = {},
                 .hspace = 0.34, .wspace = std::nullopt,
                 .margins = {0.065, 0.965, 0.94, 0.055}, .margins_on_grid = false, .dpi = 145},
        .nav = {0, 0, 1}, .drawdown = {1, 0, 1}, .yearly_table = {2, 0, 1},
        // 0.985 rather than 0.975: lower, the title's descenders touch the
        // first panel's title.
        .title_size = 16, .title_y = 0.985, .drawdown_title_size = 12,
        .drawdown_legend_columns = 3, .compact_table = false};
    static const WeeklyLayout wide{
        .page = {.width = 18.8, .height = 8.6, .columns = 2,
                 .height_ratios = {2.35, 1.55}, .width_ratios = {2.55, 1.2},
                 .hspace = 0.26, .wspace = 0.16,
                 .margins = {0.055, 0.985, 0.9, 0.08}, .margins_on_grid = true, .dpi = 170},
        .nav = {0, 0, 2}, .drawdown = {1, 0, 1}, .yearly_table = {1, 1, 2},
        .title_size = 15, .title_y = 0.965, .drawdown_title_size = 11,
        .drawdown_legend_columns = 1, .compact_table = true};
    return is_long ? tall : wide;
}
// clang-format on

std::vector<double> values_below_peak(nb::handle frame, const char* name) {
    auto held = float_column(column(frame, name));
    std::vector<double> out(held.view.size);
    kernels::below_expanding_max(held.view, out);
    return out;
}

}  // namespace

void plot_weekly_net_value_unlocked(nb::handle total, nb::handle strategy_name,
                                    nb::handle plot_title, nb::handle save_path,
                                    nb::handle image_kind, nb::handle benchmark_name) {
    const FigureArgs args =
        figure_args(total, strategy_name, plot_title, save_path, image_kind, benchmark_name);

    const Pyplot py = begin_drawing();
    nb::object weekly = build_weekly_net_value_frame(args.total);
    if (is_empty(weekly)) return;

    nb::object daily = select_columns(attr_of(kModule, "_with_datetime_index")(args.total),
                                      {"daily_return", "index_daily_return", "extra_daily_return"});
    nb::object yearly_metrics = calc_yearly_performance_metrics(daily);
    nb::object weeks = index_of(weekly);
    nb::object strategy_nav = column(weekly, "long"),
               benchmark_nav = column(weekly, "close_net_value"),
               excess_nav = column(weekly, "extra_net_value");
    const auto strategy_dd = values_below_peak(weekly, "long");
    const auto benchmark_dd = values_below_peak(weekly, "close_net_value");
    const auto excess_dd = values_below_peak(weekly, "extra_net_value");
    const WeeklyLayout& l = layout_for(args.is_long);

    Figure fig(py, l.page);
    nb::object ax_nav = fig.panel(l.nav);
    nb::object ax_dd = fig.panel(l.drawdown, ax_nav);
    nb::object ax_table = fig.panel(l.yearly_table);

    fig.title(args.title + " | Benchmark " + args.benchmark + " | Weekly Net Value", l.title_size,
              l.title_y);

    ax_nav.attr("plot")(weeks, strategy_nav, "color"_a = colour::kStrategy, "linewidth"_a = 2.4,
                        "label"_a = "Strategy");
    ax_nav.attr("plot")(weeks, benchmark_nav, "color"_a = colour::kBenchmark, "linewidth"_a = 1.8,
                        "linestyle"_a = "--", "label"_a = args.benchmark);
    ax_nav.attr("plot")(weeks, excess_nav, "color"_a = colour::kExcess, "linewidth"_a = 2.0,
                        "alpha"_a = 0.92, "label"_a = "Excess");
    horizontal_line(ax_nav, 1.0, 0.9);
    ax_nav.attr("set_ylabel")("Net Value");
    ax_nav.attr("set_title")("Weekly Net Value");
    legend(ax_nav, {ax_nav}, "best");

    ax_dd.attr("fill_between")(weeks, 0.0, array_of(strategy_dd), "color"_a = colour::kStrategyFill,
                               "alpha"_a = 0.58, "label"_a = "Strategy Drawdown");
    ax_dd.attr("plot")(weeks, array_of(benchmark_dd), "color"_a = colour::kBenchmark,
                       "linewidth"_a = 1.25, "alpha"_a = 0.76,
                       "label"_a = args.benchmark + " Drawdown");
    ax_dd.attr("plot")(weeks, array_of(excess_dd), "color"_a = colour::kExcess,
                       "linewidth"_a = 1.45, "alpha"_a = 0.86, "label"_a = "Excess Drawdown");
    horizontal_line(ax_dd, 0.0, 0.8);
    ax_dd.attr("set_title")("Weekly Drawdown", "fontsize"_a = l.drawdown_title_size);
    ax_dd.attr("set_ylabel")("Drawdown");
    percent_axis(py, ax_dd);
    legend(ax_dd, {ax_dd}, "lower left", 0.0, l.drawdown_legend_columns);

    draw_yearly_metrics_table(ax_table, yearly_metrics, nb::bool_(l.compact_table));
    for (nb::handle ax : {ax_nav.ptr(), ax_dd.ptr()}) house_grid(ax);
    fig.save_and_close(args.save_path);
}

nb::dict plot_weekly_net_value(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                               nb::handle save_path, nb::handle image_kind,
                               nb::handle benchmark_name) {
    {
        PlotLock lock;
        attr_of(kModule, "_plot_weekly_net_value_unlocked")(
            "total"_a = total, "strategy_name"_a = strategy_name, "plot_title"_a = plot_title,
            "save_path"_a = save_path, "image_kind"_a = image_kind,
            "benchmark_name"_a = benchmark_name);
    }
    nb::dict out;
    out["weekly_net_value"] = nb::str(save_path);
    return out;
}

}  // namespace mirtaly::strategy::charts
