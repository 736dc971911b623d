#include "interop/market.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "interop/args.hpp"
#include "interop/arrays.hpp"
#include "interop/frames.hpp"
#include "interop/modules.hpp"

namespace mirtaly::interop {

using namespace nb::literals;

namespace {

// Where the wanted labels of one axis sit among a frame's labels: one
// contiguous run starting at `start`, or a position per wanted label (-1 for
// a label the frame lacks).
struct AxisMap {
    bool run = false;
    std::size_t start = 0;
    std::vector<std::int64_t> positions;

    std::int64_t at(std::size_t i) const {
        return run ? static_cast<std::int64_t>(start + i) : positions[i];
    }
};

AxisMap map_axis(nb::handle labels, nb::handle wanted) {
    AxisMap map;
    if (truth(labels.attr("equals")(wanted))) {
        map.run = true;
        return map;
    }
    // As reindexing does: positions of duplicate labels are ambiguous.
    if (!truth(labels.attr("is_unique")))
        raise_value_error("cannot reindex on an axis with duplicate labels");
    map.positions = int_values(labels.attr("get_indexer")(wanted));
    const auto& p = map.positions;
    if (p.empty() || p[0] < 0) return map;
    for (std::size_t i = 1; i < p.size(); ++i)
        if (p[i] != p[0] + static_cast<std::int64_t>(i)) return map;
    map.run = true;
    map.start = static_cast<std::size_t>(p[0]);
    return map;
}

struct Grid {
    nb::object index, columns;
    std::size_t rows, cols;
};

// A fresh column-major array of the grid's shape, cell (i, j) taken from
// source cell (r.at(i), c.at(j)) through `convert`, or `fill` where either
// label is missing.
template <class Out, class In, class Convert>
nb::object gathered(const Grid& g, kernels::View2D<In> src, const AxisMap& r, const AxisMap& c,
                    Out fill, Convert convert) {
    auto [out, data] = [&] {
        if constexpr (std::is_same_v<Out, bool>) return new_bool_matrix(g.rows, g.cols);
        else return new_float_matrix(g.rows, g.cols);
    }();
    {
        nb::gil_scoped_release unlocked;
        for (std::size_t j = 0; j < g.cols; ++j) {
            const std::int64_t sj = c.at(j);
            Out* dst = data + j * g.rows;
            for (std::size_t i = 0; i < g.rows; ++i) {
                const std::int64_t si = r.at(i);
                dst[i] = (si < 0 || sj < 0) ? fill
                                            : convert(src(static_cast<std::size_t>(si),
                                                          static_cast<std::size_t>(sj)));
            }
        }
    }
    return out;
}

nb::object window(nb::handle values, const Grid& g, const AxisMap& r, const AxisMap& c) {
    nb::slice rows(r.start, r.start + g.rows), cols(c.start, c.start + g.cols);
    return values[nb::make_tuple(rows, cols)];
}

nb::object full(const Grid& g, nb::handle value) {
    return numpy().attr("full")(nb::make_tuple(g.rows, g.cols), value);
}

nb::object aligned_float(const Grid& g, nb::handle frame) {
    if (frame.is_none()) return full(g, nb::float_(std::numeric_limits<double>::quiet_NaN()));
    auto values = float_matrix(frame);
    const AxisMap r = map_axis(index_of(frame), g.index);
    const AxisMap c = map_axis(columns_of(frame), g.columns);
    if (r.run && c.run) return window(values.owner, g, r, c);
    return gathered<double>(g, values.view, r, c, std::numeric_limits<double>::quiet_NaN(),
                            [](double v) { return v; });
}

bool all_bool(nb::handle frame) {
    nb::object bool_dtype = numpy().attr("bool_");
    for (nb::handle dtype : frame.attr("dtypes"))
        if (!dtype.equal(bool_dtype)) return false;
    return true;
}

// A permission mask; dates, stocks and cells without data get `missing`.
nb::object aligned_flag(const Grid& g, nb::handle frame, bool missing) {
    if (frame.is_none()) return full(g, nb::bool_(missing));
    const AxisMap r = map_axis(index_of(frame), g.index);
    const AxisMap c = map_axis(columns_of(frame), g.columns);
    if (all_bool(frame)) {
        nb::object values = frame.attr("to_numpy")("dtype"_a = "bool", "copy"_a = false);
        if (r.run && c.run) return window(values, g, r, c);
        return gathered<bool>(g, bool_matrix(values, "values").view, r, c, missing,
                              [](bool v) { return v; });
    }
    // Float or object masks (1.0/0.0/NaN, True/False/None): NaN means no data.
    nb::object values = frame.attr("to_numpy")(
        "dtype"_a = "float64", "na_value"_a = std::numeric_limits<double>::quiet_NaN());
    return gathered<bool>(g, float_matrix(values).view, r, c, missing,
                          [missing](double v) { return std::isnan(v) ? missing : v != 0.0; });
}

// mapping[key] as a (rows, cols) view; float arrays of another dtype are
// converted, and the array kept in `m` owns the view.
template <class T>
kernels::View2D<T> checked(nb::handle mapping, std::size_t k, AlignedMarket& m, std::size_t rows,
                           std::size_t cols) {
    const char* key = kMarketArrayKeys[k];
    nb::object array = mapping[key];
    kernels::View2D<T> view;
    if constexpr (std::is_same_v<T, bool>) {
        view = bool_matrix(array, key).view;
    } else {
        auto held = float_matrix(array);
        array = held.owner;
        view = held.view;
    }
    if (view.rows != rows || view.cols != cols)
        raise_value_error(std::string(key) + " has shape (" + std::to_string(view.rows) + ", " +
                          std::to_string(view.cols) + "), expected (" + std::to_string(rows) +
                          ", " + std::to_string(cols) + ")");
    m.arrays[k] = array;
    return view;
}

// Axis maps of the frames' labels, computed once per distinct labels object:
// the datasets of a loaded store share their dates and stocks.
class AxisMaps {
  public:
    explicit AxisMaps(nb::handle wanted) : wanted_(wanted) {}
    const AxisMap& of(nb::handle labels) {
        for (const auto& [seen, map] : maps_)
            if (seen.is(labels)) return map;
        maps_.emplace_back(nb::borrow(labels), map_axis(labels, wanted_));
        return maps_.back().second;
    }

