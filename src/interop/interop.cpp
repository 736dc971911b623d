#include "interop/interop.hpp"

#include <algorithm>
#include <cmath>

namespace mirtaly::interop {

using namespace nb::literals;

nb::module_ import(const char* module) { return nb::module_::import_(module); }

nb::object attr_of(const char* module, const char* name) { return import(module).attr(name); }

nb::object pandas() { return import("pandas"); }
nb::object numpy() { return import("numpy"); }

nb::object bound(const char* module, const char* name) { return attr_of(module, name); }

void bind_from(nb::module_& target, const char* source, std::initializer_list<const char*> names) {
    nb::module_ src = import(source);
    for (const char* name : names) target.attr(name) = src.attr(name);
}

void raise_error(nb::handle exc_type, const std::string& message) {
    PyErr_SetString(exc_type.ptr(), message.c_str());
    throw nb::python_error();
}

void raise_type_error(const std::string& message) { raise_error(PyExc_TypeError, message); }
void raise_value_error(const std::string& message) { raise_error(PyExc_ValueError, message); }

void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

void raise_mirtaly_error(const std::string& message) {
    raise_error(attr_of("mirtaly.exceptions", "MirtalyError"), message);
}

std::string type_name_of(nb::handle obj) {
    return nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())))
                                     .attr("__name__"));
}

bool is_exact(nb::handle obj, PyTypeObject* type) { return Py_TYPE(obj.ptr()) == type; }

void require_exact(nb::handle obj, PyTypeObject* type, const char* arg, bool allow_none) {
    if (allow_none && obj.is_none()) return;
    if (!is_exact(obj, type)) {
        std::string expected = type->tp_name;
        if (allow_none) expected += " or None";
        raise_type_error(std::string(arg) + " must be " + expected + ", got " + type_name_of(obj));
    }
}

void require_str(nb::handle obj, const char* arg, bool allow_none) {
    require_exact(obj, &PyUnicode_Type, arg, allow_none);
}
void require_list(nb::handle obj, const char* arg, bool allow_none) {
    require_exact(obj, &PyList_Type, arg, allow_none);
}
void require_dict(nb::handle obj, const char* arg, bool allow_none) {
    require_exact(obj, &PyDict_Type, arg, allow_none);
}

