// Calendar views of the total frame: per-year metrics and a weekly sample.
#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <vector>

#include "kernels/statistics.hpp"
#include "strategy/series.hpp"

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

namespace {

nb::tuple as_tuple(const kernels::PeriodMetrics& p) {
    return nb::make_tuple(p.period_return, p.max_drawdown, p.calmar);
}

kernels::PeriodMetrics period_metrics(const std::vector<double>& v) {
    return kernels::period_return_drawdown_calmar({v.data(), v.size(), 1}, kTradingDaysPerYear);
}

// Row positions ordered by key (stable), with rows whose key is missing left out.
template <class Key, class Missing>
std::vector<std::int64_t> stable_order(const std::vector<Key>& keys, Missing missing) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!missing(keys[i])) rows.push_back(static_cast<std::int64_t>(i));
    std::stable_sort(rows.begin(), rows.end(),
                     [&](std::int64_t a, std::int64_t b) { return keys[a] < keys[b]; });
    return rows;
}

std::vector<double> to_doubles(nb::handle values) {
    auto held = float_column(values);
    std::vector<double> out(held.view.size);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = held.view[i];
    return out;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t ticks_per_day(const std::string& unit) {
    if (unit == "s") return 86400LL;
    if (unit == "ms") return 86400LL * 1000;
    if (unit == "us") return 86400LL * 1000 * 1000;
    return 86400LL * 1000 * 1000 * 1000;  // ns
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
    nb::object index = daily.attr("index");
    nb::object year_of_row = index.attr("year");
    if (nb::len(daily) == 0) return pandas().attr("DataFrame")();

    nb::object strategy_col = column(daily, "daily_return");
    nb::object excess_col = column(daily, "extra_daily_return");
    auto strategy = float_column(strategy_col), excess = float_column(excess_col);
    const std::vector<double> years = to_doubles(year_of_row);
    const std::vector<std::int64_t> order =
        stable_order(years, [](double y) { return std::isnan(y); });

    std::vector<std::int64_t> year_labels;
    std::vector<double> cols[8];
    for (std::size_t start = 0; start < order.size();) {
        std::size_t end = start;
        while (end < order.size() && years[order[end]] == years[order[start]]) ++end;
        // The sort is stable: within a year rows keep their order, as in groupby.
        const std::vector<std::int64_t> rows(order.begin() + start, order.begin() + end);
        const double year = years[order[start]];
        start = end;

        const FiniteRows s = finite_rows(strategy.view, rows), e = finite_rows(excess.view, rows);
        if (s.values.empty() && e.values.empty()) continue;
        const auto sm = period_metrics(s.values), em = period_metrics(e.values);
        nb::object s_sharpe = sharpe(as_series(s, index, strategy_col.attr("name")));
        nb::object e_sharpe = sharpe(as_series(e, index, excess_col.attr("name")));

        year_labels.push_back(static_cast<std::int64_t>(year));
        const double row[8] = {sm.period_return, nb::cast<double>(s_sharpe), sm.max_drawdown,
                               sm.calmar, em.period_return, nb::cast<double>(e_sharpe),
                               em.max_drawdown, em.calmar};
        for (int c = 0; c < 8; ++c) cols[c].push_back(row[c]);
    }
    if (year_labels.empty()) return pandas().attr("DataFrame")();

    static const char* names[8] = {"strategy_return", "strategy_sharpe", "strategy_max_dd",
                                   "strategy_calmar", "excess_return",   "excess_sharpe",
                                   "excess_max_dd",   "excess_calmar"};
    nb::dict data;
    for (int c = 0; c < 8; ++c) data[names[c]] = float_array_from(cols[c]);
    nb::object year_index =
        pandas().attr("Index")(int_array_from(year_labels), "dtype"_a = "int64", "name"_a = "year");
    return make_frame(data, year_index);
}

nb::object build_weekly_net_value_frame(nb::handle total) {
    require_dataframe(total, "total");
    nb::object plot_df = attr_of(kModule, "_with_datetime_index")(total);
    if (nb::cast<bool>(plot_df.attr("empty"))) return pandas().attr("DataFrame")();

    nb::list wanted;
    for (const char* name : {"long", "close_net_value", "extra_return"}) wanted.append(name);
    nb::object picked = plot_df[wanted];
    auto values = float_matrix(picked);
    const auto& v = values.view;

    nb::object index = plot_df.attr("index");
    const std::string unit = nb::cast<std::string>(index.attr("unit"));
    const std::int64_t day = ticks_per_day(unit);
    auto stamps_held = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu>>(
        index.attr("asi8"));
    std::vector<std::int64_t> stamps(stamps_held.shape(0));
    for (std::size_t i = 0; i < stamps.size(); ++i) stamps[i] = stamps_held(i);

    // Weeks end on Friday and are labelled by it; 1970-01-01 was a Thursday.
    auto friday_of = [&](std::int64_t stamp) {
        const std::int64_t d = floor_div(stamp, day);
        const std::int64_t weekday = ((d + 3) % 7 + 7) % 7;  // Monday = 0
        return d + (4 - weekday + 7) % 7;
    };
    const auto order = stable_order(stamps, [](std::int64_t s) { return s == INT64_MIN; });
    if (order.empty()) return pandas().attr("DataFrame")();
    const std::int64_t first_week = friday_of(stamps[order.front()]);
    const std::size_t n_weeks =
        static_cast<std::size_t>((friday_of(stamps[order.back()]) - first_week) / 7 + 1);

    // The last finite value of each column in each week, in date order.
    std::vector<double> weekly(n_weeks * v.cols, kernels::kNaN);
    for (std::int64_t r : order) {
        const auto w = static_cast<std::size_t>((friday_of(stamps[r]) - first_week) / 7);
        for (std::size_t c = 0; c < v.cols; ++c) {
            const double x = v(static_cast<std::size_t>(r), c);
            if (std::isfinite(x)) weekly[w * v.cols + c] = x;
        }
    }

    nb::object start = pandas().attr("Timestamp")(first_week * day, "unit"_a = unit);
    nb::object weeks = pandas().attr("date_range")("start"_a = start, "periods"_a = n_weeks,
                                                   "freq"_a = "W-FRI", "unit"_a = unit,
                                                   "name"_a = index.attr("name"));
    nb::object grid = float_array_from(weekly).attr("reshape")(n_weeks, v.cols);
    nb::object frame = pandas().attr("DataFrame")(grid, "index"_a = weeks,
                                                  "columns"_a = picked.attr("columns"));
    frame = frame.attr("dropna")("how"_a = "all");
    if (nb::len(frame) == 0) return frame;
    nb::dict extra;
    extra["extra_net_value"] = column(frame, "extra_return") + nb::float_(1.0);
    frame = frame.attr("assign")(**extra);
    nb::list subset;
    for (const char* name : {"long", "close_net_value", "extra_net_value"}) subset.append(name);
    return frame.attr("dropna")("how"_a = "all", "subset"_a = subset);
}

}  // namespace mirtaly::strategy
