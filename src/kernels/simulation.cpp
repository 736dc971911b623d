#include "kernels/simulation.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace mirtaly::kernels {

namespace {

// A tile is a band of days by a group of stocks. A group is one cache line of
// a row-major float array and a band one or a few pages of a column-major one,
// so that the tile's cells of every array fit in the core's cache together
// with the next tile's.
constexpr std::size_t kTileDays = 256;
constexpr std::size_t kTileStocks = 8;
// Days per step of a stock's walk: one cache line of a column-major float array.
constexpr std::size_t kStepDays = 8;
// Rows of the next tile a row-major array requests per step of the current tile.
constexpr std::size_t kRowsPerPart = kTileDays / kTileStocks;

// Always inlined: GCC takes a function that only prefetches for one without
// effects, and drops its calls.
[[gnu::always_inline]] inline void fetch_line(const void* p) { __builtin_prefetch(p); }

// Requests one array's cells of the next tile from memory while the current
// tile is worked, spread over its steps: while stock c of the current tile
// takes its steps, part c of the next tile is requested a line a step. Along
// the array's own layout, part c is stock c's days (a step, a line of them) or
// 32 of the tile's days (a step, one day's line of the tile's stocks).
template <class T>
class TileFetch {
public:
    // The lines of one part, a step at a time: a cell of a column, `step` days
    // apart, through the column's day positions.
    struct Part {
        const T* base = nullptr;
        const std::int64_t* rows = nullptr;
        std::ptrdiff_t stride = 0;
        std::size_t day = 0, step = 0, left = 0;

        [[gnu::always_inline]] void next() {
            if (!left) return;
            const std::int64_t at = rows ? rows[day] : static_cast<std::int64_t>(day);
            if (at >= 0) fetch_line(base + at * stride);
            day += step, --left;
        }
    };

    explicit TileFetch(const MappedView2D<T>& a)
        : a_(a),
          by_stock_(std::abs(a.source.row_stride) <= std::abs(a.source.col_stride)) {}

    // The next tile: days [i0, i0 + ni), stocks [j0, j0 + nj).
    void aim(std::size_t i0, std::size_t ni, std::size_t j0, std::size_t nj) {
        i0_ = i0, ni_ = ni, j0_ = j0, nj_ = nj;
    }

    Part part(std::size_t c) const {
        Part p;
        if (ni_ == 0 || nj_ == 0) return p;
        if (by_stock_) {
            // Steps start a line apart, so each step's first cell finds the next line.
            if (c >= nj_) return p;
            p = along(a_.column(j0_ + c), i0_, kStepDays, (ni_ + kStepDays - 1) / kStepDays);
        } else {
            // A row's first line is the previous group's last, fetched for it.
            const std::size_t first = c * kRowsPerPart;
            if (first >= ni_) return p;
            p = along(a_.column(j0_ + nj_ - 1), i0_ + first, 1,
                      std::min(kRowsPerPart, ni_ - first));
        }
        return p;
    }

private:
    static Part along(const MappedLine<T>& column, std::size_t day, std::size_t step,
                      std::size_t steps) {
        if (!column.base) return {};  // a stock the array lacks
        return {column.base, column.map, column.stride, day, step, steps};
    }

    const MappedView2D<T>& a_;
    bool by_stock_;
    std::size_t i0_ = 0, ni_ = 0, j0_ = 0, nj_ = 0;
};

// The tile fetches of the signal and the eight market arrays. No lambdas on
// the way to the prefetch: each caller is inlined, see fetch_line.
struct Fetches {
    TileFetch<double> signal, prev_close, close, buy_price, sell_price, split, dividend;
    TileFetch<bool> can_buy, cant_sell;

    Fetches(const MappedView2D<double>& s, const VwapMarket& m)
        : signal(s), prev_close(m.prev_close), close(m.close), buy_price(m.buy_price),
          sell_price(m.sell_price), split(m.split), dividend(m.dividend), can_buy(m.can_buy),
          cant_sell(m.cant_sell) {}

    void aim(std::size_t i0, std::size_t ni, std::size_t j0, std::size_t nj) {
        for (auto* f : {&signal, &prev_close, &close, &buy_price, &sell_price, &split, &dividend})
            f->aim(i0, ni, j0, nj);
        can_buy.aim(i0, ni, j0, nj);
        cant_sell.aim(i0, ni, j0, nj);
    }

    // Part c of every array, stepped together.
    struct Parts {
        TileFetch<double>::Part floats[7];
        TileFetch<bool>::Part flags[2];
        [[gnu::always_inline]] void next() {
            for (auto& p : floats) p.next();
            for (auto& p : flags) p.next();
        }
    };
    Parts part(std::size_t c) const {
        return {{signal.part(c), prev_close.part(c), close.part(c), buy_price.part(c),
                 sell_price.part(c), split.part(c), dividend.part(c)},
                {can_buy.part(c), cant_sell.part(c)}};
    }
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

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& m, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size(), n_stocks = signal.cols;
    const VwapRules rules(costs);
    std::vector<DayProfit> days(n_days);
    std::vector<double> held(n_stocks, 0.0);
    MappedView2D<double> weights(signal);
    weights.rows = signal_rows.data();
    Fetches fetch(weights, m);

    // Bands of days in order, the band's groups of stocks in order: every day
    // sees its stocks in column order, and every stock its days in order.
    for (std::size_t i0 = 0; i0 < n_days; i0 += kTileDays) {
        const std::size_t ni = std::min(kTileDays, n_days - i0);
        for (std::size_t j0 = 0; j0 < n_stocks; j0 += kTileStocks) {
            const std::size_t nj = std::min(kTileStocks, n_stocks - j0);
            // The next tile: the band's next group, or the next band's first.
            std::size_t next_i0 = i0, next_j0 = j0 + nj;
            if (next_j0 == n_stocks) next_i0 += ni, next_j0 = 0;
            const std::size_t next_ni = next_i0 < n_days ? std::min(kTileDays, n_days - next_i0) : 0;
            const std::size_t next_nj = std::min(kTileStocks, n_stocks - next_j0);
            fetch.aim(next_i0, next_ni, next_j0, next_nj);

            for (std::size_t c = 0; c < nj; ++c) {
                const std::size_t j = j0 + c;
                const MappedLine<double> w_j = weights.column(j);
                const MarketColumn market(m, j);
                Fetches::Parts next = fetch.part(c);
                double h = held[j];
                for (std::size_t k0 = i0; k0 < i0 + ni; k0 += kStepDays) {
                    next.next();
                    const std::size_t k1 = std::min(i0 + ni, k0 + kStepDays);
                    for (std::size_t k = k0; k < k1; ++k) {
                        const double w = w_j[k];
                        if (VwapRules::idle(w, h)) continue;
                        rules.step(ColumnCell{market, k}, w, h, days[k]);
                    }
                }
                held[j] = h;
            }
        }
    }
    for (std::size_t i = 0; i < n_days; ++i) daily_cash[i] = days[i].total();
}

}  // namespace mirtaly::kernels
