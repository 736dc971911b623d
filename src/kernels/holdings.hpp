// Holding count and turnover of a weight matrix.
#pragma once

#include "kernels/nan_reductions.hpp"

namespace mirtaly::kernels {

struct HoldingTurnover {
    double holding_count = kNaN;
    double turnover = kNaN;
};

// Mean count of finite weights per row; mean half of the absolute weight
// change between consecutive rows, NaN weights taken as 0 (NaN for one row).
HoldingTurnover holding_and_turnover(View2D<double> weights);

}  // namespace mirtaly::kernels
