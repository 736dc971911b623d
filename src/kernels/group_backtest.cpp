#include "kernels/group_backtest.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/nan_reductions.hpp"

namespace mirtaly::kernels {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// Days of the inputs copied row-major at a time, so that a column-major
// matrix is read front to back and each day is then ranked from one row.
constexpr std::size_t kBlockDays = 64;

// Rows [d0, d1) of `m` into `out`, one row of m.cols after another.
void stage_rows(View2D<double> m, std::size_t d0, std::size_t d1, std::vector<double>& out) {
    const std::size_t n = m.cols;
    out.resize((d1 - d0) * n);
    if (m.column_major()) {
        for (std::size_t j = 0; j < n; ++j) {
            const View1D<double> col = m.column(j);
            for (std::size_t t = d0; t < d1; ++t) out[(t - d0) * n + j] = col[t];
        }
    } else {
        for (std::size_t t = d0; t < d1; ++t) {
            const View1D<double> row = m.row(t);
            for (std::size_t j = 0; j < n; ++j) out[(t - d0) * n + j] = row[j];
        }
    }
}

struct Ranked {
    double value;
    std::uint32_t stock;
};

// One day's ranking: every eligible stock's group, the members per group, and
// (when asked for) each stock's rank by value.
class DayRanker {
public:
    DayRanker(std::size_t stocks, std::size_t groups, bool ascending)
        : groups_(groups), ascending_(ascending), counts_(groups + 1) {
        ranked_.reserve(stocks);
    }

    // `values` holds the factor of eligible stocks and NaN elsewhere; writes
    // the group of every stock into `group_of` (0: not ranked) and, when
    // `rank_of` is not empty, the rank by value (NaN: not ranked).
    std::size_t rank(std::span<const double> values, std::uint8_t* group_of,
                     std::span<double> rank_of, std::span<double> weight) {
        ranked_.clear();
        for (std::size_t j = 0; j < values.size(); ++j)
            // + 0.0: -0.0 and 0.0 are one value.
            if (!std::isnan(values[j]))
                ranked_.push_back({values[j] + 0.0, static_cast<std::uint32_t>(j)});
        std::sort(ranked_.begin(), ranked_.end(),
                  [](const Ranked& a, const Ranked& b) { return a.value < b.value; });

        std::fill(counts_.begin(), counts_.end(), 0);
        const std::size_t n = ranked_.size();
        for (std::size_t first = 0; first < n;) {
            std::size_t last = first;
            while (last + 1 < n && ranked_[last + 1].value == ranked_[first].value) ++last;
            // Twice the tie run's average 1-based rank: an integer, so the
            // group ceil(rank * groups / n) is computed exactly.
            const std::size_t twice = first + last + 2;
            const std::size_t by_group = ascending_ ? 2 * (n + 1) - twice : twice;
            const std::size_t g = (by_group * groups_ + 2 * n - 1) / (2 * n);
            for (std::size_t k = first; k <= last; ++k) {
                group_of[ranked_[k].stock] = static_cast<std::uint8_t>(g);
                if (!rank_of.empty()) rank_of[ranked_[k].stock] = static_cast<double>(twice) / 2.0;
            }
            counts_[g] += last - first + 1;
            first = last + 1;
        }
        for (std::size_t g = 0; g <= groups_; ++g)
            weight[g] = counts_[g] ? 1.0 / static_cast<double>(counts_[g]) : kMissing;
        return n;
    }

private:
    std::size_t groups_;
    bool ascending_;
    std::vector<std::size_t> counts_;
    std::vector<Ranked> ranked_;
};

}  // namespace

