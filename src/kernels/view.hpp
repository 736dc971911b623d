// Strided, non-owning views over numpy buffers. Kernels take these and never see Python.
#pragma once

#include <cstddef>
#include <cstdint>
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
    View2D<T> transposed() const { return {data, cols, rows, col_stride, row_stride}; }
    // Column-major data is walked stock by stock; row-major data day by day.
    bool column_major() const { return rows <= 1 || row_stride == 1; }
};

// A line read in place: element k at base[k * stride].
template <class T>
struct StridedLine {
    const T* base = nullptr;
    std::ptrdiff_t stride = 0;

    T operator[](std::size_t k) const { return base[static_cast<std::ptrdiff_t>(k) * stride]; }
};

// One line (a column or a row) of a mapped matrix: element k is the source
// line's element map[k] (element k without a map), and a negative position
// reads `missing`; so does every element of a line the source lacks.
template <class T>
struct MappedLine {
    const T* base = nullptr;  // null: the source lacks this line
    std::ptrdiff_t stride = 0;
    const std::int64_t* map = nullptr;
    T missing{};

    T operator[](std::size_t k) const {
        auto p = static_cast<std::ptrdiff_t>(k);
        if (map) {
            p = map[k];
            if (p < 0) return missing;
        }
        return base ? base[p * stride] : missing;
    }

    // Without a map, over a line the source has, elements are read in place.
    bool in_place() const { return base && !map; }
    StridedLine<T> strided() const { return {base, stride}; }
};

// A View2D read through position maps: cell (i, j) is the source's cell
// (rows[i], cols[j]), and a negative position (a label the source lacks) reads
// `missing`. A null map reads the source's own positions. A kernel can so use
// the few cells it needs of a large matrix without gathering the matrix first;
// it reads them a line at a time, resolving one axis per line.
template <class T>
struct MappedView2D {
    View2D<T> source;
    const std::int64_t* rows = nullptr;
    const std::int64_t* cols = nullptr;
    T missing{};

    MappedView2D() = default;
    MappedView2D(View2D<T> view) : source(view) {}  // a plain view reads itself

    MappedLine<T> column(std::size_t j) const {
        return line(cols, j, source.col_stride, source.row_stride, rows);
    }
    MappedLine<T> row(std::size_t i) const {
        return line(rows, i, source.row_stride, source.col_stride, cols);
    }
    bool column_major() const { return source.column_major(); }

  private:
    MappedLine<T> line(const std::int64_t* across, std::size_t at, std::ptrdiff_t across_stride,
                       std::ptrdiff_t along_stride, const std::int64_t* along) const {
        const std::int64_t p = across ? across[at] : static_cast<std::int64_t>(at);
        const T* base = p < 0 ? nullptr : source.data + p * across_stride;
        return {base, along_stride, along, missing};
    }
};

}  // namespace mirtaly::kernels
