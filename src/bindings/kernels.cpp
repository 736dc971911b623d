// mirtaly.backtest._kernels: the SDK's window onto the shared kernels, the
// native market alignment and the one date and stock-code rules.
#include "interop/interop.hpp"

NB_MODULE(_kernels, m) {
    using namespace mirtaly::interop;
    using namespace nb::literals;
    m.doc() = "Shared kernels, native market alignment and the date and stock-code rules.";

    m.def("normalize_yyyymmdd", &normalize_yyyymmdd, "value"_a.none(),
          nb::sig("def normalize_yyyymmdd(value: object) -> str | None"),
          "A date as YYYYMMDD text; None stays None. Accepts 20240102, \"20240102\", "
          "\"2024-01-02\" (also with \"/\" or \".\", a time of day and a UTC offset) and "
          "date, datetime, timestamp or datetime64 objects; anything else raises ValueError "
          "naming the value.");
    m.def("yyyymmdd_labels", &yyyymmdd_labels, "labels"_a,
          nb::sig("def yyyymmdd_labels(labels: object) -> list[str]"),
          "Each label as normalize_yyyymmdd reads it; a missing label raises ValueError.");
    m.def("stock_codes", &stock_codes, "labels"_a,
          nb::sig("def stock_codes(labels: object) -> list[str]"),
          "Each label as a 6-digit stock code: integers zero-padded, text cut at its first "
          "\".\"; anything else raises ValueError naming the label.");

    m.def(
        "align_market",
        [](nb::handle pnl_index, nb::handle columns, nb::handle can_buy_stock,
           nb::handle cant_sell_stock, nb::handle split_factor, nb::handle dividend_factor,
           nb::handle close_price, nb::handle prev_close, nb::handle buy_price,
           nb::handle sell_price) {
            return as_dict(align_market(
                pnl_index, columns,
                {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price,
                 prev_close, buy_price, sell_price}));
        },
        "pnl_index"_a, "columns"_a, "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(),
        "split_factor"_a.none(), "dividend_factor"_a.none(), "close_price"_a.none(),
        "prev_close"_a.none(), "buy_price"_a.none(), "sell_price"_a.none(),
        nb::sig("def align_market(pnl_index: object, columns: object, "
                "can_buy_stock: pandas.DataFrame | None, cant_sell_stock: pandas.DataFrame | None, "
                "split_factor: pandas.DataFrame | None, dividend_factor: pandas.DataFrame | None, "
                "close_price: pandas.DataFrame | None, prev_close: pandas.DataFrame | None, "
                "buy_price: pandas.DataFrame | None, sell_price: pandas.DataFrame | None) "
                "-> dict[str, numpy.ndarray]"),
        "The eight market arrays aligned by label to pnl_index x columns: views when the labels "
        "form one contiguous run of a frame's, NaN prices and no trading where data is missing.");

    m.def(
        "group_backtest",
        [](nb::handle factor_matrix, nb::handle close_price_valid,
           nb::handle forward_return_rank_cache, nb::handle open_price, nb::handle can_buy_stock,
           nb::handle cant_sell_stock, nb::handle split_factor, nb::handle dividend_factor,
           nb::handle close_price, nb::handle prev_close, nb::handle buy_price,
           nb::handle sell_price, nb::handle rolling_window, nb::handle ascending,
           nb::handle group_num, nb::handle total_money, nb::handle fee, nb::handle rule_fee) {
            GroupOptions options;
            options.rolling_window = to_int(rolling_window, "rolling_window");
            options.groups = to_int(group_num, "group_num");
            options.ascending = truth(ascending);
            options.costs.total_money = to_float(total_money, "total_money");
            options.costs.fee = to_float(fee, "fee");
            options.costs.rule_fee = to_float(rule_fee, "rule_fee");
            GroupResult r = group_backtest(
                {factor_matrix, close_price_valid, forward_return_rank_cache, open_price,
                 {can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price,
                  prev_close, buy_price, sell_price}},
                options);
            return nb::make_tuple(r.daily_return, r.rank_ic);
        },
        "factor_matrix"_a.none(), "close_price_valid"_a.none(),
        "forward_return_rank_cache"_a.none(), "open_price"_a.none(), "can_buy_stock"_a.none(),
        "cant_sell_stock"_a.none(), "split_factor"_a.none(), "dividend_factor"_a.none(),
        "close_price"_a.none(), "prev_close"_a.none(), "buy_price"_a.none(),
        "sell_price"_a.none(), nb::kw_only(), "rolling_window"_a.none() = 0,
        "ascending"_a.none() = false, "group_num"_a.none() = 20, "total_money"_a.none() = 1e8,
        "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
        nb::sig("def group_backtest(factor_matrix: pandas.DataFrame, "
                "close_price_valid: pandas.DataFrame | None, "
                "forward_return_rank_cache: pandas.DataFrame | None, "
                "open_price: pandas.DataFrame | None, can_buy_stock: pandas.DataFrame, "
                "cant_sell_stock: pandas.DataFrame, split_factor: pandas.DataFrame, "
                "dividend_factor: pandas.DataFrame, close_price: pandas.DataFrame, "
                "prev_close: pandas.DataFrame, buy_price: pandas.DataFrame, "
                "sell_price: pandas.DataFrame, *, rolling_window: int = 0, "
                "ascending: bool = False, group_num: int = 20, "
                "total_money: float = 100000000.0, fee: float = 0.0001, "
                "rule_fee: float = 0.0005) -> tuple[pandas.DataFrame, pandas.Series]"),
        "Every factor group traded in one pass: (daily returns, trading dates x groups 1..N; "
        "rank IC by ranking date). Stocks with a finite factor and a validity flag of 1 are "
        "ranked each date (ties by average rank) into group ceil(rank * N / count); each group "
        "holds its stocks at equal weight, traded on the next date by the VWAP simulation's "
        "rules with total_money per group and lots of 200 shares.");
}
