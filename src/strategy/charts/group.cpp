// The factor group backtest figure of one benchmark: every group's cumulative
// excess return, annualised returns by group, the daily rank IC with its
// running sum, and a small table of the factor's figures.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "strategy/charts/draw.hpp"

namespace mirtaly::strategy::charts {

using namespace interop;
using namespace nb::literals;

namespace {

// Everything that differs between the tall and the wide page.
struct GroupLayout {
    Page page;
    Cell excess, annual, ic, table;
    double title_size, title_y, panel_title_size, legend_size;
    double table_font_size, table_row_scale;
};

// clang-format off
const GroupLayout& layout_for(bool is_long) {
    static const GroupLayout tall{
        .page = {.width = 15.5, .height = 20.0, .columns = 1,
                 .height_ratios = {3.2, 2.4, 2.6, 0.45}, .width_ratios = {},
                 .hspace = 0.34, .wspace = std::nullopt,
                 .margins = {0.06, 0.94, 0.94, 0.03}, .margins_on_grid = false, .dpi = 145},
        .excess = {0, 0, 1}, .annual = {1, 0, 1}, .ic = {2, 0, 1}, .table = {3, 0, 1},
        .title_size = 17, .title_y = 0.975, .panel_title_size = 12.5, .legend_size = 8.4,
        .table_font_size = 10.0, .table_row_scale = 1.9};
    static const GroupLayout wide{
        .page = {.width = 21.5, .height = 12.6, .columns = 2,
                 .height_ratios = {2.9, 2.3, 0.6}, .width_ratios = {1.0, 1.25},
                 .hspace = 0.34, .wspace = 0.16,
                 .margins = {0.045, 0.955, 0.915, 0.045}, .margins_on_grid = true, .dpi = 165},
        .excess = {0, 0, 2}, .annual = {1, 0, 1}, .ic = {1, 1, 2}, .table = {2, 0, 2},
        .title_size = 15, .title_y = 0.975, .panel_title_size = 11.5, .legend_size = 7.8,
        .table_font_size = 9.2, .table_row_scale = 1.7};
    return is_long ? tall : wide;
}
// clang-format on

// Beyond this many groups a legend would cover the panel; the colour scale
// (group 1 blue to the last group red) is named in the title instead.
constexpr std::size_t kMaxLegendGroups = 20;

// Group 1 in the strategy blue through the last group in the excess red, by
// way of violet: every shade stays dark enough to read on the white page.
nb::list group_colours(std::size_t n) {
    nb::list stops;
    for (const char* c : {colour::kStrategy, colour::kRollingSharpe, colour::kExcess})
        stops.append(c);
    nb::object map =
        attr_of("matplotlib.colors", "LinearSegmentedColormap").attr("from_list")("groups", stops);
    nb::list out;
    for (std::size_t g = 0; g < n; ++g) {
        const double at = n > 1 ? static_cast<double>(g) / static_cast<double>(n - 1) : 0.0;
        out.append(map(at));
    }
    return out;
}

nb::object stat(nb::handle stats, const char* key) {
    nb::dict d = nb::borrow<nb::dict>(stats);
    return d.contains(key) ? nb::object(d[key]) : nb::none();
}

void draw_excess(nb::handle ax, nb::handle excess, nb::handle colours, const GroupLayout& l,
                 const Pyplot& py) {
    nb::object dates = index_of(excess);
    nb::object groups = columns_of(excess);
    const auto values = float_matrix(excess);
    const std::size_t n = values.view.cols;
    std::vector<double> line(values.view.rows);
    for (std::size_t g = 0; g < n; ++g) {
        const auto col = values.view.column(g);
        for (std::size_t i = 0; i < line.size(); ++i) line[i] = col[i];
        ax.attr("plot")(dates, array_of(line), "color"_a = colours[g], "linewidth"_a = 1.3,
                        "label"_a = nb::str("G{}").format(groups[nb::int_(g)]));
    }
    horizontal_line(ax, 0.0, 0.9);
    percent_axis(py, ax);
    std::string title = "Cumulative Excess Return by Group";
    if (n > kMaxLegendGroups) title += " (group 1 blue to group " + std::to_string(n) + " red)";
    ax.attr("set_title")(title, "fontsize"_a = l.panel_title_size);
    if (n > 0 && n <= kMaxLegendGroups)
        legend(ax, {ax}, "upper left", l.legend_size,
               static_cast<int>(std::min<std::size_t>(n, 10)));
}

void draw_annual(nb::handle ax, nb::handle annual, double benchmark_annual,
                 const std::string& benchmark, nb::handle colours, const GroupLayout& l,
                 const Pyplot& py) {
    nb::object groups = index_of(annual);
    const std::size_t n = nb::len(groups);
    ax.attr("bar")(groups, float_array_of(annual), "color"_a = colours,
                   "width"_a = 0.72);
    ax.attr("axhline")(
        benchmark_annual, "color"_a = colour::kBenchmark, "linewidth"_a = 1.4, "linestyle"_a = "--",
        "label"_a = benchmark + " " + format_pct(nb::float_(benchmark_annual), nb::int_(2)));
    horizontal_line(ax, 0.0, 0.8);
    if (n <= 30) ax.attr("set_xticks")(groups);
    ax.attr("set_xlabel")("Group");
    percent_axis(py, ax);
    ax.attr("set_title")("Annualised Return by Group", "fontsize"_a = l.panel_title_size);
    legend(ax, {ax}, "best", l.legend_size);
}

void draw_ic(nb::handle ax, nb::handle rank_ic, const GroupLayout& l) {
    nb::object dates = index_of(rank_ic);
    auto ic = float_column(rank_ic);
    const std::size_t n = ic.view.size;
    std::vector<double> running(n);
    nb::list colours;
    double sum = 0.0;
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = ic.view[i];
        if (std::isfinite(v)) sum += v, any = true;
        running[i] = sum;
        colours.append(v >= 0.0 ? colour::kStrategy : colour::kExcess);
    }
    if (!any) {
        centre_note(ax, "No rank IC data");
        ax.attr("set_title")("Daily Rank IC", "fontsize"_a = l.panel_title_size);
        return;
    }
    // One line per day draws as thin bars at a fraction of the cost of patches.
    ax.attr("vlines")(dates, 0.0, ic.owner, "colors"_a = colours, "linewidth"_a = 0.9,
                      "alpha"_a = 0.8, "label"_a = "Rank IC");
    horizontal_line(ax, 0.0, 0.8);
    ax.attr("set_ylabel")("Rank IC");
    nb::object twin = ax.attr("twinx")();
    twin.attr("plot")(dates, array_of(running), "color"_a = colour::kBenchmark, "linewidth"_a = 1.6,
                      "label"_a = "Cumulative IC");
    twin.attr("set_ylabel")("Cumulative IC");
    twin.attr("grid")(false);
    twin.attr("spines")["top"].attr("set_visible")(false);
    ax.attr("set_title")("Daily Rank IC", "fontsize"_a = l.panel_title_size);
    legend(ax, {ax, twin}, "upper left", l.legend_size);
}

void draw_figures_table(nb::handle ax, nb::handle stats, const std::string& factor_name,
                        const GroupLayout& l) {
    ax.attr("axis")("off");
    nb::object best = stat(stats, "best_group");
    std::string best_text = "--";
    if (!best.is_none() && !truth(attr_of("pandas", "isna")(best)))
        best_text = std::to_string(nb::cast<long long>(nb::int_(best)));
    const std::vector<std::vector<std::string>> rows = {
        {factor_name, format_num(stat(stats, "ic_mean"), nb::int_(4)),
         format_num(stat(stats, "ic_ir"), nb::int_(2)), best_text,
         format_pct(stat(stats, "top_minus_bottom"), nb::int_(2))}};
    static constexpr const char* kLabels[] = {"Factor", "IC Mean", "IC IR", "Best Group",
                                              "Top - Bottom Ann."};
    static constexpr double kWidths[] = {0.28, 0.18, 0.18, 0.18, 0.18};
    draw_table(ax, {.rows = &rows,
                    .labels = kLabels,
                    .widths = kWidths,
                    .align = "center",
                    .font_size = l.table_font_size,
                    .row_scale = l.table_row_scale});
}

}  // namespace

