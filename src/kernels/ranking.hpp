// Forward returns and cross-sectional ranks of date x stock matrices.
#pragma once

#include <span>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// open[t + 2] / open[t + 1] - 1 for every date t, infinities as NaN; the last
// two dates are NaN. `out` is column-major, shaped like `open`.
void forward_open_return(View2D<double> open, std::span<double> out);

// Ranks each row of a column-major rows x cols matrix in place, as pandas'
// rank(axis=1, method="average"): rank 1 for the smallest value, ties get the
// mean of their ranks, NaN stays NaN.
void rank_rows_average(std::span<double> matrix, std::size_t rows, std::size_t cols);

}  // namespace mirtaly::kernels
