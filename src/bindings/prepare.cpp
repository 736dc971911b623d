// mirtaly.backtest._prepare: dataset schema, builder, payload and the binary store.
#include <cmath>

#include "prepare/builder.hpp"
#include "prepare/schema.hpp"
#include "prepare/store.hpp"

namespace {

template <std::size_t N>
nb::list str_list(const std::array<const char*, N>& items) {
    nb::list out;
    for (const char* s : items) out.append(nb::str(s));
    return out;
}

constexpr const char* kStoreDoc =
    "Binary prepared data store with component extension.\n\n"
    "On top of the base store, extends the matrix dtype with the built-in component factor "
    "names and supports supplementing component matrices on demand.";

using Builder = mirtaly::prepare::GroupPreparedDataBuilder;

void register_builder(nb::module_& m) {
    using namespace nb::literals;
    using mirtaly::interop::truth;
    nb::class_<Builder>(m, "GroupPreparedDataBuilder",
                        "Reads factors through the market data client and builds the prepared "
                        "datasets, component masks and benchmark series of a date range.")
        .def(nb::init<nb::handle, nb::handle>(), "start_date"_a.none(), "end_date"_a.none(),
             nb::sig("def __init__(self, start_date: str, end_date: str) -> None"))
        .def_ro("default_start", &Builder::default_start,
                nb::for_getter(nb::sig("def default_start(self) -> str")))
        .def_ro("end_date", &Builder::end_date,
                nb::for_getter(nb::sig("def end_date(self) -> str")))
        .def_ro("_ddb_start", &Builder::ddb_start,
                nb::for_getter(nb::sig("def _ddb_start(self) -> str")))
        .def_ro("_ddb_end", &Builder::ddb_end, nb::for_getter(nb::sig("def _ddb_end(self) -> str")))
        .def_static("_normalize_ddb_backtest_date", &Builder::normalize_ddb_backtest_date,
                    "date_value"_a.none(),
                    nb::sig("def _normalize_ddb_backtest_date(date_value: object) -> str | None"))
        .def_static("_mr_factor_date", &Builder::mr_factor_date, "date_value"_a.none(),
                    nb::sig("def _mr_factor_date(date_value: str | None) -> str | None"))
        .def_static("_empty_like", &Builder::empty_like, "reference"_a.none(),
                    "fill_value"_a.none() = nb::float_(std::nan("")),
                    nb::sig("def _empty_like(reference: pandas.DataFrame, fill_value: object = "
                            "float('nan')) -> pandas.DataFrame"))
        .def("_read_normal_factor_matrix", &Builder::read_normal_factor_matrix, "name"_a.none(),
             nb::sig("def _read_normal_factor_matrix(self, name: str) -> pandas.DataFrame"))
        .def(
            "_mr_factors_to_matrices",
            [](const Builder&, nb::handle df, nb::handle names) {
                return Builder::mr_factors_to_matrices(df, names);
            },
            "df"_a.none(), "names"_a.none(),
            nb::sig("def _mr_factors_to_matrices(self, df: pandas.DataFrame | None, "
                    "names: list[str]) -> dict[str, pandas.DataFrame]"))
        .def("_read_normal_factor_batch", &Builder::read_normal_factor_batch, "names"_a.none(),
             nb::sig("def _read_normal_factor_batch(self, names: list[str]) "
                     "-> dict[str, pandas.DataFrame]"))
        .def("_read_or_empty", &Builder::read_or_empty, "name"_a.none(), "reference"_a.none(),
             "batch"_a.none() = nb::none(),
             nb::sig("def _read_or_empty(self, name: str, reference: pandas.DataFrame, "
                     "batch: dict[str, pandas.DataFrame] | None = None) -> pandas.DataFrame"))
        .def("_batch_or_read", &Builder::batch_or_read, "batch"_a.none(), "name"_a.none(),
             nb::sig("def _batch_or_read(self, batch: dict[str, pandas.DataFrame], name: str) "
                     "-> pandas.DataFrame"))
        .def(
            "_build_from_matrices",
            [](const Builder&, nb::handle source) { return Builder::build_from_matrices(source); },
            "source"_a.none(),
            nb::sig("def _build_from_matrices(self, source: dict[str, pandas.DataFrame]) "
                    "-> dict[str, pandas.DataFrame]"))
        .def("_component_matrices", &Builder::component_matrices, "component_names"_a.none(),
             "batch"_a.none() = nb::none(),
             nb::sig("def _component_matrices(self, component_names: list[str], "
                     "batch: dict[str, pandas.DataFrame] | None = None) "
                     "-> dict[str, pandas.DataFrame]"))
        .def("_read_benchmark_dict", &Builder::read_benchmark_dict,
             nb::sig("def _read_benchmark_dict(self) -> dict[str, pandas.Series]"))
        .def(
            "_format_benchmark_daily_return",
            [](const Builder&, nb::handle df, nb::handle benchmark_name, nb::handle index_code) {
                return Builder::format_benchmark_daily_return(df, benchmark_name, index_code);
            },
            "df"_a.none(), "benchmark_name"_a.none(), "index_code"_a.none(),
            nb::sig("def _format_benchmark_daily_return(self, df: pandas.DataFrame | None, "
                    "benchmark_name: str, index_code: str) -> pandas.Series"))
        .def(
            "_read_source_data",
            [](const Builder& b, nb::handle incremental) {
                return b.read_source_data(truth(incremental));
            },
            "incremental"_a.none(),
            nb::sig("def _read_source_data(self, incremental: bool) -> tuple[dict[str, "
                    "pandas.DataFrame], dict[str, pandas.DataFrame], dict[str, pandas.Series], "
                    "list[str]]"))
        .def(
            "_build_payload",
            [](const Builder& b, nb::handle incremental, nb::handle meta_time_key) {
                return b.build_payload(truth(incremental), meta_time_key);
            },
            "incremental"_a.none(), "meta_time_key"_a.none(),
            nb::sig("def _build_payload(self, incremental: bool, meta_time_key: str) -> dict"))
        .def("_assemble_payload", &Builder::assemble_payload, "data"_a.none(),
             "component_matrices"_a.none(), "benchmark_dict"_a.none(), "component_names"_a.none(),
             "meta_time_key"_a.none(),
             nb::sig("def _assemble_payload(self, data: dict[str, pandas.DataFrame], "
                     "component_matrices: dict[str, pandas.DataFrame], "
                     "benchmark_dict: dict[str, pandas.Series], component_names: list[str], "
                     "meta_time_key: str) -> dict"))
        .def("build", &Builder::build, nb::sig("def build(self) -> dict"),
             "Full build: one query per factor.")
        .def("build_incremental", &Builder::build_incremental,
             nb::sig("def build_incremental(self) -> dict"),
             "Incremental build: one batch query for every factor.");

    m.def("build_incremental_write_window", &mirtaly::prepare::build_incremental_write_window,
          "base_index"_a.none(), "write_start_date"_a.none(), "write_end_date"_a.none(),
          nb::sig("def build_incremental_write_window(base_index: list[str], "
                  "write_start_date: str, write_end_date: str) -> dict"),
          "The payload that brings a local store up to write_end_date, read from one local "
          "trading day before the write start and cut back to it.");
    m.def("payload_slice_from_date", &mirtaly::prepare::payload_slice_from_date, "payload"_a.none(),
          "write_start_date"_a.none(),
          nb::sig("def payload_slice_from_date(payload: dict, write_start_date: str) -> dict"),
          "The payload without the rows dated before write_start_date; the input is unchanged.");
}

}  // namespace

