// BacktestService.backtest: checks, the window and universe cut, the SDK's
// group backtest core, and its result as the public BacktestResult.
#include "service/service.hpp"

namespace mirtaly::service {

using namespace interop;
using namespace nb::literals;

nb::str factor_name(nb::handle factor) {
    nb::object columns = nb::getattr(factor, "columns", nb::none());
    nb::object name = nb::getattr(columns, "name", nb::none());
    return truth(name) ? nb::str(name) : nb::str("factor");
}

nb::object to_public_result(nb::handle core_result, nb::handle factor_name) {
    require_str(factor_name, "factor_name");
    nb::dict plot_paths;
    nb::object paths_by_chart = core_result.attr("plot_paths");
    if (!paths_by_chart.is_none())
        for (nb::handle item : paths_by_chart.attr("items")()) {
            nb::object paths = item[nb::int_(1)];
            plot_paths[item[nb::int_(0)]] =
                contains(paths, nb::str("primary")) ? nb::object(paths["primary"]) : nb::str("");
        }
    nb::object best = core_result.attr("best_group");
    nb::object best_group =
        truth(attr_of("pandas", "notna")(best)) ? nb::object(nb::int_(best)) : nb::int_(-1);
    return attr_of(kModule, "BacktestResult")(
        "factor_name"_a = factor_name, "best_group"_a = best_group,
        "group_daily_return"_a = core_result.attr("group_daily_return"),
        "group_cumulative_return"_a = core_result.attr("group_cumulative_return"),
        "rank_ic"_a = core_result.attr("rank_ic"),
        "benchmark_summary"_a = core_result.attr("benchmark_summary")(),
        "plot_paths"_a = plot_paths);
}

nb::object backtest(nb::handle self, nb::handle factor, nb::handle data, nb::handle start_date,
                    nb::handle end_date, nb::handle output_dir, nb::handle plot_filename,
                    nb::handle group_num, nb::handle benchmark, nb::handle universe,
                    nb::handle rolling_window, nb::handle ascending, nb::handle total_money,
                    nb::handle fee, nb::handle rule_fee, nb::handle plot) {
    if (!factor.is_none()) require_dataframe(factor, "factor");
    nb::object matrices_in = data.attr("data");
    require_dict(matrices_in, "data.data");
    // The chart path is built on every call, drawn or not.
    require_path_like(output_dir, "output_dir");
    require_str(plot_filename, "plot_filename");
    const std::int64_t groups = to_int(group_num, "group_num");
    nb::int_ window(to_int(rolling_window, "rolling_window"));
    nb::bool_ ascending_flag(truth(ascending));
    nb::float_ money(to_float(total_money, "total_money")), fee_rate(to_float(fee, "fee")),
        rule_fee_rate(to_float(rule_fee, "rule_fee"));
    require_str(plot, "plot");

    if (factor.is_none() || nb::len(factor) == 0) raise_value_error("因子宽表为空");
    if (groups < 2 || groups > 100) raise_value_error("group_num 取值范围 [2, 100]");
    nb::object factor_matrix = attr_of(kModule, "clean_matrix")(factor);
    nb::object normalize = attr_of(kModule, "normalize_yyyymmdd");
    nb::object first = normalize(start_date), last = normalize(end_date);
    nb::object matrices = self.attr("_slice_data")(matrices_in, first, last);
    self.attr("_apply_universe_filter")(matrices, universe, first, last);
    nb::object name = self.attr("_factor_name")(factor);
    nb::object save_path = nb::str(attr_of("pathlib", "Path")(output_dir) /
                                   (nb::borrow<nb::str>(plot_filename) + nb::str(".png")));

    // In this order; a required dataset missing from the data is a KeyError
    // before the core runs, the optional ones are None.
    nb::object get = matrices.attr("get");
    nb::dict kwargs;
    kwargs["factor_matrix"] = label_window(factor_matrix, first, last);
    kwargs["industry_matrix"] = get("industry_matrix");
    kwargs["close_price_valid"] = matrices["close_price_valid"];
    kwargs["can_buy_stock"] = matrices["can_buy_stock"];
    kwargs["cant_sell_stock"] = matrices["cant_sell_stock"];
    kwargs["split_factor"] = matrices["rq_get_split"];
    kwargs["dividend_factor"] = matrices["rq_get_dividend"];
    kwargs["close_price"] = matrices["close_price"];
    kwargs["prev_close"] = matrices["prev_close"];
    kwargs["buy_price"] = matrices["buy_price"];
    kwargs["sell_price"] = matrices["sell_price"];
    kwargs["benchmark_dict"] = matrices["benchmark_dict"];
    kwargs["forward_return_rank_cache"] = get("forward_return_rank_cache");
    kwargs["open_price"] = get("open_price");
    kwargs["benchmark_names"] = benchmark;
    kwargs["rolling_window"] = window;
    kwargs["ascending"] = ascending_flag;
    kwargs["group_num"] = nb::int_(groups);
    kwargs["total_money"] = money;
    kwargs["fee"] = fee_rate;
    kwargs["rule_fee"] = rule_fee_rate;
    kwargs["plot_image_kind"] = plot;
    kwargs["plot_save_path"] = save_path;
    kwargs["factor_name"] = name;
    kwargs["plot_title"] = plot_filename;
    nb::object core = attr_of(kModule, "_core").attr("run_alpha_vwap_backtest_core");
    return self.attr("_to_public_result")(core(**kwargs), name);
}

}  // namespace mirtaly::service
