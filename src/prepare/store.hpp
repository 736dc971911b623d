// Methods of BinaryPreparedDataStore, the store base with the component schema.
#pragma once

#include "interop/interop.hpp"

namespace mirtaly::prepare {

void store_init(nb::handle self, nb::handle store_dir, nb::handle component_names);
nb::object store_load(nb::handle self, nb::handle start_date, nb::handle end_date,
                      nb::handle keys, nb::handle mmap);
nb::list store_add_component_matrices(nb::handle self, nb::handle component_matrices,
                                      nb::handle component_names);

}  // namespace mirtaly::prepare
