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

void cummax_skipna(View1D<double> in, std::span<double> out) {
    double peak = -std::numeric_limits<double>::infinity();
    bool seen = false;
    for (std::size_t i = 0; i < in.size; ++i) {
        const double v = in[i];
        if (std::isnan(v)) {
            out[i] = v;
            continue;
        }
        if (!seen || v > peak) peak = v;
        seen = true;
        out[i] = peak;
    }
}

void expanding_max(View1D<double> in, std::span<double> out) {
    double peak = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < in.size; ++i) {
        const double v = in[i];
        if (std::isfinite(v) && (std::isnan(peak) || v > peak)) peak = v;
        out[i] = peak;
    }
}

void below_expanding_max(View1D<double> in, std::span<double> out) {
    expanding_max(in, out);
    for (std::size_t i = 0; i < in.size; ++i) out[i] = in[i] - out[i];
}

}  // namespace mirtaly::kernels