void plot_group_backtest_unlocked(nb::handle excess_cumulative, nb::handle annual_return,
                                  nb::handle benchmark_annual_return, nb::handle rank_ic,
                                  nb::handle stats, nb::handle factor_name, nb::handle plot_title,
                                  nb::handle save_path, nb::handle image_kind,
                                  nb::handle benchmark_name) {
    require_dataframe(excess_cumulative, "excess_cumulative");
    require_series(annual_return, "annual_return");
    const double benchmark_annual = to_float(benchmark_annual_return, "benchmark_annual_return");
    require_series(rank_ic, "rank_ic");
    require_dict(stats, "stats");
    require_str(factor_name, "factor_name");
    // The shared checks of title, page kind, benchmark and path.
    const FigureArgs args = figure_args(excess_cumulative, factor_name, plot_title, save_path,
                                        image_kind, benchmark_name);

    const Pyplot py = begin_drawing();
    nb::object with_dates = attr_of(kModule, "_with_datetime_index");
    nb::object excess = with_dates(excess_cumulative);
    nb::object ic = with_dates(rank_ic);
    const GroupLayout& l = layout_for(args.is_long);
    nb::list colours = group_colours(nb::len(columns_of(excess)));

    Figure fig(py, l.page);
    nb::object ax_excess = fig.panel(l.excess);
    nb::object ax_annual = fig.panel(l.annual);
    nb::object ax_ic = fig.panel(l.ic);
    nb::object ax_table = fig.panel(l.table);
    fig.title(args.title + " | Benchmark " + args.benchmark + " | Group Backtest", l.title_size,
              l.title_y);

    draw_excess(ax_excess, excess, colours, l, py);
    draw_annual(ax_annual, annual_return, benchmark_annual, args.benchmark, colours, l, py);
    draw_ic(ax_ic, ic, l);
    draw_figures_table(ax_table, stats, nb::cast<std::string>(factor_name), l);
    for (nb::handle ax : {ax_excess.ptr(), ax_annual.ptr(), ax_ic.ptr()}) house_grid(ax);
    fig.save_and_close(args.save_path);
}

nb::dict plot_group_backtest(nb::handle excess_cumulative, nb::handle annual_return,
                             nb::handle benchmark_annual_return, nb::handle rank_ic,
                             nb::handle stats, nb::handle factor_name, nb::handle plot_title,
                             nb::handle save_path, nb::handle image_kind,
                             nb::handle benchmark_name) {
    {
        PlotLock lock;
        attr_of(kModule, "_plot_group_backtest_unlocked")(
            "excess_cumulative"_a = excess_cumulative, "annual_return"_a = annual_return,
            "benchmark_annual_return"_a = benchmark_annual_return, "rank_ic"_a = rank_ic,
            "stats"_a = stats, "factor_name"_a = factor_name, "plot_title"_a = plot_title,
            "save_path"_a = save_path, "image_kind"_a = image_kind,
            "benchmark_name"_a = benchmark_name);
    }
    nb::dict out;
    out["primary"] = nb::str(save_path);
    return out;
}

}  // namespace mirtaly::strategy::charts
