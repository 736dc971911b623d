// Building and reading pandas objects: frames, series and their indexes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <span>

namespace nb = nanobind;

namespace mirtaly::interop {

// ---- reading --------------------------------------------------------------

nb::object index_of(nb::handle frame_or_series);
nb::object columns_of(nb::handle frame);
nb::object name_of(nb::handle series);
// pandas.Index(labels), or the labels themselves when they already are one.
nb::object as_index(nb::handle labels);
// frame[name]: pandas raises KeyError for a missing column.
nb::object column(nb::handle frame, const char* name);
bool has_column(nb::handle frame, const char* name);
// frame[[names...]], a new frame of those columns in that order.
nb::object select_columns(nb::handle frame, std::initializer_list<const char*> names);
// The labels of `index` at `positions`.
nb::object take(nb::handle index, std::span<const std::int64_t> positions);

// ---- building ---------------------------------------------------------------

nb::object make_series(nb::handle values, nb::handle index, nb::handle name = nb::none());
nb::object empty_float_series();
// float64 values at the labels of `index` found at `positions`.
nb::object series_at(std::span<const double> values, std::span<const std::int64_t> positions,
                     nb::handle index, nb::handle name);
// DataFrame from a dict of column name -> values (aligned on their labels),
// with an explicit index or without.
nb::object make_frame(nb::handle columns, nb::handle index);
nb::object make_frame(nb::handle columns);
// DataFrame of one row per record (a list of dicts).
nb::object frame_from_records(nb::handle records);
// pd.concat([left, right], axis=1, join="inner"): the columns of both on the
// labels they share.
nb::object join_on_index(nb::handle left, nb::handle right);
// DataFrame over a 2-D array with explicit labels; the frame takes the array
// as it is (no copy), so the array must be fresh or read-only to the caller.
nb::object frame_from_array(nb::handle values, nb::handle index, nb::handle columns);
nb::object empty_frame();
// A frame without rows with these columns.
nb::object empty_frame(nb::handle columns);
// The pandas classes themselves (for type annotations).
nb::object frame_type();
nb::object series_type();
// A new DataFrame with these labels, every cell `value`.
nb::object full_frame(nb::handle value, nb::handle index, nb::handle columns);
// An int64 index of `values` named `name`.
nb::object int_index(std::span<const std::int64_t> values, const char* name);
nb::list str_list(std::initializer_list<const char*> items);

// ---- deriving ---------------------------------------------------------------

// frame.dropna(): rows with a missing value in any column go.
nb::object drop_incomplete_rows(nb::handle frame);
// frame.dropna(how="all"[, subset=...]): rows missing in every column (of `subset`) go.
nb::object drop_empty_rows(nb::handle frame);
nb::object drop_empty_rows(nb::handle frame, std::initializer_list<const char*> subset);
// obj.reindex(index): the rows of `index`, NaN where `obj` has none.
nb::object reindexed(nb::handle obj, nb::handle index);
// frame.reindex(index=..., columns=...): NaN where the frame has no such cell.
nb::object reindexed(nb::handle frame, nb::handle index, nb::handle columns);
// frame.assign(**columns): a new frame with the columns added in dict order.
nb::object assign(nb::handle frame, nb::dict columns);
bool is_empty(nb::handle frame);
// The frame over its values in column-major order, pandas' own layout: the
// frame itself when it already is, else a new frame over a column-major copy.
// Only float64 and boolean frames are copied; any other comes back as it is.
nb::object column_major_frame(nb::handle frame);
// A frame (or Series) that is not None and has rows.
bool has_rows(nb::handle frame_or_none);
// The frame sorted by its index; the frame itself when it already is.
nb::object sorted_by_index(nb::handle frame);
// pd.to_numeric(values, errors="coerce"): what does not convert becomes NaN;
// values that are numbers already are returned as they are.
nb::object to_numbers(nb::handle values);
// The rows of a DataFrame or Series whose labels lie between `first` and
// `last`, both inclusive (None: unbounded). A sorted text index is cut by
// position (searchsorted and iloc), so the rows are a view, not a copy; any
// other index falls back to a boolean mask.
nb::object label_window(nb::handle obj, nb::handle first, nb::handle last);

}  // namespace mirtaly::interop
