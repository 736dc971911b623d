// numpy buffers as kernel views, and fresh numpy arrays for results.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "kernels/view.hpp"

namespace nb = nanobind;

namespace mirtaly::interop {

// A view together with the object that owns its buffer; the view is valid
// while `owner` is alive.
template <class View>
struct Held {
    nb::object owner;
    View view;
};

// A Series' (or 1-D array-like's) values as float64, a view whenever pandas can give one.
Held<kernels::View1D<double>> float_column(nb::handle series);
// A frame's values as float64 (to_numpy), or any array-like via numpy.asarray.
Held<kernels::View2D<double>> float_matrix(nb::handle frame_or_array);
// A Series' values as a fresh-or-viewed float64 array, missing values (of any
// dtype) as NaN.
nb::object float_array_of(nb::handle series);
// A 2-D numpy array that must already be boolean (TypeError naming `what` otherwise).
Held<kernels::View2D<bool>> bool_matrix(nb::handle array, const char* what);

// A fresh writable float64 array of n elements and its buffer.
std::pair<nb::object, double*> new_float_array(std::size_t n);
// Fresh column-major (rows, cols) arrays and their buffers.
std::pair<nb::object, double*> new_float_matrix(std::size_t rows, std::size_t cols);
std::pair<nb::object, bool*> new_bool_matrix(std::size_t rows, std::size_t cols);
// Fresh numpy arrays holding a copy of `values`.
nb::object float_array_from(std::span<const double> values);
nb::object int_array_from(std::span<const std::int64_t> values);
// Fresh (rows, cols) float64 array from row-major `values`.
nb::object float_grid_from(std::span<const double> values, std::size_t rows, std::size_t cols);

// A 1-D integer array (numpy indexer results) as int64 values.
std::vector<std::int64_t> int_values(nb::handle array);

}  // namespace mirtaly::interop
