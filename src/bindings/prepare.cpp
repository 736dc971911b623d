// mirtaly.backtest._prepare: dataset schema, builder, payload and the binary store.
#include "interop/interop.hpp"
#include "prepare/schema.hpp"

NB_MODULE(_prepare, m) {
    using namespace mirtaly::interop;
    m.doc() = "Prepared benchmark data: schema, builder, payload and binary store.";

    bind_from(m, "mirtaly.backtest._store",
              {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
               "normalize_yyyymmdd"});
    bind_from(m, "mirtaly.exceptions", {"NetworkError"});
    bind_from(m, "mirtaly.singleton", {"get_instance"});

    mirtaly::prepare::register_schema(m);
    mirtaly::prepare::register_store(m);
}
