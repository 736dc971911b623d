// Matrices copied into another memory order.
#pragma once

#include <span>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// Copies `src` into `dst` column by column (column-major, rows x cols), tile
// by tile so that both sides are read and written in cache-sized pieces.
template <class T>
void copy_column_major(View2D<T> src, std::span<T> dst);

}  // namespace mirtaly::kernels
