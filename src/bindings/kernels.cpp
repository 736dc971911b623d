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
}
