// Reductions over one series with pandas' NaN rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

inline constexpr double kNaN = __builtin_nan("");

// pandas' sum() / mean() / min() with NaN skipped (sum of nothing is 0, mean and
// min of nothing are NaN).
double nansum(View1D<double> x);
double nanmean(View1D<double> x);
double nanmin(View1D<double> x);

// Share of the finite values that are > 0; NaN when there are none.
double positive_share(View1D<double> x);

// Pearson correlation over the rows where both values exist; NaN for fewer
// than two rows or a constant side. Centred before the products, and scaled
// by a power of two first where values are so large or small that sums
// would overflow or products lose digits.
double pearson(View1D<double> a, View1D<double> b);

// The finite entries among `rows` of a column (all rows when none are given)
// and where they stand: what replacing infinities by NaN and dropping NaN keeps.
struct FiniteRows {
    std::vector<double> values;
    std::vector<std::int64_t> positions;
};
FiniteRows finite_rows(View1D<double> column, std::span<const std::int64_t> rows);
FiniteRows finite_rows(View1D<double> column);

}  // namespace mirtaly::kernels
