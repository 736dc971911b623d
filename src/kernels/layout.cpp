#include "kernels/layout.hpp"

#include <algorithm>

namespace mirtaly::kernels {

template <class T>
void copy_column_major(View2D<T> src, std::span<T> dst) {
    constexpr std::size_t kTile = 64;
    for (std::size_t i0 = 0; i0 < src.rows; i0 += kTile) {
        const std::size_t i1 = std::min(src.rows, i0 + kTile);
        for (std::size_t j0 = 0; j0 < src.cols; j0 += kTile) {
            const std::size_t j1 = std::min(src.cols, j0 + kTile);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i) dst[j * src.rows + i] = src(i, j);
        }
    }
}

template void copy_column_major<double>(View2D<double>, std::span<double>);
template void copy_column_major<bool>(View2D<bool>, std::span<bool>);

}  // namespace mirtaly::kernels
