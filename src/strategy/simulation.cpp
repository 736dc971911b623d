// calc_strategy_vwap_daily_return: pandas in, the simulation kernel, a Series out.
#include <cmath>
#include <vector>

#include "kernels/simulation.hpp"
#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

namespace {

struct MarketHolder {
    std::vector<nb::object> owners;
    kernels::VwapMarket market;
};

void check_shape(const char* key, std::size_t r, std::size_t c, std::size_t rows,
                 std::size_t cols) {
    if (r != rows || c != cols)
        raise_value_error(std::string(key) + " has shape (" + std::to_string(r) + ", " +
                          std::to_string(c) + "), expected (" + std::to_string(rows) + ", " +
                          std::to_string(cols) + ")");
}

kernels::View2D<double> market_float(nb::handle market, const char* key, MarketHolder& h,
                                     std::size_t rows, std::size_t cols) {
    auto held = float_matrix(market[key]);
    check_shape(key, held.view.rows, held.view.cols, rows, cols);
    h.owners.push_back(held.owner);
    return held.view;
}

kernels::View2D<bool> market_flag(nb::handle market, const char* key, MarketHolder& h,
                                  std::size_t rows, std::size_t cols) {
    auto held = bool_matrix(market[key], key);
    check_shape(key, held.view.rows, held.view.cols, rows, cols);
    h.owners.push_back(held.owner);
    return held.view;
}

}  // namespace

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

    auto signal = float_matrix(signal_matrix);
    std::vector<std::int64_t> rows = kernels::delayed_signal_rows(signal.view);
    if (rows.empty()) return empty_float_series();

    // Day k is labelled by the date after its source row.
    std::vector<std::int64_t> labels(rows);
    for (auto& r : labels) ++r;
    nb::object positions = int_array_from(labels);
    nb::object pnl_index = signal_matrix.attr("index").attr("take")(positions);
    nb::object columns = signal_matrix.attr("columns");

    nb::object market = bound(kModule, "_build_market_arrays")(
        pnl_index, columns, can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
        close_price, prev_close, buy_price, sell_price);

    const std::size_t n_days = rows.size(), n_stocks = signal.view.cols;
    MarketHolder h;
    auto& m = h.market;
    m.prev_close = market_float(market, "prev_close_arr", h, n_days, n_stocks);
    m.can_buy = market_flag(market, "can_buy_arr", h, n_days, n_stocks);
    m.cant_sell = market_flag(market, "cant_sell_arr", h, n_days, n_stocks);
    m.close = market_float(market, "close_arr", h, n_days, n_stocks);
    m.buy_price = market_float(market, "buy_price_arr", h, n_days, n_stocks);
    m.sell_price = market_float(market, "sell_price_arr", h, n_days, n_stocks);
    m.split = market_float(market, "split_arr", h, n_days, n_stocks);
    m.dividend = market_float(market, "dividend_arr", h, n_days, n_stocks);

    auto [result, out] = new_float_array(n_days);
    {
        nb::gil_scoped_release unlocked;
        std::span<double> cash(out, n_days);
        kernels::vwap_daily_cash(signal.view, rows, m, costs, cash);
        for (double& c : cash) c /= costs.total_money;
    }
    return make_series(result, pnl_index);
}

}  // namespace mirtaly::strategy
