#include "kernels/holdings.hpp"

#include <cmath>
#include <vector>

namespace mirtaly::kernels {

HoldingTurnover holding_and_turnover(View2D<double> w) {
    HoldingTurnover out;
    if (w.rows == 0) return out;
    // Walked column by column (pandas hands weights over column-major), with
    // each row's change summed over stocks in column order.
    auto zero_nan = [](double x) { return std::isnan(x) ? 0.0 : x; };
    std::size_t finite = 0;
    std::vector<double> change(w.rows, 0.0);
    for (std::size_t j = 0; j < w.cols; ++j) {
        const View1D<double> col = w.column(j);
        for (std::size_t i = 0; i < w.rows; ++i) finite += std::isfinite(col[i]);
        for (std::size_t i = 1; i < w.rows; ++i)
            change[i] += std::fabs(zero_nan(col[i]) - zero_nan(col[i - 1]));
    }
    out.holding_count = static_cast<double>(finite) / static_cast<double>(w.rows);
    if (w.rows < 2) return out;
    double total = 0.0;
    for (std::size_t i = 1; i < w.rows; ++i) total += change[i] / 2.0;
    out.turnover = total / static_cast<double>(w.rows - 1);
    return out;
}

}  // namespace mirtaly::kernels
