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
#include <vector>

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
bool has_column(nb::handle frame, nb::handle name);
bool has_column(nb::handle frame, const char* name);
// pd.to_numeric(values, errors="coerce"): what does not convert becomes NaN;
// values that are numbers already are returned as they are.
nb::object to_numbers(nb::handle values);
// A Series' values as a float64 array, missing values (of any dtype) as NaN.
nb::object float_array_of(nb::handle series);

// ---- labels ---------------------------------------------------------------

// int64 positions or codes, with the array that owns them.
using Positions = Held<kernels::View1D<std::int64_t>>;
// A 1-D array as int64 (copied only when it is not int64 already).
Positions int_positions(nb::handle array);
std::span<const std::int64_t> as_span(const Positions& positions);

// pd.factorize(values): a code per value (-1 for a missing one) and the distinct values.
struct Factorized {
    Positions codes;
    nb::list uniques;
};
Factorized factorize(nb::handle values);

// source.get_indexer(target): where each label of `target` sits in `source`, -1 if absent.
Positions positions_in(nb::handle source, nb::handle target);

// Two label sets aligned as pandas arithmetic aligns operands: equal labels are
// kept as they are, others become their outer join. `left` and `right` give each
// operand's position of every joined label (-1 where it lacks the label).
struct Joined {
    nb::object labels;
    Positions left, right;
};
Joined outer_join(nb::handle left, nb::handle right);

// Positions of the labels for which labels.<op>(bound) holds ("__ge__", "__le__").
std::vector<std::int64_t> labels_where(nb::handle labels, const char* op, nb::handle bound);

// ---- pandas objects -------------------------------------------------------

nb::object make_series(nb::handle values, nb::handle index, nb::handle name = nb::none());
nb::object empty_float_series();
// DataFrame from a dict of column name -> values, with an explicit index.
nb::object make_frame(nb::handle columns, nb::handle index);
nb::object empty_frame();

// Fresh column-major rows x cols arrays (pandas' own block layout) and their buffers.
std::pair<nb::object, double*> new_float_matrix(std::size_t rows, std::size_t cols);
std::pair<nb::object, bool*> new_bool_matrix(std::size_t rows, std::size_t cols);
// A DataFrame over `values` without copying them.
nb::object matrix_frame(nb::handle values, nb::handle index, nb::handle columns);

bool has_rows(nb::handle frame_or_none);
// The frame sorted by its index; the frame itself when it already is.
nb::object sorted_by_index(nb::handle frame);
// Rows of a frame or Series whose date text lies in [start, end] (None: open end):
// a slice when the dates are sorted, the frame itself when nothing is cut.
nb::object rows_between(nb::handle obj, nb::handle start, nb::handle end);

}  // namespace mirtaly::interop
