// Strided, non-owning views over numpy buffers. Kernels take these and never see Python.
#pragma once

#include <cstddef>
#include <span>

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

}  // namespace mirtaly::kernels
