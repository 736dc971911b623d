#include "kernels/group_backtest.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/nan_reductions.hpp"

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

// A stock's place in one day's sort: its value's order key (the float
// nearest the value, as bits that sort like the value) above its column.
inline std::uint64_t sort_key(double value, std::uint32_t stock) {
    // + 0.0: -0.0 and 0.0 are one value, and must share a key. Rounding to a
    // float keeps the order (values that share a float are sorted later).
    const float near = static_cast<float>(value + 0.0);
    std::uint32_t bits;
    std::memcpy(&bits, &near, sizeof bits);
    bits ^= (bits >> 31) ? 0xffffffffu : 0x80000000u;
    return (static_cast<std::uint64_t>(bits) << 32) | stock;
}

// Sorts by the upper 32 bits, three 11-bit digits (least significant first).
void radix_sort_upper(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& scratch) {
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    scratch.resize(keys.size());
    std::size_t counts[3][kBuckets] = {};
    for (std::uint64_t k : keys)
        for (int p = 0; p < 3; ++p) ++counts[p][(k >> (32 + p * kBits)) & (kBuckets - 1)];
    for (int p = 0; p < 3; ++p) {
        // A digit that all keys share orders nothing.
        if (counts[p][(keys.empty() ? 0 : keys[0] >> (32 + p * kBits)) & (kBuckets - 1)] ==
            keys.size())
            continue;
        std::size_t at = 0;
        for (std::size_t& c : counts[p]) {
            const std::size_t n = c;
            c = at;
            at += n;
        }
        for (std::uint64_t k : keys)
            scratch[counts[p][(k >> (32 + p * kBits)) & (kBuckets - 1)]++] = k;
        keys.swap(scratch);
    }
}

// One day's ranking: every eligible stock's group, the members per group, and
// the rank IC.
class DayRanker {
  public:
    DayRanker(std::size_t stocks, std::size_t groups, bool ascending)
        : groups_(groups), ascending_(ascending), counts_(groups + 1) {
        order_.reserve(stocks);
        scratch_.reserve(stocks);
    }

    // `values` holds the factor of eligible stocks and NaN elsewhere. Writes
    // the group of every stock to `group_of` (0: not ranked) and 1 / members of
    // group g to weight[g]; returns the number of stocks ranked.
    std::size_t rank(std::span<const double> values, std::uint8_t* group_of,
                     std::span<double> weight) {
        order_.clear();
        for (std::size_t j = 0; j < values.size(); ++j)
            if (!std::isnan(values[j]))
                order_.push_back(sort_key(values[j], static_cast<std::uint32_t>(j)));
        radix_sort_upper(order_, scratch_);
        const std::size_t n = order_.size();
        auto value = [&](std::uint64_t key) { return values[static_cast<std::uint32_t>(key)]; };

        std::fill(counts_.begin(), counts_.end(), 0);
        ranks_.resize(n);
        // Runs of one float key: values that differ only beyond a float's
        // precision are put in their exact order first.
        for (std::size_t first = 0; first < n;) {
            std::size_t end = first + 1;
            while (end < n && (order_[end] >> 32) == (order_[first] >> 32)) ++end;
            if (end - first > 1)
                std::sort(order_.begin() + first, order_.begin() + end,
                          [&](std::uint64_t a, std::uint64_t b) { return value(a) < value(b); });
            for (std::size_t tie = first; tie < end;) {
                std::size_t last = tie;
                // == holds for -0.0 and 0.0 alike: one value, one tie run.
                while (last + 1 < end && value(order_[last + 1]) == value(order_[tie])) ++last;
                // Twice the tie run's average 1-based rank: an integer, so the
                // group ceil(rank * groups / n) is computed exactly.
                const std::size_t twice = tie + last + 2;
                const std::size_t by_group = ascending_ ? 2 * (n + 1) - twice : twice;
                const std::size_t g = (by_group * groups_ + 2 * n - 1) / (2 * n);
                for (std::size_t k = tie; k <= last; ++k) {
                    group_of[static_cast<std::uint32_t>(order_[k])] = static_cast<std::uint8_t>(g);
                    ranks_[k] = static_cast<double>(twice) / 2.0;
                }
                counts_[g] += last - tie + 1;
                tie = last + 1;
            }
            first = end;
        }
        for (std::size_t g = 0; g <= groups_; ++g)
            weight[g] = counts_[g] ? 1.0 / static_cast<double>(counts_[g]) : kMissing;
        return n;
    }

    // The correlation of the last day's ranks with `forward` (a value per
    // stock), over the ranked stocks whose forward value exists.
    double rank_ic(std::span<const double> forward) {
        paired_.resize(order_.size());
        for (std::size_t k = 0; k < order_.size(); ++k)
            paired_[k] = forward[static_cast<std::uint32_t>(order_[k])];
        return pearson(view_of<double>(ranks_), view_of<double>(paired_));
    }

