#include "interop/modules.hpp"

namespace mirtaly::interop {

nb::module_ import(const char* module) { return nb::module_::import_(module); }

nb::object attr_of(const char* module, const char* name) { return import(module).attr(name); }

nb::object pandas() { return import("pandas"); }
nb::object numpy() { return import("numpy"); }

void bind_from(nb::module_& target, const char* source, std::initializer_list<const char*> names) {
    nb::module_ src = import(source);
    for (const char* name : names) target.attr(name) = src.attr(name);
}

nb::object new_class(const char* module, const char* name, const char* doc, nb::dict ns) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return attr_of("builtins", "type")(name, nb::tuple(), ns);
}

}  // namespace mirtaly::interop
