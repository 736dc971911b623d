// Next-day VWAP simulation of one target-weight portfolio.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// Market arrays aligned to the simulated days and stocks, directly or
// through position maps.
struct VwapMarket {
    MappedView2D<double> prev_close, close, buy_price, sell_price, split, dividend;
    MappedView2D<bool> can_buy, cant_sell;
};


struct VwapCosts {
    double total_money = 1e8;
    double fee = 0.0001;
    double rule_fee = 0.0005;
    std::int64_t lot_size = 200;
};

// The positions among the first `rows` rows of `matrix` that hold at least one
// non-NaN value: the rows that dropna(how="all") keeps.
std::vector<std::int64_t> rows_with_values(View2D<double> matrix, std::size_t rows);

// The rows of signal.shift(1).dropna(how="all") as source rows, without
// building either frame: day k trades on the weights of row k - 1, and a day
// whose source row holds no weight at all is dropped (so is the first day).
std::vector<std::int64_t> delayed_signal_rows(View2D<double> signal);

// Profit and loss of each simulated day, in money units.
//
// Day i trades towards the weights of signal row `signal_rows[i]` (the caller
// has already applied the one-day delay and dropped days without weights), at
// market row i. Stocks do not interact, so the loop runs stock by stock when
// the data is column-major and day by day otherwise; both add each day's five
// profit terms over stocks in column order, so the result does not depend on
// the layout.
void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& market, const VwapCosts& costs,
                     std::span<double> daily_cash);

}  // namespace mirtaly::kernels
