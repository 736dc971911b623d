// Return, drawdown and Calmar ratio of one period of daily returns.
#pragma once

#include "kernels/nan_reductions.hpp"

namespace mirtaly::kernels {

struct PeriodMetrics {
    double period_return = kNaN;
    double max_drawdown = kNaN;
    double calmar = kNaN;
};

// Summed return, the largest fall of the running sum below its running peak
// (the start level 0 counts as a peak), and annualised mean / drawdown.
PeriodMetrics period_return_drawdown_calmar(View1D<double> daily, double periods_per_year);

}  // namespace mirtaly::kernels
