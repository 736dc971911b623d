// Next-day VWAP trading of target-weight portfolios: the rules of one cell, and
// the walk of one portfolio over a market.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
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

// One day's profit of a portfolio in money units, as five terms kept apart so
// that they are added in one fixed order.
struct DayProfit {
    double buy = 0.0, hold = 0.0, hold_dividend = 0.0, sell = 0.0, sell_dividend = 0.0;
    double total() const { return buy + hold + hold_dividend + sell + sell_dividend; }
};

// The trading rules of one stock on one day for one portfolio: whole-lot
// targets sized from the capital at the previous close, buys and sells as the
// day permits, and the five profit terms with split, dividend, commission and
// stamp duty. Portfolios do not interact, so any number of them (one
// strategy, or every group of a factor) can be stepped over the same cell.
class VwapRules {
public:
    explicit VwapRules(const VwapCosts& c)
        : money_(c.total_money), lot_(static_cast<double>(c.lot_size)),
          buy_mult_(1.0 + c.fee), sell_mult_(1.0 - c.fee - c.rule_fee) {}

    // With nothing held, a weight that is not finite and non-zero asks for no
    // shares: the cell trades nothing and books nothing.
    static bool idle(double weight, double held) {
        const double a = std::fabs(weight);
        return held == 0.0 && !(a > 0.0 && a < std::numeric_limits<double>::infinity());
    }

    // Trades `held` shares towards the weight's target and adds the day's
    // profit terms to `day`. `cell` reads the day's market values when a rule
    // needs them: prev_close(), close(), buy_price(), sell_price(), split(),
    // dividend(), can_buy(), cant_sell(). A term whose share count is zero is
    // an exact zero (every price coefficient is finite), so it is not computed.
    template <class Cell>
    void step(const Cell& cell, double weight, double& held, DayProfit& day) const {
        const double prev_close = cell.prev_close();
        double target = 0.0;
        if (std::isfinite(weight) && std::isfinite(prev_close) && prev_close > 0.0)
            target = std::floor((money_ * weight) / (prev_close * lot_)) * lot_;
        const double diff = target - held;
        const double bought = (diff > 0.0 && cell.can_buy()) ? diff : 0.0;
        const double sold = (diff < 0.0 && !cell.cant_sell()) ? -diff : 0.0;
        const double hold = held - sold;
        held = hold + bought;

        if (bought == 0.0 && hold == 0.0 && sold == 0.0) return;
        const double close = cell.close();
        if (bought != 0.0) day.buy += bought * nan_to_zero(close - cell.buy_price() * buy_mult_);
        if (hold == 0.0 && sold == 0.0) return;
        const double raw_split = cell.split();
        const double split = std::isnan(raw_split) ? 1.0 : raw_split;
        const double dividend = nan_to_zero(cell.dividend());
        if (hold != 0.0) {
            day.hold += hold * nan_to_zero(split * close - prev_close);
            day.hold_dividend += hold * dividend;
        }
        if (sold != 0.0) {
            day.sell += sold * nan_to_zero(split * cell.sell_price() * sell_mult_ - prev_close);
            day.sell_dividend += sold * dividend;
        }
    }

private:
    // numpy.nan_to_num(x, nan=0.0): NaN -> 0, infinities -> the largest finite value.
    static double nan_to_zero(double x) {
        if (std::isnan(x)) return 0.0;
        if (std::isinf(x)) return std::copysign(std::numeric_limits<double>::max(), x);
        return x;
    }

    double money_, lot_, buy_mult_, sell_mult_;
};

// One stock's column of every market array.
struct MarketColumn {
    MappedLine<double> prev_close, close, buy_price, sell_price, split, dividend;
    MappedLine<bool> can_buy, cant_sell;
    MarketColumn(const VwapMarket& m, std::size_t j)
        : prev_close(m.prev_close.column(j)), close(m.close.column(j)),
          buy_price(m.buy_price.column(j)), sell_price(m.sell_price.column(j)),
          split(m.split.column(j)), dividend(m.dividend.column(j)), can_buy(m.can_buy.column(j)),
          cant_sell(m.cant_sell.column(j)) {}
};

// One day of a stock's column: the cell VwapRules::step reads.
struct ColumnCell {
    const MarketColumn& c;
    std::size_t day;

    double prev_close() const { return c.prev_close[day]; }
    double close() const { return c.close[day]; }
    double buy_price() const { return c.buy_price[day]; }
    double sell_price() const { return c.sell_price[day]; }
    double split() const { return c.split[day]; }
    double dividend() const { return c.dividend[day]; }
    bool can_buy() const { return c.can_buy[day]; }
    bool cant_sell() const { return c.cant_sell[day]; }
};

// The positions among the first `rows` rows of `matrix` that hold at least one
// non-NaN value: the rows that dropna(how="all") keeps.
std::vector<std::int64_t> rows_with_values(View2D<double> matrix, std::size_t rows);

// The rows of signal.shift(1).dropna(how="all") as source rows, without
// building either frame: day k trades on the weights of row k - 1, and a day
// whose source row holds no weight at all is dropped (so is the first day).
std::vector<std::int64_t> delayed_signal_rows(View2D<double> signal);

// Profit and loss of each day, in money units: day k trades towards the
// weights of signal row `signal_rows[k]` (the caller has applied the one-day
// delay and dropped days without weights), at market row k.
//
// The grid is walked in tiles of days x stocks, each stock's days in order
// and every day's stocks in column order, so the result does not depend on
// how the arrays lie in memory; while one tile is worked, the next one's
// cells are fetched from memory along each array's own layout.
void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& market, const VwapCosts& costs,
                     std::span<double> daily_cash);

}  // namespace mirtaly::kernels
