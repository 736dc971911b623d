// mirtaly.backtest._service: the BacktestService facade.
#include "interop/interop.hpp"

NB_MODULE(_service, m) {
    using namespace mirtaly::interop;
    m.doc() = "Backtest service: data preparation and backtest requests.";

    // The strategy core (_ravelin) is imported per strategy request, never here.
    bind_from(m, "mirtaly.backtest._store", {"clean_matrix", "normalize_yyyymmdd"});
    m.attr("_core") = import("mirtaly.backtest._core");
    bind_from(m, "mirtaly.backtest.result",
              {"BacktestData", "BacktestResult", "StrategyBacktestResult"});
    bind_from(m, "mirtaly.exceptions", {"MirtalyError"});
    bind_from(m, "mirtaly.logger", {"logger"});
    bind_from(m, "mirtaly._http", {"HttpClient"});
}
