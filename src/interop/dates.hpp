// Dates as YYYYMMDD text.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace mirtaly::interop {

// The one date rule. A date is
//   - an integer of eight digits read as YYYYMMDD (20240102), also as text
//     ("20240102", blanks around it ignored);
//   - text "YYYY-MM-DD", the separators "-", "/" or ".", month and day of one
//     or two digits, optionally followed by a time of day (after " " or "T")
//     and a UTC offset ("Z", "+08:00");
//   - a date, datetime or timestamp object, or a numpy datetime64: its
//     calendar date as written (a timezone is not converted).
// It must be a real calendar date. Nothing else is a date: not booleans, not
// floats (except, in data columns, whole floats, which are integers with holes),
// not day-first or month-first text, not missing values.

// value -> "YYYYMMDD"; None stays None; anything else raises ValueError
// "无法解析的日期: <repr>".
nb::object normalize_yyyymmdd(nb::handle value);

// Labels (an index or any list-like) as a list of YYYYMMDD text, each by the
// rule; the first label that is no date (a missing one included) raises
// ValueError as normalize_yyyymmdd does.
nb::list yyyymmdd_labels(nb::handle labels);

// Values of a data column (a Series, list-like or scalar) as a Series of
// YYYYMMDD text: a Series keeps its index, anything else gets a positional
// one. Whole floats count as integers; values that are no date become missing.
nb::object to_yyyymmdd_series(nb::handle values);

// A DatetimeIndex as integer ticks since 1970-01-01 in its own unit.
struct DatetimeTicks {
    std::vector<std::int64_t> stamps;
    std::int64_t per_day;
    std::int64_t missing;  // the tick value of NaT
    std::string unit;
    nb::object name;
};
DatetimeTicks datetime_ticks(nb::handle index);

// `count` weekly Fridays from the one `first_friday` days after 1970-01-01,
// as a DatetimeIndex with freq "W-FRI" in the unit and name of `like`.
nb::object friday_index(std::int64_t first_friday, std::size_t count, const DatetimeTicks& like);

// The calendar year of each row of a datetime index as float64 (NaN for NaT);
// an index without years raises AttributeError.
std::vector<double> year_of_rows(nb::handle index);

// The local time now, ISO formatted.
nb::object now_iso();

// Today's local date as YYYYMMDD text.
nb::object today_yyyymmdd();

}  // namespace mirtaly::interop
