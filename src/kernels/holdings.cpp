#include "kernels/holdings.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace mirtaly::kernels {

namespace {

// Stocks are summed in four interleaved lanes (stock j into lane j % 4), then
// the lanes as (0 + 1) + (2 + 3): one order for every layout, so a row-major
// matrix can be summed along its rows four stocks at a time and a column-major
// one along its columns, with the same bits.
constexpr std::size_t kLanes = 4;

inline double zero_nan(double x) { return std::isnan(x) ? 0.0 : x; }
// 1 for a finite value, else 0: x - x is 0 for every finite x and NaN for the
// rest. Counts are kept as floats (exact far beyond any matrix) so that the
// loops vectorize.
inline double finite_one(double x) { return x - x == 0.0 ? 1.0 : 0.0; }

// Per row: the absolute weight changes from the row above, summed in lanes,
// and the count of finite weights.
struct RowSums {
    std::array<std::vector<double>, kLanes> change;
    std::vector<double> finite;
    explicit RowSums(std::size_t rows) : finite(rows, 0.0) {
        for (auto& lane : change) lane.assign(rows, 0.0);
    }
};

// Four neighbouring columns' cells (one per lane) added to each row's sums.
// Not inlined, restrict, and the first row after the loop: each is needed for
// GCC to vectorize the loop.
[[gnu::noinline]] void add_columns(const double* __restrict c0, const double* __restrict c1,
                                   const double* __restrict c2, const double* __restrict c3,
                                   std::size_t rows, double* __restrict count,
                                   double* __restrict l0, double* __restrict l1,
                                   double* __restrict l2, double* __restrict l3) {
    for (std::size_t i = 1; i < rows; ++i) {
        count[i] += ((finite_one(c0[i]) + finite_one(c1[i])) +
                     (finite_one(c2[i]) + finite_one(c3[i])));
        l0[i] += std::fabs(zero_nan(c0[i]) - zero_nan(c0[i - 1]));
        l1[i] += std::fabs(zero_nan(c1[i]) - zero_nan(c1[i - 1]));
        l2[i] += std::fabs(zero_nan(c2[i]) - zero_nan(c2[i - 1]));
        l3[i] += std::fabs(zero_nan(c3[i]) - zero_nan(c3[i - 1]));
    }
    count[0] += (finite_one(c0[0]) + finite_one(c1[0])) + (finite_one(c2[0]) + finite_one(c3[0]));
}

// Column by column, four at a time (lanes 0 to 3): each row's sums grow a
// stock at a time. The last columns are paired with an all-NaN column, which
// adds exact zeros.
void sum_by_column(View2D<double> w, RowSums& sums) {
    const bool dense = w.row_stride == 1;
    std::vector<double> copies(dense ? w.rows : 4 * w.rows);
    const std::vector<double> none(w.rows, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t j0 = 0; j0 < w.cols; j0 += kLanes) {
        const double* cols[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            if (j0 + l >= w.cols) {
                cols[l] = none.data();
                continue;
            }
            const View1D<double> col = w.column(j0 + l);
            if (dense) {
                cols[l] = col.data;
            } else {  // strided: through a contiguous copy of the column
                double* copy = copies.data() + l * w.rows;
                for (std::size_t i = 0; i < w.rows; ++i) copy[i] = col[i];
                cols[l] = copy;
            }
        }
        auto& c = sums.change;
        add_columns(cols[0], cols[1], cols[2], cols[3], w.rows, sums.finite.data(), c[0].data(),
                    c[1].data(), c[2].data(), c[3].data());
    }
}

// Two lanes side by side (the width every x86-64 and ARM64 core has), for
// rows whose stocks lie next to each other. The same IEEE operations per lane
// as the scalar helpers, so the same bits.
using Pair = double __attribute__((vector_size(2 * sizeof(double))));
using PairBits = std::int64_t __attribute__((vector_size(2 * sizeof(double))));

inline Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline Pair zero_nan(Pair x) { return x == x ? x : Pair{}; }
inline Pair finite_one(Pair x) { return x - x == 0.0 ? Pair{} + 1.0 : Pair{}; }
inline Pair abs_change(Pair x, Pair above) {
    const Pair d = zero_nan(x) - zero_nan(above);
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(d) &
                                  (PairBits{} + std::numeric_limits<std::int64_t>::max()));
}

// Row by row, four stocks (lanes 0-1 and 2-3) a step along the row.
void sum_by_row(View2D<double> w, RowSums& sums) {
    for (std::size_t i = 0; i < w.rows; ++i) {
        const double* row = w.data + static_cast<std::ptrdiff_t>(i) * w.row_stride;
        const double* above = i ? row - w.row_stride : row;
        Pair change01{}, change23{}, count01{}, count23{};
        std::size_t j = 0;
        for (; j + kLanes <= w.cols; j += kLanes) {
            const Pair x01 = load_pair(row + j), x23 = load_pair(row + j + 2);
            count01 += finite_one(x01);
            count23 += finite_one(x23);
            change01 += abs_change(x01, load_pair(above + j));
            change23 += abs_change(x23, load_pair(above + j + 2));
        }
        double change[kLanes] = {change01[0], change01[1], change23[0], change23[1]};
        double count[kLanes] = {count01[0], count01[1], count23[0], count23[1]};
        for (std::size_t l = 0; j < w.cols; ++j, ++l) {
            count[l] += finite_one(row[j]);
            change[l] += std::fabs(zero_nan(row[j]) - zero_nan(above[j]));
        }
        sums.finite[i] = (count[0] + count[1]) + (count[2] + count[3]);
        for (std::size_t l = 0; l < kLanes; ++l) sums.change[l][i] = change[l];
    }
}

}  // namespace

HoldingTurnover holding_and_turnover(View2D<double> w) {
    HoldingTurnover out;
    if (w.rows == 0) return out;
    RowSums sums(w.rows);
    if (w.col_stride == 1 && w.row_stride != 1)
        sum_by_row(w, sums);
    else
        sum_by_column(w, sums);
    double n_finite = 0.0;
    for (double n : sums.finite) n_finite += n;
    out.holding_count = n_finite / static_cast<double>(w.rows);
    if (w.rows < 2) return out;
    const auto& c = sums.change;
    double total = 0.0;
    for (std::size_t i = 1; i < w.rows; ++i)
        total += ((c[0][i] + c[1][i]) + (c[2][i] + c[3][i])) / 2.0;
    out.turnover = total / static_cast<double>(w.rows - 1);
    return out;
}

}  // namespace mirtaly::kernels
