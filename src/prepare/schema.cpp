#include "prepare/schema.hpp"

namespace mirtaly::prepare {

namespace io = mirtaly::interop;

nb::object module_attr(const char* name) { return io::attr_of(kModule, name); }

nb::list parse_name_list(nb::handle raw_values) {
    nb::list out;
    if (raw_values.is_none()) return out;
    nb::object values = nb::borrow(raw_values);
    if (io::is_text(raw_values)) {
        nb::object text = nb::str(raw_values);
        for (const char* sep : {"，", "；", ";", "\n"}) text = text.attr("replace")(sep, ",");
        values = text.attr("split")(",");
    }
    for (nb::handle item : values) {
        nb::object name = nb::str(item).attr("strip")();
        if (nb::len(name) > 0) out.append(name);
    }
    return out;
}

nb::list get_component_factor_names() {
    return parse_name_list(module_attr("COMPONENT_FACTOR_NAMES"));
}

nb::dict build_matrix_dtype(nb::handle component_names) {
    io::require_list(component_names, "component_names", /*allow_none=*/true);
    nb::dict mapping = nb::borrow<nb::dict>(module_attr("BASE_MATRIX_DTYPE").attr("copy")());
    nb::list names = component_names.is_none() ? parse_name_list(get_component_factor_names())
                                               : parse_name_list(component_names);
    nb::object key_of = module_attr("component_dataset_key");
    nb::object float_dtype = module_attr("FLOAT_STORAGE_DTYPE");
    for (nb::handle name : names) mapping[key_of(name)] = float_dtype;
    return mapping;
}

nb::object series_to_yyyymmdd(nb::handle values) { return io::to_yyyymmdd_series(values); }

}  // namespace mirtaly::prepare
