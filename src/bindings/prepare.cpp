// mirtaly.backtest._prepare: dataset schema, builder, payload and the binary store.
#include <cmath>

#include "interop/interop.hpp"
#include "prepare/builder.hpp"
#include "prepare/schema.hpp"

namespace {

using namespace nb::literals;
using mirtaly::interop::truth;
using Builder = mirtaly::prepare::GroupPreparedDataBuilder;

void register_builder(nb::module_& m) {
    nb::class_<Builder>(m, "GroupPreparedDataBuilder",
                        "Reads factors through the market data client and builds the prepared "
                        "datasets, component masks and benchmark series of a date range.")
        .def(nb::init<nb::handle, nb::handle>(), "start_date"_a.none(), "end_date"_a.none())
        .def_ro("default_start", &Builder::default_start)
        .def_ro("end_date", &Builder::end_date)
        .def_ro("_ddb_start", &Builder::ddb_start)
        .def_ro("_ddb_end", &Builder::ddb_end)
        .def_static("_normalize_ddb_backtest_date", &Builder::normalize_ddb_backtest_date,
                    "date_value"_a.none())
        .def_static("_mr_factor_date", &Builder::mr_factor_date, "date_value"_a.none())
        .def_static("_empty_like", &Builder::empty_like, "reference"_a.none(),
                    "fill_value"_a.none() = nb::float_(std::nan("")))
        .def("_read_normal_factor_matrix", &Builder::read_normal_factor_matrix, "name"_a.none())
        .def(
            "_mr_factors_to_matrices",
            [](const Builder&, nb::handle df, nb::handle names) {
                return Builder::mr_factors_to_matrices(df, names);
            },
            "df"_a.none(), "names"_a.none())
        .def("_read_normal_factor_batch", &Builder::read_normal_factor_batch, "names"_a.none())
        .def("_read_or_empty", &Builder::read_or_empty, "name"_a.none(), "reference"_a.none(),
             "batch"_a.none() = nb::none())
        .def("_batch_or_read", &Builder::batch_or_read, "batch"_a.none(), "name"_a.none())
        .def(
            "_build_from_matrices",
            [](const Builder&, nb::handle source) { return Builder::build_from_matrices(source); },
            "source"_a.none())
        .def("_component_matrices", &Builder::component_matrices, "component_names"_a.none(),
             "batch"_a.none() = nb::none())
        .def("_read_benchmark_dict", &Builder::read_benchmark_dict)
        .def(
            "_format_benchmark_daily_return",
            [](const Builder&, nb::handle df, nb::handle benchmark_name, nb::handle index_code) {
                return Builder::format_benchmark_daily_return(df, benchmark_name, index_code);
            },
            "df"_a.none(), "benchmark_name"_a.none(), "index_code"_a.none())
        .def(
            "_read_source_data",
            [](const Builder& b, nb::handle incremental) {
                return b.read_source_data(truth(incremental));
            },
            "incremental"_a.none())
        .def(
            "_build_payload",
            [](const Builder& b, nb::handle incremental, nb::handle meta_time_key) {
                return b.build_payload(truth(incremental), meta_time_key);
            },
            "incremental"_a.none(), "meta_time_key"_a.none())
        .def("_assemble_payload", &Builder::assemble_payload, "data"_a.none(),
             "component_matrices"_a.none(), "benchmark_dict"_a.none(),
             "component_names"_a.none(), "meta_time_key"_a.none())
        .def("build", &Builder::build, "Full build: one query per factor.")
        .def("build_incremental", &Builder::build_incremental,
             "Incremental build: one batch query for every factor.");

    m.def("build_incremental_write_window", &mirtaly::prepare::build_incremental_write_window,
          "base_index"_a.none(), "write_start_date"_a.none(), "write_end_date"_a.none(),
          "The payload that brings a local store up to write_end_date, read from one local "
          "trading day before the write start and cut back to it.");
    m.def("payload_slice_from_date", &mirtaly::prepare::payload_slice_from_date,
          "payload"_a.none(), "write_start_date"_a.none(),
          "The payload without the rows dated before write_start_date; the input is unchanged.");
}

}  // namespace

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
    register_builder(m);
}
