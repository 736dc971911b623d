// calc_strategy_vwap_daily_return: frames in, the simulation kernel, daily returns out.
#include <span>
#include <vector>

#include "kernels/simulation.hpp"
#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

using namespace interop;

nb::object simulate_daily_return(nb::handle signal_matrix, const kernels::VwapCosts& costs,
                                 const MarketAligner& align) {
    auto signal = float_matrix(signal_matrix);
    std::vector<std::int64_t> rows = kernels::delayed_signal_rows(signal.view);
    if (rows.empty()) return empty_float_series();

    // Day k is labelled by the date after its source row.
    std::vector<std::int64_t> labels(rows);
    for (auto& r : labels) ++r;
    nb::object pnl_index = take(index_of(signal_matrix), labels);
    const std::size_t n_days = rows.size();
    const AlignedMarket market = align(pnl_index, columns_of(signal_matrix), n_days);

    auto [result, out] = new_float_array(n_days);
    {
        nb::gil_scoped_release unlocked;
        std::span<double> cash(out, n_days);
        kernels::vwap_daily_cash(signal.view, rows, market.view, costs, cash);
        for (double& c : cash) c /= costs.total_money;
    }
    return make_series(result, pnl_index);
}

nb::object calc_strategy_vwap_daily_return(nb::handle signal_matrix, nb::handle can_buy_stock,
                                           nb::handle cant_sell_stock, nb::handle split_factor,
                                           nb::handle dividend_factor, nb::handle close_price,
                                           nb::handle prev_close, nb::handle buy_price,
                                           nb::handle sell_price, nb::handle total_money,
                                           nb::handle fee, nb::handle rule_fee,
                                           nb::handle lot_size) {
    const std::pair<nb::handle, const char*> frames[] = {
        {signal_matrix, "signal_matrix"}, {can_buy_stock, "can_buy_stock"},
        {cant_sell_stock, "cant_sell_stock"}, {split_factor, "split_factor"},
        {dividend_factor, "dividend_factor"}, {close_price, "close_price"},
        {prev_close, "prev_close"}, {buy_price, "buy_price"}, {sell_price, "sell_price"}};
    for (const auto& [frame, name] : frames) require_dataframe(frame, name);
    kernels::VwapCosts costs;
    costs.total_money = to_float(total_money, "total_money");
    costs.fee = to_float(fee, "fee");
    costs.rule_fee = to_float(rule_fee, "rule_fee");
    costs.lot_size = to_int(lot_size, "lot_size");

    return simulate_daily_return(signal_matrix, costs, [&](nb::handle pnl_index, nb::handle columns,
                                                           std::size_t n_days) {
        // Reached through the name bound at load, so that it stays replaceable. While
        // it is the native alignment, the frames are read in place through the same
        // label positions instead: the same cells, without copying every market
        // matrix when the weight dates are not one contiguous run of the market's.
        nb::object builder = attr_of(kModule, "_build_market_arrays");
        if (builder.is(attr_of("mirtaly.backtest._kernels", "align_market")))
            return map_market(pnl_index, columns,
                              {can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                               close_price, prev_close, buy_price, sell_price});
        nb::object arrays = builder(pnl_index, columns, can_buy_stock, cant_sell_stock,
                                    split_factor, dividend_factor, close_price, prev_close,
                                    buy_price, sell_price);
        return market_from_arrays(arrays, n_days, nb::len(columns));
    });
}

}  // namespace mirtaly::strategy
