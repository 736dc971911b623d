// The per-year table at the foot of both figures: strategy columns in blue,
// excess columns in red.
#include <array>

#include "strategy/charts/draw.hpp"

namespace mirtaly::strategy::charts {

using namespace interop;
using namespace nb::literals;

namespace {

enum class Kind { Pct, Num };

struct MetricColumn {
    const char* key;
    Kind kind;
};

constexpr std::array<MetricColumn, 8> kMetrics{{
    {"strategy_return", Kind::Pct},
    {"strategy_sharpe", Kind::Num},
    {"strategy_max_dd", Kind::Pct},
    {"strategy_calmar", Kind::Num},
    {"excess_return", Kind::Pct},
    {"excess_sharpe", Kind::Num},
    {"excess_max_dd", Kind::Pct},
    {"excess_calmar", Kind::Num},
}};

struct TableForm {
    std::array<const char*, 9> labels;
    std::array<double, 9> widths;
    double font_size, row_scale, title_size, title_pad;
};

// clang-format off
constexpr TableForm kFull{
    .labels = {"Year", "Strategy Return", "Strategy Sharpe", "Strategy Max DD", "Strategy Calmar",
               "Excess Return", "Excess Sharpe", "Excess Max DD", "Excess Calmar"},
    .widths = {0.08, 0.115, 0.115, 0.115, 0.115, 0.115, 0.115, 0.115, 0.115},
    .font_size = 8.4, .row_scale = 1.24, .title_size = 11.5, .title_pad = 8};

constexpr TableForm kCompact{
    .labels = {"Year", "Ret", "Sharpe", "MaxDD", "Calmar", "ExRet", "ExSh", "ExDD", "ExCal"},
    .widths = {0.09, 0.11, 0.11, 0.12, 0.11, 0.12, 0.11, 0.11, 0.12},
    .font_size = 7.8, .row_scale = 1.22, .title_size = 10.2, .title_pad = 4};
// clang-format on

const char* family_colour(int column) {
    if (column >= 1 && column <= 4) return colour::kStrategyText;
    if (column >= 5 && column <= 8) return colour::kExcessText;
    return nullptr;  // the year keeps the default colour
}

}  // namespace

void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics, nb::handle compact) {
    ax.attr("axis")("off");
    if (nb::len(yearly_metrics) == 0) {
        centre_note(ax, "No yearly metric data");
        return;
    }
    const TableForm& form = truth(compact) ? kCompact : kFull;

    std::array<nb::object, kMetrics.size()> columns;
    for (std::size_t c = 0; c < kMetrics.size(); ++c)
        columns[c] = column(yearly_metrics, kMetrics[c].key).attr("tolist")();
    nb::object years = index_of(yearly_metrics).attr("tolist")();

    const nb::int_ two(2);
    std::vector<std::vector<std::string>> rows(nb::len(years));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        // 2021.0 prints as 2021.
        rows[r].push_back(nb::cast<std::string>(nb::str(nb::int_(years[r]))));
        for (std::size_t c = 0; c < kMetrics.size(); ++c) {
            nb::object value = columns[c][r];
            rows[r].push_back(kMetrics[c].kind == Kind::Pct ? format_pct(value, two)
                                                            : format_num(value, two));
        }
    }

    draw_table(ax, {&rows, form.labels, form.widths, "center", form.font_size, form.row_scale,
                    family_colour});
    ax.attr("set_title")("Yearly Strategy & Excess Metrics", "color"_a = colour::kText,
                         "fontsize"_a = form.title_size, "pad"_a = form.title_pad);
}

}  // namespace mirtaly::strategy::charts
