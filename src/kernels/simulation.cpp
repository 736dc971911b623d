#include "kernels/simulation.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
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

// Steps of a stock's walk through a full tile.
constexpr std::size_t kWalkSteps = kTileDays / kStepDays;
static_assert(kWalkSteps == kRowsPerPart, "a part has a line of each array per step");
static_assert(kStepDays == 8 && kTileDays % kStepDays == 0, "a step's flags are one word");

// Always inlined: GCC takes a function that only prefetches for one without
// effects, and drops its calls.
[[gnu::always_inline]] inline void fetch_line(const void* p) { __builtin_prefetch(p); }

// The lines of one part of the next tile: while stock c of the current tile
// takes its steps, part c of the next tile is requested, a line of each array
// per step. The addresses are worked out before the walk, so that a step
// spends no more than a load per line on them.
struct PartLines {
    static constexpr std::size_t kArrays = 9;
    const void* line[kArrays][kWalkSteps];
    std::size_t steps = 0;  // steps that request lines

    [[gnu::always_inline]] void fetch(std::size_t step) const {
        if (step >= steps) return;
        for (const auto& array : line) fetch_line(array[step]);
    }
};

// One array's part of the next tile. Along the array's own layout, part c is
// stock c's days (a line of them per step) or 32 of the tile's days (a step,
// one day's line of the tile's stocks).
template <class T>
class TileFetch {
public:
    explicit TileFetch(const MappedView2D<T>& a)
        : a_(a),
          by_stock_(std::abs(a.source.row_stride) <= std::abs(a.source.col_stride)) {}

    // The next tile: days [i0, i0 + ni), stocks [j0, j0 + nj).
    void aim(std::size_t i0, std::size_t ni, std::size_t j0, std::size_t nj) {
        i0_ = i0, ni_ = ni, j0_ = j0, nj_ = nj;
    }

    // Writes the addresses of part c's lines, kWalkSteps of them, to `out`;
    // returns how many steps have a line of their own (the others repeat the
    // last line, which costs a request of a line already on its way).
    [[gnu::always_inline]] std::size_t fill(std::size_t c, const void** out) const {
        MappedLine<T> column;
        std::size_t day = 0, step = 0, n = 0;
        if (by_stock_) {
            if (c < nj_ && ni_ > 0) {
                column = a_.column(j0_ + c), day = i0_, step = kStepDays;
                n = (ni_ + kStepDays - 1) / kStepDays;
            }
        } else if (const std::size_t first = c * kRowsPerPart; first < ni_ && nj_ > 0) {
            // A row's first line is the previous group's last, requested for it.
            column = a_.column(j0_ + nj_ - 1), day = i0_ + first, step = 1;
            n = std::min(kRowsPerPart, ni_ - first);
        }
        if (!column.base) n = 0;  // a stock the array lacks

        const void* last = &kNoLine;
        std::size_t s = 0;
        if (!column.map) {
            const T* p = column.base + static_cast<std::ptrdiff_t>(day) * column.stride;
            const std::ptrdiff_t d = static_cast<std::ptrdiff_t>(step) * column.stride;
            for (; s < n; ++s, p += d) out[s] = p;
            if (n) last = out[n - 1];
        } else {
            for (; s < n; ++s) {
                const std::int64_t at = column.map[day + s * step];
                if (at >= 0) last = column.base + at * column.stride;
                out[s] = last;
            }
        }
        for (; s < kWalkSteps; ++s) out[s] = last;
        return n;
    }

private:
    static constexpr char kNoLine = 0;  // requested where a part has no line yet

    const MappedView2D<T>& a_;
    bool by_stock_;
    std::size_t i0_ = 0, ni_ = 0, j0_ = 0, nj_ = 0;
};

