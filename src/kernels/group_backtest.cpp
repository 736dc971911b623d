#include "kernels/group_backtest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/nan_reductions.hpp"
#include "kernels/vwap_walk.hpp"

namespace mirtaly::kernels {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// Days of the inputs copied row-major at a time, so that a column-major
// matrix is read front to back and each day is then ranked from one row; the
// copies stay within the second-level cache.
constexpr std::size_t kBlockDays = 64;

// Columns read ahead of the one being copied: a column-major block is many
// short runs, too short for the hardware to fetch ahead on its own.
constexpr std::size_t kColumnsAhead = 6;

void fetch_ahead(View2D<double> m, std::size_t d0, std::size_t d1, std::size_t j) {
    if (m.data == nullptr || j >= m.cols) return;
    for (std::size_t t = d0; t < d1; t += 8) __builtin_prefetch(&m(t, j));
    __builtin_prefetch(&m(d1 - 1, j));
}

// Rows [d0, d1) of `m` into `out`, one row of m.cols after another, each
// value through `cell(value, row, column)`; `also` is read by `cell`.
template <class Cell>
void stage_rows(View2D<double> m, View2D<double> also, std::size_t d0, std::size_t d1,
                std::vector<double>& out, Cell cell) {
    const std::size_t n = m.cols;
    out.resize((d1 - d0) * n);
    if (m.column_major()) {
        for (std::size_t j = 0; j < n; ++j) {
            fetch_ahead(m, d0, d1, j + kColumnsAhead);
            fetch_ahead(also, d0, d1, j + kColumnsAhead);
            const View1D<double> col = m.column(j);
            for (std::size_t t = d0; t < d1; ++t) out[(t - d0) * n + j] = cell(col[t], t, j);
        }
    } else {
        for (std::size_t t = d0; t < d1; ++t) {
            const View1D<double> row = m.row(t);
            for (std::size_t j = 0; j < n; ++j) out[(t - d0) * n + j] = cell(row[j], t, j);
        }
    }
}

// A day's sort key is read as two digits of this many bits.
constexpr int kDigits = 2, kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

// A stock's place in one day's sort: its value's order key (the float
// nearest the value, as bits that sort like the value, cut to the digits'
// width) above its column.
inline std::uint64_t sort_key(double value, std::uint32_t stock) {
    // + 0.0: -0.0 and 0.0 are one value, and must share a key. Rounding to a
    // float and dropping its lowest bits keeps the order (values that share a
    // key are sorted later); two digits sort in two passes, not three.
    const float near = static_cast<float>(value + 0.0);
    std::uint32_t bits;
    std::memcpy(&bits, &near, sizeof bits);
    bits ^= (bits >> 31) ? 0xffffffffu : 0x80000000u;
    bits >>= 32 - kDigits * kDigitBits;
    return (static_cast<std::uint64_t>(bits) << 32) | stock;
}

// Sorts by the upper 32 bits, kDigits digits (least significant first), from
// the digit counts `counts` of the keys.
void radix_sort_upper(std::span<std::uint64_t> keys, std::span<std::uint64_t> scratch,
                      std::uint32_t (&counts)[kDigits][kBuckets]) {
    std::uint64_t* from = keys.data();
    std::uint64_t* to = scratch.data();
    const std::size_t n = keys.size();
    for (int p = 0; p < kDigits; ++p) {
        const int shift = 32 + p * kDigitBits;
        // A digit that all keys share orders nothing.
        if (n == 0 || counts[p][(from[0] >> shift) & (kBuckets - 1)] == n) continue;
        std::uint32_t at = 0;
        for (std::uint32_t& c : counts[p]) {
            const std::uint32_t here = c;
            c = at;
            at += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = from[i];
            to[counts[p][(k >> shift) & (kBuckets - 1)]++] = k;
        }
        std::swap(from, to);
    }
    if (from != keys.data()) std::copy(from, from + n, keys.data());
}

// One day's ranking: every eligible stock's group and rank, and the members
// per group.
class DayRanker {
  public:
    // `with_ranks`: keep each day's ranks for rank_ic.
    DayRanker(std::size_t stocks, std::size_t groups, bool ascending, bool with_ranks)
        : groups_(groups),
          ascending_(ascending),
          with_ranks_(with_ranks),
          counts_(groups + 1),
          order_(stocks + 1),
          scratch_(stocks),
          rank_(with_ranks ? stocks : 0) {}

