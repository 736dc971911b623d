// BacktestService.backtest_strategy: checks, the window cut, the strategy core.
#include "service/service.hpp"

namespace mirtaly::service {

using namespace interop;
using namespace nb::literals;

nb::object backtest_strategy(nb::handle self, nb::handle strategy, nb::handle data,
                             nb::handle start_date, nb::handle end_date, nb::handle output_dir,
                             nb::handle plot_filename, nb::handle benchmark,
                             nb::handle rolling_window, nb::handle total_money, nb::handle fee,
                             nb::handle rule_fee, nb::handle plot) {
    if (!strategy.is_none()) require_dataframe(strategy, "strategy");
    nb::object matrices_in = data.attr("data");
    require_dict(matrices_in, "data.data");
    if (!output_dir.is_none()) require_path_like(output_dir, "output_dir");
    require_str(plot_filename, "plot_filename");
    nb::int_ window(to_int(rolling_window, "rolling_window"));
    nb::float_ money(to_float(total_money, "total_money")), fee_rate(to_float(fee, "fee")),
        rule_fee_rate(to_float(rule_fee, "rule_fee"));
    require_str(plot, "plot", /*allow_none=*/true);

    // Loaded on the first strategy request, not with this module.
    nb::object core = attr_of("mirtaly.backtest._ravelin", "run_strategy_backtest_core");

    if (strategy.is_none() || nb::len(strategy) == 0) raise_value_error("策略权重矩阵为空");
    nb::object weights = attr_of(kModule, "clean_matrix")(strategy);
    if (!plot.is_none()) {
        if (!truth(output_dir)) raise_value_error("plot 非 None 时,output_dir 必须提供");
        if (nb::len(plot_filename) == 0)
            raise_value_error("plot 非 None 时,plot_filename 必须提供");
    }
    nb::object normalize = attr_of(kModule, "normalize_yyyymmdd");
    nb::object first = normalize(start_date), last = normalize(end_date);
    nb::object matrices = self.attr("_slice_data")(matrices_in, first, last);

    nb::object save_path = nb::none();
    if (!plot.is_none())
        save_path = nb::str(attr_of("pathlib", "Path")(output_dir) /
                            (nb::borrow<nb::str>(plot_filename) + nb::str(".png")));

    // A dataset missing from the data is a KeyError before the core runs.
    nb::object record = core(
        "strategy_matrix"_a = label_window(weights, first, last),
        "can_buy_stock"_a = matrices["can_buy_stock"],
        "cant_sell_stock"_a = matrices["cant_sell_stock"],
        "split_factor"_a = matrices["rq_get_split"],
        "dividend_factor"_a = matrices["rq_get_dividend"],
        "close_price"_a = matrices["close_price"], "prev_close"_a = matrices["prev_close"],
        "buy_price"_a = matrices["buy_price"], "sell_price"_a = matrices["sell_price"],
        "benchmark_dict"_a = matrices["benchmark_dict"], "benchmark_names"_a = benchmark,
        "rolling_window"_a = window, "total_money"_a = money, "fee"_a = fee_rate,
        "rule_fee"_a = rule_fee_rate, "plot_image_kind"_a = plot, "plot_save_path"_a = save_path,
        "strategy_name"_a = plot_filename, "plot_title"_a = plot_filename);

    return attr_of(kModule, "StrategyBacktestResult")(
        "strategy_name"_a = plot_filename, "daily_return"_a = record.attr("daily_return"),
        "cumulative_return"_a = record.attr("cumulative_return"), "stats"_a = record.attr("stats"),
        "benchmark_summary"_a = record.attr("benchmark_summary"),
        "plot_paths"_a = record.attr("plot_paths"));
}

}  // namespace mirtaly::service
