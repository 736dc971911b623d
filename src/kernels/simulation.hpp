// Next-day VWAP trading of target-weight portfolios: the rules of one cell, and
// the walk of one portfolio over a market.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernels/cpu_clones.hpp"
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

    // With nothing held, only a finite non-zero weight asks for shares; on any
    // other the cell trades nothing and books nothing.
    static bool wanted(double weight) {
        const double a = std::fabs(weight);
        return (a > 0.0) & (a < std::numeric_limits<double>::infinity());
    }

    // Trades `held` shares towards the weight's target and adds the day's
    // profit terms to `day`. `cell` reads the day's market values:
    // prev_close(), close(), buy_price(), sell_price(), split(), dividend(),
    // can_buy(), cant_sell().
    //
    // Every term is computed and added, without a branch on the share counts:
    // whether a target moves a lot up or down is a coin flip from day to day,
    // which a branch would mispredict half the time. A zero share count gives
    // a zero term, since every price coefficient is finite; a day's sums start
    // at +0.0 and so never become -0.0, and adding either zero to them leaves
    // their bits as they were.
    template <class Cell>
    void step(const Cell& cell, double weight, double& held, DayProfit& day) const {
        const Moved m = move(cell, weight, held, true, day, day);
        held = m.kept + m.bought;
    }

    // The shares a move kept of the holding and those it bought.
    struct Moved {
        double kept, bought;
    };

    // The step of a book that keeps a stock's holdings by portfolio. With
    // `stays`, `held` trades towards the weight's target as in step; without,
    // the weight is another portfolio's: `held` is sold as the day permits and
    // that portfolio buys its target from nothing. Buys are booked to `to`,
    // the other terms to `from`. A holding that changes portfolio thus costs
    // one pass of the rules, not a sale step and a buy step: the terms a
    // second step would add are zeros, which leave the sums' bits as they are.
    template <class Cell>
    Moved move(const Cell& cell, double weight, double held, bool stays, DayProfit& from,
               DayProfit& to) const {
        const double prev_close = cell.prev_close();
        const bool sized = std::isfinite(weight) && std::isfinite(prev_close) && prev_close > 0.0;
        const double target =
            sized ? std::floor((money_ * weight) / (prev_close * lot_)) * lot_ : 0.0;
        const double diff_up = target - (stays ? held : 0.0);
        const double diff_down = (stays ? target : 0.0) - held;
        const double up = diff_up > 0.0 ? diff_up : 0.0;
        const double down = diff_down < 0.0 ? -diff_down : 0.0;
        const double bought = cell.can_buy() ? up : 0.0;
        const double sold = cell.cant_sell() ? 0.0 : down;
        const double hold = held - sold;

        const double close = cell.close();
        const double raw_split = cell.split();
        const double split = std::isnan(raw_split) ? 1.0 : raw_split;
        const double dividend = nan_to_zero(cell.dividend());
        to.buy += bought * nan_to_zero(close - cell.buy_price() * buy_mult_);
        from.hold += hold * nan_to_zero(split * close - prev_close);
        from.hold_dividend += hold * dividend;
        from.sell += sold * nan_to_zero(split * cell.sell_price() * sell_mult_ - prev_close);
        from.sell_dividend += sold * dividend;
        return {hold, bought};
    }

private:
    // numpy.nan_to_num(x, nan=0.0): NaN -> 0, infinities -> the largest finite value.
    static double nan_to_zero(double x) {
        if (std::isfinite(x)) [[likely]]
            return x;
        return std::isnan(x) ? 0.0 : std::copysign(std::numeric_limits<double>::max(), x);
    }

    double money_, lot_, buy_mult_, sell_mult_;
};

// A cell's values read once, for more than one step over the cell.
struct CellValues {
    double prev_close_, close_, buy_price_, sell_price_, split_, dividend_;
    bool can_buy_, cant_sell_;

    template <class Cell>
    explicit CellValues(const Cell& c)
        : prev_close_(c.prev_close()), close_(c.close()), buy_price_(c.buy_price()),
          sell_price_(c.sell_price()), split_(c.split()), dividend_(c.dividend()),
          can_buy_(c.can_buy()), cant_sell_(c.cant_sell()) {}

    double prev_close() const { return prev_close_; }
    double close() const { return close_; }
    double buy_price() const { return buy_price_; }
    double sell_price() const { return sell_price_; }
    double split() const { return split_; }
    double dividend() const { return dividend_; }
    bool can_buy() const { return can_buy_; }
    bool cant_sell() const { return cant_sell_; }
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
