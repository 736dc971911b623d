// The factor group backtest: stocks ranked into groups every day, each group
// traded as an equal-weight portfolio by the rules of the VWAP simulation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernels/simulation.hpp"

namespace mirtaly::kernels {

// The groups of every ranking day, and the days they trade.
struct GroupPlan {
    std::size_t groups = 0, days = 0, stocks = 0;
    // Ranking days whose groups trade on the day after: every day but the
    // last that ranked at least one stock. Trading day k trades the groups of
    // ranking day trade_rows[k].
    std::vector<std::int64_t> trade_rows;
    // Group 1..groups of each stock on each trading day, 0 where the stock was
    // not ranked, at [k * stocks + j].
    std::vector<std::uint8_t> group_of;
    // 1 / members of group g on trading day k at [k * (groups + 1) + g]; NaN
    // when empty.
    std::vector<double> weight;
    // Per ranking day: the correlation of the factor's rank with the
    // forward-return rank, over the stocks that have both.
    std::vector<double> rank_ic;
};

// At most this many groups (a group number is stored in one byte).
inline constexpr std::size_t kMaxGroups = 255;

// Ranks each day's eligible stocks (a finite factor and a validity flag of
// exactly 1; `valid` without data means every stock is valid) by factor value,
// ties by their average rank, and cuts them into `groups` groups of equal
// count: group ceil(rank * groups / n) of n ranked stocks. Without `ascending`
// a larger value gives a larger group number; with it, a smaller group number.
// `forward_rank` without data gives a NaN rank IC on every day. All views
// share one days x stocks grid.
GroupPlan rank_into_groups(View2D<double> factor, View2D<double> valid, View2D<double> forward_rank,
                           std::size_t groups, bool ascending);

// Profit and loss of every group on every trading day, in money units, at
// cash[(g - 1) * trading days + k]: market row k is trading day k, the day
// after ranking day plan.trade_rows[k]. All groups run in one pass over the market: a stock's
// holding is kept per group, and a cell touches only the groups that hold or
// target the stock. Each group holds its members at weight 1 / members, traded
// exactly as a target-weight portfolio with those weights would be.
void group_daily_cash(const GroupPlan& plan, const VwapMarket& market, const VwapCosts& costs,
                      std::span<double> cash);

}  // namespace mirtaly::kernels
