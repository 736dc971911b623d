// Grouping rows by calendar year and by week ending on Friday.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(int year, int month, int day);

// The rows of one calendar year, in their original order.
struct YearRows {
    double year;
    std::vector<std::int64_t> rows;
};
// Rows grouped by year, years ascending; rows whose year is NaN are left out.
std::vector<YearRows> rows_by_year(std::span<const double> years);

// pandas' groupby(year).sum() of one column: for each group, the sum of its
// rows with NaN skipped (0 for a year of NaN only).
std::vector<double> sums_by_year(View1D<double> x, const std::vector<YearRows>& years);

// Time stamps as integer ticks since 1970-01-01, `per_day` ticks a day;
// `missing` marks a row without a date.
struct Ticks {
    std::span<const std::int64_t> stamps;
    std::int64_t per_day;
    std::int64_t missing;
};

// The last finite value of each column in each week ending on Friday, weeks
// labelled by their Friday (days since 1970-01-01). Weeks run from the first
// to the last dated row; a week without any value keeps NaN.
struct FridayWeeks {
    std::int64_t first_friday = 0;
    std::size_t count = 0;
    std::vector<double> last;  // count x cols, row-major
};
FridayWeeks last_finite_per_friday_week(Ticks ticks, View2D<double> values);

}  // namespace mirtaly::kernels
