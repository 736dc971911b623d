// Cell-by-cell derivations of the prepared market matrices. Every output is a
// column-major matrix (cell (i, j) at out[j * rows + i]), the layout pandas
// keeps a float block in, so the result becomes a frame without a copy.
#pragma once

#include <span>

#include "kernels/aligned.hpp"

namespace mirtaly::kernels {

// close * 0 + 1: 1.0 where the close is a finite number, NaN elsewhere.
void close_validity(View2D<double> close, std::span<double> out);

// split / 10 * valid, both aligned on the output grid.
void split_factor(const Aligned& split, const Aligned& valid, std::span<double> out);

// dividend / 10 * 0.9 + (valid - 1): cells without a close come out NaN.
void dividend_factor(const Aligned& dividend, const Aligned& valid, std::span<double> out);

enum class TradeSide { Buy, Sell };

// The buy or sell restriction on the union grid of prices and suspension flags:
//   hit  = price == limit (0 or 1 where a price label exists, else missing),
//   free = NaN where the flag equals 1, 1.0 elsewhere (missing without a flag label),
//   sum  = hit + free, a missing side counting as 0 and both missing staying NaN;
// Buy gives sum <= 0 (may buy), Sell gives sum > 0 (cannot sell). `limit` is
// aligned on the price's own labels and read only where the price has a label.
void trade_mask(const Aligned& price, const Aligned& limit, const Aligned& flag, TradeSide side,
                std::span<bool> out);

// 1.0 where a membership value is finite and not zero, NaN elsewhere.
void membership_mask(View2D<double> values, std::span<double> out);

}  // namespace mirtaly::kernels
