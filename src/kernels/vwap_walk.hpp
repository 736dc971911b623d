// The tile walk of next-day VWAP trading over a market, shared by every kind
// of book kept over it: one target-weight portfolio, or every factor group.
// Internal to the kernels; built into the callers' own per-CPU clones.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/simulation.hpp"

namespace mirtaly::kernels::vwap_walk {

// One stock's column of every market array.
struct MarketColumn {
    MappedLine<double> prev_close, close, buy_price, sell_price, split, dividend;
    MappedLine<bool> can_buy, cant_sell;
    MarketColumn() = default;
    MarketColumn(const VwapMarket& m, std::size_t j)
        : prev_close(m.prev_close.column(j)), close(m.close.column(j)),
          buy_price(m.buy_price.column(j)), sell_price(m.sell_price.column(j)),
          split(m.split.column(j)), dividend(m.dividend.column(j)), can_buy(m.can_buy.column(j)),
          cant_sell(m.cant_sell.column(j)) {}

    bool in_place() const {
        return prev_close.in_place() && close.in_place() && buy_price.in_place() &&
               sell_price.in_place() && split.in_place() && dividend.in_place() &&
               can_buy.in_place() && cant_sell.in_place();
    }
};

// A stock's column whose every line is read in place: no map and no missing
// line to test on each read.
struct StridedColumn {
    StridedLine<double> prev_close, close, buy_price, sell_price, split, dividend;
    StridedLine<bool> can_buy, cant_sell;
    StridedColumn() = default;
    explicit StridedColumn(const MarketColumn& c)
        : prev_close(c.prev_close.strided()), close(c.close.strided()),
          buy_price(c.buy_price.strided()), sell_price(c.sell_price.strided()),
          split(c.split.strided()), dividend(c.dividend.strided()), can_buy(c.can_buy.strided()),
          cant_sell(c.cant_sell.strided()) {}

    // Every line a day apart by the same stride (every array column-major, or
    // every one row-major).
    bool shared_stride() const {
        const std::ptrdiff_t s = prev_close.stride;
        return close.stride == s && buy_price.stride == s && sell_price.stride == s &&
               split.stride == s && dividend.stride == s && can_buy.stride == s &&
               cant_sell.stride == s;
    }
};

// A StridedColumn whose lines share one stride: a cell's offset, worked out
// once, serves every read.
struct SharedStrideColumn : StridedColumn {
    using StridedColumn::StridedColumn;
};

// One day of a stock's column: the cell VwapRules::step reads.
template <class Column>
struct CellOf {
    const Column& c;
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
using ColumnCell = CellOf<MarketColumn>;

template <>
struct CellOf<SharedStrideColumn> {
    const SharedStrideColumn& c;
    std::ptrdiff_t at;
    CellOf(const SharedStrideColumn& column, std::size_t day)
        : c(column), at(static_cast<std::ptrdiff_t>(day) * column.prev_close.stride) {}

    double prev_close() const { return c.prev_close.base[at]; }
    double close() const { return c.close.base[at]; }
    double buy_price() const { return c.buy_price.base[at]; }
    double sell_price() const { return c.sell_price.base[at]; }
    double split() const { return c.split.base[at]; }
    double dividend() const { return c.dividend.base[at]; }
    bool can_buy() const { return c.can_buy.base[at]; }
    bool cant_sell() const { return c.cant_sell.base[at]; }
};


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
template <class Signal>
struct Fetches {
    TileFetch<Signal> signal;
    TileFetch<double> prev_close, close, buy_price, sell_price, split, dividend;
    TileFetch<bool> can_buy, cant_sell;

    Fetches(const MappedView2D<Signal>& s, const VwapMarket& m)
        : signal(s), prev_close(m.prev_close), close(m.close), buy_price(m.buy_price),
          sell_price(m.sell_price), split(m.split), dividend(m.dividend), can_buy(m.can_buy),
          cant_sell(m.cant_sell) {}

    void aim(std::size_t i0, std::size_t ni, std::size_t j0, std::size_t nj) {
        signal.aim(i0, ni, j0, nj);
        for (auto* f : {&prev_close, &close, &buy_price, &sell_price, &split, &dividend})
            f->aim(i0, ni, j0, nj);
        can_buy.aim(i0, ni, j0, nj);
        cant_sell.aim(i0, ni, j0, nj);
    }

