// Strided, non-owning views over numpy buffers. Kernels take these and never see Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirtaly::kernels {

template <class T>
struct View1D {
    const T* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 1;  // in elements

    const T& operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

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

// A View2D read through position maps: cell (i, j) is the source's cell
// (rows[i], cols[j]), and a negative position (a label the source lacks) reads
// `missing`. A null map reads the source's own positions. A kernel can so use
// the few cells it needs of a large matrix without gathering the matrix first.
template <class T>
struct MappedView2D {
    View2D<T> source;
    const std::int64_t* rows = nullptr;
    const std::int64_t* cols = nullptr;
    T missing{};

    MappedView2D() = default;
    MappedView2D(View2D<T> view) : source(view) {}  // a plain view reads itself

    T operator()(std::size_t i, std::size_t j) const {
        const std::int64_t r = rows ? rows[i] : static_cast<std::int64_t>(i);
        const std::int64_t c = cols ? cols[j] : static_cast<std::int64_t>(j);
        if (r < 0 || c < 0) return missing;
        return source(static_cast<std::size_t>(r), static_cast<std::size_t>(c));
    }
    bool column_major() const { return source.column_major(); }
};

}  // namespace mirtaly::kernels
