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

void require_path(nb::handle obj, const char* arg, bool allow_none) {
    if (allow_none && obj.is_none()) return;
    if (is_exact(obj, &PyUnicode_Type)) return;
    int r = PyObject_IsInstance(obj.ptr(), attr_of("os", "PathLike").ptr());
    if (r < 0) throw nb::python_error();
    if (r == 0)
        raise_type_error(std::string(arg) + " must be str or a path" +
                         (allow_none ? " or None" : "") + ", got " + type_name_of(obj));
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

nb::object column_major_frame(nb::handle flat, std::size_t rows, std::size_t cols, nb::handle index,
                              nb::handle columns) {
    nb::object values = flat[nb::slice(nb::int_(0), nb::int_(rows * cols), nb::none())]
                            .attr("reshape")(cols, rows)
                            .attr("T");
    return pandas().attr("DataFrame")(values, "index"_a = index, "columns"_a = columns,
                                      "copy"_a = false);
}

nb::object label_window(nb::handle obj, nb::handle first, nb::handle last) {
    nb::object index = obj.attr("index");
    if (truth(index.attr("is_monotonic_increasing")) &&
        nb::cast<std::string>(index.attr("inferred_type")) == "string") {
        nb::object lo =
            first.is_none() ? nb::int_(0) : index.attr("searchsorted")(first, "side"_a = "left");
        nb::object hi = last.is_none() ? nb::int_(nb::len(index))
                                       : index.attr("searchsorted")(last, "side"_a = "right");
        return obj.attr("iloc")[nb::slice(lo, hi, nb::none())];
    }
    nb::object keep = numpy().attr("ones")(nb::len(index), "dtype"_a = "bool");
    if (!first.is_none()) keep = keep & index.attr("__ge__")(first);
    if (!last.is_none()) keep = keep & index.attr("__le__")(last);
    return obj.attr("loc")[keep];
}

nb::object new_class(const char* module, const char* name, const char* doc, nb::dict ns) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return attr_of("builtins", "type")(name, nb::tuple(), ns);
}

}  // namespace mirtaly::interop
