// The main report figure: metric cards, cumulative and excess returns with
// their drawdowns, yearly bars, rolling stability, drawdowns, the summary
// table and the yearly metrics table.
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "kernels/calendar.hpp"
#include "kernels/cumulative.hpp"
#include "kernels/rolling.hpp"
#include "kernels/statistics.hpp"
#include "strategy/charts/draw.hpp"

namespace mirtaly::strategy::charts {

using namespace interop;
using namespace nb::literals;

namespace {

using Vec = std::vector<double>;

constexpr double kBarWidth = 0.26;

struct LegendSizes {
    double cumulative, excess, yearly, rolling, drawdown;
};

// Everything that differs between the tall and the wide page.
struct PerformanceLayout {
    Page page;
    double title_size, title_y;
    double card_value_size, card_label_size;
    double panel_title_size, twin_label_size;
    LegendSizes legend;
    double bar_label_size;
    double tick_rotation;
    const char* tick_align;
    std::array<double, 2> summary_widths;
    double summary_font_size, summary_row_scale;
    bool compact_table;
    Cell cards, cumulative, excess, yearly, rolling, drawdown, summary, yearly_table;
};

// clang-format off
const PerformanceLayout& layout_for(bool is_long) {
    static const PerformanceLayout tall{
        .page = {.width = 15.5, .height = 34.0, .columns = 2,
                 .height_ratios = {0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0}, .width_ratios = {},
                 .hspace = 0.42, .wspace = 0.22,
                 .margins = {0.06, 0.94, 0.965, 0.035}, .margins_on_grid = false, .dpi = 145},
        .title_size = 17, .title_y = 0.986,
        .card_value_size = 13.0, .card_label_size = 8.5,
        .panel_title_size = 12.5, .twin_label_size = 10,
        .legend = {9.0, 9.0, 9.0, 9.0, 9.0},
        .bar_label_size = 8.2, .tick_rotation = 45, .tick_align = "right",
        .summary_widths = {0.26, 0.74}, .summary_font_size = 9.4, .summary_row_scale = 1.28,
        .compact_table = false,
        .cards = {0, 0, 2}, .cumulative = {1, 0, 2}, .excess = {2, 0, 2}, .yearly = {3, 0, 1},
        .rolling = {3, 1, 2}, .drawdown = {4, 0, 2}, .summary = {5, 0, 2},
        .yearly_table = {6, 0, 2}};
    static const PerformanceLayout wide{
        .page = {.width = 21.5, .height = 12.6, .columns = 3,
                 .height_ratios = {0.78, 2.75, 2.35, 1.95}, .width_ratios = {1.12, 1.12, 1.0},
                 .hspace = 0.3, .wspace = 0.24,
                 .margins = {0.045, 0.955, 0.915, 0.045}, .margins_on_grid = true, .dpi = 165},
        .title_size = 15, .title_y = 0.975,
        .card_value_size = 12.2, .card_label_size = 8,
        .panel_title_size = 11.5, .twin_label_size = 9,
        .legend = {8.2, 8.0, 8.0, 7.8, 8.0},
        .bar_label_size = 7.6, .tick_rotation = 0, .tick_align = "center",
        .summary_widths = {0.4, 0.6}, .summary_font_size = 8.6, .summary_row_scale = 1.18,
        .compact_table = true,
        .cards = {0, 0, 3}, .cumulative = {1, 0, 2}, .excess = {1, 2, 3}, .yearly = {2, 0, 1},
        .rolling = {2, 1, 2}, .drawdown = {2, 2, 3}, .summary = {3, 0, 1},
        .yearly_table = {3, 1, 3}};
    return is_long ? tall : wide;
}
// clang-format on

Vec values_of(nb::handle frame, const char* name) {
    auto held = float_column(column(frame, name));
    Vec out(held.view.size);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = held.view[i];
    return out;
}

Vec shifted(Vec v, double delta) {
    for (double& x : v) x += delta;
    return v;
}

Vec below_peak(const Vec& v) {
    Vec out(v.size());
    kernels::below_expanding_max(kernels::view_of<double>(v), out);
    return out;
}

nb::object stat(nb::handle stats, const char* key) {
    nb::dict d = nb::borrow<nb::dict>(stats);
    return d.contains(key) ? nb::object(d[key]) : nb::none();
}

// Plain sums of the daily returns of each calendar year, not compounded.
struct YearlySums {
    std::vector<std::int64_t> years;
    Vec strategy, benchmark, excess;
};

// The series every panel draws, derived once from the total frame.
struct Derived {
    nb::object plot_df, dates, daily, yearly_metrics;
    YearlySums yearly;
    Vec strategy_cum, benchmark_cum, excess_cum, strategy_dd, benchmark_dd, excess_dd;
};

Derived derive(nb::object plot_df) {
    Derived d;
    d.plot_df = std::move(plot_df);
    d.dates = index_of(d.plot_df);
    const Vec close_net = values_of(d.plot_df, "close_net_value");
    d.strategy_cum = shifted(values_of(d.plot_df, "long"), -1.0);
    d.benchmark_cum = shifted(close_net, -1.0);
    d.excess_cum = values_of(d.plot_df, "extra_return");
    d.strategy_dd = values_of(d.plot_df, "max_drowdown");
    d.benchmark_dd = below_peak(close_net);
    d.excess_dd = values_of(d.plot_df, "extra_max_drowdown");
    d.daily =
        select_columns(d.plot_df, {"daily_return", "index_daily_return", "extra_daily_return"});
    const auto groups = kernels::rows_by_year(year_of_rows(d.dates));
    for (const kernels::YearRows& g : groups)
        d.yearly.years.push_back(static_cast<std::int64_t>(g.year));
    auto sums = [&](const char* name) {
        return kernels::sums_by_year(float_column(column(d.daily, name)).view, groups);
    };
    d.yearly.strategy = sums("daily_return");
    d.yearly.benchmark = sums("index_daily_return");
    d.yearly.excess = sums("extra_daily_return");
    d.yearly_metrics = calc_yearly_performance_metrics(d.daily);
    return d;
}

struct Panels {
    nb::object cards, cumulative, excess, yearly, rolling, drawdown, summary, yearly_table;
};

void draw_cards(nb::handle ax, nb::handle stats, const PerformanceLayout& l) {
    const nb::int_ two(2);
    struct Card {
        const char* label;
        std::string (*format)(nb::handle, nb::handle);
        const char* key;
    };
    static constexpr Card cards[] = {
        {"Strategy Ann.", format_pct_points, "annual_return"},
        {"Strategy Sharpe", format_num, "long_sharp"},
        {"Strategy Max DD", format_pct, "max_dd"},
        {"Excess Ann.", format_pct_points, "extra_annual_return"},
        {"Excess Sharpe", format_num, "extra_sharp"},
        {"Excess Max DD", format_pct, "extra_max_dd"},
        {"Strategy Win", format_pct, "win_rate"},
        {"Excess Win", format_pct, "excess_win_rate"},
        {"Turnover", format_pct, "turnover"},
    };
    constexpr double n = std::size(cards);
    ax.attr("axis")("off");
    nb::object transform = ax.attr("transAxes");
    nb::dict box;
    box["boxstyle"] = "round,pad=0.30";
    box["facecolor"] = "white";
    box["edgecolor"] = colour::kCardEdge;
    box["linewidth"] = 1.0;
    for (std::size_t i = 0; i < std::size(cards); ++i) {
        const double x = (static_cast<double>(i) + 0.5) / n;
        ax.attr("text")(x, 0.58, cards[i].format(stat(stats, cards[i].key), two),
                        "transform"_a = transform, "ha"_a = "center", "va"_a = "center",
                        "fontsize"_a = l.card_value_size, "fontweight"_a = "bold",
                        "color"_a = colour::kText, "bbox"_a = box);
        ax.attr("text")(x, 0.16, cards[i].label, "transform"_a = transform, "ha"_a = "center",
                        "va"_a = "center", "fontsize"_a = l.card_label_size,
                        "color"_a = colour::kCardLabel);
    }
}

void draw_cumulative(const Pyplot& py, nb::handle ax, const Derived& d,
                     const std::string& benchmark, const PerformanceLayout& l) {
    ax.attr("plot")(d.dates, array_of(d.strategy_cum), "color"_a = colour::kStrategy,
                    "linewidth"_a = 2.4, "label"_a = "Strategy");
    ax.attr("plot")(d.dates, array_of(d.benchmark_cum), "color"_a = colour::kBenchmark,
                    "linewidth"_a = 1.7, "linestyle"_a = "--", "label"_a = benchmark);
    nb::object twin = ax.attr("twinx")();
    // Drawdown areas sit behind the return lines.
    twin.attr("set_zorder")(ax.attr("get_zorder")() - nb::int_(1));
    ax.attr("patch").attr("set_visible")(false);
    twin.attr("fill_between")(d.dates, 0.0, array_of(d.strategy_dd),
                              "color"_a = colour::kStrategyFill, "alpha"_a = 0.28, "zorder"_a = 0,
                              "label"_a = "Strategy Drawdown");
    twin.attr("fill_between")(d.dates, 0.0, array_of(d.benchmark_dd),
                              "color"_a = colour::kBenchmarkFill, "alpha"_a = 0.24, "zorder"_a = 0,
                              "label"_a = benchmark + " Drawdown");
    horizontal_line(ax, 0.0, 0.8);
    ax.attr("set_title")("Cumulative Return", "fontsize"_a = l.panel_title_size);
    ax.attr("set_ylabel")("Return");
    percent_axis(py, ax);
    percent_axis(py, twin);
    drawdown_twin(twin, l.twin_label_size);
    legend(ax, {ax, twin}, "upper left", l.legend.cumulative);
}

void draw_excess(const Pyplot& py, nb::handle ax, const Derived& d, const PerformanceLayout& l) {
    ax.attr("plot")(d.dates, array_of(d.excess_cum), "color"_a = colour::kExcess,
                    "linewidth"_a = 2.2, "label"_a = "Excess Return");
    nb::object twin = ax.attr("twinx")();
    twin.attr("fill_between")(d.dates, 0.0, array_of(d.excess_dd), "color"_a = colour::kExcessFill,
                              "alpha"_a = 0.34, "label"_a = "Excess Drawdown");
    horizontal_line(ax, 0.0, 0.8);
    ax.attr("set_title")("Excess Return & Drawdown", "fontsize"_a = l.panel_title_size);
    ax.attr("set_ylabel")("Excess Return");
    percent_axis(py, ax);
    percent_axis(py, twin);
    drawdown_twin(twin, l.twin_label_size);
    legend(ax, {ax, twin}, "upper left", l.legend.excess);
}

void draw_yearly_bars(const Pyplot& py, nb::handle ax, const Derived& d,
                      const std::string& benchmark, const PerformanceLayout& l) {
    const std::size_t n = d.yearly.years.size();
    if (n > 0) {
        Vec x(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i);
        const Vec &strategy = d.yearly.strategy, &bench = d.yearly.benchmark,
                  &excess = d.yearly.excess;
        ax.attr("bar")(array_of(shifted(x, -kBarWidth)), array_of(strategy), "width"_a = kBarWidth,
                       "label"_a = "Strategy", "color"_a = colour::kStrategy, "alpha"_a = 0.86);
        ax.attr("bar")(array_of(x), array_of(bench), "width"_a = kBarWidth, "label"_a = benchmark,
                       "color"_a = colour::kBenchmark, "alpha"_a = 0.72);
        ax.attr("bar")(array_of(shifted(x, kBarWidth)), array_of(excess), "width"_a = kBarWidth,
                       "label"_a = "Excess", "color"_a = colour::kExcess, "alpha"_a = 0.82);

        double max_abs = kernels::kNaN;
        for (const Vec* column : {&strategy, &bench, &excess})
            for (double v : *column)
                if (!std::isnan(v) && !(std::fabs(v) <= max_abs)) max_abs = std::fabs(v);
        const double offset = std::isfinite(max_abs) ? std::max(max_abs * 0.025, 0.003) : 0.003;

        const nb::int_ two(2);
        for (std::size_t i = 0; i < n; ++i) {
            const double v = excess[i];
            if (std::isnan(v)) continue;
            const bool up = v >= 0.0;
            // The excess bar is centred at x + width.
            ax.attr("text")(x[i] + kBarWidth, up ? v + offset : v - offset,
                            format_pct(nb::float_(v), two), "ha"_a = "center",
                            "va"_a = up ? "bottom" : "top", "color"_a = colour::kExcessLabel,
                            "rotation"_a = 90, "fontsize"_a = l.bar_label_size);
        }
        ax.attr("margins")("y"_a = 0.22);
        nb::list labels;
        for (std::int64_t year : d.yearly.years) labels.append(std::to_string(year));
        ax.attr("set_xticks")(array_of(x));
        ax.attr("set_xticklabels")(labels, "rotation"_a = l.tick_rotation, "ha"_a = l.tick_align);
        legend(ax, {ax}, "best", l.legend.yearly);
    } else {
        centre_note(ax, "No yearly data");
    }
    horizontal_line(ax, 0.0, 0.8);
    ax.attr("set_title")("Yearly Return", "fontsize"_a = l.panel_title_size);
    percent_axis(py, ax);
}

void draw_rolling(const Pyplot& py, nb::handle ax, const Derived& d, const PerformanceLayout& l) {
    const auto rows = static_cast<long long>(nb::len(d.daily));
    const long long days = rows >= kRollingStabilityDays
                               ? kRollingStabilityDays
                               : std::max<long long>(kMinRollingStabilityDays, rows / 3);
    if (rows >= days && days > 1) {
        const Vec excess = values_of(d.daily, "extra_daily_return");
        const auto rolling = kernels::rolling_sharpe_and_win(
            kernels::view_of<double>(excess), static_cast<std::size_t>(days), kTradingDaysPerYear);
        const std::string window = std::to_string(days);
        ax.attr("plot")(d.dates, array_of(rolling.sharpe), "color"_a = colour::kRollingSharpe,
                        "linewidth"_a = 2.0, "label"_a = window + "D Excess Sharpe");
        horizontal_line(ax, 0.0, 0.8);
        nb::object twin = ax.attr("twinx")();
        twin.attr("plot")(d.dates, array_of(rolling.win_rate), "color"_a = colour::kRollingWin,
                          "linewidth"_a = 1.6, "alpha"_a = 0.8, "label"_a = window + "D Win Rate");
        percent_axis(py, twin);
        twin.attr("grid")(false);
        twin.attr("spines")["top"].attr("set_visible")(false);
        legend(ax, {ax, twin}, "best", l.legend.rolling);
    } else {
        centre_note(ax, "Not enough data");
    }
    ax.attr("set_title")("Rolling Excess Stability", "fontsize"_a = l.panel_title_size);
}

void draw_drawdowns(const Pyplot& py, nb::handle ax, const Derived& d, const PerformanceLayout& l) {
    ax.attr("fill_between")(d.dates, 0.0, array_of(d.strategy_dd),
                            "color"_a = colour::kStrategyFill, "alpha"_a = 0.62,
                            "label"_a = "Strategy Drawdown");
    ax.attr("plot")(d.dates, array_of(d.excess_dd), "color"_a = colour::kExcess,
                    "linewidth"_a = 1.7, "label"_a = "Excess Drawdown");
    horizontal_line(ax, 0.0, 0.8);
    ax.attr("set_title")("Drawdown", "fontsize"_a = l.panel_title_size);
    percent_axis(py, ax);
    legend(ax, {ax}, "lower left", l.legend.drawdown);
}

// Items "a | b | c" broken into lines at the separators, each line no wider
// than `width` points at `font_size`.
std::string wrapped(const std::string& joined, double width, double font_size) {
    static const std::string sep = " | ";
    std::vector<std::string> items;
    for (std::size_t start = 0;;) {
        const std::size_t end = joined.find(sep, start);
        items.push_back(joined.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + sep.size();
    }
    nb::object measure =
        attr_of("matplotlib.textpath", "text_to_path").attr("get_text_width_height_descent");
    nb::object font = attr_of("matplotlib.font_manager", "FontProperties")("size"_a = font_size);
    auto fits = [&](const std::string& text) {
        return nb::cast<double>(measure(text, font, "ismath"_a = false)[0]) <= width;
    };
    std::string text = items[0], line = items[0];
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (fits(line + sep + items[i])) {
            line += sep + items[i];
            text += sep + items[i];
        } else {
            line = items[i];
            text += "\n" + items[i];
        }
    }
    return text;
}

void draw_summary(nb::handle ax, nb::handle stats, const Derived& d, const std::string& benchmark,
                  long long rolling_window, const PerformanceLayout& l) {
    ax.attr("axis")("off");
    const nb::int_ two(2), zero(0);
    auto day = [&](const char* end) {
        return nb::cast<std::string>(d.dates.attr(end)().attr("strftime")("%Y-%m-%d"));
    };
    const YearlySums& y = d.yearly;
    nb::object annual_excess =
        y.years.empty() ? empty_float_series()
                        : make_series(float_array_from(y.excess), int_index(y.years, "year"));
    std::vector<std::vector<std::string>> rows{
        {"Date Range", day("min") + " ~ " + day("max")},
        {"Trading Days", std::to_string(nb::len(d.plot_df))},
        {"Rolling Window", std::to_string(rolling_window)},
        {"Benchmark", benchmark},
        {"Benchmark Ann.", format_pct_points(stat(stats, "benchmark_annual_return"), two)},
        {"Benchmark Sharpe", format_num(stat(stats, "benchmark_sharp"), two)},
        {"Return Corr.", format_num(stat(stats, "return_corr"), two)},
        {"Avg Holding", format_num(stat(stats, "holding_count"), zero)},
        {"Turnover", format_pct(stat(stats, "turnover"), two)},
        {"Excess Win Rate", format_pct(stat(stats, "excess_win_rate"), two)},
        {"Annual Excess", format_annual_excess(annual_excess)},
    };
    // Many years do not fit the value column on one line.
    const double panel = nb::cast<double>(ax.attr("get_position")().attr("width")) *
                         nb::cast<double>(ax.attr("figure").attr("get_figwidth")()) * 72.0;
    const double pad = nb::cast<double>(attr_of("matplotlib.table", "Cell").attr("PAD"));
    rows.back()[1] = wrapped(rows.back()[1], panel * l.summary_widths[1] * (1.0 - 2.0 * pad),
                             l.summary_font_size);
    static constexpr const char* labels[] = {"Metric", "Value"};
    draw_table(ax,
               {&rows, labels, l.summary_widths, "left", l.summary_font_size, l.summary_row_scale});
}

}  // namespace

void plot_strategy_performance_unlocked(nb::handle total, nb::handle stats,
                                        nb::handle strategy_name, nb::handle plot_title,
                                        nb::handle save_path, nb::handle image_kind,
                                        nb::handle benchmark_name, nb::handle rolling_window) {
    const FigureArgs args =
        figure_args(total, strategy_name, plot_title, save_path, image_kind, benchmark_name);
    require_dict(stats, "stats");
    const long long window = to_int(rolling_window, "rolling_window");

    const Pyplot py = begin_drawing();
    nb::object plot_df = attr_of(kModule, "_with_datetime_index")(args.total);
    if (is_empty(plot_df)) return;
    const Derived d = derive(std::move(plot_df));
    const PerformanceLayout& l = layout_for(args.is_long);

    Figure fig(py, l.page);
    const Panels p{fig.panel(l.cards),   fig.panel(l.cumulative),  fig.panel(l.excess),
                   fig.panel(l.yearly),  fig.panel(l.rolling),     fig.panel(l.drawdown),
                   fig.panel(l.summary), fig.panel(l.yearly_table)};

    fig.title(args.title + " | Benchmark " + args.benchmark + " | Strategy Performance",
              l.title_size, l.title_y);
    draw_cards(p.cards, stats, l);
    draw_cumulative(py, p.cumulative, d, args.benchmark, l);
    draw_excess(py, p.excess, d, l);
    draw_yearly_bars(py, p.yearly, d, args.benchmark, l);
    draw_rolling(py, p.rolling, d, l);
    draw_drawdowns(py, p.drawdown, d, l);
    draw_summary(p.summary, stats, d, args.benchmark, window, l);
    draw_yearly_metrics_table(p.yearly_table, d.yearly_metrics, nb::bool_(l.compact_table));
    for (nb::handle ax : {p.cumulative, p.excess, p.yearly, p.rolling, p.drawdown}) house_grid(ax);
    fig.save_and_close(args.save_path);
}

nb::dict plot_strategy_performance(nb::handle total, nb::handle stats, nb::handle strategy_name,
                                   nb::handle plot_title, nb::handle save_path,
                                   nb::handle image_kind, nb::handle benchmark_name,
                                   nb::handle rolling_window) {
    {
        PlotLock lock;
        attr_of(kModule, "_plot_strategy_performance_unlocked")(
            "total"_a = total, "stats"_a = stats, "strategy_name"_a = strategy_name,
            "plot_title"_a = plot_title, "save_path"_a = save_path, "image_kind"_a = image_kind,
            "benchmark_name"_a = benchmark_name, "rolling_window"_a = rolling_window);
    }
    nb::dict out;
    out["main"] = nb::str(save_path);
    return out;
}

}  // namespace mirtaly::strategy::charts
