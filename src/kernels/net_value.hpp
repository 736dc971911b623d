// Net values, drawdowns and excess returns derived from daily returns.
#pragma once

#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// The derived columns of a strategy's total frame. Net values are summed
// returns (no compounding) rebased to the first day; drawdowns are the
// distance below the running peak.
struct NetValueColumns {
    std::vector<double> extra_daily_return;  // strategy minus benchmark, per day
    std::vector<double> long_net_value;
    std::vector<double> close;  // summed benchmark returns + 1; filled only without a close
    std::vector<double> close_net_value;
    std::vector<double> max_drawdown;
    std::vector<double> extra_return;
    std::vector<double> extra_max_drawdown;
};

// `close` is the benchmark's close level, or null when there is none: then a
// proxy close of summed benchmark returns stands in (and is returned). A
// close that starts at 0 cannot be rebased: the proxy's unrebased values
// serve as its net value. Needs at least one day.
NetValueColumns net_value_columns(View1D<double> daily, View1D<double> index_daily,
                                  const View1D<double>* close);

}  // namespace mirtaly::kernels
