// The market frames of a simulation, aligned by label to one date x stock grid.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <list>
#include <vector>

#include "interop/arrays.hpp"
#include "kernels/simulation.hpp"

namespace nb = nanobind;

namespace mirtaly::interop {

// The eight market frames, as the simulation takes them; any may be None.
struct MarketFrames {
    nb::handle can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price,
        prev_close, buy_price, sell_price;
};

// Keys of the aligned arrays, in the order they are handed to Python.
inline constexpr std::array<const char*, 8> kMarketArrayKeys = {
    "can_buy_arr", "cant_sell_arr",  "split_arr",     "dividend_arr",
    "close_arr",   "prev_close_arr", "buy_price_arr", "sell_price_arr"};

// Kernel views over the aligned arrays, and the arrays that own them (in
// kMarketArrayKeys order). A mapped market's views also read through the
// position lists it owns.
struct AlignedMarket {
    kernels::VwapMarket view;
    std::array<nb::object, 8> arrays;
    std::list<std::vector<std::int64_t>> positions;
};

// Aligns every frame to `pnl_index` x `columns` with pandas' own label lookup.
// Prices are float64 with NaN where a date or stock is missing; a cell
// without data can neither be bought nor sold. When the wanted labels form one
// contiguous run of a frame's labels the array is a view of the frame's
// values, otherwise a fresh column-major copy.
AlignedMarket align_market(nb::handle pnl_index, nb::handle columns, const MarketFrames& frames);

// The same alignment without copying: every view reads its frame's own values
// through the positions of the wanted labels (a contiguous run becomes an
// offset), so a simulation touches only the cells it uses. Permission masks
// that are not boolean are still gathered. The arrays are the frames' values,
// not aligned ones: this market is for kernels, not for as_dict.
AlignedMarket map_market(nb::handle pnl_index, nb::handle columns, const MarketFrames& frames);

// One float frame on the `index` x `columns` grid, aligned as the market's
// prices are: a view when the labels form one contiguous run of the frame's,
// otherwise a column-major copy with NaN where the frame lacks a label; None
// gives all NaN.
Held<kernels::View2D<double>> aligned_values(nb::handle frame, nb::handle index,
                                             nb::handle columns);

// The arrays of a mapping shaped like _build_market_arrays' result, checked
// to be (rows, cols), permissions boolean. A missing key raises KeyError.
AlignedMarket market_from_arrays(nb::handle mapping, std::size_t rows, std::size_t cols);

// key -> array, for Python.
nb::dict as_dict(const AlignedMarket& market);

}  // namespace mirtaly::interop
