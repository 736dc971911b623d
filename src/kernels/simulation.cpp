#include "kernels/simulation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
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
    return {get(m.prev_close), get(m.close), get(m.buy_price), get(m.sell_price),
            get(m.split),      get(m.dividend), get(m.can_buy), get(m.cant_sell)};
}

template <bool Mapped>
MarketLine<Mapped> market_column(const VwapMarket& m, std::size_t j) {
    return market_line<Mapped>(m, [j](const auto& v) {
        if constexpr (Mapped) return v.column(j);
        else return v.source.column(j);
    });
}

template <bool Mapped>
MarketLine<Mapped> market_row(const VwapMarket& m, std::size_t i) {
    return market_line<Mapped>(m, [i](const auto& v) {
        if constexpr (Mapped) return v.row(i);
        else return v.source.row(i);
    });
}

bool is_mapped(const VwapMarket& m) {
    auto mapped = [](const auto& v) { return v.rows || v.cols; };
    return mapped(m.prev_close) || mapped(m.close) || mapped(m.buy_price) ||
           mapped(m.sell_price) || mapped(m.split) || mapped(m.dividend) || mapped(m.can_buy) ||
           mapped(m.cant_sell);
}

class Simulator {
public:
    explicit Simulator(const VwapCosts& c)
        : money_(c.total_money),
          lot_(static_cast<double>(c.lot_size)), buy_mult_(1.0 + c.fee),
          sell_mult_(1.0 - c.fee - c.rule_fee) {}

    // One stock on day i, element k of the market line `at`: trades towards
    // the weight's target and books the profit terms. `held` is the stock's
    // share count, updated in place.
    template <class Line>
    inline void step(std::size_t i, const Line& at, std::size_t k, double weight, double& held,
                     DayTerms& t) const {
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

        t.buy[i] += bought * buy_coeff;
        t.hold[i] += hold * hold_coeff;
        t.hold_dividend[i] += hold * dividend;
        t.sell[i] += sold * sell_coeff;
        t.sell_dividend[i] += sold * dividend;
    }

private:
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

namespace {

template <bool Mapped>
void simulate(View2D<double> signal, std::span<const std::int64_t> signal_rows,
              const VwapMarket& market, const Simulator& sim, DayTerms& terms) {
    const std::size_t n_days = signal_rows.size();
    const std::size_t n_stocks = signal.cols;
    auto weight = [&](std::size_t i, std::size_t j) {
        return signal(static_cast<std::size_t>(signal_rows[i]), j);
    };

    if (signal.column_major() && market.close.column_major() &&
        market.prev_close.column_major()) {
        // pandas' own layout: each stock's columns are read front to back.
        for (std::size_t j = 0; j < n_stocks; ++j) {
            const auto at = market_column<Mapped>(market, j);
            double held = 0.0;
            for (std::size_t i = 0; i < n_days; ++i) sim.step(i, at, i, weight(i, j), held, terms);
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
                const auto at = market_row<Mapped>(market, i);
                for (std::size_t j = 0; j < n_stocks; ++j)
                    sim.step(i, at, j, stage ? row[j] : weight(i, j), held[j], terms);
            }
        }
    }
}

}  // namespace

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& market, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size();
    const Simulator sim(costs);
    DayTerms terms(n_days);
    if (is_mapped(market))
        simulate<true>(signal, signal_rows, market, sim, terms);
    else
        simulate<false>(signal, signal_rows, market, sim, terms);

    for (std::size_t i = 0; i < n_days; ++i)
        daily_cash[i] = terms.buy[i] + terms.hold[i] + terms.hold_dividend[i] + terms.sell[i] +
                        terms.sell_dividend[i];
}

}  // namespace mirtaly::kernels
