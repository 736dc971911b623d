// Next-day VWAP simulation of one target-weight portfolio.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
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

// Sums of the five profit terms per slot (a day, or one group's day), kept
// apart so that they are added in one fixed order at the end.
struct ProfitTerms {
    explicit ProfitTerms(std::size_t slots)
        : buy(slots), hold(slots), hold_dividend(slots), sell(slots), sell_dividend(slots) {}
    std::vector<double> buy, hold, hold_dividend, sell, sell_dividend;

    // buy + hold + hold dividend + sell + sell dividend, slot by slot.
    void total(std::span<double> out) const {
        for (std::size_t s = 0; s < out.size(); ++s)
            out[s] = buy[s] + hold[s] + hold_dividend[s] + sell[s] + sell_dividend[s];
    }
};

// The eight arrays along one stock's days or one day's stocks. Plain lines
// index their array directly; mapped ones go through position maps, and are
// only used when some array needs them.
template <bool Mapped>
struct MarketLine {
    template <class T>
    using Line = std::conditional_t<Mapped, MappedLine<T>, View1D<T>>;
    Line<double> prev_close, close, buy_price, sell_price, split, dividend;
    Line<bool> can_buy, cant_sell;
};

template <bool Mapped, class Get>
MarketLine<Mapped> market_line(const VwapMarket& m, Get get) {
    return {get(m.prev_close), get(m.close),    get(m.buy_price), get(m.sell_price),
            get(m.split),      get(m.dividend), get(m.can_buy),   get(m.cant_sell)};
}

template <bool Mapped>
MarketLine<Mapped> market_column(const VwapMarket& m, std::size_t j) {
    return market_line<Mapped>(m, [j](const auto& v) {
        if constexpr (Mapped)
            return v.column(j);
        else
            return v.source.column(j);
    });
}

template <bool Mapped>
MarketLine<Mapped> market_row(const VwapMarket& m, std::size_t i) {
    return market_line<Mapped>(m, [i](const auto& v) {
        if constexpr (Mapped)
            return v.row(i);
        else
            return v.source.row(i);
    });
}

// Whether some array is read through position maps.
inline bool is_mapped(const VwapMarket& m) {
    auto mapped = [](const auto& v) { return v.rows || v.cols; };
    return mapped(m.prev_close) || mapped(m.close) || mapped(m.buy_price) || mapped(m.sell_price) ||
           mapped(m.split) || mapped(m.dividend) || mapped(m.can_buy) || mapped(m.cant_sell);
}

// The trading rules of one stock on one day, the one copy that every
// simulation (one portfolio, or every factor group at once) runs.
class VwapStep {
  public:
    explicit VwapStep(const VwapCosts& c)
        : money_(c.total_money),
          lot_(static_cast<double>(c.lot_size)),
          buy_mult_(1.0 + c.fee),
          sell_mult_(1.0 - c.fee - c.rule_fee) {}

    // The stock at element k of the market line `at` trades towards the
    // weight's target and books its profit terms into `slot`. `held` is its
    // share count, updated in place.
    template <class Line>
    void operator()(const Line& at, std::size_t k, double weight, double& held, ProfitTerms& t,
                    std::size_t slot) const {
        double target = 0.0;
        // Most cells of a real weight matrix are empty: with no target and no
        // holding every term is an exact zero, so the market data is not read.
        if (std::isfinite(weight)) {
            const double prev_close = at.prev_close[k];
            if (std::isfinite(prev_close) && prev_close > 0.0)
                target = std::floor((money_ * weight) / (prev_close * lot_)) * lot_;
        }
        if (target == 0.0 && held == 0.0) return;

        const double prev_close = at.prev_close[k];
        const double diff = target - held;
        const double bought = (diff > 0.0 && at.can_buy[k]) ? diff : 0.0;
        const double sold = (diff < 0.0 && !at.cant_sell[k]) ? -diff : 0.0;
        const double hold = held - sold;
        held = hold + bought;

        const double close = at.close[k];
        const double raw_split = at.split[k];
        const double split = std::isnan(raw_split) ? 1.0 : raw_split;
        const double dividend = nan_to_zero(at.dividend[k]);
        const double buy_coeff = nan_to_zero(close - at.buy_price[k] * buy_mult_);
        const double hold_coeff = nan_to_zero(split * close - prev_close);
        const double sell_coeff = nan_to_zero(split * at.sell_price[k] * sell_mult_ - prev_close);

        t.buy[slot] += bought * buy_coeff;
        t.hold[slot] += hold * hold_coeff;
        t.hold_dividend[slot] += hold * dividend;
        t.sell[slot] += sold * sell_coeff;
        t.sell_dividend[slot] += sold * dividend;
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
