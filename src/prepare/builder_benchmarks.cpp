// Benchmark index return series from the index-daily query.
#include <string>

#include "prepare/builder.hpp"

namespace mirtaly::prepare {

using namespace nb::literals;
namespace io = mirtaly::interop;

namespace {

using io::has_column;
using io::to_numbers;

std::string text(nb::handle s) { return nb::cast<std::string>(nb::str(s)); }

}  // namespace

nb::dict GroupPreparedDataBuilder::read_benchmark_dict() const {
    nb::dict codes = nb::borrow<nb::dict>(module_attr("BENCHMARK_INDEX_CODES"));
    nb::list ukeys;
    for (nb::handle code : codes.values()) ukeys.append(code);
    nb::object answer = module_attr("get_instance")().attr("get_index_daily")(
        "ukeys"_a = ukeys, "start_date"_a = default_start, "end_date"_a = end_date);
    nb::dict out;
    for (auto [name, code] : codes) {
        // Cut after the returns are derived, so a close-derived first day still
        // uses the day before it.
        out[name] = in_window(format_benchmark_daily_return(answer, name, code));
    }
    return out;
}

nb::object GroupPreparedDataBuilder::format_benchmark_daily_return(nb::handle df,
                                                                   nb::handle benchmark_name,
                                                                   nb::handle index_code) {
    if (!df.is_none()) io::require_dataframe(df, "df");
    io::require_str(benchmark_name, "benchmark_name");
    io::require_str(index_code, "index_code");
    const std::string name = text(benchmark_name);
    if (!io::has_rows(df))
        io::raise_key_error(
            nb::str(("基准日频数据为空: " + name + " (" + text(index_code) + ")").c_str()));

    nb::dict renames;
    renames["date"] = "DataDate";
    nb::object work = df.attr("rename")("columns"_a = renames);  // a new frame
    if (!has_column(work, "DataDate"))
        io::raise_key_error(nb::str((name + " 基准缺少 DataDate 列").c_str()));
    work = work.attr("assign")("DataDate"_a = series_to_yyyymmdd(work["DataDate"]));
    nb::list date_only;
    date_only.append("DataDate");
    // Stable, so that among rows of one date the answer's later row stays later.
    work = work.attr("dropna")("subset"_a = date_only)
               .attr("sort_values")("DataDate", "kind"_a = "stable");
    const bool has_ukey = has_column(work, "ukey");
    if (has_ukey) {
        nb::object ukey = work["ukey"].attr("astype")(io::attr_of("builtins", "str"));
        work = work.attr("__getitem__")(ukey.attr("__eq__")(index_code));
    }
    // Duplicates go before returns are derived from closes, so a repeated day
    // cannot turn into a zero return.
    nb::list pair;
    if (has_ukey) pair.append("ukey");
    pair.append("DataDate");
    work = work.attr("drop_duplicates")("subset"_a = pair, "keep"_a = "last")
               .attr("drop_duplicates")("subset"_a = date_only, "keep"_a = "last");

    nb::object returns = nb::none();
    if (has_column(work, "daily_return")) {
        returns = work["daily_return"];
    } else {
        for (const char* col : {"return", "returns", "pct_change", "change_rate"})
            if (has_column(work, col)) {
                returns = to_numbers(work[col]);
                break;
            }
        if (returns.is_none()) {
            if (!has_column(work, "close"))
                io::raise_key_error(nb::str((name + " 基准缺少 daily_return/close 列").c_str()));
            // Row to row over the sorted rows, without filling gaps.
            nb::object close = to_numbers(work["close"]);
            returns = close / close.attr("shift")(1) - nb::int_(1);
        }
    }
    nb::object values = io::float_array_of(to_numbers(returns));
    nb::object dates = io::as_index(work["DataDate"]);  // named DataDate
    return io::make_series(values, dates, nb::str("index_daily_return"))
        .attr("dropna")()
        .attr("sort_index")();
}

}  // namespace mirtaly::prepare
