// Running operations over one series, with pandas' NaN conventions.
#pragma once

#include <span>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// Running sum that skips NaN: a NaN input yields NaN at its own position and
// leaves the running total untouched (pandas cumsum with skipna).
void cumsum_skipna(View1D<double> in, std::span<double> out);

// Running maximum that skips NaN at its own position (pandas cummax).
void cummax_skipna(View1D<double> in, std::span<double> out);

// pandas expanding().max() with min_periods=1: window operations treat
// infinities as missing, so only finite values raise the peak; NaN until the
// first finite value appears.
void expanding_max(View1D<double> in, std::span<double> out);

// x - x.expanding().max(): how far each value stands below the peak so far
// (zero or negative; a difference of levels, not divided by the peak).
void below_expanding_max(View1D<double> in, std::span<double> out);

}  // namespace mirtaly::kernels