// The tile fetches of the signal and the eight market arrays.
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

    // Part c of every array. Inlined, so that it is built for the caller's
    // instruction set.
    [[gnu::always_inline]] void fill(std::size_t c, PartLines& out) const {
        std::size_t a = 0, steps = 0;
        for (const auto* f : {&signal, &prev_close, &close, &buy_price, &sell_price, &split, &dividend})
            steps = std::max(steps, f->fill(c, out.line[a++]));
        for (const auto* f : {&can_buy, &cant_sell}) steps = std::max(steps, f->fill(c, out.line[a++]));
        out.steps = steps;
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

namespace {

// Marks with a 1 byte each of days [i0, i1) whose weight asks for shares,
// from flags[0]; flags up to the next whole step are 0. A step's eight flags
// are then read as one word.
template <class Weights>
[[gnu::always_inline]] inline void mark_wanted(const Weights& weights, std::size_t i0,
                                               std::size_t i1, std::uint8_t* flags) {
    const std::size_t n = i1 - i0;
    if constexpr (std::is_same_v<Weights, StridedLine<double>>) {
        if (weights.stride == 1) {  // contiguous: the loop is vectorized
            const double* w = weights.base + i0;
            for (std::size_t i = 0; i < n; ++i) flags[i] = VwapRules::wanted(w[i]);
        } else {
            const double* w = weights.base + static_cast<std::ptrdiff_t>(i0) * weights.stride;
            for (std::size_t i = 0; i < n; ++i, w += weights.stride)
                flags[i] = VwapRules::wanted(*w);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) flags[i] = VwapRules::wanted(weights[i0 + i]);
    }
    for (std::size_t i = n; i % kStepDays; ++i) flags[i] = 0;
}

static_assert(std::endian::native == std::endian::little, "a step's first flag is its low byte");

// Stock j's days [i0, i1) of a tile: each step of kStepDays days first requests
// the next tile's lines of part `next`. With nothing held, a day whose weight
// asks for no shares books nothing and is passed over, and so is a step of
// such days, at the cost of a word's test.
template <class Column, class Weights>
[[gnu::always_inline]] inline void walk(const VwapRules& rules, const Column& market,
                                        const Weights& weights, const PartLines& next,
                                        std::size_t i0, std::size_t i1, double& held,
                                        DayProfit* days) {
    std::uint8_t flags[kTileDays];
    mark_wanted(weights, i0, i1, flags);
    double h = held;
    for (std::size_t k0 = i0, step = 0; k0 < i1; k0 += kStepDays, ++step) {
        next.fetch(step);
        std::uint64_t wanted;
        std::memcpy(&wanted, flags + (k0 - i0), sizeof wanted);
        if (h == 0.0 && wanted == 0) continue;
        const std::size_t k1 = std::min(i1, k0 + kStepDays);
        for (std::size_t k = k0; k < k1; ++k) {
            if (h == 0.0) {  // on to the step's next day that asks for shares
                const std::uint64_t later = wanted >> (8 * (k - k0));
                if (later == 0) break;
                k += static_cast<std::size_t>(std::countr_zero(later)) / 8;
            }
            rules.step(CellOf<Column>{market, k}, weights[k], h, days[k]);
        }
    }
    held = h;
}

// Bands of days in order, the band's groups of stocks in order: every day
// sees its stocks in column order, and every stock its days in order. Built
// for the running CPU's instruction set where it has a later one than the
// baseline (floor is then one instruction).
MIRTALY_CPU_CLONES
void walk_tiles(const MappedView2D<double>& weights, const VwapMarket& m, const VwapRules& rules,
                std::span<double> held, std::span<DayProfit> days) {
    const std::size_t n_days = days.size(), n_stocks = held.size();
    Fetches fetch(weights, m);
    PartLines next;
    for (std::size_t i0 = 0; i0 < n_days; i0 += kTileDays) {
        const std::size_t ni = std::min(kTileDays, n_days - i0), i1 = i0 + ni;
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
                fetch.fill(c, next);
                if (!w_j.in_place() || !market.in_place()) {
                    walk(rules, market, w_j, next, i0, i1, held[j], days.data());
                    continue;
                }
                const StridedColumn strided(market);
                if (strided.shared_stride())
                    walk(rules, SharedStrideColumn(market), w_j.strided(), next, i0, i1, held[j],
                         days.data());
                else
                    walk(rules, strided, w_j.strided(), next, i0, i1, held[j], days.data());
            }
        }
    }
}

// True when rows[k] == rows[0] + k throughout.
bool is_run(std::span<const std::int64_t> rows) {
    for (std::size_t k = 1; k < rows.size(); ++k)
        if (rows[k] != rows[0] + static_cast<std::int64_t>(k)) return false;
    return true;
}

}  // namespace

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& m, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size();
    std::vector<DayProfit> days(n_days);
    std::vector<double> held(signal.cols, 0.0);
    // Consecutive rows (no day dropped) are read in place, from the first.
    MappedView2D<double> weights(signal);
    if (is_run(signal_rows)) {
        if (!signal_rows.empty()) weights.source.data += signal_rows[0] * signal.row_stride;
    } else {
        weights.rows = signal_rows.data();
    }
    walk_tiles(weights, m, VwapRules(costs), held, days);
    for (std::size_t i = 0; i < n_days; ++i) daily_cash[i] = days[i].total();
}

}  // namespace mirtaly::kernels
