// The total backtesting frame and the strategy statistics.
#include <cmath>
#include <span>
#include <vector>

#include "kernels/cumulative.hpp"
#include "kernels/statistics.hpp"
#include "strategy/series.hpp"

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

namespace {

using Vec = std::vector<double>;

Vec running_sum(kernels::View1D<double> x) {
    Vec out(x.size);
    kernels::cumsum_skipna(x, out);
    return out;
}

Vec below_peak(const Vec& x) {
    Vec out(x.size());
    kernels::below_expanding_max(kernels::view_of<double>(x), out);
    return out;
}

bool has_column(nb::handle frame, const char* name) {
    return nb::cast<bool>(frame.attr("columns").attr("__contains__")(name));
}

double last(kernels::View1D<double> x) { return x[x.size - 1]; }

}  // namespace

nb::object build_total_backtesting_frame(nb::handle total_backtesting) {
    require_dataframe(total_backtesting, "total_backtesting");
    nb::object total = total_backtesting.attr("dropna")();
    const std::size_t n = nb::len(total);
    if (n == 0) return total;

    auto daily = float_column(column(total, "daily_return"));
    auto index_daily = float_column(column(total, "index_daily_return"));
    const auto dr = daily.view, idr = index_daily.view;

    Vec extra(n);
    for (std::size_t i = 0; i < n; ++i) extra[i] = dr[i] - idr[i];

    Vec nav = running_sum(dr), long_nav(n);
    for (double& v : nav) v += 1.0;
    for (std::size_t i = 0; i < n; ++i) long_nav[i] = nav[i] / nav[0];

    auto index_proxy = [&] {
        Vec proxy = running_sum(idr);
        for (double& v : proxy) v += 1.0;
        return proxy;
    };
    Vec close_net(n);
    const bool has_close = has_column(total, "close");
    Vec proxy;
    if (has_close) {
        auto close = float_column(column(total, "close"));
        const double first_close = close.view[0];
        if (first_close != 0.0) {
            for (std::size_t i = 0; i < n; ++i) close_net[i] = close.view[i] / first_close;
        } else {
            close_net = index_proxy();
        }
    } else {
        proxy = index_proxy();
        for (std::size_t i = 0; i < n; ++i) close_net[i] = proxy[i] / proxy[0];
    }

    Vec excess = running_sum(kernels::view_of<double>(extra)), extra_return(n), extra_nav(n);
    for (std::size_t i = 0; i < n; ++i) {
        extra_return[i] = excess[i] - excess[0];
        extra_nav[i] = extra_return[i] + 1.0;
    }

    // assign() adds the columns in this order on a new frame. Setting items
    // from here would trip pandas' chained-assignment check, which counts
    // references that only Python frames hold.
    nb::dict added;
    added["extra_daily_return"] = float_array_from(extra);
    added["long"] = float_array_from(long_nav);
    if (!has_close) added["close"] = float_array_from(proxy);
    added["close_net_value"] = float_array_from(close_net);
    added["max_drowdown"] = float_array_from(below_peak(long_nav));
    added["extra_return"] = float_array_from(extra_return);
    added["extra_max_drowdown"] = float_array_from(below_peak(extra_nav));
    return total.attr("assign")(**added);
}

nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df) {
    require_dataframe(total_frame, "total_frame");
    if (!signal_df.is_none()) require_dataframe(signal_df, "signal_df");

    nb::object total = total_frame.attr("dropna")();
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

    nb::object index = total.attr("index");
    auto col = [&](const char* name) { return float_column(column(total, name)); };
    auto daily = col("daily_return"), bench = col("index_daily_return"),
         extra = col("extra_daily_return"), long_nav = col("long"),
         drawdown = col("max_drowdown"), close_net = col("close_net_value"),
         extra_return = col("extra_return"), extra_drawdown = col("extra_max_drowdown");

    nb::object clean_daily = finite_series(daily.view, index, nb::str("daily_return"));
    nb::object clean_bench = finite_series(bench.view, index, nb::str("index_daily_return"));
    nb::object clean_extra = finite_series(extra.view, index, nb::str("extra_daily_return"));

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
