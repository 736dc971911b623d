// mirtaly.backtest._ravelin: the strategy backtest core and its charts.
#include "strategy/charts/charts.hpp"

NB_MODULE(_ravelin, m) {
    using namespace mirtaly;
    using namespace mirtaly::strategy;
    using namespace mirtaly::strategy::charts;
    using namespace nb::literals;
    m.doc() = "Strategy backtest core: simulation, total frame, statistics, metrics and charts.";

    interop::bind_from(m, "mirtaly.backtest._core",
                       {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"});

    m.attr("TRADING_DAYS_PER_YEAR") = kTradingDaysPerYear;
    m.attr("ROLLING_STABILITY_DAYS") = kRollingStabilityDays;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = kMinRollingStabilityDays;
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

    m.def("_format_num", &format_num, "value"_a.none(), "digits"_a.none() = 2,
          nb::sig("def _format_num(value: object, digits: int = 2) -> str"),
          "Fixed-point text of a number; \"--\" when it is missing.");
    m.def("_format_pct", &format_pct, "value"_a.none(), "digits"_a.none() = 2,
          nb::sig("def _format_pct(value: object, digits: int = 2) -> str"),
          "A ratio as percent text (0.05 -> 5.00%).");
    m.def("_format_pct_points", &format_pct_points, "value"_a.none(), "digits"_a.none() = 2,
          nb::sig("def _format_pct_points(value: object, digits: int = 2) -> str"),
          "Percentage points as percent text (5.0 -> 5.00%).");
    m.def("_format_annual_excess", &format_annual_excess, "annual_excess"_a.none(),
          nb::sig("def _format_annual_excess(annual_excess: pandas.Series | None) -> str"),
          "Yearly excess ratios as \"2021: 5.12% | 2023: -3.10%\".");
    m.def("_configure_strategy_plot_style", &configure_strategy_plot_style, "plt"_a.none(),
          nb::sig("def _configure_strategy_plot_style(plt: types.ModuleType) -> None"),
          "Applies the house chart style to matplotlib's global settings.");
    m.def("_draw_yearly_metrics_table", &draw_yearly_metrics_table, "ax"_a.none(),
          "yearly_metrics"_a.none(), "compact"_a.none() = false,
          nb::sig("def _draw_yearly_metrics_table(ax: matplotlib.axes.Axes, "
                  "yearly_metrics: pandas.DataFrame, compact: bool = False) -> None"),
          "Draws the per-year strategy and excess metrics as a table on `ax`.");
    m.def("_plot_strategy_performance_unlocked", &plot_strategy_performance_unlocked,
          "total"_a.none(), "stats"_a.none(), "strategy_name"_a.none(), "plot_title"_a.none(),
          "save_path"_a.none(), "image_kind"_a.none(), "benchmark_name"_a.none(),
          "rolling_window"_a.none(),
          nb::sig("def _plot_strategy_performance_unlocked(total: pandas.DataFrame, stats: dict, "
                  "strategy_name: str, plot_title: str | None, save_path: str | os.PathLike, "
                  "image_kind: str, benchmark_name: str, rolling_window: int) -> None"),
          "Draws and saves the performance figure; the caller holds the chart lock.");
    m.def("plot_strategy_performance", &plot_strategy_performance, "total"_a.none(),
          "stats"_a.none(), "strategy_name"_a.none() = "strategy",
          "plot_title"_a.none() = nb::none(), "save_path"_a.none() = "./strategy_backtest.png",
          "image_kind"_a.none() = "large", "benchmark_name"_a.none() = "000852",
          "rolling_window"_a.none() = 0,
          nb::sig("def plot_strategy_performance(total: pandas.DataFrame, stats: dict, "
                  "strategy_name: str = 'strategy', plot_title: str | None = None, "
                  "save_path: str | os.PathLike = ..., "
                  "image_kind: str = 'large', benchmark_name: str = '000852', "
                  "rolling_window: int = 0) -> dict[str, str]"),
          "Draws the strategy performance figure to `save_path` (by default "
          "./strategy_backtest.png) under the chart lock.");
    m.def("_plot_weekly_net_value_unlocked", &plot_weekly_net_value_unlocked, "total"_a.none(),
          "strategy_name"_a.none(), "plot_title"_a.none(), "save_path"_a.none(),
          "image_kind"_a.none(), "benchmark_name"_a.none(),
          nb::sig("def _plot_weekly_net_value_unlocked(total: pandas.DataFrame, "
                  "strategy_name: str, plot_title: str | None, save_path: str | os.PathLike, "
                  "image_kind: str, benchmark_name: str) -> None"),
          "Draws and saves the weekly net value figure; the caller holds the chart lock.");
    m.def("plot_weekly_net_value", &plot_weekly_net_value, "total"_a.none(),
          "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(),
          "save_path"_a.none() = "./strategy_weekly_net_value.png",
          "image_kind"_a.none() = "large", "benchmark_name"_a.none() = "000852",
          nb::sig("def plot_weekly_net_value(total: pandas.DataFrame, "
                  "strategy_name: str = 'strategy', plot_title: str | None = None, "
                  "save_path: str | os.PathLike = ..., "
                  "image_kind: str = 'large', benchmark_name: str = '000852') "
                  "-> dict[str, str]"),
          "Draws the weekly net value figure to `save_path` (by default "
          "./strategy_weekly_net_value.png) under the chart lock.");

    m.def("_plot_group_backtest_unlocked", &plot_group_backtest_unlocked,
          "excess_cumulative"_a.none(), "annual_return"_a.none(),
          "benchmark_annual_return"_a.none(), "rank_ic"_a.none(), "stats"_a.none(),
          "factor_name"_a.none(), "plot_title"_a.none(), "save_path"_a.none(),
          "image_kind"_a.none(), "benchmark_name"_a.none(),
          nb::sig("def _plot_group_backtest_unlocked(excess_cumulative: pandas.DataFrame, "
                  "annual_return: pandas.Series, benchmark_annual_return: float, "
                  "rank_ic: pandas.Series, stats: dict[str, object], factor_name: str, "
                  "plot_title: str | None, save_path: str | os.PathLike, image_kind: str, "
                  "benchmark_name: str) -> None"),
          "Draws and saves one group backtest figure; the caller holds the chart lock.");
    m.def("plot_group_backtest", &plot_group_backtest, nb::kw_only(),
          "excess_cumulative"_a.none(), "annual_return"_a.none(),
          "benchmark_annual_return"_a.none(), "rank_ic"_a.none(), "stats"_a.none(),
          "factor_name"_a.none(), "plot_title"_a.none(), "save_path"_a.none(),
          "image_kind"_a.none(), "benchmark_name"_a.none(),
          nb::sig("def plot_group_backtest(*, excess_cumulative: pandas.DataFrame, "
                  "annual_return: pandas.Series, benchmark_annual_return: float, "
                  "rank_ic: pandas.Series, stats: dict[str, object], factor_name: str, "
                  "plot_title: str | None, save_path: str | os.PathLike, image_kind: str, "
                  "benchmark_name: str) -> dict[str, str]"),
          "Draws the group backtest figure of one benchmark under the chart lock: every "
          "group's cumulative excess return (dates x groups), annualised returns by group "
          "beside the benchmark's, the daily rank IC with its running sum, and a table of "
          "stats (ic_mean, ic_ir, best_group, top_minus_bottom). \"large\" is the wide page, "
          "anything else the tall one. Used by the SDK's group backtest core.");
}
