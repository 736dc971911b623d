// mirtaly.backtest._prepare: dataset schema, builder, payload and the binary store.
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
}
