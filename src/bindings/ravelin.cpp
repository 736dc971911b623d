// mirtaly.backtest._ravelin: the strategy backtest core and its charts.
#include "strategy/strategy.hpp"

NB_MODULE(_ravelin, m) {
    using namespace mirtaly;
    using namespace mirtaly::strategy;
    using namespace nb::literals;
    m.doc() = "Strategy backtest core: simulation, total frame, statistics, metrics and charts.";

    interop::bind_from(m, "mirtaly.backtest._core",
                       {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"});

    m.attr("TRADING_DAYS_PER_YEAR") = kTradingDaysPerYear;
    m.attr("ROLLING_STABILITY_DAYS") = 60;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = 5;
    // matplotlib's state is process-global: every chart function draws under this lock.
    m.attr("_MATPLOTLIB_PLOT_LOCK") = interop::attr_of("threading", "RLock")();

    m.attr("_RavelinResult") = ravelin_result_class();

    m.def("run_strategy_backtest_core", &run_strategy_backtest_core, "strategy_matrix"_a.none(),
          "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(), "split_factor"_a.none(),
          "dividend_factor"_a.none(), "close_price"_a.none(), "prev_close"_a.none(),
          "buy_price"_a.none(), "sell_price"_a.none(), "benchmark_dict"_a.none() = nb::none(),
          "benchmark_names"_a.none() = "000852", "rolling_window"_a.none() = 0,
          "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
          "plot_image_kind"_a.none() = "large", "plot_save_path"_a.none() = nb::none(),
          "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(),
          nb::sig("def run_strategy_backtest_core(strategy_matrix: pandas.DataFrame, "
                  "can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, "
                  "split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, "
                  "close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
                  "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, "
                  "benchmark_dict: dict[str, pandas.Series] | None = None, "
                  "benchmark_names: str = '000852', rolling_window: int = 0, "
                  "total_money: float = 100000000.0, fee: float = 0.0001, "
                  "rule_fee: float = 0.0005, plot_image_kind: str | None = 'large', "
                  "plot_save_path: str | os.PathLike | None = None, "
                  "strategy_name: str = 'strategy', plot_title: str | None = None) "
                  "-> _RavelinResult"),
          "Strategy backtest: weights aligned and smoothed, simulated, joined with the primary "
          "benchmark; total frame, statistics, benchmark summary and, on request, two charts.");
    m.def("_smooth_strategy_weights", &smooth_strategy_weights, "strategy_matrix"_a.none(),
          "rolling_window"_a.none(),
          nb::sig("def _smooth_strategy_weights(strategy_matrix: pandas.DataFrame, "
                  "rolling_window: int) -> pandas.DataFrame"),
          "Rolling mean of the weights over full windows (NaN as 0), zeros back to NaN.");
    m.def("calc_strategy_vwap_daily_return", &calc_strategy_vwap_daily_return,
          "signal_matrix"_a.none(), "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(),
          "split_factor"_a.none(), "dividend_factor"_a.none(), "close_price"_a.none(),
          "prev_close"_a.none(), "buy_price"_a.none(), "sell_price"_a.none(),
          "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
          "lot_size"_a.none() = 200,
          nb::sig("def calc_strategy_vwap_daily_return(signal_matrix: pandas.DataFrame, "
                  "can_buy_stock: pandas.DataFrame, cant_sell_stock: pandas.DataFrame, "
                  "split_factor: pandas.DataFrame, dividend_factor: pandas.DataFrame, "
                  "close_price: pandas.DataFrame, prev_close: pandas.DataFrame, "
                  "buy_price: pandas.DataFrame, sell_price: pandas.DataFrame, "
                  "total_money: float = 100000000.0, fee: float = 0.0001, "
                  "rule_fee: float = 0.0005, lot_size: int = 200) -> pandas.Series"),
          "Daily returns of a target-weight portfolio traded next day at VWAP in whole lots.");
    m.def("_build_total_backtesting_frame", &build_total_backtesting_frame,
          "total_backtesting"_a.none(),
          nb::sig("def _build_total_backtesting_frame(total_backtesting: pandas.DataFrame) "
                  "-> pandas.DataFrame"),
          "Net value, drawdown and excess columns derived from aligned daily returns.");
    m.def("calc_strategy_stats", &calc_strategy_stats, "total_frame"_a.none(),
          "signal_df"_a.none(),
          nb::sig("def calc_strategy_stats(total_frame: pandas.DataFrame, "
                  "signal_df: pandas.DataFrame | None) -> dict[str, float]"),
          "The thirteen strategy statistics of a total frame.");
    m.def("_period_return_drawdown_calmar", &period_return_drawdown_calmar,
          "daily_return"_a.none(),
          nb::sig("def _period_return_drawdown_calmar(daily_return: pandas.Series | None) "
                  "-> tuple[float, float, float]"),
          "(period return, maximum drawdown, Calmar ratio).");
    m.def("_calc_yearly_performance_metrics", &calc_yearly_performance_metrics, "daily"_a.none(),
          nb::sig("def _calc_yearly_performance_metrics(daily: pandas.DataFrame) "
                  "-> pandas.DataFrame"),
          "Return, Sharpe, drawdown and Calmar per calendar year, strategy and excess.");
    m.def("_build_weekly_net_value_frame", &build_weekly_net_value_frame, "total"_a.none(),
          nb::sig("def _build_weekly_net_value_frame(total: pandas.DataFrame) "
                  "-> pandas.DataFrame"),
          "Net values sampled at the last trading day of each week ending on Friday.");
}
