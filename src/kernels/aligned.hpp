// A matrix seen through the labels of another grid, as pandas aligns operands.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// Output row i reads the operand's row row_of[i], output column j its column
// col_of[j]; -1 marks a label the operand lacks, a cell that pandas' alignment
// fills with NaN.
struct Aligned {
    View2D<double> values;
    std::span<const std::int64_t> row_of;
    std::span<const std::int64_t> col_of;

    std::size_t rows() const { return row_of.size(); }
    std::size_t cols() const { return col_of.size(); }
    bool has(std::size_t i, std::size_t j) const { return row_of[i] >= 0 && col_of[j] >= 0; }
    double at(std::size_t i, std::size_t j) const {
        return has(i, j) ? values(static_cast<std::size_t>(row_of[i]),
                                  static_cast<std::size_t>(col_of[j]))
                         : std::numeric_limits<double>::quiet_NaN();
    }
};

}  // namespace mirtaly::kernels
