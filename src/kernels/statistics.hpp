// Summary statistics over series and weight matrices, with pandas' NaN rules.
#pragma once

#include <cstddef>
#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

inline constexpr double kNaN = __builtin_nan("");

// Series.sum() / mean() / min() with NaN skipped (sum of nothing is 0, mean and
// min of nothing are NaN).
double nansum(View1D<double> x);
double nanmean(View1D<double> x);
double nanmin(View1D<double> x);

// Share of the finite values that are > 0; NaN when there are none.
double positive_share(View1D<double> x);

// Pearson correlation over the rows where both values exist; NaN for fewer
// than two rows or a constant side. Centred and scaled before the products so
// that large offsets do not cost precision.
double pearson(View1D<double> a, View1D<double> b);

struct PeriodMetrics {
    double period_return = kNaN;
    double max_drawdown = kNaN;
    double calmar = kNaN;
};

// Summed return, the largest fall of the running sum below its running peak
// (the start level 0 counts as a peak), and annualised mean / drawdown.
PeriodMetrics period_return_drawdown_calmar(View1D<double> daily, double periods_per_year);

struct HoldingTurnover {
    double holding_count = kNaN;
    double turnover = kNaN;
};

// Mean count of finite weights per row; mean half of the absolute weight
// change between consecutive rows, NaN weights taken as 0 (NaN for one row).
HoldingTurnover holding_and_turnover(View2D<double> weights);

}  // namespace mirtaly::kernels