  private:
    std::size_t groups_;
    bool ascending_;
    std::vector<std::size_t> counts_;
    std::vector<std::uint64_t> order_, scratch_;
    std::vector<double> ranks_, paired_;  // in rank order
};

}  // namespace

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
    DayRanker ranker(stocks, groups, ascending);
    std::vector<double> values, forward;
    std::vector<std::uint8_t> tile;
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

        tile.assign((d1 - d0) * stocks, 0);
        for (std::size_t t = d0; t < d1; ++t) {
            const std::size_t row = (t - d0) * stocks;
            const std::size_t n = ranker.rank({&values[row], stocks}, &tile[row],
                                              {&plan.weight[t * (groups + 1)], groups + 1});
            if (n > 0 && t + 1 < days) plan.trade_rows.push_back(static_cast<std::int64_t>(t));
            if (has_forward) plan.rank_ic[t] = ranker.rank_ic({&forward[row], stocks});
        }
        // Into the simulation's stock-by-stock layout, 64 stocks at a time so
        // that both sides stay in cache.
        for (std::size_t j0 = 0; j0 < stocks; j0 += 64)
            for (std::size_t t = d0; t < d1; ++t)
                for (std::size_t j = j0; j < std::min(stocks, j0 + 64); ++j)
                    plan.group_of[j * days + t] = tile[(t - d0) * stocks + j];
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
// left a group cannot be sold yet.
struct StockHoldings {
    Holding first;
    std::vector<Holding> more;
};

class GroupSimulator {
  public:
    GroupSimulator(const GroupPlan& plan, const VwapMarket& market, const VwapCosts& costs)
        : plan_(plan),
          market_(market),
          rules_(costs),
          days_(plan.trade_rows.size()),
          profit_(plan.groups * days_) {}

    // Trading day k of stock j, the day after ranking day t: day t of the
    // stock's market column.
    void cell(std::size_t k, std::size_t t, std::size_t j, const MarketColumn& column,
              StockHoldings& held) {
        const std::size_t g = plan_.group(t, j);
        const double w = g ? plan_.weight_of(t, g) : kMissing;
        const ColumnCell at{column, t};
        Holding& first = held.first;
        if (!held.more.empty()) return several(k, g, w, at, held);
        if (first.shares == 0.0) {
            if (g == 0) return;
            first.group = g;
        }
        // A group the stock has left targets no shares of it.
        rules_.step(at, first.group == g ? w : kMissing, first.shares, profit(first.group, k));
        if (first.group == g || g == 0) return;
        // The stock moved to group g: the old group sold it (when it could), the new one buys.
        Holding joined{g, 0.0};
        rules_.step(at, w, joined.shares, profit(g, k));
        if (first.shares == 0.0)
            first = joined;
        else if (joined.shares != 0.0)
            held.more.push_back(joined);
    }

    // Trading days [k0, k1) of stock j, its holdings kept in a local meanwhile
    // (where they cannot alias the profits being written).
    void stock_days(std::size_t j, std::size_t k0, std::size_t k1, StockHoldings& stored) {
        const MarketColumn column(market_, j);
        StockHoldings held = std::move(stored);
        for (std::size_t k = k0; k < k1; ++k)
            cell(k, static_cast<std::size_t>(plan_.trade_rows[k]), j, column, held);
        stored = std::move(held);
    }

    void total(std::span<double> cash) const {
        for (std::size_t s = 0; s < profit_.size(); ++s) cash[s] = profit_[s].total();
    }

  private:
    // A day on which more than one group holds the stock (it left a group that
    // could not sell it yet): rare, and out of line, so that the usual day's
    // steps stay inlined in the loop.
    [[gnu::noinline]] void several(std::size_t k, std::size_t g, double w, const ColumnCell& at,
                                   StockHoldings& held) {
        Holding& first = held.first;
        bool member = false;
        auto trade = [&](Holding& h) {
            // A group the stock has left targets no shares of it.
            member |= h.group == g;
            rules_.step(at, h.group == g ? w : kMissing, h.shares, profit(h.group, k));
        };
        if (first.shares != 0.0) trade(first);
        for (Holding& h : held.more) trade(h);
        if (g && !member) {
            Holding joined{g, 0.0};
            trade(joined);
            if (joined.shares != 0.0) held.more.push_back(joined);
        }
        std::erase_if(held.more, [](const Holding& h) { return h.shares == 0.0; });
        if (first.shares == 0.0 && !held.more.empty()) {
            first = held.more.back();
            held.more.pop_back();
        }
    }

    DayProfit& profit(std::size_t group, std::size_t k) { return profit_[(group - 1) * days_ + k]; }

    const GroupPlan& plan_;
    const VwapMarket& market_;
    const VwapRules rules_;
    std::size_t days_;
    std::vector<DayProfit> profit_;  // group by group, day by day
};

// Trading days simulated at a time, stock by stock, so that the block's
// profits of every group stay in cache.
constexpr std::size_t kSimulatedDays = 256;

}  // namespace

void group_daily_cash(const GroupPlan& plan, const VwapMarket& market, const VwapCosts& costs,
                      std::span<double> cash) {
    const std::size_t days = plan.trade_rows.size(), stocks = plan.stocks;
    GroupSimulator sim(plan, market, costs);
    std::vector<StockHoldings> holdings(stocks);
    // Each (group, day) adds its stocks' terms in stock order.
    for (std::size_t k0 = 0; k0 < days; k0 += kSimulatedDays) {
        const std::size_t k1 = std::min(days, k0 + kSimulatedDays);
        for (std::size_t j = 0; j < stocks; ++j) sim.stock_days(j, k0, k1, holdings[j]);
    }
    sim.total(cash);
}

}  // namespace mirtaly::kernels