    // `values` holds the factor of eligible stocks and kMissing elsewhere.
    // Writes the group of every ranked stock to `group_of`, which must hold 0
    // for every stock, and 1 / members of group g to weight[g]; returns the
    // number of stocks ranked.
    // Inlined into rank_into_groups, and so built for the running CPU.
    [[gnu::always_inline]] std::size_t rank(std::span<const double> values,
                                            std::uint8_t* group_of, std::span<double> weight) {
        std::uint32_t digits[kDigits][kBuckets] = {};
        const std::size_t stocks = values.size();
        // Every stock's key first, in a loop of its own that the compiler
        // vectorises; scratch_ is free until the sort.
        std::uint64_t* const keys = scratch_.data();
        for (std::size_t j = 0; j < stocks; ++j)
            keys[j] = sort_key(values[j], static_cast<std::uint32_t>(j));
        const std::uint64_t missing = sort_key(kMissing, 0);
        std::size_t n = 0;
        std::uint64_t* const out = order_.data();
        for (std::size_t j = 0; j < stocks; ++j) {
            // Written and counted for every stock, kept for the ranked ones:
            // those whose key is not kMissing's, which no number shares.
            // kMissing's counts are taken off below.
            const std::uint64_t key = keys[j];
            out[n] = key;
            n += (key >> 32) != (missing >> 32);
            for (int p = 0; p < kDigits; ++p)
                ++digits[p][(key >> (32 + p * kDigitBits)) & (kBuckets - 1)];
        }
        for (int p = 0; p < kDigits; ++p)
            digits[p][(missing >> (32 + p * kDigitBits)) & (kBuckets - 1)] -=
                static_cast<std::uint32_t>(stocks - n);
        if (with_ranks_) std::fill(rank_.begin(), rank_.end(), kMissing);
        const std::span<std::uint64_t> order(order_.data(), n);
        radix_sort_upper(order, scratch_, digits);
        auto value = [&](std::uint64_t key) { return values[static_cast<std::uint32_t>(key)]; };

        // The group of twice a rank: ceil(twice * groups / 2n), the smallest g
        // with twice * groups <= 2n * g (or, ascending, of 2(n + 1) - twice).
        // Twice the ranks only grow along the order, so g is walked, not divided,
        // and each group's members take consecutive places in the order: a
        // group's count is booked once, when the walk leaves it. Members are
        // copied to locals, which the byte stores to `group_of` cannot alias.
        std::fill(counts_.begin(), counts_.end(), 0);
        const std::size_t two_n = 2 * n, groups = groups_;
        const bool ascending = ascending_;
        double* const ranks = with_ranks_ ? rank_.data() : nullptr;
        std::size_t g = ascending ? groups : 1, g_from = 0;
        // `from`: the first place of the order that gets the group.
        auto group_of_twice = [&](std::size_t twice, std::size_t from) {
            const std::size_t was = g;
            if (ascending) {
                const std::size_t by = two_n + 2 - twice;
                while (g > 1 && by * groups <= two_n * (g - 1)) --g;
            } else {
                while (twice * groups > two_n * g) ++g;
            }
            if (g != was) counts_[was] = from - g_from, g_from = from;
            return static_cast<std::uint8_t>(g);
        };
        // Runs of one key: values that differ only beyond the key's
        // precision are put in their exact order first.
        for (std::size_t first = 0; first < n;) {
            const std::uint64_t run_key = order[first] >> 32;
            std::size_t end = first + 1;
            while (end < n && (order[end] >> 32) == run_key) ++end;
            if (end - first == 1) {  // the usual case: a value of its own
                const auto j = static_cast<std::uint32_t>(order[first]);
                group_of[j] = group_of_twice(2 * first + 2, first);
                if (ranks) ranks[j] = static_cast<double>(first + 1);
                first = end;
                continue;
            }
            std::sort(order.begin() + first, order.begin() + end,
                      [&](std::uint64_t a, std::uint64_t b) { return value(a) < value(b); });
            for (std::size_t tie = first; tie < end;) {
                std::size_t last = tie;
                // == holds for -0.0 and 0.0 alike: one value, one tie run.
                while (last + 1 < end && value(order[last + 1]) == value(order[tie])) ++last;
                // Twice the tie run's average 1-based rank: an integer, so the
                // group is computed exactly.
                const std::size_t twice = tie + last + 2;
                const std::uint8_t at = group_of_twice(twice, tie);
                for (std::size_t k = tie; k <= last; ++k) {
                    const auto j = static_cast<std::uint32_t>(order[k]);
                    group_of[j] = at;
                    if (ranks) ranks[j] = static_cast<double>(twice) / 2.0;
                }
                tie = last + 1;
            }
            first = end;
        }
        counts_[g] = n - g_from;
        for (std::size_t k = 0; k <= groups_; ++k)
            weight[k] = counts_[k] ? 1.0 / static_cast<double>(counts_[k]) : kMissing;
        return n;
    }

