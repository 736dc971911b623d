// Rolling window statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// Smoothed target weights: every column of `weights` with NaN read as 0, the
// mean over each full window of `window` rows (a window holding an infinity
// gives NaN, as pandas' window functions treat infinities as missing), and
// exact zeros turned back into NaN.
//
// Row r of `out` (column-major, (rows - window + 1) x cols) belongs to input
// row `window - 1 + r`. Returned are the input rows that hold at least one
// mean (before zeros become NaN): the rows dropna(how="all") keeps. `window`
// must be at least 2.
//
// The sums are pandas' (Kahan-compensated adds and removes, the repeated-value
// and all-one-sign corrections), so the means agree with rolling().mean() bit
// for bit.
std::vector<std::int64_t> smooth_weights(View2D<double> weights, std::size_t window,
                                         std::span<double> out);

// pandas' rolling(window).mean() of every column: the mean of each full
// window of `window` rows, NaN where the window holds a missing value (an
// infinity counts as missing). `out` is column-major, shaped like `values`;
// its first window - 1 rows are NaN. `window` must be at least 1.
void rolling_mean(View2D<double> values, std::size_t window, std::span<double> out);

struct RollingStability {
    std::vector<double> sharpe;    // window mean / sample std * sqrt(periods)
    std::vector<double> win_rate;  // share of the window's values that are > 0
};

// Over each full window of `window` consecutive values (the first window - 1
// positions stay NaN, as in pandas' rolling with min_periods = window). A
// window holding a NaN or an infinity has neither figure (pandas' window
// functions treat infinities as missing).
RollingStability rolling_sharpe_and_win(View1D<double> x, std::size_t window,
                                        double periods_per_year);

}  // namespace mirtaly::kernels
