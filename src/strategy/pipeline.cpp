// run_strategy_backtest_core: the weights aligned and smoothed, the simulation,
// the primary benchmark joined, the total frame, statistics and benchmark
// summary, and the two charts on request.
#include <cmath>
#include <vector>

#include "kernels/rolling.hpp"
#include "kernels/simulation.hpp"
#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

namespace {

nb::object slice_all() { return nb::slice(nb::none(), nb::none(), nb::none()); }

// The weights restricted to the dates and stocks of `close_price`; stocks
// without a single weight are dropped.
nb::object align_weights(nb::handle weights, nb::handle close_price) {
    nb::object work = nb::borrow(weights);
    nb::object dates = index_of(work).attr("intersection")(index_of(close_price));
    // Selecting every row (the usual case) would only copy the frame.
    if (!truth(dates.attr("equals")(index_of(work)))) work = work.attr("loc")[dates];
    nb::object stocks = columns_of(work).attr("intersection")(columns_of(close_price));
    if (!truth(stocks.attr("equals")(columns_of(work))))
        work = work.attr("loc")[nb::make_tuple(slice_all(), stocks)];
    // dropna(axis=1, how="all"), without the copy it makes when no column goes.
    const auto by_stock = float_matrix(work).view.transposed();
    const auto kept = kernels::rows_with_values(by_stock, by_stock.rows);
    if (kept.size() == by_stock.rows) return work;
    return work.attr("iloc")[nb::make_tuple(slice_all(), int_array_from(kept))];
}

nb::object smooth(nb::handle weights, std::int64_t window) {
    if (window <= 1) return nb::borrow(weights);
    auto held = float_matrix(weights);
    const std::size_t n = held.view.rows, cols = held.view.cols, w = window;
    const std::size_t m = n >= w ? n - w + 1 : 0;
    auto [values, out] = new_float_matrix(m, cols);
    std::vector<std::int64_t> kept;
    {
        nb::gil_scoped_release unlocked;
        kept = kernels::smooth_weights(held.view, w, {out, m * cols});
    }
    if (kept.size() < m) {  // rare: rows whose every window held an infinity
        std::vector<std::int64_t> rows(kept);
        for (auto& r : rows) r -= static_cast<std::int64_t>(w - 1);
        values = values[int_array_from(rows)];
    }
    return frame_from_array(values, take(index_of(weights), kept), columns_of(weights));
}

// The benchmark joined to the daily returns in `df`: its returns (infinities
// and gaps as 0) and its running sum plus 1 as `close`. The sum starts at the
// first date of `df`, so the benchmark's net value is measured over the same
// days as the strategy's, whatever history the series carries before them.
nb::object join_benchmark(nb::handle df, nb::handle series) {
    nb::object index = index_of(df);
    nb::object kept =
        label_window(series.attr("astype")("float64"), index[nb::int_(0)], index[nb::int_(-1)]);
    auto values = float_column(kept);
    const std::size_t n = values.view.size;
    std::vector<double> daily(n), close(n);
    double running = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        daily[i] = std::isfinite(values.view[i]) ? values.view[i] : 0.0;
        running += daily[i];
        close[i] = running + 1.0;
    }
    nb::dict columns;
    columns["close"] = float_array_from(close);
    columns["index_daily_return"] = float_array_from(daily);
    return join_on_index(df, make_frame(columns, index_of(kept)));
}

nb::object flat_benchmark(nb::handle df) {
    return df.attr("assign")("index_daily_return"_a = 0.0, "close"_a = 1.0);
}