  private:
    nb::handle wanted_;
    std::list<std::pair<nb::object, AxisMap>> maps_;
};

// `source` read at the grid's cells: a run is an offset into the source, any
// other axis a position list that `m` keeps.
template <class T>
kernels::MappedView2D<T> mapped(kernels::View2D<T> source, const AxisMap& r, const AxisMap& c,
                                T missing, AlignedMarket& m) {
    kernels::MappedView2D<T> view(source);
    view.missing = missing;
    auto place = [&](const AxisMap& axis, std::ptrdiff_t stride, const std::int64_t*& map) {
        if (axis.run) {
            view.source.data += static_cast<std::ptrdiff_t>(axis.start) * stride;
        } else {
            m.positions.push_back(axis.positions);
            map = m.positions.back().data();
        }
    };
    place(r, source.row_stride, view.rows);
    place(c, source.col_stride, view.cols);
    return view;
}

kernels::MappedView2D<double> mapped_float(const Grid& g, nb::handle frame, AxisMaps& rows,
                                           AxisMaps& cols, AlignedMarket& m, std::size_t k) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (frame.is_none()) {
        auto full_nan = float_matrix(full(g, nb::float_(nan)));
        m.arrays[k] = full_nan.owner;
        return full_nan.view;
    }
    auto values = float_matrix(frame);
    m.arrays[k] = values.owner;
    return mapped(values.view, rows.of(index_of(frame)), cols.of(columns_of(frame)), nan, m);
}

kernels::MappedView2D<bool> mapped_flag(const Grid& g, nb::handle frame, bool missing,
                                        AxisMaps& rows, AxisMaps& cols, AlignedMarket& m,
                                        std::size_t k) {
    if (frame.is_none() || !all_bool(frame)) {
        auto gathered_flags = bool_matrix(aligned_flag(g, frame, missing), kMarketArrayKeys[k]);
        m.arrays[k] = gathered_flags.owner;
        return gathered_flags.view;
    }
    auto values =
        bool_matrix(frame.attr("to_numpy")("dtype"_a = "bool", "copy"_a = false), "values");
    m.arrays[k] = values.owner;
    return mapped(values.view, rows.of(index_of(frame)), cols.of(columns_of(frame)), missing, m);
}

}  // namespace

