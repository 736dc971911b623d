#include "kernels/derived_matrices.hpp"

#include <cmath>
#include <limits>

namespace mirtaly::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class Cell>
void each_cell(std::size_t rows, std::size_t cols, std::span<double> out, Cell cell) {
    for (std::size_t j = 0; j < cols; ++j) {
        double* col = out.data() + j * rows;
        for (std::size_t i = 0; i < rows; ++i) col[i] = cell(i, j);
    }
}

}  // namespace

void close_validity(View2D<double> close, std::span<double> out) {
    each_cell(close.rows, close.cols, out,
              [&](std::size_t i, std::size_t j) { return close(i, j) * 0.0 + 1.0; });
}

void split_factor(const Aligned& split, const Aligned& valid, std::span<double> out) {
    each_cell(split.rows(), split.cols(), out,
              [&](std::size_t i, std::size_t j) { return split.at(i, j) / 10.0 * valid.at(i, j); });
}

void dividend_factor(const Aligned& dividend, const Aligned& valid, std::span<double> out) {
    each_cell(dividend.rows(), dividend.cols(), out, [&](std::size_t i, std::size_t j) {
        return dividend.at(i, j) / 10.0 * 0.9 + (valid.at(i, j) - 1.0);
    });
}

void trade_mask(const Aligned& price, const Aligned& limit, const Aligned& flag, TradeSide side,
                std::span<bool> out) {
    const std::size_t rows = price.rows(), cols = price.cols();
    for (std::size_t j = 0; j < cols; ++j) {
        bool* col = out.data() + j * rows;
        for (std::size_t i = 0; i < rows; ++i) {
            // A NaN comparison is false, so a price cell counts 0 unless it hits the limit.
            const double hit = price.has(i, j) ? double(price.at(i, j) == limit.at(i, j)) : kNaN;
            const double free = flag.has(i, j) ? (flag.at(i, j) == 1.0 ? kNaN : 1.0) : kNaN;
            double sum = kNaN;
            if (!(std::isnan(hit) && std::isnan(free)))
                sum = (std::isnan(hit) ? 0.0 : hit) + (std::isnan(free) ? 0.0 : free);
            col[i] = side == TradeSide::Buy ? sum <= 0.0 : sum > 0.0;
        }
    }
}

void membership_mask(View2D<double> values, std::span<double> out) {
    each_cell(values.rows, values.cols, out, [&](std::size_t i, std::size_t j) {
        const double v = values(i, j);
        return std::isfinite(v) && v != 0.0 ? 1.0 : kNaN;
    });
}

}  // namespace mirtaly::kernels