NB_MODULE(_prepare, m) {
    using namespace mirtaly::interop;
    using namespace mirtaly::prepare;
    using namespace nb::literals;
    m.doc() = "Prepared benchmark data: schema, builder, payload and binary store.";

    bind_from(m, "mirtaly.backtest._store",
              {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
               "normalize_yyyymmdd"});
    bind_from(m, "mirtaly.exceptions", {"NetworkError"});
    bind_from(m, "mirtaly.singleton", {"get_instance"});

    m.attr("COMPONENT_FACTOR_NAMES") = str_list(kComponentFactorNames);
    nb::dict bench;
    for (const auto& [code, index_code] : kBenchmarkIndexCodes) bench[code] = index_code;
    m.attr("BENCHMARK_INDEX_CODES") = bench;
    nb::list required = str_list(kRequiredFactorNames), optional = str_list(kOptionalFactorNames);
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    m.attr("BUILD_INPUT_NAMES") = required + optional;
    m.attr("FLOAT_STORAGE_DTYPE") = kFloatStorageDtype;
    m.attr("BOOL_STORAGE_DTYPE") = kBoolStorageDtype;
    m.attr("TAIL_RELOAD_ROWS") = kTailReloadRows;
    m.attr("PREPARED_DATA_VERSION") = kPreparedDataVersion;
    nb::dict base;
    for (const auto& [key, dtype] : kBaseMatrixDtype) base[key] = dtype;
    m.attr("BASE_MATRIX_DTYPE") = base;
    m.attr("PathLike") = attr_of("typing", "Union")[nb::make_tuple(attr_of("builtins", "str"),
                                                                   attr_of("os", "PathLike"))];

    m.def("parse_name_list", &parse_name_list, "raw_values"_a.none(),
          nb::sig("def parse_name_list(raw_values: object | None) -> list[str]"),
          "Turns a user's list of factor names (or one text with , ， ; ； or newlines between "
          "them) into a clean list: trimmed, empties dropped, order and duplicates kept.");
    m.def("get_component_factor_names", &get_component_factor_names,
          nb::sig("def get_component_factor_names() -> list[str]"),
          "A fresh list of the built-in component factor names.");
    m.def("build_matrix_dtype", &build_matrix_dtype, "component_names"_a.none() = nb::none(),
          nb::sig("def build_matrix_dtype(component_names: list[str] | None = None) "
                  "-> dict[str, str]"),
          "Dataset key -> storage dtype of a store: the twelve base datasets, then one float64 "
          "dataset per component factor (the built-in ones when component_names is None).");
    m.def("series_to_yyyymmdd", &series_to_yyyymmdd, "values"_a.none(),
          nb::sig("def series_to_yyyymmdd(values: object) -> pandas.Series"),
          "Dates as YYYYMMDD text, read by the rule of normalize_yyyymmdd (whole floats count "
          "as integers); values that are no date become missing. A Series keeps its index.");

    // A real subclass of the SDK's store base, built with type() so that its
    // methods resolve like any Python class's.
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "BinaryPreparedDataStore";
    ns["__doc__"] = kStoreDoc;
    ns["__init__"] = nb::cpp_function(
        &store_init, nb::is_method(), nb::name("__init__"), "store_dir"_a.none(),
        "component_names"_a.none() = nb::none(),
        nb::sig("def __init__(self, store_dir: str | os.PathLike, "
                "component_names: list[str] | None = None) -> None"));
    ns["load"] = nb::cpp_function(
        &store_load, nb::is_method(), nb::name("load"), "start_date"_a.none() = nb::none(),
        "end_date"_a.none() = nb::none(), "keys"_a.none() = nb::none(), "mmap"_a.none() = true,
        nb::sig("def load(self, start_date: str | None = None, end_date: str | None = None, "
                "keys: list[str] | None = None, mmap: bool = True) -> dict"),
        "Loads prepared data: every dataset the metadata lists (in schema order) unless keys are "
        "given; dates inclusive.");
    ns["add_component_matrices"] = nb::cpp_function(
        &store_add_component_matrices, nb::is_method(), nb::name("add_component_matrices"),
        "component_matrices"_a.none(), "component_names"_a.none(),
        nb::sig("def add_component_matrices(self, component_matrices: dict[str, pandas.DataFrame], "
                "component_names: list[str]) -> list[str]"),
        "Writes the component matrices the store lacks; returns the names newly written.");
    m.attr("BinaryPreparedDataStore") = attr_of("builtins", "type")(
        "BinaryPreparedDataStore", nb::make_tuple(m.attr("BinaryPreparedDataStoreBase")), ns);
    register_builder(m);
}
