#include "kernels/calendar.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/nan_reductions.hpp"

namespace mirtaly::kernels {

namespace {

// Row positions ordered by key (stable), with rows whose key is missing left out.
template <class Key, class Missing>
std::vector<std::int64_t> stable_order(std::span<const Key> keys, Missing missing) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!missing(keys[i])) rows.push_back(static_cast<std::int64_t>(i));
    std::stable_sort(rows.begin(), rows.end(),
                     [&](std::int64_t a, std::int64_t b) { return keys[a] < keys[b]; });
    return rows;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

std::int64_t days_from_civil(int y, int m, int d) {
    // Years counted from March, so that the leap day ends a year; 400-year eras.
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::vector<YearRows> rows_by_year(std::span<const double> years) {
    const std::vector<std::int64_t> order =
        stable_order(years, [](double y) { return std::isnan(y); });
    std::vector<YearRows> out;
    for (std::size_t start = 0; start < order.size();) {
        std::size_t end = start;
        while (end < order.size() && years[order[end]] == years[order[start]]) ++end;
        // The sort is stable: within a year rows keep their order, as in groupby.
        out.push_back({years[order[start]], {order.begin() + start, order.begin() + end}});
        start = end;
    }
    return out;
}

std::vector<double> sums_by_year(View1D<double> x, const std::vector<YearRows>& years) {
    std::vector<double> out;
    for (const YearRows& year : years) {
        double sum = 0.0;
        for (std::int64_t r : year.rows)
            if (!std::isnan(x[static_cast<std::size_t>(r)])) sum += x[static_cast<std::size_t>(r)];
        out.push_back(sum);
    }
    return out;
}

FridayWeeks last_finite_per_friday_week(Ticks ticks, View2D<double> v) {
    // 1970-01-01 was a Thursday.
    auto friday_of = [&](std::int64_t stamp) {
        const std::int64_t d = floor_div(stamp, ticks.per_day);
        const std::int64_t weekday = ((d + 3) % 7 + 7) % 7;  // Monday = 0
        return d + (4 - weekday + 7) % 7;
    };
    const auto order =
        stable_order(ticks.stamps, [&](std::int64_t s) { return s == ticks.missing; });
    FridayWeeks out;
    if (order.empty()) return out;
    out.first_friday = friday_of(ticks.stamps[order.front()]);
    out.count = static_cast<std::size_t>(
        (friday_of(ticks.stamps[order.back()]) - out.first_friday) / 7 + 1);

    // Walked in date order, so the value left in a week is its last finite one.
    out.last.assign(out.count * v.cols, kNaN);
    for (std::int64_t r : order) {
        const auto w = static_cast<std::size_t>((friday_of(ticks.stamps[r]) - out.first_friday) / 7);
        for (std::size_t c = 0; c < v.cols; ++c) {
            const double x = v(static_cast<std::size_t>(r), c);
            if (std::isfinite(x)) out.last[w * v.cols + c] = x;
        }
    }
    return out;
}

}  // namespace mirtaly::kernels