// One row per benchmark with a date in common with the total frame: its mean
// return and the strategy's excess over it, both annualised, the excess Sharpe
// ratio and the deepest fall of the summed excess below its peak.
nb::object benchmark_summary(nb::handle total, nb::handle benchmark_dict) {
    nb::list rows;
    if (benchmark_dict.is_none()) return frame_from_records(rows);
    nb::object index = index_of(total);
    for (auto [name, series] : nb::borrow<nb::dict>(benchmark_dict)) {
        nb::object aligned = drop_incomplete_rows(reindexed(series, index));
        nb::object common = index.attr("intersection")(index_of(aligned));
        if (nb::len(common) == 0) continue;
        nb::object strategy = total.attr("loc")[nb::make_tuple(common, "daily_return")];
        nb::object bench = aligned.attr("loc")[common];
        nb::object excess = strategy - bench;
        nb::object summed = excess.attr("cumsum")();
        nb::dict row;
        row["benchmark_name"] = name;
        row["benchmark_annual_return"] = bench.attr("mean")() * nb::int_(kTradingDaysPerYear);
        row["excess_annual_return"] = excess.attr("mean")() * nb::int_(kTradingDaysPerYear);
        row["excess_sharpe"] = sharpe(excess, kTradingDaysPerYear);
        row["excess_max_dd"] = (summed - summed.attr("cummax")()).attr("min")();
        rows.append(row);
    }
    return frame_from_records(rows);
}

// The two figures, the weekly one beside the main one with
// "_weekly_net_value" before the suffix.
nb::dict draw_charts(nb::handle total, nb::handle stats, nb::handle strategy_name,
                     nb::handle plot_title, nb::handle image_kind, nb::handle save_path,
                     nb::handle benchmark_name, std::int64_t rolling_window) {
    nb::object main_path = attr_of("pathlib", "Path")(save_path);
    nb::object weekly_name =
        main_path.attr("stem") + nb::str("_weekly_net_value") + main_path.attr("suffix");
    nb::object weekly_path = main_path.attr("with_name")(weekly_name);
    attr_of(kModule, "plot_strategy_performance")(
        "total"_a = total, "stats"_a = stats, "strategy_name"_a = strategy_name,
        "plot_title"_a = plot_title, "save_path"_a = main_path, "image_kind"_a = image_kind,
        "benchmark_name"_a = benchmark_name, "rolling_window"_a = rolling_window);
    attr_of(kModule, "plot_weekly_net_value")(
        "total"_a = total, "strategy_name"_a = strategy_name, "plot_title"_a = plot_title,
        "save_path"_a = weekly_path, "image_kind"_a = image_kind,
        "benchmark_name"_a = benchmark_name);
    nb::dict paths;
    paths["main"] = nb::str(main_path);
    paths["weekly_net_value"] = nb::str(weekly_path);
    return paths;
}

nb::object make_result(nb::handle strategy_name, nb::handle daily, nb::handle cumulative,
                       nb::handle stats, nb::handle summary, nb::handle plot_paths) {
    return attr_of(kModule, "_RavelinResult")(
        "strategy_name"_a = strategy_name, "daily_return"_a = daily,
        "cumulative_return"_a = cumulative, "stats"_a = stats, "benchmark_summary"_a = summary,
        "plot_paths"_a = plot_paths);
}

}  // namespace

nb::object smooth_strategy_weights(nb::handle strategy_matrix, nb::handle rolling_window) {
    require_dataframe(strategy_matrix, "strategy_matrix");
    return smooth(strategy_matrix, to_int(rolling_window, "rolling_window"));
}

