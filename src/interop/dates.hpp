// Dates as YYYYMMDD text.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace mirtaly::interop {

// Dates of a Series, list-like or scalar as a Series of YYYYMMDD text (a
// Series keeps its index, anything else gets a positional one). Eight-digit
// integers (and integral floats) are YYYYMMDD; values that are no date become
// missing.
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

}  // namespace mirtaly::interop