    // Part c of every array. Inlined, so that it is built for the caller's
    // instruction set.
    [[gnu::always_inline]] void fill(std::size_t c, PartLines& out) const {
        std::size_t a = 1, steps = signal.fill(c, out.line[0]);
        for (const auto* f : {&prev_close, &close, &buy_price, &sell_price, &split, &dividend})
            steps = std::max(steps, f->fill(c, out.line[a++]));
        for (const auto* f : {&can_buy, &cant_sell}) steps = std::max(steps, f->fill(c, out.line[a++]));
        out.steps = steps;
    }
};


static_assert(std::endian::native == std::endian::little, "a step's first flag is its low byte");

// A book keeps one stock's holdings through a walk and books their profit
// and loss:
//   static constexpr bool kInPlace   its signal is read without a map
//   void mark(i0, i1, flags) const   flags[i - i0] = 1 for each day i of
//                                     [i0, i1) whose signal asks for shares
//   bool idle() const                nothing is held
//   void trade(rules, cell, day)     the day's trades and profits
// With nothing held, a day that asks for no shares books nothing and is
// passed over.

// Days [i0, i1) of one stock in a tile: each step of kStepDays days first
// requests the next tile's lines of part `next`. An idle book passes over a
// day that asks for nothing, and over a step of such days at the cost of a
// word's test.
template <class Column, class Book>
[[gnu::always_inline]] inline void walk(const VwapRules& rules, const Column& market, Book& book,
                                        const PartLines& next, std::size_t i0, std::size_t i1) {
    std::uint8_t flags[kTileDays];
    book.mark(i0, i1, flags);
    for (std::size_t i = i1 - i0; i % kStepDays; ++i) flags[i] = 0;
    for (std::size_t k0 = i0, step = 0; k0 < i1; k0 += kStepDays, ++step) {
        next.fetch(step);
        std::uint64_t wanted;
        std::memcpy(&wanted, flags + (k0 - i0), sizeof wanted);
        if (book.idle() && wanted == 0) continue;
        const std::size_t k1 = std::min(i1, k0 + kStepDays);
        for (std::size_t k = k0; k < k1; ++k) {
            if (book.idle()) {  // on to the step's next day that asks for shares
                const std::uint64_t later = wanted >> (8 * (k - k0));
                if (later == 0) break;
                k += static_cast<std::size_t>(std::countr_zero(later)) / 8;
            }
            book.trade(rules, CellOf<Column>{market, k}, k);
        }
    }
}

// Tiles of days [0, n_days) x stocks [0, n_stocks): bands of days in order,
// the band's groups of stocks in order, so that every day sees its stocks in
// column order and every stock its days in order. `signal` (days x stocks) is
// what the books read, fetched ahead with the market: tile(i0, i1, j0, nj,
// fetch) works one tile, with `fetch` aimed at the next one.
template <class Signal, class Tile>
[[gnu::always_inline]] inline void for_each_tile(const MappedView2D<Signal>& signal,
                                                 const VwapMarket& m, std::size_t n_days,
                                                 std::size_t n_stocks, Tile&& tile) {
    Fetches<Signal> fetch(signal, m);
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
            tile(i0, i1, j0, nj, static_cast<const Fetches<Signal>&>(fetch));
        }
    }
}

// Every tile stock by stock: books(j, walk_with) calls walk_with with stock
// j's book, which walks the tile's days. Inlined into the caller, so that it
// is built for the caller's instruction set.
template <class Signal, class Books>
[[gnu::always_inline]] inline void walk_tiles(const MappedView2D<Signal>& signal,
                                              const VwapMarket& m, const VwapRules& rules,
                                              std::size_t n_days, std::size_t n_stocks,
                                              Books&& books) {
    PartLines next;
    for_each_tile(signal, m, n_days, n_stocks,
                  [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t nj,
                      const Fetches<Signal>& fetch) MIRTALY_INLINE_LAMBDA {
        for (std::size_t c = 0; c < nj; ++c) {
            const std::size_t j = j0 + c;
            const MarketColumn market(m, j);
            fetch.fill(c, next);
            books(j, [&](auto& book) MIRTALY_INLINE_LAMBDA {
                using Book = std::remove_reference_t<decltype(book)>;
                if (!Book::kInPlace || !market.in_place())
                    return walk(rules, market, book, next, i0, i1);
                if constexpr (Book::kInPlace) {
                    const StridedColumn strided(market);
                    if (strided.shared_stride())
                        walk(rules, SharedStrideColumn(market), book, next, i0, i1);
                    else
                        walk(rules, strided, book, next, i0, i1);
                }
            });
        }
    });
}

// Every tile day by day, for books that are independent across stocks: a
// day's steps of the tile's stocks then overlap, where one stock's days wait
// for each other. days(i0, i1, j0, nj, columns, fetch) works days [i0, i1)
// of stocks [j0, j0 + nj), whose columns are columns[0, nj), each day's
// stocks in column order, and calls fetch(k) on day k to request the next
// tile's lines along the way. Inlined into the caller, so that it is built
// for the caller's instruction set.
template <class Signal, class Days>
[[gnu::always_inline]] inline void walk_tiles_by_day(const MappedView2D<Signal>& signal,
                                                     const VwapMarket& m, std::size_t n_days,
                                                     std::size_t n_stocks, Days&& days) {
    PartLines next[kTileStocks];
    for_each_tile(signal, m, n_days, n_stocks,
                  [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t nj,
                      const Fetches<Signal>& lines) MIRTALY_INLINE_LAMBDA {
        for (std::size_t c = 0; c < kTileStocks; ++c) lines.fill(c, next[c]);
        // Day d of the tile requests part d / kWalkSteps's line d % kWalkSteps:
        // every line of the next tile, spread over this one's days.
        auto fetch = [&next, i0](std::size_t k) MIRTALY_INLINE_LAMBDA {
            const std::size_t d = k - i0;
            next[d / kWalkSteps % kTileStocks].fetch(d % kWalkSteps);
        };
        MarketColumn market[kTileStocks];
        bool plain = true;
        for (std::size_t c = 0; c < nj; ++c) {
            market[c] = MarketColumn(m, j0 + c);
            plain = plain && market[c].in_place() && StridedColumn(market[c]).shared_stride();
        }
        if (!plain) return days(i0, i1, j0, nj, static_cast<const MarketColumn*>(market), fetch);
        SharedStrideColumn shared[kTileStocks];
        for (std::size_t c = 0; c < nj; ++c) shared[c] = SharedStrideColumn(market[c]);
        days(i0, i1, j0, nj, static_cast<const SharedStrideColumn*>(shared), fetch);
    });
}

}  // namespace mirtaly::kernels::vwap_walk
