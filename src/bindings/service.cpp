// mirtaly.backtest._service: the BacktestService facade.
#include "service/service.hpp"

namespace {

using namespace nb::literals;
using namespace mirtaly::service;

nb::object static_method(nb::handle f) {
    return mirtaly::interop::attr_of("builtins", "staticmethod")(f);
}

nb::object backtest_service_class() {
    nb::dict ns;
    ns["__init__"] =
        nb::cpp_function(&init, nb::is_method(), nb::name("__init__"), "http"_a.none(),
                         nb::sig("def __init__(self, http: mirtaly._http.HttpClient | None) "
                                 "-> None"));
    ns["_log_dataset_summary"] = static_method(nb::cpp_function(
        &log_dataset_summary, nb::name("_log_dataset_summary"), "store"_a.none(), nb::kw_only(),
        "action"_a.none(),
        nb::sig("def _log_dataset_summary(store: mirtaly.backtest._prepare.BinaryPreparedDataStore, "
                "*, action: str) -> None"),
        "Logs the latest date of every dataset, benchmarks last."));
    ns["prepare_backtest_data"] = nb::cpp_function(
        &prepare_backtest_data, nb::is_method(), nb::name("prepare_backtest_data"),
        nb::sig("def prepare_backtest_data(self) -> None"),
        "Brings the local data to a complete state up to today: downloads the benchmark data "
        "package when the data is absent or incomplete, then writes the newest trading days "
        "over the stored tail, and logs the dataset summary.");
    ns["_refresh_to_latest"] = nb::cpp_function(
        &refresh_to_latest, nb::is_method(), nb::name("_refresh_to_latest"), "store"_a.none(),
        nb::kw_only(), "after_download"_a.none(),
        "Updates the store from its second-newest date up to today when it is behind.");
    ns["_find_missing_datasets"] = static_method(nb::cpp_function(
        &find_missing_datasets, nb::name("_find_missing_datasets"), "store"_a.none(),
        "What the store lacks of the datasets, benchmarks and component matrices a backtest "
        "reads; empty when complete."));
    ns["_validate_metadata"] = static_method(nb::cpp_function(
        &validate_metadata, nb::name("_validate_metadata"), "store"_a.none(),
        "Raises MirtalyError when a freshly unpacked package is unusable."));
    ns["load_backtest_data"] =
        nb::cpp_function(&load_backtest_data, nb::is_method(), nb::name("load_backtest_data"),
                         nb::sig("def load_backtest_data(self) "
                                 "-> mirtaly.backtest.result.BacktestData"),
                         "The whole local store, read into memory once, as BacktestData.");
    ns["_slice_data"] = static_method(nb::cpp_function(
        &slice_data, nb::name("_slice_data"), "data"_a.none(), "start_date"_a.none(),
        "end_date"_a.none(),
        nb::sig("def _slice_data(data: dict[str, object], start_date: str, end_date: str) "
                "-> dict[str, object]"),
        "Every matrix and benchmark series cut to the dates, both ends inclusive, in a new dict."));
    ns["_parse_universe"] = static_method(nb::cpp_function(
        &parse_universe, nb::name("_parse_universe"), "universe"_a.none(),
        nb::sig("def _parse_universe(universe: str | collections.abc.Iterable[object] | None) "
                "-> list[str]"),
        "Universe codes from a code, a list of codes or None (the whole market)."));
    ns["_apply_universe_filter"] = nb::cpp_function(
        &apply_universe_filter, nb::is_method(), nb::name("_apply_universe_filter"),
        "data"_a.none(), "universe"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
        nb::sig("def _apply_universe_filter(self, data: dict[str, object], "
                "universe: str | collections.abc.Iterable[object] | None, start_date: str, "
                "end_date: str) -> None"),
        "Marks stocks outside the universe as invalid in data['close_price_valid'].");
    ns["_factor_name"] = static_method(nb::cpp_function(
        &factor_name, nb::name("_factor_name"), "factor"_a.none(),
        nb::sig("def _factor_name(factor: pandas.DataFrame) -> str"),
        "The factor's name for titles and files: its columns' name, else \"factor\"."));
    ns["_to_public_result"] = static_method(nb::cpp_function(
        &to_public_result, nb::name("_to_public_result"), "core_result"_a.none(),
        "factor_name"_a.none(),
        nb::sig("def _to_public_result(core_result: object, factor_name: str) "
                "-> mirtaly.backtest.result.BacktestResult"),
        "The group backtest core's result as BacktestResult."));
    ns["backtest"] = nb::cpp_function(
        &backtest, nb::is_method(), nb::name("backtest"), "factor"_a.none(), "data"_a.none(),
        "start_date"_a.none(), "end_date"_a.none(), "output_dir"_a.none(),
        "plot_filename"_a.none(), nb::kw_only(), "group_num"_a.none() = 20,
        "benchmark"_a.none() = "000852", "universe"_a.none() = nb::none(),
        "rolling_window"_a.none() = 0, "ascending"_a.none() = false,
        "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
        "plot"_a.none() = "long",
        nb::sig("def backtest(self, factor: pandas.DataFrame, "
                "data: mirtaly.backtest.result.BacktestData, start_date: str | int, "
                "end_date: str | int, output_dir: str | os.PathLike, plot_filename: str, *, "
                "group_num: int = 20, benchmark: str | list[str] | None = '000852', "
                "universe: str | collections.abc.Iterable[object] | None = None, "
                "rolling_window: int = 0, ascending: bool = False, "
                "total_money: float = 100000000.0, fee: float = 0.0001, "
                "rule_fee: float = 0.0005, plot: str = 'long') "
                "-> mirtaly.backtest.result.BacktestResult"),
        "Factor group backtest over the window and the stock universe; returns "
        "BacktestResult.");
    ns["backtest_strategy"] = nb::cpp_function(
        &backtest_strategy, nb::is_method(), nb::name("backtest_strategy"), "strategy"_a.none(),
        "data"_a.none(), "start_date"_a.none(), "end_date"_a.none(), "output_dir"_a.none(),
        "plot_filename"_a.none(), nb::kw_only(), "benchmark"_a.none() = "000852",
        "rolling_window"_a.none() = 0, "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001,
        "rule_fee"_a.none() = 0.0005, "plot"_a.none() = "large",
        nb::sig("def backtest_strategy(self, strategy: pandas.DataFrame, "
                "data: mirtaly.backtest.result.BacktestData, start_date: str | int, "
                "end_date: str | int, output_dir: str | os.PathLike | None, plot_filename: str, "
                "*, benchmark: str = '000852', rolling_window: int = 0, "
                "total_money: float = 100000000.0, fee: float = 0.0001, "
                "rule_fee: float = 0.0005, plot: str | None = 'large') "
                "-> mirtaly.backtest.result.StrategyBacktestResult"),
        "Backtests one target-weight portfolio over the window and returns "
        "StrategyBacktestResult.");
    return mirtaly::interop::new_class(
        kModule, "BacktestService",
        "Factor backtest service, combining the data preparation and the computation layers.", ns);
}

}  // namespace

