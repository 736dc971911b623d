#include "kernels/cumulative.hpp"

#include <cmath>
#include <limits>

namespace mirtaly::kernels {

void cumsum_skipna(View1D<double> in, std::span<double> out) {
    double total = 0.0;
    for (std::size_t i = 0; i < in.size; ++i) {
        const double v = in[i];
        if (std::isnan(v)) {
            out[i] = v;
        } else {
            total += v;
            out[i] = total;
        }
    }
}

void expanding_max(View1D<double> in, std::span<double> out) {
    double peak = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < in.size; ++i) {
        const double v = in[i];
        if (!std::isnan(v) && (std::isnan(peak) || v > peak)) peak = v;
        out[i] = peak;
    }
}

}  // namespace mirtaly::kernels
