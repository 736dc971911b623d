// mirtaly.backtest._ravelin: the strategy backtest core and its charts.
#include "interop/interop.hpp"

NB_MODULE(_ravelin, m) {
    using namespace mirtaly::interop;
    m.doc() = "Strategy backtest core: simulation, total frame, statistics, metrics and charts.";

    bind_from(m, "mirtaly.backtest._core",
              {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"});

    m.attr("TRADING_DAYS_PER_YEAR") = 252;
    m.attr("ROLLING_STABILITY_DAYS") = 60;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = 5;
    // matplotlib's state is process-global: every chart function draws under this lock.
    m.attr("_MATPLOTLIB_PLOT_LOCK") = attr_of("threading", "RLock")();
}
