// The twelve base datasets from the ten source matrices. Frames are aligned
// by label exactly as pandas arithmetic aligns them (equal labels kept, the
// outer join otherwise); the cell arithmetic runs natively without the GIL.
#include <vector>

#include "kernels/derived_matrices.hpp"
#include "kernels/ranking.hpp"
#include "prepare/builder.hpp"

namespace mirtaly::prepare {

using namespace nb::literals;
namespace io = mirtaly::interop;

namespace {

using Index = std::vector<std::int64_t>;

Index pick(std::span<const std::int64_t> positions, const Index& picks) {
    Index out(picks.size());
    for (std::size_t k = 0; k < picks.size(); ++k) out[k] = positions[picks[k]];
    return out;
}

// outer[i] read through inner: the position, in a third label set, of the
// label the first set holds at outer[i].
Index through(std::span<const std::int64_t> outer, std::span<const std::int64_t> inner) {
    Index out(outer.size());
    for (std::size_t k = 0; k < outer.size(); ++k) out[k] = outer[k] < 0 ? -1 : inner[outer[k]];
    return out;
}

using io::columns_of;
using io::index_of;

// `factor` combined with `valid` on the union of their labels, keeping the rows
// whose date passes `op` against the close dates' `bound` ("min" or "max").
template <class Kernel>
nb::object factor_frame(nb::handle factor, nb::handle valid, nb::handle close, const char* op,
                        const char* bound, Kernel kernel) {
    auto f = io::float_matrix(factor), v = io::float_matrix(valid);
    io::Joined rows = io::outer_join(index_of(factor), index_of(valid));
    io::Joined cols = io::outer_join(columns_of(factor), columns_of(valid));
    // Without a close date no row qualifies (a comparison with NaN is false).
    Index keep = nb::len(close) == 0
                     ? Index{}
                     : io::labels_where(rows.labels, op, index_of(close).attr(bound)());
    Index f_rows = pick(io::as_span(rows.left), keep), v_rows = pick(io::as_span(rows.right), keep);
    kernels::Aligned fa{f.view, f_rows, io::as_span(cols.left)};
    kernels::Aligned va{v.view, v_rows, io::as_span(cols.right)};
    auto [array, out] = io::new_float_matrix(keep.size(), fa.cols());
    {
        nb::gil_scoped_release release;
        kernel(fa, va, std::span<double>(out, keep.size() * fa.cols()));
    }
    return io::frame_from_array(array, io::take(rows.labels, keep), cols.labels);
}

// can_buy_stock / cant_sell_stock on the union of the price's and the flag's labels.
nb::object trade_mask_frame(nb::handle price, nb::handle limit, nb::handle flag,
                            kernels::TradeSide side) {
    auto p = io::float_matrix(price), l = io::float_matrix(limit), f = io::float_matrix(flag);
    // The limit is read on the price's labels (reindex), so only where a price label is.
    io::Positions limit_rows = io::positions_in(index_of(limit), index_of(price));
    io::Positions limit_cols = io::positions_in(columns_of(limit), columns_of(price));
    io::Joined rows = io::outer_join(index_of(price), index_of(flag));
    io::Joined cols = io::outer_join(columns_of(price), columns_of(flag));
    Index l_rows = through(io::as_span(rows.left), io::as_span(limit_rows));
    Index l_cols = through(io::as_span(cols.left), io::as_span(limit_cols));
    kernels::Aligned pa{p.view, io::as_span(rows.left), io::as_span(cols.left)};
    kernels::Aligned la{l.view, l_rows, l_cols};
    kernels::Aligned fa{f.view, io::as_span(rows.right), io::as_span(cols.right)};
    auto [array, out] = io::new_bool_matrix(pa.rows(), pa.cols());
    {
        nb::gil_scoped_release release;
        kernels::trade_mask(pa, la, fa, side, std::span<bool>(out, pa.rows() * pa.cols()));
    }
    return io::frame_from_array(array, rows.labels, cols.labels);
}

nb::object forward_return_rank_frame(nb::handle open) {
    auto o = io::float_matrix(open);
    auto [array, out] = io::new_float_matrix(o.view.rows, o.view.cols);
    {
        nb::gil_scoped_release release;
        std::span<double> matrix(out, o.view.rows * o.view.cols);
        kernels::forward_open_return(o.view, matrix);
        kernels::rank_rows_average(matrix, o.view.rows, o.view.cols);
    }
    return io::frame_from_array(array, index_of(open), columns_of(open));
}

nb::object source_matrix(nb::handle source, const char* key) {
    nb::str name(key);
    nb::object matrix = nb::borrow<nb::dict>(source).get(name, nb::handle());
    if (!matrix.is_valid()) io::raise_key_error(name);
    io::require_dataframe(matrix, key);
    return matrix;
}

}  // namespace

nb::object close_validity_frame(nb::handle close) {
    auto c = io::float_matrix(close);
    auto [array, out] = io::new_float_matrix(c.view.rows, c.view.cols);
    {
        nb::gil_scoped_release release;
        kernels::close_validity(c.view, std::span<double>(out, c.view.rows * c.view.cols));
    }
    return io::frame_from_array(array, index_of(close), columns_of(close));
}

nb::dict GroupPreparedDataBuilder::build_from_matrices(nb::handle source) {
    io::require_dict(source, "source");
    nb::object industry = source_matrix(source, "rq_industry_exposure_new");
    nb::object limit_down = source_matrix(source, "limit_down");
    nb::object limit_up = source_matrix(source, "limit_up");
    nb::object close = source_matrix(source, "Close");
    nb::object open = source_matrix(source, "Open");
    nb::object buy = source_matrix(source, "tick_vwap_price_935_1005");
    nb::object sell = source_matrix(source, "tick_vwap_price_925_1000");
    nb::object split = source_matrix(source, "split_coefficient_to");
    nb::object dividend = source_matrix(source, "rq_get_dividend");
    nb::object suspended = source_matrix(source, "rq_is_suspended");

    nb::object valid = close_validity_frame(close);
    nb::dict out;
    out["industry_matrix"] = industry;
    out["close_price"] = close;
    out["open_price"] = open;
    out["close_price_valid"] = valid;
    out["prev_close"] = close.attr("shift")(1);
    out["buy_price"] = buy;
    out["sell_price"] = sell;
    out["rq_get_split"] = factor_frame(split, valid, close, "__ge__", "min", kernels::split_factor);
    out["rq_get_dividend"] =
        factor_frame(dividend, valid, close, "__le__", "max", kernels::dividend_factor);
    out["can_buy_stock"] = trade_mask_frame(buy, limit_up, suspended, kernels::TradeSide::Buy);
    out["cant_sell_stock"] =
        trade_mask_frame(sell, limit_down, suspended, kernels::TradeSide::Sell);
    out["forward_return_rank_cache"] = forward_return_rank_frame(open);
    return out;
}

nb::dict GroupPreparedDataBuilder::component_matrices(nb::handle component_names,
                                                      nb::handle batch) const {
    io::require_list(component_names, "component_names");
    io::require_dict(batch, "batch", /*allow_none=*/true);
    nb::dict masks;
    for (nb::handle name : component_names) {
        nb::object matrix = nb::none();
        try {
            if (!batch.is_none()) matrix = batch.attr("get")(name);
            if (!io::has_rows(matrix)) matrix = read_normal_factor_matrix(name);
        } catch (nb::python_error& e) {
            if (!e.matches(module_attr("NetworkError"))) throw;
            continue;  // left out; the payload step reports it missing
        }
        if (!io::has_rows(matrix)) continue;
        auto m = io::float_matrix(matrix);
        auto [array, out] = io::new_float_matrix(m.view.rows, m.view.cols);
        {
            nb::gil_scoped_release release;
            kernels::membership_mask(m.view, std::span<double>(out, m.view.rows * m.view.cols));
        }
        masks[name] =
            io::sorted_by_index(io::frame_from_array(array, index_of(matrix), columns_of(matrix)));
    }
    return masks;
}

}  // namespace mirtaly::prepare