GroupPlan rank_into_groups(View2D<double> factor, View2D<double> valid,
                           View2D<double> forward_rank, std::size_t groups, bool ascending,
                           bool stock_major) {
    GroupPlan plan;
    const std::size_t days = factor.rows, stocks = factor.cols;
    plan.groups = groups;
    plan.days = days;
    plan.stocks = stocks;
    plan.stock_major = stock_major;
    plan.group_of.assign(days * stocks, 0);
    plan.weight.assign(days * (groups + 1), kMissing);
    plan.rank_ic.assign(days, kMissing);

    const bool has_valid = valid.data != nullptr, has_forward = forward_rank.data != nullptr;
    DayRanker ranker(stocks, groups, ascending);
    std::vector<double> values, flags, forward, rank_of(has_forward ? stocks : 0);
    std::vector<std::uint8_t> tile;
    for (std::size_t d0 = 0; d0 < days; d0 += kBlockDays) {
        const std::size_t d1 = std::min(days, d0 + kBlockDays);
        stage_rows(factor, d0, d1, values);
        if (has_valid) {
            stage_rows(valid, d0, d1, flags);
            for (std::size_t x = 0; x < values.size(); ++x)
                if (flags[x] != 1.0) values[x] = kMissing;
        }
        for (double& v : values)
            if (!std::isfinite(v)) v = kMissing;
        if (has_forward) stage_rows(forward_rank, d0, d1, forward);
        if (stock_major) tile.assign((d1 - d0) * stocks, 0);

        for (std::size_t t = d0; t < d1; ++t) {
            const std::size_t row = (t - d0) * stocks;
            std::uint8_t* groups_out = stock_major ? &tile[row] : &plan.group_of[t * stocks];
            std::fill(rank_of.begin(), rank_of.end(), kMissing);
            const std::size_t n =
                ranker.rank({&values[row], stocks}, groups_out, rank_of,
                            {&plan.weight[t * (groups + 1)], groups + 1});
            if (n > 0 && t + 1 < days) plan.trade_rows.push_back(static_cast<std::int64_t>(t));
            if (has_forward)
                plan.rank_ic[t] = pearson(view_of<double>(rank_of),
                                          view_of<double>({&forward[row], stocks}));
        }
        if (stock_major)
            for (std::size_t j = 0; j < stocks; ++j)
                for (std::size_t t = d0; t < d1; ++t)
                    plan.group_of[j * days + t] = tile[(t - d0) * stocks + j];
    }
    return plan;
}

namespace {

// One group's shares of one stock.
struct Holding {
    std::size_t group;
    double shares;
};

}  // namespace

void group_daily_cash(const GroupPlan& plan, const VwapMarket& market, const VwapCosts& costs,
                      std::span<double> cash) {
    const std::size_t days = plan.trade_rows.size(), stocks = plan.stocks;
    const VwapStep step(market, costs);
    ProfitTerms terms(plan.groups * days);
    // Usually one entry per stock; two while a stock that left a group cannot be sold yet.
    std::vector<std::vector<Holding>> holdings(stocks);

    // Trading day k of stock j: market row t, the day after ranking day t.
    auto cell = [&](std::size_t k, std::size_t j) {
        const auto t = static_cast<std::size_t>(plan.trade_rows[k]);
        const std::size_t g = plan.group(t, j);
        const double w = g ? plan.weight_of(t, g) : kMissing;
        std::vector<Holding>& held = holdings[j];
        bool member = false, emptied = false;
        for (Holding& h : held) {
            // A group the stock has left targets no shares of it.
            const bool target = h.group == g;
            member |= target;
            step(t, j, target ? w : kMissing, h.shares, terms, (h.group - 1) * days + k);
            emptied |= h.shares == 0.0;
        }
        if (g && !member) {
            double shares = 0.0;
            step(t, j, w, shares, terms, (g - 1) * days + k);
            if (shares != 0.0) held.push_back({g, shares});
        }
        if (emptied) std::erase_if(held, [](const Holding& h) { return h.shares == 0.0; });
    };

    // Each (group, day) adds its stocks' terms in stock order in either walk.
    if (plan.stock_major) {
        for (std::size_t j = 0; j < stocks; ++j)
            for (std::size_t k = 0; k < days; ++k) cell(k, j);
    } else {
        for (std::size_t k = 0; k < days; ++k)
            for (std::size_t j = 0; j < stocks; ++j) cell(k, j);
    }
    terms.total(cash.first(plan.groups * days));
}

}  // namespace mirtaly::kernels