    // The correlation of the last day's ranks with `forward` (a value per
    // stock), over the ranked stocks whose forward value exists.
    double rank_ic(std::span<const double> forward) const {
        return pearson(view_of<double>(rank_), view_of<double>(forward));
    }

  private:
    std::size_t groups_;
    bool ascending_, with_ranks_;
    std::vector<std::size_t> counts_;
    std::vector<std::uint64_t> order_, scratch_;
    std::vector<double> rank_;  // by stock, NaN where not ranked
};

}  // namespace

// Built for the running CPU's instruction set, as the walks are.
MIRTALY_CPU_CLONES
GroupPlan rank_into_groups(View2D<double> factor, View2D<double> valid, View2D<double> forward_rank,
                           std::size_t groups, bool ascending) {
    GroupPlan plan;
    const std::size_t days = factor.rows, stocks = factor.cols;
    plan.groups = groups;
    plan.days = days;
    plan.stocks = stocks;
    plan.group_of.assign(days * stocks, 0);
    plan.weight.assign(days * (groups + 1), kMissing);
    plan.rank_ic.assign(days, kMissing);

    const bool has_valid = valid.data != nullptr, has_forward = forward_rank.data != nullptr;
    DayRanker ranker(stocks, groups, ascending, has_forward);
    std::vector<double> values, forward;
    for (std::size_t d0 = 0; d0 < days; d0 += kBlockDays) {
        const std::size_t d1 = std::min(days, d0 + kBlockDays);
        // The factor of the eligible stocks, NaN elsewhere.
        stage_rows(factor, valid, d0, d1, values, [&](double v, std::size_t t, std::size_t j) {
            const bool eligible = std::isfinite(v) && (!has_valid || valid(t, j) == 1.0);
            return eligible ? v : kMissing;
        });
        if (has_forward)
            stage_rows(forward_rank, {}, d0, d1, forward,
                       [](double v, std::size_t, std::size_t) { return v; });

        for (std::size_t t = d0; t < d1; ++t) {
            const std::size_t row = (t - d0) * stocks, k = plan.trade_rows.size();
            // Written at the next trading day's place, kept if this day trades;
            // a day that does not trade ranked no stock, or was the last day,
            // so every row is written at most once and still holds its zeros.
            const std::size_t n =
                ranker.rank({&values[row], stocks}, &plan.group_of[k * stocks],
                            {&plan.weight[k * (groups + 1)], groups + 1});
            if (n > 0 && t + 1 < days) plan.trade_rows.push_back(static_cast<std::int64_t>(t));
            if (has_forward) plan.rank_ic[t] = ranker.rank_ic({&forward[row], stocks});
        }
    }
    return plan;
}