nb::object run_strategy_backtest_core(nb::handle strategy_matrix, nb::handle can_buy_stock,
                                      nb::handle cant_sell_stock, nb::handle split_factor,
                                      nb::handle dividend_factor, nb::handle close_price,
                                      nb::handle prev_close, nb::handle buy_price,
                                      nb::handle sell_price, nb::handle benchmark_dict,
                                      nb::handle benchmark_names, nb::handle rolling_window,
                                      nb::handle total_money, nb::handle fee, nb::handle rule_fee,
                                      nb::handle plot_image_kind, nb::handle plot_save_path,
                                      nb::handle strategy_name, nb::handle plot_title) {
    const std::pair<nb::handle, const char*> frames[] = {{strategy_matrix, "strategy_matrix"},
                                                         {can_buy_stock, "can_buy_stock"},
                                                         {cant_sell_stock, "cant_sell_stock"},
                                                         {split_factor, "split_factor"},
                                                         {dividend_factor, "dividend_factor"},
                                                         {close_price, "close_price"},
                                                         {prev_close, "prev_close"},
                                                         {buy_price, "buy_price"},
                                                         {sell_price, "sell_price"}};
    for (const auto& [frame, name] : frames) require_dataframe(frame, name);
    require_dict(benchmark_dict, "benchmark_dict", /*allow_none=*/true);
    require_str(benchmark_names, "benchmark_names");
    const std::int64_t window = to_int(rolling_window, "rolling_window");
    kernels::VwapCosts costs;  // the default lot size
    costs.total_money = to_float(total_money, "total_money");
    costs.fee = to_float(fee, "fee");
    costs.rule_fee = to_float(rule_fee, "rule_fee");
    require_str(plot_image_kind, "plot_image_kind", /*allow_none=*/true);
    if (!plot_save_path.is_none()) require_path_like(plot_save_path, "plot_save_path");
    require_str(strategy_name, "strategy_name");
    require_str(plot_title, "plot_title", /*allow_none=*/true);

    nb::object work = smooth(align_weights(strategy_matrix, close_price), window);
    const auto weights = float_matrix(work);
    const auto valid_rows = kernels::rows_with_values(weights.view, weights.view.rows);

    auto empty_result = [&] {
        nb::list names;
        for (const char* c :
             {"daily_return", "index_daily_return", "long", "close_net_value", "max_drowdown",
              "extra_return", "extra_max_drowdown", "extra_daily_return"})
            names.append(c);
        nb::dict stats = calc_strategy_stats(empty_frame(names), work);
        nb::object empty = empty_float_series();
        return make_result(strategy_name, empty, empty, stats, empty_frame(), nb::dict());
    };
    if (valid_rows.empty()) return empty_result();

    // The market is read in place through label positions: no matrix of the
    // loaded data is copied for the weights' stocks.
    const MarketFrames market{can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                              close_price,   prev_close,      buy_price,    sell_price};
    nb::object daily = simulate_daily_return(
        work, costs, [&](nb::handle pnl_index, nb::handle columns, std::size_t) {
            return map_market(pnl_index, columns, market);
        });
    // Trades after the last weight would follow no signal of the user's.
    nb::object last_signal = take(index_of(work), valid_rows).attr("max")();
    daily = label_window(daily, nb::none(), last_signal);
    // No return left (one weight row trades only on the next day): nothing to report.
    if (nb::len(daily) == 0) return empty_result();

    nb::dict columns;
    columns["daily_return"] = daily;
    nb::object df = make_frame(columns);
    const bool has_benchmark =
        !benchmark_dict.is_none() && nb::borrow<nb::dict>(benchmark_dict).contains(benchmark_names);
    nb::object joined =
        has_benchmark ? join_benchmark(df, benchmark_dict[benchmark_names]) : flat_benchmark(df);
    if (nb::len(joined) == 0) return empty_result();

    nb::object total = build_total_backtesting_frame(joined);
    nb::dict stats = calc_strategy_stats(total, work);
    nb::object summary = benchmark_summary(total, benchmark_dict);

    nb::dict plot_paths;
    if (!plot_image_kind.is_none() && !plot_save_path.is_none())
        plot_paths = draw_charts(total, stats, strategy_name, plot_title, plot_image_kind,
                                 plot_save_path, benchmark_names, window);
    return make_result(strategy_name, column(total, "daily_return"), column(total, "long"), stats,
                       summary, plot_paths);
}

nb::object ravelin_result_class() {
    nb::list fields;
    fields.append(nb::make_tuple("strategy_name", attr_of("builtins", "str")));
    fields.append(nb::make_tuple("daily_return", series_type()));
    fields.append(nb::make_tuple("cumulative_return", series_type()));
    fields.append(nb::make_tuple("stats", attr_of("builtins", "dict")));
    fields.append(nb::make_tuple("benchmark_summary", frame_type()));
    fields.append(nb::make_tuple("plot_paths", attr_of("builtins", "dict")));
    nb::dict ns;
    ns["__doc__"] =
        "Internal result of a strategy backtest; every field is computed, none is meant for "
        "users. The service turns it into StrategyBacktestResult.";
    nb::object cls =
        attr_of("dataclasses", "make_dataclass")("_RavelinResult", fields, "namespace"_a = ns);
    // Pickled results must find their class here.
    cls.attr("__module__") = kModule;
    return cls;
}

}  // namespace mirtaly::strategy
