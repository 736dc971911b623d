// Dates as YYYYMMDD text.
#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace mirtaly::interop {

// Dates of a Series, list-like or scalar as a Series of YYYYMMDD text (a
// Series keeps its index, anything else gets a positional one). Eight-digit
// integers (and integral floats) are YYYYMMDD; values that are no date become
// missing.
nb::object to_yyyymmdd_series(nb::handle values);

// The local time now, ISO formatted.
nb::object now_iso();

}  // namespace mirtaly::interop
