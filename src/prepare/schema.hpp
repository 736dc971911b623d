// Vocabulary of the prepared data: factor names, benchmark codes, dataset schema.
#pragma once

#include "interop/interop.hpp"

namespace mirtaly::prepare {

inline constexpr const char* kModule = "mirtaly.backtest._prepare";

// A name of the module, looked up at call time (module globals stay replaceable).
nb::object module_attr(const char* name);

void register_schema(nb::module_& m);
void register_store(nb::module_& m);

// Module-level functions, also used by the rest of the module.
nb::list parse_name_list(nb::handle raw_values);
nb::list get_component_factor_names();
nb::dict build_matrix_dtype(nb::handle component_names);
nb::object series_to_yyyymmdd(nb::handle values);

}  // namespace mirtaly::prepare
