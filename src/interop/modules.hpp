// Python modules and the names they bind.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace nb = nanobind;

namespace mirtaly::interop {

nb::module_ import(const char* module);

// module.name, looked up at every call: a name a module binds at load then
// stays replaceable like any module global.
nb::object attr_of(const char* module, const char* name);

nb::object pandas();
nb::object numpy();

// Copies `names` from module `source` into module `target` (load-time binding).
void bind_from(nb::module_& target, const char* source, std::initializer_list<const char*> names);

// A plain Python class made at module load: methods and other attributes in
// `ns`, no base class but object.
nb::object new_class(const char* module, const char* name, const char* doc, nb::dict ns);

// Runs `body` with Python's warnings silenced; the filters are restored
// afterwards, also when `body` raises.
template <class Body>
auto quietly(Body&& body) {
    nb::object guard = import("warnings").attr("catch_warnings")();
    guard.attr("__enter__")();
    struct Exit {
        nb::handle guard;
        ~Exit() {
            // The filters were saved on entry; putting them back cannot fail.
            nb::object none = nb::none();
            PyObject* r = PyObject_CallMethod(guard.ptr(), "__exit__", "OOO", none.ptr(),
                                              none.ptr(), none.ptr());
            if (r) Py_DECREF(r);
            else PyErr_Clear();
        }
    } exit{guard};
    import("warnings").attr("simplefilter")("ignore");
    return std::forward<Body>(body)();
}

}  // namespace mirtaly::interop
