// Stock codes as 6-digit text.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace nb = nanobind;

namespace mirtaly::interop {

// The one stock-code rule. A code is an integer from 0 to 999999, zero-padded
// to six digits (1 -> "000001"), or text that is six digits up to its first
// "." ("600000.XSHG" -> "600000"; blanks around it are ignored). Booleans and
// anything else are no code.
std::optional<std::string> stock_code(nb::handle label);

// Labels (an index or any iterable) as a list of codes; the first label that
// is no code raises ValueError "无法识别的股票代码: <repr>".
nb::list stock_codes(nb::handle labels);

}  // namespace mirtaly::interop
