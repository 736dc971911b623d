// The thirteen statistics of a strategy's total frame.
#include <cmath>

#include "kernels/holdings.hpp"
#include "kernels/nan_reductions.hpp"
#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

nb::object sharpe(nb::handle returns) { return attr_of(kModule, "safe_sharpe")(returns); }

nb::object sharpe(nb::handle returns, int periods) {
    return attr_of(kModule, "safe_sharpe")(returns, "periods"_a = periods);
}

namespace {

// The finite values of a column, over their labels.
nb::object finite_series(kernels::View1D<double> column, nb::handle index, const char* name) {
    const kernels::FiniteRows kept = kernels::finite_rows(column);
    return series_at(kept.values, kept.positions, index, nb::str(name));
}

double last(kernels::View1D<double> x) { return x[x.size - 1]; }

}  // namespace

nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df) {
    require_dataframe(total_frame, "total_frame");
    if (!signal_df.is_none()) require_dataframe(signal_df, "signal_df");

    nb::object total = drop_incomplete_rows(total_frame);
    const std::size_t n = nb::len(total);
    nb::dict stats;
    if (n == 0) {
        for (const char* key : {"annual_return", "long_sharp", "max_dd", "extra_annual_return",
                                "extra_sharp", "extra_max_dd", "benchmark_annual_return",
                                "benchmark_sharp", "return_corr", "win_rate", "excess_win_rate",
                                "holding_count", "turnover"})
            stats[key] = kernels::kNaN;
        return stats;
    }

    nb::object index = index_of(total);
    auto col = [&](const char* name) { return float_column(column(total, name)); };
    auto daily = col("daily_return"), bench = col("index_daily_return"),
         extra = col("extra_daily_return"), long_nav = col("long"),
         drawdown = col("max_drowdown"), close_net = col("close_net_value"),
         extra_return = col("extra_return"), extra_drawdown = col("extra_max_drowdown");

    nb::object clean_daily = finite_series(daily.view, index, "daily_return");
    nb::object clean_bench = finite_series(bench.view, index, "index_daily_return");
    nb::object clean_extra = finite_series(extra.view, index, "extra_daily_return");

    const double years = static_cast<double>(n) / kTradingDaysPerYear;
    kernels::HoldingTurnover held;
    if (!signal_df.is_none() && nb::len(signal_df) > 0)
        held = kernels::holding_and_turnover(float_matrix(signal_df).view);

    stats["annual_return"] = (last(long_nav.view) - 1.0) / years * 100.0;
    stats["long_sharp"] = sharpe(clean_daily, kTradingDaysPerYear);
    stats["max_dd"] = std::fabs(kernels::nanmin(drawdown.view));
    stats["benchmark_annual_return"] = (last(close_net.view) - 1.0) / years * 100.0;
    stats["benchmark_sharp"] = sharpe(clean_bench, kTradingDaysPerYear);
    stats["extra_annual_return"] = last(extra_return.view) / years * 100.0;
    stats["extra_sharp"] = sharpe(clean_extra, kTradingDaysPerYear);
    stats["extra_max_dd"] = std::fabs(kernels::nanmin(extra_drawdown.view));
    stats["return_corr"] = kernels::pearson(daily.view, bench.view);
    stats["win_rate"] = kernels::positive_share(daily.view);
    stats["excess_win_rate"] = kernels::positive_share(extra.view);
    stats["holding_count"] = held.holding_count;
    stats["turnover"] = held.turnover;
    return stats;
}

}  // namespace mirtaly::strategy
