#include "kernels/simulation.hpp"

#include <algorithm>
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
    Simulator(const VwapMarket& m, const VwapCosts& c)
        : m_(m), money_(c.total_money),
          lot_(static_cast<double>(c.lot_size)), buy_mult_(1.0 + c.fee),
          sell_mult_(1.0 - c.fee - c.rule_fee) {}

    // One stock on one day: trades towards the weight's target and books the
    // profit terms. `held` is the stock's share count, updated in place.
    inline void step(std::size_t i, std::size_t j, double weight, double& held,
                     DayTerms& t) const {
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
    const VwapMarket& m_;
    double money_, lot_, buy_mult_, sell_mult_;
};

}  // namespace

std::vector<std::int64_t> rows_with_values(View2D<double> matrix, std::size_t rows) {
    std::vector<char> any(rows, 0);
    if (!matrix.column_major()) {
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t j = 0; j < matrix.cols && !any[r]; ++j)
                any[r] = !std::isnan(matrix(r, j));
    } else {
        // Column by column over the rows still without a value: a row-wise
        // scan would stride through memory on every empty row, and rows with
        // values usually drop out within the first few columns.
        std::vector<std::size_t> pending(rows);
        for (std::size_t r = 0; r < rows; ++r) pending[r] = r;
        for (std::size_t j = 0; j < matrix.cols && !pending.empty(); ++j) {
            const View1D<double> col = matrix.column(j);
            std::size_t kept = 0;
            for (std::size_t r : pending) {
                if (!std::isnan(col[r]))
                    any[r] = 1;
                else
                    pending[kept++] = r;
            }
            pending.resize(kept);
        }
    }
    std::vector<std::int64_t> out;
    for (std::size_t r = 0; r < rows; ++r)
        if (any[r]) out.push_back(static_cast<std::int64_t>(r));
    return out;
}

std::vector<std::int64_t> delayed_signal_rows(View2D<double> signal) {
    // The last row trades on no day.
    return rows_with_values(signal, signal.rows ? signal.rows - 1 : 0);
}

// Days of weights copied row-major at a time when the weight matrix is
// column-major but the market is not; the copy stays small and in cache.
constexpr std::size_t kStagedDays = 32;

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& market, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size();
    const std::size_t n_stocks = signal.cols;
    const Simulator sim(market, costs);
    DayTerms terms(n_days);
    auto weight = [&](std::size_t i, std::size_t j) {
        return signal(static_cast<std::size_t>(signal_rows[i]), j);
    };

    if (signal.column_major() && market.close.column_major() &&
        market.prev_close.column_major()) {
        // pandas' own layout: each stock's columns are read front to back.
        for (std::size_t j = 0; j < n_stocks; ++j) {
            double held = 0.0;
            for (std::size_t i = 0; i < n_days; ++i) sim.step(i, j, weight(i, j), held, terms);
        }
    } else {
        // Row-major market (as a C-order store loads): whole rows, day by day.
        std::vector<double> held(n_stocks, 0.0);
        const bool stage = signal.column_major() && n_stocks > 1;
        std::vector<double> staged(stage ? kStagedDays * n_stocks : 0);
        for (std::size_t d0 = 0; d0 < n_days; d0 += kStagedDays) {
            const std::size_t d1 = std::min(n_days, d0 + kStagedDays);
            if (stage)
                for (std::size_t j = 0; j < n_stocks; ++j)
                    for (std::size_t i = d0; i < d1; ++i)
                        staged[(i - d0) * n_stocks + j] = weight(i, j);
            for (std::size_t i = d0; i < d1; ++i) {
                const double* row = stage ? &staged[(i - d0) * n_stocks] : nullptr;
                for (std::size_t j = 0; j < n_stocks; ++j)
                    sim.step(i, j, stage ? row[j] : weight(i, j), held[j], terms);
            }
        }
    }

    for (std::size_t i = 0; i < n_days; ++i)
        daily_cash[i] = terms.buy[i] + terms.hold[i] + terms.hold_dividend[i] + terms.sell[i] +
                        terms.sell_dividend[i];
}

}  // namespace mirtaly::kernels
