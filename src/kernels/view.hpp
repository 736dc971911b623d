// Strided, non-owning views over numpy buffers. Kernels take these and never see Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace mirtaly::kernels {

template <class T>
struct View1D {
    const T* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 1;  // in elements

    const T& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

// A contiguous buffer seen as a series.
template <class T>
View1D<T> view_of(std::span<const T> values) {
    return {values.data(), values.size(), 1};
}

template <class T>
struct View2D {
    const T* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // in elements
    std::ptrdiff_t col_stride = 0;  // in elements

    const T& operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    View1D<T> column(std::size_t j) const {
        return {data + static_cast<std::ptrdiff_t>(j) * col_stride, rows, row_stride};
    }
    View1D<T> row(std::size_t i) const {
        return {data + static_cast<std::ptrdiff_t>(i) * row_stride, cols, col_stride};
    }
    // Column-major data is walked stock by stock; row-major data day by day.
    bool column_major() const { return rows <= 1 || row_stride == 1; }
};

// A matrix whose rows and columns are chosen rows and columns of a buffer: cell
// (i, j) is data[row_offset[i] + col_offset[j]] (offsets in elements). A frame
// holding more dates or stocks than wanted is read in place this way instead of
// being copied. Every cell exists (kernels::Aligned is the form with missing
// labels); the offsets are worked out once, so reading a cell costs no
// multiplication.
template <class T>
struct Gathered2D {
    const T* data = nullptr;
    std::vector<std::ptrdiff_t> row_offset, col_offset;
    // The buffer's own strides: they tell which axis lies along memory.
    std::ptrdiff_t row_stride = 0, col_stride = 0;

    // Row i of the result is row rows[i] of `v`, column j its column cols[j]; an
    // empty span takes every row (column) in order.
    static Gathered2D of(View2D<T> v, std::span<const std::int64_t> rows = {},
                         std::span<const std::int64_t> cols = {}) {
        Gathered2D g{v.data, {}, {}, v.row_stride, v.col_stride};
        auto offsets = [](std::vector<std::ptrdiff_t>& out, std::size_t n,
                          std::span<const std::int64_t> at, std::ptrdiff_t stride) {
            out.resize(at.empty() ? n : at.size());
            for (std::size_t k = 0; k < out.size(); ++k)
                out[k] = (at.empty() ? static_cast<std::ptrdiff_t>(k) : at[k]) * stride;
        };
        offsets(g.row_offset, v.rows, rows, v.row_stride);
        offsets(g.col_offset, v.cols, cols, v.col_stride);
        return g;
    }

    std::size_t rows() const { return row_offset.size(); }
    std::size_t cols() const { return col_offset.size(); }
    const T& operator()(std::size_t i, std::size_t j) const {
        return data[row_offset[i] + col_offset[j]];
    }
    // Whether a column's cells lie closer together in memory than a row's.
    bool rows_along_memory() const { return std::abs(row_stride) <= std::abs(col_stride); }
};

}  // namespace mirtaly::kernels