static bool is_instance_of(nb::handle obj, const char* pandas_type) {
    int r = PyObject_IsInstance(obj.ptr(), pandas().attr(pandas_type).ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool is_dataframe(nb::handle obj) { return is_instance_of(obj, "DataFrame"); }
bool is_series(nb::handle obj) { return is_instance_of(obj, "Series"); }

void require_dataframe(nb::handle obj, const char* arg) {
    if (!is_dataframe(obj))
        raise_type_error(std::string(arg) + " must be a pandas DataFrame, got " + type_name_of(obj));
}
void require_series(nb::handle obj, const char* arg) {
    if (!is_series(obj))
        raise_type_error(std::string(arg) + " must be a pandas Series, got " + type_name_of(obj));
}

// Text is not a number here even when float() could parse it.
static bool numeric_candidate(nb::handle obj) {
    return !(PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) ||
             PyByteArray_Check(obj.ptr()) || obj.is_none());
}

double to_float(nb::handle obj, const char* arg) {
    if (numeric_candidate(obj)) {
        double v = PyFloat_AsDouble(obj.ptr());
        if (!(v == -1.0 && PyErr_Occurred())) return v;
        PyErr_Clear();
    }
    raise_type_error(std::string(arg) + " must be a number, got " + type_name_of(obj));
}

std::int64_t to_int(nb::handle obj, const char* arg) {
    if (numeric_candidate(obj)) {
        PyObject* as_int = PyNumber_Long(obj.ptr());
        if (as_int) {
            long long v = PyLong_AsLongLong(as_int);
            Py_DECREF(as_int);
            if (!(v == -1 && PyErr_Occurred())) return v;
        }
        PyErr_Clear();
    }
    raise_type_error(std::string(arg) + " must be an integer, got " + type_name_of(obj));
}

bool truth(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object float_values(nb::handle frame_or_series) {
    return frame_or_series.attr("to_numpy")("dtype"_a = numpy().attr("float64"), "copy"_a = false);
}

template <class T, class Arr>
static kernels::View2D<T> make_view2d(nb::handle array, const char* what) {
    Arr a;
    if (!nb::try_cast(array, a, /*convert=*/false))
        raise_type_error(std::string(what) + ": expected a 2-D " +
                         (std::is_same_v<T, bool> ? "bool" : "float64") + " array");
    return {a.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.stride(0)),
            static_cast<std::ptrdiff_t>(a.stride(1))};
}

kernels::View2D<double> view2d(nb::handle array, const char* what) {
    return make_view2d<double, ReadArray2D>(array, what);
}

kernels::View2D<bool> bool_view2d(nb::handle array, const char* what) {
    return make_view2d<bool, ReadBoolArray2D>(array, what);
}

kernels::View1D<double> view1d(nb::handle array, const char* what) {
    ReadArray1D a;
    if (!nb::try_cast(array, a, /*convert=*/false))
        raise_type_error(std::string(what) + ": expected a 1-D float64 array");
    return {a.data(), a.shape(0), static_cast<std::ptrdiff_t>(a.stride(0))};
}

std::pair<nb::object, double*> new_float_array(std::size_t n) {
    nb::object arr = numpy().attr("empty")(n, "dtype"_a = numpy().attr("float64"));
    auto a = nb::cast<nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(arr);
    return {arr, a.data()};
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

Held<kernels::View1D<double>> float_column(nb::handle series) {
    nb::object arr = is_series(series) ? float_values(series)
                                       : numpy().attr("asarray")(series, "dtype"_a = "float64");
    auto view = view1d(arr, "values");
    return {arr, view};
}

Held<kernels::View2D<double>> float_matrix(nb::handle frame_or_array) {
    nb::object arr = is_dataframe(frame_or_array)
                         ? float_values(frame_or_array)
                         : numpy().attr("asarray")(frame_or_array, "dtype"_a = "float64");
    auto view = view2d(arr, "values");
    return {arr, view};
}

Held<kernels::View2D<bool>> bool_matrix(nb::handle array, const char* what) {
    nb::object arr = nb::borrow(array);
    auto view = bool_view2d(arr, what);
    return {arr, view};
}

nb::object column(nb::handle frame, const char* name) { return frame[name]; }

nb::object make_series(nb::handle values, nb::handle index, nb::handle name) {
    return pandas().attr("Series")(values, "index"_a = index, "name"_a = name, "copy"_a = false);
}

nb::object empty_float_series() {
    return pandas().attr("Series")("dtype"_a = numpy().attr("float64"));
}

nb::object make_frame(nb::handle columns, nb::handle index) {
    return pandas().attr("DataFrame")(columns, "index"_a = index);
}

}  // namespace mirtaly::interop

namespace mirtaly::interop {

using namespace nb::literals;

Positions int_positions(nb::handle array) {
    nb::object arr = numpy().attr("ascontiguousarray")(array, "dtype"_a = numpy().attr("int64"));
    auto a = nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(
        arr);
    return {arr, {a.data(), a.shape(0), 1}};
}

std::span<const std::int64_t> as_span(const Positions& positions) {
    return {positions.view.data, positions.view.size};
}

// Text held as Python objects (object dtype, or str with python storage): the
// values of a long table repeat a few distinct objects, so a value is first
// looked up by its address (a run of one object, or a bounded address cache),
// and only then by hash and equality. pandas would hash every string's text.
static bool python_objects(nb::handle values) {
    nb::object dtype = values.attr("dtype");
    if (nb::isinstance(dtype, numpy().attr("dtype")))
        return nb::cast<std::string>(dtype.attr("kind")) == "O";
    return nb::getattr(dtype, "storage", nb::none()).equal(nb::str("python"));
}

static bool missing_object(PyObject* o) {
    if (o == Py_None) return true;
    if (PyUnicode_CheckExact(o)) return false;
    if (PyFloat_Check(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    // pd.NA, NaT, other NaNs; a container (whose isna is an array) is a value.
    nb::object r = pandas().attr("isna")(nb::handle(o));
    return PyBool_Check(r.ptr()) || nb::isinstance(r, numpy().attr("bool_")) ? truth(r) : false;
}

static Factorized factorize_objects(nb::handle values) {
    nb::object array = numpy().attr("ascontiguousarray")(values.attr("to_numpy")());
    const auto n = nb::len(array);
    auto** items = reinterpret_cast<PyObject**>(
        nb::cast<std::uintptr_t>(array.attr("__array_interface__")["data"][0]));
    nb::object owner = numpy().attr("empty")(n, "dtype"_a = "int64");
    auto out = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig>>(owner).data();

    constexpr std::size_t kSlots = 1 << 16;
    std::vector<std::pair<PyObject*, std::int64_t>> cache(kSlots, {nullptr, -1});
    nb::dict code_of;
    nb::list uniques;
    PyObject* last = nullptr;
    std::int64_t last_code = -1;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = items[i];
        if (o != last) {
            auto& slot = cache[(reinterpret_cast<std::uintptr_t>(o) >> 4) & (kSlots - 1)];
            if (slot.first == o) {
                last_code = slot.second;
            } else {
                if (missing_object(o)) {
                    last_code = -1;
                } else {
                    nb::handle value(o);
                    nb::object known = code_of.get(value, nb::none());
                    if (known.is_none()) {
                        known = nb::int_(nb::len(uniques));
                        code_of[value] = known;
                        uniques.append(value);
                    }
                    last_code = nb::cast<std::int64_t>(known);
                }
                slot = {o, last_code};
            }
            last = o;
        }
        out[i] = last_code;
    }
    return {int_positions(owner), uniques};
}

Factorized factorize(nb::handle values) {
    if (python_objects(values)) return factorize_objects(values);
    nb::tuple got = nb::borrow<nb::tuple>(pandas().attr("factorize")(values));
    return {int_positions(got[0]), nb::borrow<nb::list>(nb::object(got[1]).attr("tolist")())};
}

Positions positions_in(nb::handle source, nb::handle target) {
    return int_positions(source.attr("get_indexer")(target));
}

Joined outer_join(nb::handle left, nb::handle right) {
    auto identity = [](nb::handle labels) {
        return int_positions(numpy().attr("arange")(nb::len(labels)));
    };
    if (truth(left.attr("equals")(right))) return {nb::borrow(left), identity(left), identity(left)};
    nb::tuple got = nb::borrow<nb::tuple>(
        left.attr("join")(right, "how"_a = "outer", "return_indexers"_a = true));
    nb::object labels = got[0];
    // join() leaves out the indexer of a side that needs no reordering.
    auto side = [&](nb::handle indexer) {
        return indexer.is_none() ? identity(labels) : int_positions(indexer);
    };
    return {labels, side(got[1]), side(got[2])};
}

std::vector<std::int64_t> labels_where(nb::handle labels, const char* op, nb::handle bound) {
    Positions hits = int_positions(numpy().attr("flatnonzero")(labels.attr(op)(bound)));
    auto span = as_span(hits);
    return {span.begin(), span.end()};
}

bool has_column(nb::handle frame, nb::handle name) {
    int found = PySequence_Contains(frame.attr("columns").ptr(), name.ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
}

bool has_column(nb::handle frame, const char* name) { return has_column(frame, nb::str(name)); }

nb::object to_numbers(nb::handle values) {
    // Numbers stay as they are: to_numeric would only copy them.
    nb::object is_numeric = pandas().attr("api").attr("types").attr("is_numeric_dtype");
    if (nb::hasattr(values, "dtype") && truth(is_numeric(values.attr("dtype"))))
        return nb::borrow(values);
    return pandas().attr("to_numeric")(values, "errors"_a = "coerce");
}

nb::object float_array_of(nb::handle series) {
    // na_value=np.nan (that object) keeps a float64 Series' values uncopied.
    return series.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = numpy().attr("nan"));
}

nb::object empty_frame() { return pandas().attr("DataFrame")(); }

template <class T>
static std::pair<nb::object, T*> new_matrix(std::size_t rows, std::size_t cols, const char* dtype) {
    nb::object arr = numpy().attr("empty")(nb::make_tuple(cols, rows), "dtype"_a = dtype);
    auto a = nb::cast<nb::ndarray<T, nb::ndim<2>, nb::c_contig, nb::device::cpu>>(arr);
    return {arr.attr("T"), a.data()};
}

std::pair<nb::object, double*> new_float_matrix(std::size_t rows, std::size_t cols) {
    return new_matrix<double>(rows, cols, "float64");
}

std::pair<nb::object, bool*> new_bool_matrix(std::size_t rows, std::size_t cols) {
    return new_matrix<bool>(rows, cols, "bool");
}

nb::object matrix_frame(nb::handle values, nb::handle index, nb::handle columns) {
    return pandas().attr("DataFrame")(values, "index"_a = index, "columns"_a = columns,
                                      "copy"_a = false);
}

bool has_rows(nb::handle frame_or_none) {
    return !frame_or_none.is_none() && nb::len(frame_or_none) > 0;
}

nb::object sorted_by_index(nb::handle frame) {
    if (truth(frame.attr("index").attr("is_monotonic_increasing"))) return nb::borrow(frame);
    return frame.attr("sort_index")();
}

nb::object rows_between(nb::handle obj, nb::handle start, nb::handle end) {
    const std::size_t n = nb::len(obj);
    if (n == 0 || (start.is_none() && end.is_none())) return nb::borrow(obj);
    // Date text orders YYYYMMDD dates correctly, whatever the index holds.
    nb::object dates = obj.attr("index").attr("astype")(attr_of("builtins", "str"));
    if (truth(dates.attr("is_monotonic_increasing"))) {
        auto bound = [&](nb::handle date, const char* side, std::size_t open) {
            if (date.is_none()) return open;
            return nb::cast<std::size_t>(dates.attr("searchsorted")(date, "side"_a = side));
        };
        const std::size_t lo = bound(start, "left", 0), hi = std::max(lo, bound(end, "right", n));
        if (lo == 0 && hi == n) return nb::borrow(obj);
        return obj.attr("iloc")[nb::slice(lo, hi)];
    }
    nb::object keep = numpy().attr("ones")(n, "dtype"_a = "bool");
    if (!start.is_none()) keep = keep.attr("__and__")(dates.attr("__ge__")(start));
    if (!end.is_none()) keep = keep.attr("__and__")(dates.attr("__le__")(end));
    return obj.attr("__getitem__")(numpy().attr("asarray")(keep));
}

}  // namespace mirtaly::interop
