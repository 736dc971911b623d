// Python modules and the names they bind.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

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

// Runs `body` inside the context manager `manager`; its __exit__ runs also
// when the body fails, and then the body's error is the one that propagates.
template <class Body>
void within(nb::handle manager, Body&& body) {
    manager.attr("__enter__")();
    try {
        body();
    } catch (...) {
        nb::object none = nb::none();
        PyObject* r = PyObject_CallMethod(manager.ptr(), "__exit__", "OOO", none.ptr(),
                                          none.ptr(), none.ptr());
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        throw;
    }
    manager.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

}  // namespace mirtaly::interop