AlignedMarket map_market(nb::handle pnl_index, nb::handle columns, const MarketFrames& f) {
    Grid g{as_index(pnl_index), as_index(columns), 0, 0};
    g.rows = nb::len(g.index);
    g.cols = nb::len(g.columns);
    AxisMaps rows(g.index), cols(g.columns);
    AlignedMarket m;
    auto& v = m.view;
    v.can_buy = mapped_flag(g, f.can_buy_stock, false, rows, cols, m, 0);
    v.cant_sell = mapped_flag(g, f.cant_sell_stock, true, rows, cols, m, 1);
    v.split = mapped_float(g, f.split_factor, rows, cols, m, 2);
    v.dividend = mapped_float(g, f.dividend_factor, rows, cols, m, 3);
    v.close = mapped_float(g, f.close_price, rows, cols, m, 4);
    v.prev_close = mapped_float(g, f.prev_close, rows, cols, m, 5);
    v.buy_price = mapped_float(g, f.buy_price, rows, cols, m, 6);
    v.sell_price = mapped_float(g, f.sell_price, rows, cols, m, 7);
    return m;
}

AlignedMarket market_from_arrays(nb::handle mapping, std::size_t rows, std::size_t cols) {
    AlignedMarket m;
    auto& v = m.view;
    v.prev_close = checked<double>(mapping, 5, m, rows, cols);
    v.can_buy = checked<bool>(mapping, 0, m, rows, cols);
    v.cant_sell = checked<bool>(mapping, 1, m, rows, cols);
    v.close = checked<double>(mapping, 4, m, rows, cols);
    v.buy_price = checked<double>(mapping, 6, m, rows, cols);
    v.sell_price = checked<double>(mapping, 7, m, rows, cols);
    v.split = checked<double>(mapping, 2, m, rows, cols);
    v.dividend = checked<double>(mapping, 3, m, rows, cols);
    return m;
}

AlignedMarket align_market(nb::handle pnl_index, nb::handle columns, const MarketFrames& f) {
    Grid g{as_index(pnl_index), as_index(columns), 0, 0};
    g.rows = nb::len(g.index);
    g.cols = nb::len(g.columns);
    nb::dict arrays;
    arrays["can_buy_arr"] = aligned_flag(g, f.can_buy_stock, false);
    arrays["cant_sell_arr"] = aligned_flag(g, f.cant_sell_stock, true);
    arrays["split_arr"] = aligned_float(g, f.split_factor);
    arrays["dividend_arr"] = aligned_float(g, f.dividend_factor);
    arrays["close_arr"] = aligned_float(g, f.close_price);
    arrays["prev_close_arr"] = aligned_float(g, f.prev_close);
    arrays["buy_price_arr"] = aligned_float(g, f.buy_price);
    arrays["sell_price_arr"] = aligned_float(g, f.sell_price);
    return market_from_arrays(arrays, g.rows, g.cols);
}

Held<kernels::View2D<double>> aligned_values(nb::handle frame, nb::handle index,
                                             nb::handle columns) {
    Grid g{as_index(index), as_index(columns), 0, 0};
    g.rows = nb::len(g.index);
    g.cols = nb::len(g.columns);
    return float_matrix(aligned_float(g, frame));
}

nb::dict as_dict(const AlignedMarket& market) {
    nb::dict out;
    for (std::size_t k = 0; k < kMarketArrayKeys.size(); ++k)
        out[kMarketArrayKeys[k]] = market.arrays[k];
    return out;
}

}  // namespace mirtaly::interop
