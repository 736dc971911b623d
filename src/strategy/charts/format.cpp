// Number formatting of the report figures: every printed statistic goes through here.
#include <cmath>
#include <cstdio>
#include <limits>

#include "strategy/charts/charts.hpp"

namespace mirtaly::strategy::charts {

using namespace interop;

namespace {

constexpr const char* kMissing = "--";

int checked_digits(nb::handle digits) {
    // bool is an int to Python, and so it is here.
    if (!PyLong_Check(digits.ptr()))
        raise_type_error("digits must be an int, got " + type_name_of(digits));
    const long long d = PyLong_AsLongLong(digits.ptr());
    if (d == -1 && PyErr_Occurred()) throw nb::python_error();
    if (d < 0) raise_value_error("digits must not be negative");
    if (d > std::numeric_limits<int>::max()) raise_value_error("digits is too large");
    return static_cast<int>(d);
}

bool is_missing(nb::handle value) {
    if (value.is_none()) return true;
    if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    if (PyLong_Check(value.ptr())) return false;
    return truth(pandas().attr("isna")(value));
}

// The C library's fixed-point conversion: "-0.00" for a tiny negative, "inf", "nan".
std::string fixed(double value, int digits) {
    const int size = std::snprintf(nullptr, 0, "%.*f", digits, value);
    std::string text(static_cast<std::size_t>(size), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.*f", digits, value);
    return text;
}

// Missing values print "--"; anything else goes through float(), whose errors propagate.
std::string format_scaled(nb::handle value, nb::handle digits, double scale, const char* suffix) {
    const int d = checked_digits(digits);
    if (is_missing(value)) return kMissing;
    const double x = nb::cast<double>(nb::float_(value));
    return fixed(x * scale, d) + suffix;
}

}  // namespace

std::string format_num(nb::handle value, nb::handle digits) {
    return format_scaled(value, digits, 1.0, "");
}

std::string format_pct(nb::handle value, nb::handle digits) {
    return format_scaled(value, digits, 100.0, "%");
}

std::string format_pct_points(nb::handle value, nb::handle digits) {
    return format_scaled(value, digits, 1.0, "%");
}

std::string format_annual_excess(nb::handle annual_excess) {
    if (annual_excess.is_none() || nb::len(annual_excess) == 0) return kMissing;
    const nb::int_ two(2);
    std::string text;
    for (nb::handle item : annual_excess.attr("items")()) {
        nb::object year = item[0], value = item[1];
        if (is_missing(value)) continue;
        if (!text.empty()) text += " | ";
        text += nb::cast<std::string>(nb::str(year)) + ": " + format_pct(value, two);
    }
    return text.empty() ? kMissing : text;
}

}  // namespace mirtaly::strategy::charts