NB_MODULE(_service, m) {
    using namespace mirtaly::interop;
    m.doc() = "Backtest service: data preparation and backtest requests.";

    // The strategy core (_ravelin) is imported per strategy request, never here.
    bind_from(m, "mirtaly.backtest._prepare",
              {"COMPONENT_FACTOR_NAMES", "TAIL_RELOAD_ROWS", "BinaryPreparedDataStore",
               "build_incremental_write_window", "component_dataset_key"});
    bind_from(m, "mirtaly.backtest._store", {"clean_matrix", "normalize_yyyymmdd"});
    m.attr("_core") = import("mirtaly.backtest._core");
    bind_from(m, "mirtaly.backtest._pkg",
              {"download_benchmark_package", "flatten_single_subdir", "preparation_lock",
               "staging_directory", "replace_directory"});
    bind_from(m, "mirtaly.backtest.result",
              {"BacktestData", "BacktestResult", "StrategyBacktestResult"});
    bind_from(m, "mirtaly.exceptions", {"MirtalyError"});
    bind_from(m, "mirtaly.logger", {"logger"});
    bind_from(m, "mirtaly._http", {"HttpClient"});

    m.attr("DateLike") = attr_of(
        "typing", "Union")[nb::make_tuple(attr_of("builtins", "str"), attr_of("builtins", "int"))];
    // Read by the service at call time.
    m.attr("_DEFAULT_DATA_DIR") = attr_of("pathlib", "Path").attr("home")() / nb::str(".mirtaly") /
                                  nb::str("backtest_data") / nb::str("enviroment_data");
    m.attr("_UNIVERSE_TO_COMPONENT") = universe_to_component(m.attr("COMPONENT_FACTOR_NAMES"));
    m.attr("BacktestService") = backtest_service_class();
}
