#include "interop/dates.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstring>
#include <string>

#include "interop/args.hpp"
#include "interop/modules.hpp"

namespace mirtaly::interop {

using namespace nb::literals;

namespace {

// An integer (or integral float) of eight digits is a YYYYMMDD date, never a
// count of nanoseconds since 1970 as pandas' parser would read it.
bool eight_digit_integer(nb::handle value, long long& out) {
    PyObject* p = value.ptr();
    if (PyBool_Check(p)) return false;
    double as_double;
    if (PyLong_Check(p)) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (overflow) return false;
        return out >= 10000101 && out <= 99991231;
    }
    if (PyFloat_Check(p)) {
        as_double = PyFloat_AS_DOUBLE(p);
    } else {
        // numpy scalars: integers and floats, nothing else.
        static const char* kinds = "iuf";
        nb::object dtype = nb::getattr(value, "dtype", nb::none());
        if (dtype.is_none() || !nb::hasattr(value, "item")) return false;
        std::string kind = nb::cast<std::string>(dtype.attr("kind"));
        if (kind.size() != 1 || !std::strchr(kinds, kind[0])) return false;
        return eight_digit_integer(value.attr("item")(), out);
    }
    if (!std::isfinite(as_double) || std::floor(as_double) != as_double) return false;
    if (as_double < 10000101.0 || as_double > 99991231.0) return false;
    out = static_cast<long long>(as_double);
    return true;
}

// pandas warns about mixed text formats; unparseable values are meant to go missing quietly.
nb::object parse_quietly(nb::handle values, nb::kwargs kwargs) {
    return quietly([&] { return pandas().attr("to_datetime")(values, **kwargs); });
}

// Parsed dates as naive datetime64[us] values (wide enough for any calendar date).
nb::object naive_us(nb::handle parsed) {
    nb::object idx = pandas().attr("DatetimeIndex")(parsed);
    if (!idx.attr("tz").is_none()) idx = idx.attr("tz_localize")(nb::none());
    return idx.attr("as_unit")("us").attr("to_numpy")();
}

}  // namespace

nb::object to_yyyymmdd_series(nb::handle values) {
    nb::object pd = pandas();
    nb::object work;
    if (is_series(values)) {
        work = nb::borrow(values);
    } else if (truth(pd.attr("api").attr("types").attr("is_list_like")(values))) {
        work = pd.attr("Series")(values);
    } else {
        work = pd.attr("Series")(nb::make_tuple(values));
    }
    // Dates repeat (one row per stock and day): each distinct value is converted once.
    nb::tuple fact = nb::borrow<nb::tuple>(pd.attr("factorize")(work));
    nb::object codes = fact[0];
    nb::list uniques = nb::borrow<nb::list>(nb::object(fact[1]).attr("tolist")());
    const size_t n = nb::len(uniques);

    nb::list digit_pos, digit_text, other_pos, other_vals;
    for (size_t i = 0; i < n; ++i) {
        nb::handle u = uniques[i];
        long long ymd = 0;
        if (eight_digit_integer(u, ymd)) {
            digit_pos.append(i);
            digit_text.append(nb::str(std::to_string(ymd).c_str()));
        } else {
            other_pos.append(i);
            other_vals.append(u);
        }
    }
    nb::object parsed = numpy().attr("full")(n, "NaT", "dtype"_a = "datetime64[us]");
    if (nb::len(digit_pos)) {
        nb::kwargs kw;
        kw["format"] = "%Y%m%d";
        kw["errors"] = "coerce";
        parsed[digit_pos] = naive_us(parse_quietly(digit_text, kw));
    }
    if (nb::len(other_pos)) {
        nb::kwargs kw;
        kw["errors"] = "coerce";
        parsed[other_pos] = naive_us(parse_quietly(other_vals, kw));
    }
    nb::object formatted = pd.attr("Series")(parsed).attr("dt").attr("strftime")("%Y%m%d");
    nb::object taken = pd.attr("api").attr("extensions").attr("take")(
        formatted.attr("to_numpy")(), codes, "allow_fill"_a = true);
    return pd.attr("Series")(taken, "index"_a = work.attr("index"), "name"_a = work.attr("name"),
                             "dtype"_a = formatted.attr("dtype"));
}

nb::object now_iso() { return pandas().attr("Timestamp").attr("now")().attr("isoformat")(); }

}  // namespace mirtaly::interop
