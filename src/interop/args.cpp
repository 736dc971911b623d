#include "interop/args.hpp"

#include <nanobind/stl/string.h>

#include "interop/modules.hpp"

namespace mirtaly::interop {

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

bool is_instance(nb::handle obj, nb::handle type) {
    int r = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool is_text(nb::handle obj) { return PyUnicode_Check(obj.ptr()); }
bool is_dict(nb::handle obj) { return PyDict_Check(obj.ptr()); }

bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

static void require_exact(nb::handle obj, PyTypeObject* type, const char* arg, bool allow_none) {
    if (allow_none && obj.is_none()) return;
    if (Py_TYPE(obj.ptr()) != type) {
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

void require_path_like(nb::handle obj, const char* arg) {
    if (!is_text(obj) && !is_instance(obj, attr_of("os", "PathLike")))
        raise_type_error(std::string(arg) + " must be str or a path, got " + type_name_of(obj));
}

bool is_dataframe(nb::handle obj) { return is_instance(obj, pandas().attr("DataFrame")); }
bool is_series(nb::handle obj) { return is_instance(obj, pandas().attr("Series")); }

void require_dataframe(nb::handle obj, const char* arg) {
    if (!is_dataframe(obj))
        raise_type_error(std::string(arg) + " must be a pandas DataFrame, got " + type_name_of(obj));
}
void require_series(nb::handle obj, const char* arg) {
    if (!is_series(obj))
        raise_type_error(std::string(arg) + " must be a pandas Series, got " + type_name_of(obj));
}

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

std::optional<long long> integer_of(nb::handle obj) {
    PyObject* p = obj.ptr();
    if (!PyLong_Check(p) || PyBool_Check(p)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (overflow) return std::nullopt;
    return v;
}

std::optional<std::string_view> trimmed_text_of(nb::handle obj) {
    if (!is_text(obj)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (!text) throw nb::python_error();
    constexpr std::string_view blanks = " \t\n\r\f\v";
    std::string_view s(text, static_cast<std::size_t>(size));
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::string_view();
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

}  // namespace mirtaly::interop
