// Long (one row per date, key and group) to wide (one date x key matrix per group).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernels/view.hpp"

namespace mirtaly::kernels {

// A long table, its labels factorized: each row holds a code per label column
// (-1 for a missing label), and each code maps to a date, key or group id
// (-1 for a label that is dropped). Without group codes every row belongs to
// group 0.
struct LongTable {
    View1D<std::int64_t> date_code, key_code, group_code;
    std::span<const std::int64_t> date_of, key_of, group_of;
    View1D<double> value;
    std::size_t groups = 1, dates = 0, keys = 0;
};

// Per group, which dates and keys hold at least one usable row (every id known,
// value not NaN): seen_dates[g * dates + d], seen_keys[g * keys + k].
void pivot_presence(const LongTable& table, std::span<std::uint8_t> seen_dates,
                    std::span<std::uint8_t> seen_keys);

// Running positions of the marked entries, -1 for the others.
std::vector<std::int64_t> marked_positions(std::span<const std::uint8_t> seen);

// Writes every usable row into its group's column-major matrix at
// (row_of[g * dates + d], col_of[g * keys + k]); out[g] holds out_rows[g] rows.
// A later row overwrites an earlier one at the same cell, so the last row of
// a duplicated (date, key) pair wins.
void pivot_scatter(const LongTable& table, std::span<const std::int64_t> row_of,
                   std::span<const std::int64_t> col_of, std::span<double* const> out,
                   std::span<const std::size_t> out_rows);

}  // namespace mirtaly::kernels
