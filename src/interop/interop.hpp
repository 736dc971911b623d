// The one place where Python objects become arrays and back. Everything that
// touches pandas or numpy on behalf of a kernel goes through these helpers.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "kernels/view.hpp"

namespace nb = nanobind;

namespace mirtaly::interop {

// ---- modules and bound names ---------------------------------------------

nb::module_ import(const char* module);
nb::object attr_of(const char* module, const char* name);
nb::object pandas();
nb::object numpy();

// Names a module binds at load live as its attributes; looking them up at call
// time (instead of caching a C++ handle) keeps them replaceable like any
// module global.
nb::object bound(const char* module, const char* name);

// Copies `names` from module `source` into module `target` (load-time binding).
void bind_from(nb::module_& target, const char* source, std::initializer_list<const char*> names);

// ---- errors ---------------------------------------------------------------

[[noreturn]] void raise_error(nb::handle exc_type, const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_key_error(nb::handle key);
// mirtaly.exceptions.MirtalyError / NetworkError
[[noreturn]] void raise_mirtaly_error(const std::string& message);

// ---- argument checks ------------------------------------------------------

std::string type_name_of(nb::handle obj);
// Exact type match: subclasses are rejected, as the public contracts demand.
bool is_exact(nb::handle obj, PyTypeObject* type);
void require_exact(nb::handle obj, PyTypeObject* type, const char* arg, bool allow_none = false);
void require_str(nb::handle obj, const char* arg, bool allow_none = false);
void require_list(nb::handle obj, const char* arg, bool allow_none = false);
void require_dict(nb::handle obj, const char* arg, bool allow_none = false);
bool is_dataframe(nb::handle obj);
bool is_series(nb::handle obj);
void require_dataframe(nb::handle obj, const char* arg);
void require_series(nb::handle obj, const char* arg);
// A str (exactly) or an os.PathLike.
void require_path(nb::handle obj, const char* arg, bool allow_none = false);

// float(obj) / int(obj) with a TypeError for anything that is not a number.
double to_float(nb::handle obj, const char* arg);
std::int64_t to_int(nb::handle obj, const char* arg);
bool truth(nb::handle obj);

// ---- arrays ---------------------------------------------------------------

using ReadArray2D = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using ReadArray1D = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
using ReadBoolArray2D = nb::ndarray<const bool, nb::ndim<2>, nb::device::cpu>;

// frame.to_numpy(dtype=float64, copy=False): a view whenever pandas can give one.
nb::object float_values(nb::handle frame_or_series);

// Views over float64 / bool numpy arrays; the caller keeps the array alive.
kernels::View2D<double> view2d(nb::handle array, const char* what);
kernels::View1D<double> view1d(nb::handle array, const char* what);
kernels::View2D<bool> bool_view2d(nb::handle array, const char* what);

// A fresh writable float64 array of n elements and its buffer.
std::pair<nb::object, double*> new_float_array(std::size_t n);
// Fresh numpy arrays holding a copy of `values`.
nb::object float_array_from(std::span<const double> values);
nb::object int_array_from(std::span<const std::int64_t> values);

// An array together with the object that owns its buffer.
template <class View>
struct Held {
    nb::object owner;
    View view;
};
// A Series' (or 1-D array's) values as float64, a view whenever pandas can give one.
Held<kernels::View1D<double>> float_column(nb::handle series);
// A frame's values as float64 (to_numpy), or any array-like via numpy.asarray.
Held<kernels::View2D<double>> float_matrix(nb::handle frame_or_array);
// A 2-D numpy array that must already be boolean.
Held<kernels::View2D<bool>> bool_matrix(nb::handle array, const char* what);

// frame[name]: pandas raises KeyError for a missing column.
nb::object column(nb::handle frame, const char* name);

// ---- pandas objects -------------------------------------------------------

nb::object make_series(nb::handle values, nb::handle index, nb::handle name = nb::none());
nb::object empty_float_series();
// DataFrame from a dict of column name -> values, with an explicit index.
nb::object make_frame(nb::handle columns, nb::handle index);

// DataFrame over the first rows x cols values of a flat float64 array that
// holds the matrix column by column (pandas' own layout): no copy is made.
nb::object column_major_frame(nb::handle flat, std::size_t rows, std::size_t cols, nb::handle index,
                              nb::handle columns);

// The rows of a DataFrame or Series whose labels lie between `first` and
// `last`, both inclusive (None: unbounded). A sorted text index is cut by
// position (searchsorted and iloc), so the rows are a view, not a copy; any
// other index falls back to a boolean mask.
nb::object label_window(nb::handle obj, nb::handle first, nb::handle last);

// A plain Python class made at module load: methods and other attributes in
// `ns`, no base class but object.
nb::object new_class(const char* module, const char* name, const char* doc, nb::dict ns);

}  // namespace mirtaly::interop