namespace {

// One group's shares of one stock.
struct Holding {
    std::size_t group = 0;  // 1..groups; 0 while nothing is held
    double shares = 0.0;
};

// The groups that hold one stock: usually one, the group it is in (kept apart,
// so that the usual day takes one step and no list); more while a stock that
// left a group cannot be sold yet. `more` holds shares only when `first` does.
struct StockHoldings {
    Holding first;
    std::vector<Holding> more;
};

// Where each group's profit of each trading day is booked: day by day, the
// day's groups side by side.
struct GroupProfits {
    DayProfit* base;
    std::size_t groups;
    DayProfit& operator()(std::size_t group, std::size_t k) const {
        return base[k * groups + (group - 1)];
    }
};

// A day on which more than one group holds the stock (it left a group that
// could not sell it yet): rare, and out of line, so that the usual day's steps
// stay inlined in the walk.
template <class Cell>
[[gnu::noinline]] void several_hold(const VwapRules& rules, const Cell& cell, std::size_t k,
                                    std::size_t g, double w, Holding& first,
                                    std::vector<Holding>& more, const GroupProfits& profit) {
    bool member = false;
    auto trade = [&](Holding& h) {
        // A group the stock has left targets no shares of it.
        member |= h.group == g;
        rules.step(cell, h.group == g ? w : kMissing, h.shares, profit(h.group, k));
    };
    trade(first);
    for (Holding& h : more) trade(h);
    if (g && !member) {
        Holding joined{g, 0.0};
        trade(joined);
        if (joined.shares != 0.0) more.push_back(joined);
    }
    std::erase_if(more, [](const Holding& h) { return h.shares == 0.0; });
    if (first.shares == 0.0 && !more.empty()) {
        first = more.back();
        more.pop_back();
    }
}

// One stock's day for the groups: `first` is the stock's first holding (the
// walk keeps it with the tile's others), `held` the stock's holdings. Asked
// only while something is held or the stock is in a group: a day asks for
// shares when the stock is in group g, and a group the stock has left targets
// no shares of it.
template <class Cell>
[[gnu::always_inline]] inline void trade_groups(const VwapRules& rules, const Cell& at,
                                                std::size_t k, std::size_t g, double w,
                                                Holding& first, StockHoldings& held,
                                                const GroupProfits& profit) {
    const CellValues cell(at);  // read once for both steps of a move
    if (!held.more.empty()) [[unlikely]] {
        several_hold(rules, cell, k, g, w, first, held.more, profit);
        return;
    }
    // The stock stays in its group, or joins one from nothing; or it left its
    // group, which sells the shares when it can while the group it joined, if
    // any, buys. Chosen by selects, not branches: the group changes from day
    // to day about as often as not.
    const std::size_t from = first.shares == 0.0 ? g : first.group;
    const bool stays = from == g;
    DayProfit& left = profit(from, k);
    const auto [kept, bought] =
        rules.move(cell, w, first.shares, stays, left, g ? profit(g, k) : left);
    const bool moved = stays || kept == 0.0;
    if (!moved && bought > 0.0) [[unlikely]] held.more.push_back({g, bought});
    first.shares = stays ? kept + bought : (kept == 0.0 ? bought : kept);
    first.group = moved ? g : from;
}

// Every group over the market in the simulation's tiles, each tile day by
// day. Built for the running CPU's instruction set, as the simulation's walk
// is.
MIRTALY_CPU_CLONES
void walk_groups(const GroupPlan& plan, const VwapMarket& market, const VwapRules& rules,
                 std::span<StockHoldings> holdings, std::span<DayProfit> profit) {
    const std::size_t days = plan.trade_rows.size(), stocks = plan.stocks;
    const std::size_t weights = plan.groups + 1;
    const GroupProfits books{profit.data(), plan.groups};
    const MappedView2D<std::uint8_t> groups(View2D<std::uint8_t>{
        plan.group_of.data(), days, stocks, static_cast<std::ptrdiff_t>(stocks), 1});
    vwap_walk::walk_tiles_by_day(
        groups, market, days, stocks,
        [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t nj, const auto* columns,
            auto&& fetch) MIRTALY_INLINE_LAMBDA {
            using Column = std::remove_cvref_t<decltype(*columns)>;
            Holding first[vwap_walk::kTileStocks];
            for (std::size_t c = 0; c < nj; ++c) first[c] = holdings[j0 + c].first;
            for (std::size_t k = i0; k < i1; ++k) {
                fetch(k);
                const std::uint8_t* group = plan.group_of.data() + k * stocks + j0;
                const double* weight = plan.weight.data() + k * weights;
                for (std::size_t c = 0; c < nj; ++c) {
                    const std::size_t g = group[c];
                    if (g == 0 && first[c].shares == 0.0) continue;  // nothing to do
                    trade_groups(rules, vwap_walk::CellOf<Column>{columns[c], k}, k, g,
                                 weight[g], first[c], holdings[j0 + c], books);
                }
            }
            for (std::size_t c = 0; c < nj; ++c) holdings[j0 + c].first = first[c];
        });
}

}  // namespace

void group_daily_cash(const GroupPlan& plan, const VwapMarket& market, const VwapCosts& costs,
                      std::span<double> cash) {
    std::vector<DayProfit> profit(plan.groups * plan.trade_rows.size());
    std::vector<StockHoldings> holdings(plan.stocks);
    walk_groups(plan, market, VwapRules(costs), holdings, profit);
    const std::size_t days = plan.trade_rows.size();
    for (std::size_t g = 0; g < plan.groups; ++g)
        for (std::size_t k = 0; k < days; ++k)
            cash[g * days + k] = profit[k * plan.groups + g].total();
}

}  // namespace mirtaly::kernels
