// Calendar views of the total frame: per-period and per-year metrics, a weekly sample.
#include <vector>

#include "kernels/calendar.hpp"
#include "kernels/period_metrics.hpp"
#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

using namespace interop;

namespace {

nb::tuple as_tuple(const kernels::PeriodMetrics& p) {
    return nb::make_tuple(p.period_return, p.max_drawdown, p.calmar);
}

kernels::PeriodMetrics period_metrics(const std::vector<double>& v) {
    return kernels::period_return_drawdown_calmar({v.data(), v.size(), 1}, kTradingDaysPerYear);
}

}  // namespace

nb::tuple period_return_drawdown_calmar(nb::handle daily_return) {
    if (daily_return.is_none()) return as_tuple({});
    require_series(daily_return, "daily_return");
    if (nb::len(daily_return) == 0) return as_tuple({});
    auto values = float_column(daily_return);
    return as_tuple(kernels::period_return_drawdown_calmar(values.view, kTradingDaysPerYear));
}

nb::object calc_yearly_performance_metrics(nb::handle daily) {
    require_dataframe(daily, "daily");
    nb::object index = index_of(daily);
    const std::vector<double> years = year_of_rows(index);
    if (nb::len(daily) == 0) return empty_frame();

    nb::object strategy_col = column(daily, "daily_return");
    nb::object excess_col = column(daily, "extra_daily_return");
    auto strategy = float_column(strategy_col), excess = float_column(excess_col);

    std::vector<std::int64_t> year_labels;
    std::vector<double> cols[8];
    for (const kernels::YearRows& year : kernels::rows_by_year(years)) {
        const kernels::FiniteRows s = kernels::finite_rows(strategy.view, year.rows);
        const kernels::FiniteRows e = kernels::finite_rows(excess.view, year.rows);
        if (s.values.empty() && e.values.empty()) continue;
        const auto sm = period_metrics(s.values), em = period_metrics(e.values);
        nb::object s_sharpe = sharpe(series_at(s.values, s.positions, index, name_of(strategy_col)));
        nb::object e_sharpe = sharpe(series_at(e.values, e.positions, index, name_of(excess_col)));

        year_labels.push_back(static_cast<std::int64_t>(year.year));
        const double row[8] = {sm.period_return, nb::cast<double>(s_sharpe), sm.max_drawdown,
                               sm.calmar, em.period_return, nb::cast<double>(e_sharpe),
                               em.max_drawdown, em.calmar};
        for (int c = 0; c < 8; ++c) cols[c].push_back(row[c]);
    }
    if (year_labels.empty()) return empty_frame();

    static const char* names[8] = {"strategy_return", "strategy_sharpe", "strategy_max_dd",
                                   "strategy_calmar", "excess_return",   "excess_sharpe",
                                   "excess_max_dd",   "excess_calmar"};
    nb::dict data;
    for (int c = 0; c < 8; ++c) data[names[c]] = float_array_from(cols[c]);
    return make_frame(data, int_index(year_labels, "year"));
}

nb::object build_weekly_net_value_frame(nb::handle total) {
    require_dataframe(total, "total");
    nb::object plot_df = attr_of(kModule, "_with_datetime_index")(total);
    if (is_empty(plot_df)) return empty_frame();

    nb::object picked = select_columns(plot_df, {"long", "close_net_value", "extra_return"});
    auto values = float_matrix(picked);
    const DatetimeTicks ticks = datetime_ticks(index_of(plot_df));
    const kernels::FridayWeeks weeks = kernels::last_finite_per_friday_week(
        {ticks.stamps, ticks.per_day, ticks.missing}, values.view);
    if (weeks.count == 0) return empty_frame();

    // The small weekly frame is cut and extended through pandas, so that its
    // index keeps the frequency pandas itself would give it.
    nb::object frame =
        frame_from_array(float_grid_from(weeks.last, weeks.count, values.view.cols),
                         friday_index(weeks.first_friday, weeks.count, ticks), columns_of(picked));
    frame = drop_empty_rows(frame);
    if (nb::len(frame) == 0) return frame;
    auto extra = float_column(column(frame, "extra_return"));
    auto [net, out] = new_float_array(extra.view.size);
    for (std::size_t i = 0; i < extra.view.size; ++i) out[i] = extra.view[i] + 1.0;
    nb::dict added;
    added["extra_net_value"] = net;
    frame = assign(frame, added);
    return drop_empty_rows(frame, {"long", "close_net_value", "extra_net_value"});
}

}  // namespace mirtaly::strategy
