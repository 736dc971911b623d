#include "interop/group.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "interop/args.hpp"
#include "interop/frames.hpp"
#include "interop/modules.hpp"
#include "kernels/group_backtest.hpp"
#include "kernels/ranking.hpp"
#include "kernels/rolling.hpp"

namespace mirtaly::interop {

namespace {

// The labels of `frame`'s axis that `other`'s axis also has, in `frame`'s order.
nb::object common_labels(nb::handle labels, nb::handle other) {
    if (truth(labels.attr("equals")(other))) return nb::borrow(labels);
    return labels.attr("intersection")(other);
}

// The rolling mean of the factor over full windows of `window` rows.
Held<kernels::View2D<double>> smoothed(const Held<kernels::View2D<double>>& factor,
                                       std::size_t window) {
    const auto& v = factor.view;
    auto [values, out] = new_float_matrix(v.rows, v.cols);
    {
        nb::gil_scoped_release unlocked;
        kernels::rolling_mean(v, window, {out, v.rows * v.cols});
    }
    return float_matrix(values);
}

// The forward open-to-open return ranked across each date, over the open
// frame's own stocks, as the prepared data's cache holds it.
nb::object forward_rank_from_open(nb::handle open_price) {
    auto open = float_matrix(open_price);
    const std::size_t rows = open.view.rows, cols = open.view.cols;
    auto [values, out] = new_float_matrix(rows, cols);
    {
        nb::gil_scoped_release unlocked;
        kernels::forward_open_return(open.view, {out, rows * cols});
        kernels::rank_rows_average({out, rows * cols}, rows, cols);
    }
    return frame_from_array(values, index_of(open_price), columns_of(open_price));
}

}  // namespace

GroupResult group_backtest(const GroupFrames& f, const GroupOptions& o) {
    require_dataframe(f.factor, "factor_matrix");
    const std::pair<nb::handle, const char*> optional[] = {
        {f.close_price_valid, "close_price_valid"},
        {f.forward_rank, "forward_return_rank_cache"},
        {f.open_price, "open_price"}};
    for (const auto& [frame, name] : optional)
        if (!frame.is_none()) require_dataframe(frame, name);
    const MarketFrames& m = f.market;
    const std::pair<nb::handle, const char*> market[] = {
        {m.can_buy_stock, "can_buy_stock"}, {m.cant_sell_stock, "cant_sell_stock"},
        {m.split_factor, "split_factor"},   {m.dividend_factor, "dividend_factor"},
        {m.close_price, "close_price"},     {m.prev_close, "prev_close"},
        {m.buy_price, "buy_price"},         {m.sell_price, "sell_price"}};
    for (const auto& [frame, name] : market) require_dataframe(frame, name);
    if (o.groups < 1 || o.groups > static_cast<std::int64_t>(kernels::kMaxGroups))
        raise_value_error("group_num must be between 1 and " + std::to_string(kernels::kMaxGroups) +
                          ", got " + std::to_string(o.groups));
    const auto groups = static_cast<std::size_t>(o.groups);

    nb::object dates = common_labels(index_of(f.factor), index_of(m.close_price));
    nb::object stocks = common_labels(columns_of(f.factor), columns_of(m.close_price));
    auto factor = aligned_values(f.factor, dates, stocks);
    if (o.rolling_window > 1) factor = smoothed(factor, static_cast<std::size_t>(o.rolling_window));
    Held<kernels::View2D<double>> valid, forward;
    if (!f.close_price_valid.is_none()) valid = aligned_values(f.close_price_valid, dates, stocks);
    if (!f.forward_rank.is_none())
        forward = aligned_values(f.forward_rank, dates, stocks);
    else if (!f.open_price.is_none())
        forward = aligned_values(forward_rank_from_open(f.open_price), dates, stocks);

    kernels::GroupPlan plan;
    {
        nb::gil_scoped_release unlocked;
        plan =
            kernels::rank_into_groups(factor.view, valid.view, forward.view, groups, o.ascending);
    }
    std::vector<std::int64_t> labels(plan.trade_rows), numbers(groups);
    for (auto& r : labels) ++r;  // a day's trades and return are dated the day after it ranks
    for (std::size_t g = 0; g < groups; ++g) numbers[g] = static_cast<std::int64_t>(g + 1);
    // Read in place where the trading dates are one run of the market's (the
    // usual case: an offset into each frame).
    nb::object trade_dates = take(dates, labels);
    const AlignedMarket aligned = map_market(trade_dates, stocks, m);

    const std::size_t days = plan.trade_rows.size();
    auto [cash, out] = new_float_matrix(days, groups);
    {
        nb::gil_scoped_release unlocked;
        std::span<double> values(out, days * groups);
        kernels::group_daily_cash(plan, aligned.view, o.costs, values);
        for (double& v : values) v /= o.costs.total_money;
    }

    return {frame_from_array(cash, trade_dates, int_index(numbers, "group")),
            make_series(float_array_from(plan.rank_ic), dates, nb::str("rank_ic"))};
}

}  // namespace mirtaly::interop
