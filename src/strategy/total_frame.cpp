// The total backtesting frame: net values, drawdowns and excess returns.
#include "kernels/net_value.hpp"
#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

using namespace interop;

nb::object build_total_backtesting_frame(nb::handle total_backtesting) {
    require_dataframe(total_backtesting, "total_backtesting");
    nb::object total = drop_incomplete_rows(total_backtesting);
    if (nb::len(total) == 0) return total;

    auto daily = float_column(column(total, "daily_return"));
    auto index_daily = float_column(column(total, "index_daily_return"));
    const bool has_close = has_column(total, "close");
    Held<kernels::View1D<double>> close;
    if (has_close) close = float_column(column(total, "close"));
    const kernels::NetValueColumns c = kernels::net_value_columns(
        daily.view, index_daily.view, has_close ? &close.view : nullptr);

    // assign() adds the columns in this order on a new frame. Setting items
    // from here would trip pandas' chained-assignment check, which counts
    // references that only Python frames hold.
    nb::dict added;
    added["extra_daily_return"] = float_array_from(c.extra_daily_return);
    added["long"] = float_array_from(c.long_net_value);
    if (!has_close) added["close"] = float_array_from(c.close);
    added["close_net_value"] = float_array_from(c.close_net_value);
    added["max_drowdown"] = float_array_from(c.max_drawdown);
    added["extra_return"] = float_array_from(c.extra_return);
    added["extra_max_drowdown"] = float_array_from(c.extra_max_drawdown);
    return assign(total, added);
}

}  // namespace mirtaly::strategy
