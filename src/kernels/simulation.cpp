#include "kernels/simulation.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace mirtaly::kernels {

namespace {

// numpy.nan_to_num(x, nan=0.0): NaN -> 0, infinities -> the largest finite value.
inline double nan_to_zero(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x)) return std::copysign(std::numeric_limits<double>::max(), x);
    return x;
}

// Per-day sums of the five profit terms, kept apart so that they are added in
// one fixed order at the end.
struct DayTerms {
    explicit DayTerms(std::size_t n) : buy(n), hold(n), hold_dividend(n), sell(n), sell_dividend(n) {}
    std::vector<double> buy, hold, hold_dividend, sell, sell_dividend;
};

class Simulator {
public:
    Simulator(View2D<double> signal, std::span<const std::int64_t> signal_rows,
              const VwapMarket& m, const VwapCosts& c)
        : signal_(signal), rows_(signal_rows), m_(m), money_(c.total_money),
          lot_(static_cast<double>(c.lot_size)), buy_mult_(1.0 + c.fee),
          sell_mult_(1.0 - c.fee - c.rule_fee) {}

    // One stock on one day: trades towards the target and books the profit
    // terms. `held` is the stock's share count, updated in place.
    inline void step(std::size_t i, std::size_t j, double& held, DayTerms& t) const {
        const double weight = signal_(static_cast<std::size_t>(rows_[i]), j);
        double target = 0.0;
        // Most cells of a real weight matrix are empty: with no target and no
        // holding every term is an exact zero, so the market data is not read.
        if (std::isfinite(weight)) {
            const double prev_close = m_.prev_close(i, j);
            if (std::isfinite(prev_close) && prev_close > 0.0)
                target = std::floor((money_ * weight) / (prev_close * lot_)) * lot_;
        }
        if (target == 0.0 && held == 0.0) return;

        const double prev_close = m_.prev_close(i, j);
        const double diff = target - held;
        const double bought = (diff > 0.0 && m_.can_buy(i, j)) ? diff : 0.0;
        const double sold = (diff < 0.0 && !m_.cant_sell(i, j)) ? -diff : 0.0;
        const double hold = held - sold;
        held = hold + bought;

        const double close = m_.close(i, j);
        const double raw_split = m_.split(i, j);
        const double split = std::isnan(raw_split) ? 1.0 : raw_split;
        const double dividend = nan_to_zero(m_.dividend(i, j));
        const double buy_coeff = nan_to_zero(close - m_.buy_price(i, j) * buy_mult_);
        const double hold_coeff = nan_to_zero(split * close - prev_close);
        const double sell_coeff = nan_to_zero(split * m_.sell_price(i, j) * sell_mult_ - prev_close);

        t.buy[i] += bought * buy_coeff;
        t.hold[i] += hold * hold_coeff;
        t.hold_dividend[i] += hold * dividend;
        t.sell[i] += sold * sell_coeff;
        t.sell_dividend[i] += sold * dividend;
    }

private:
    View2D<double> signal_;
    std::span<const std::int64_t> rows_;
    const VwapMarket& m_;
    double money_, lot_, buy_mult_, sell_mult_;
};

}  // namespace

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& market, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size();
    const std::size_t n_stocks = signal.cols;
    const Simulator sim(signal, signal_rows, market, costs);
    DayTerms terms(n_days);

    // pandas hands frames over column-major; walking each stock's column then
    // reads every array sequentially.
    if (market.close.column_major() && market.prev_close.column_major()) {
        for (std::size_t j = 0; j < n_stocks; ++j) {
            double held = 0.0;
            for (std::size_t i = 0; i < n_days; ++i) sim.step(i, j, held, terms);
        }
    } else {
        std::vector<double> held(n_stocks, 0.0);
        for (std::size_t i = 0; i < n_days; ++i)
            for (std::size_t j = 0; j < n_stocks; ++j) sim.step(i, j, held[j], terms);
    }

    for (std::size_t i = 0; i < n_days; ++i)
        daily_cash[i] = terms.buy[i] + terms.hold[i] + terms.hold_dividend[i] + terms.sell[i] +
                        terms.sell_dividend[i];
}

}  // namespace mirtaly::kernels
