// The factor group backtest: its frames in, its frames out.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "interop/market.hpp"

namespace nb = nanobind;

namespace mirtaly::interop {

struct GroupFrames {
    nb::handle factor, close_price_valid, forward_rank, open_price;  // all but factor may be None
    MarketFrames market;
};

struct GroupOptions {
    std::int64_t rolling_window = 0;
    std::int64_t groups = 20;
    bool ascending = false;
    kernels::VwapCosts costs;
};

struct GroupResult {
    nb::object daily_return;  // DataFrame: trading dates x groups 1..N
    nb::object rank_ic;       // Series by ranking date
};

// The factor's dates and stocks that `close_price` also has are the grid. The
// factor (first smoothed by its rolling mean when rolling_window > 1) is ranked
// into groups on every date, the groups trade on the next date of the grid,
// and the rank IC is taken against the forward-return ranks (derived from
// `open_price` when there is no cache). Frames that are not DataFrames raise
// TypeError naming their argument; a group count outside [1, 255] ValueError.
GroupResult group_backtest(const GroupFrames& frames, const GroupOptions& options);

}  // namespace mirtaly::interop
