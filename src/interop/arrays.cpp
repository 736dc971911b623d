#include "interop/arrays.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>
#include <type_traits>

#include "interop/args.hpp"
#include "interop/modules.hpp"

namespace mirtaly::interop {

using namespace nb::literals;

namespace {

template <class T>
using Read2D = nb::ndarray<const T, nb::ndim<2>, nb::device::cpu>;

template <class T>
kernels::View2D<T> view2d(nb::handle array, const char* what) {
    Read2D<T> a;
    if (!nb::try_cast(array, a, /*convert=*/false))
        raise_type_error(std::string(what) + ": expected a 2-D " +
                         (std::is_same_v<T, bool> ? "bool" : "float64") + " array");
    return {a.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.stride(0)),
            static_cast<std::ptrdiff_t>(a.stride(1))};
}

kernels::View1D<double> view1d(nb::handle array, const char* what) {
    nb::ndarray<const double, nb::ndim<1>, nb::device::cpu> a;
    if (!nb::try_cast(array, a, /*convert=*/false))
        raise_type_error(std::string(what) + ": expected a 1-D float64 array");
    return {a.data(), a.shape(0), static_cast<std::ptrdiff_t>(a.stride(0))};
}

// to_numpy(dtype=float64, copy=False): a view whenever pandas can give one.
nb::object float_values(nb::handle frame_or_series) {
    return frame_or_series.attr("to_numpy")("dtype"_a = numpy().attr("float64"), "copy"_a = false);
}

nb::object as_float_array(nb::handle obj) {
    return numpy().attr("asarray")(obj, "dtype"_a = "float64");
}

template <class T>
std::pair<nb::object, T*> new_matrix(std::size_t rows, std::size_t cols, const char* dtype) {
    nb::object arr = numpy().attr("empty")(nb::make_tuple(rows, cols), "dtype"_a = dtype,
                                           "order"_a = "F");
    auto a = nb::cast<nb::ndarray<T, nb::ndim<2>, nb::f_contig, nb::device::cpu>>(arr);
    return {arr, a.data()};
}

}  // namespace

Held<kernels::View1D<double>> float_column(nb::handle series) {
    nb::object arr = is_series(series) ? float_values(series) : as_float_array(series);
    return {arr, view1d(arr, "values")};
}

Held<kernels::View2D<double>> float_matrix(nb::handle frame_or_array) {
    nb::object arr = is_dataframe(frame_or_array) ? float_values(frame_or_array)
                                                  : as_float_array(frame_or_array);
    return {arr, view2d<double>(arr, "values")};
}

nb::object float_array_of(nb::handle series) {
    // na_value=np.nan (that very object) keeps a float64 Series' values uncopied.
    return series.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = numpy().attr("nan"));
}

Held<kernels::View2D<bool>> bool_matrix(nb::handle array, const char* what) {
    return {nb::borrow(array), view2d<bool>(array, what)};
}

std::pair<nb::object, double*> new_float_array(std::size_t n) {
    nb::object arr = numpy().attr("empty")(n, "dtype"_a = numpy().attr("float64"));
    auto a = nb::cast<nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(arr);
    return {arr, a.data()};
}

std::pair<nb::object, double*> new_float_matrix(std::size_t rows, std::size_t cols) {
    return new_matrix<double>(rows, cols, "float64");
}

std::pair<nb::object, bool*> new_bool_matrix(std::size_t rows, std::size_t cols) {
    return new_matrix<bool>(rows, cols, "bool");
}

nb::object float_array_from(std::span<const double> values) {
    auto [arr, data] = new_float_array(values.size());
    std::copy(values.begin(), values.end(), data);
    return arr;
}

nb::object int_array_from(std::span<const std::int64_t> values) {
    nb::object arr = numpy().attr("empty")(values.size(), "dtype"_a = numpy().attr("int64"));
    auto a = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(arr);
    std::copy(values.begin(), values.end(), a.data());
    return arr;
}

nb::object float_grid_from(std::span<const double> values, std::size_t rows, std::size_t cols) {
    return float_array_from(values).attr("reshape")(rows, cols);
}

std::vector<std::int64_t> int_values(nb::handle array) {
    nb::object as_int64 = numpy().attr("asarray")(array, "dtype"_a = "int64");
    auto a = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::device::cpu>>(as_int64);
    std::vector<std::int64_t> out(a.shape(0));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = a(i);
    return out;
}

}  // namespace mirtaly::interop
