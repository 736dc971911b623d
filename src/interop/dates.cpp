#include "interop/dates.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "interop/args.hpp"
#include "interop/arrays.hpp"
#include "interop/modules.hpp"
#include "kernels/calendar.hpp"

namespace mirtaly::interop {

using namespace nb::literals;

namespace {

struct Ymd {
    int y, m, d;
};

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::optional<Ymd> checked(int y, int m, int d) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return std::nullopt;
    if (d > days[m - 1] + (m == 2 && leap(y))) return std::nullopt;
    return Ymd{y, m, d};
}

std::optional<Ymd> from_integer(long long v) {
    if (v < 10000101 || v > 99991231) return std::nullopt;
    return checked(static_cast<int>(v / 10000), static_cast<int>(v / 100 % 100),
                   static_cast<int>(v % 100));
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// Reads `min` to `max` digits at `pos`.
bool digits(std::string_view s, std::size_t& pos, std::size_t min, std::size_t max, int& out) {
    std::size_t n = 0;
    out = 0;
    while (pos < s.size() && n < max && digit(s[pos])) out = out * 10 + (s[pos++] - '0'), ++n;
    return n >= min;
}

bool at(std::string_view s, std::size_t pos, std::string_view chars) {
    return pos < s.size() && chars.find(s[pos]) != std::string_view::npos;
}

// [ T]H[H]:MM[:SS[.f+]], then an optional Z or +HH[:]MM / -HH[:]MM, to the end.
bool time_of_day(std::string_view s, std::size_t pos) {
    int part;
    if (pos == s.size()) return true;
    if (!at(s, pos++, " T") || !digits(s, pos, 1, 2, part) || !at(s, pos++, ":") ||
        !digits(s, pos, 2, 2, part))
        return false;
    if (at(s, pos, ":")) {
        ++pos;
        if (!digits(s, pos, 2, 2, part)) return false;
        if (at(s, pos, ".") && (++pos, !digits(s, pos, 1, 9, part))) return false;
        while (pos < s.size() && digit(s[pos])) ++pos;  // finer than nanoseconds
    }
    if (at(s, pos, "Z")) return pos + 1 == s.size();
    if (at(s, pos, "+-")) {
        ++pos;
        if (!digits(s, pos, 2, 2, part)) return false;
        if (at(s, pos, ":")) ++pos;
        if (!digits(s, pos, 2, 2, part)) return false;
    }
    return pos == s.size();
}

std::optional<Ymd> from_text(std::string_view s) {
    std::size_t pos = 0;
    int y, m, d;
    if (s.size() == 8 && digits(s, pos, 8, 8, y)) return from_integer(y);
    pos = 0;
    if (!digits(s, pos, 4, 4, y) || !at(s, pos++, "-/.") || !digits(s, pos, 1, 2, m) ||
        !at(s, pos++, "-/.") || !digits(s, pos, 1, 2, d) || !time_of_day(s, pos))
        return std::nullopt;
    return checked(y, m, d);
}

bool is_missing(nb::handle value) { return truth(pandas().attr("isna")(value)); }

std::optional<Ymd> calendar_date(nb::handle value) {
    return checked(nb::cast<int>(value.attr("year")), nb::cast<int>(value.attr("month")),
                   nb::cast<int>(value.attr("day")));
}

// The rule for one value; `whole_floats` admits floats that are whole numbers.
std::optional<Ymd> parse_date(nb::handle value, bool whole_floats) {
    if (value.is_none() || PyBool_Check(value.ptr())) return std::nullopt;
    if (const auto v = integer_of(value)) return from_integer(*v);
    if (PyFloat_Check(value.ptr())) {
        const double v = PyFloat_AS_DOUBLE(value.ptr());
        if (!whole_floats || !std::isfinite(v) || std::floor(v) != v || std::fabs(v) > 1e15)
            return std::nullopt;
        return from_integer(static_cast<long long>(v));
    }
    if (const auto text = trimmed_text_of(value)) return from_text(*text);
    // Dates, datetimes and timestamps; NaT passes for a datetime.
    if (is_instance(value, attr_of("datetime", "date")))
        return is_missing(value) ? std::nullopt : calendar_date(value);
    // numpy scalars: integers, floats and datetime64, nothing else.
    nb::object dtype = nb::getattr(value, "dtype", nb::none());
    if (dtype.is_none() || !nb::hasattr(value, "item")) return std::nullopt;
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    if (kind == "i" || kind == "u" || kind == "f") return parse_date(value.attr("item")(), whole_floats);
    if (kind == "M" && !is_missing(value))
        return calendar_date(pandas().attr("Timestamp")(value));
    return std::nullopt;
}

std::string yyyymmdd(const Ymd& date) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", date.y, date.m, date.d);
    return buf;
}

[[noreturn]] void raise_not_a_date(nb::handle value) {
    raise_value_error("无法解析的日期: " + nb::cast<std::string>(nb::repr(value)));
}

// Each distinct value of `values` once (dates repeat, one row per stock and
// day): pandas.factorize's codes (-1 for missing) and uniques.
struct Distinct {
    std::vector<std::int64_t> codes;
    nb::list uniques;
    nb::object values;  // `values` as a Series, for its index and name
};

Distinct distinct(nb::handle values) {
    nb::object pd = pandas();
    Distinct out;
    if (is_series(values))
        out.values = nb::borrow(values);
    else if (is_instance(values, pd.attr("Index")))
        // Its own dtype: inferring another from an object index is deprecated.
        out.values = pd.attr("Series")(values, "dtype"_a = values.attr("dtype"));
    else if (truth(pd.attr("api").attr("types").attr("is_list_like")(values)))
        out.values = pd.attr("Series")(values);
    else
        out.values = pd.attr("Series")(nb::make_tuple(values));
    nb::tuple fact = nb::borrow<nb::tuple>(pd.attr("factorize")(out.values));
    out.codes = int_values(fact[0]);
    out.uniques = nb::borrow<nb::list>(nb::object(fact[1]).attr("tolist")());
    return out;
}

}  // namespace

nb::object normalize_yyyymmdd(nb::handle value) {
    if (value.is_none()) return nb::none();
    const auto date = parse_date(value, /*whole_floats=*/false);
    if (!date) raise_not_a_date(value);
    return nb::str(yyyymmdd(*date).c_str());
}

nb::list yyyymmdd_labels(nb::handle labels) {
    Distinct d = distinct(labels);
    std::vector<nb::str> texts;
    for (nb::handle u : d.uniques) {
        const auto date = parse_date(u, /*whole_floats=*/false);
        if (!date) raise_not_a_date(u);
        texts.emplace_back(yyyymmdd(*date).c_str());
    }
    nb::list out;
    for (std::size_t i = 0; i < d.codes.size(); ++i) {
        if (d.codes[i] < 0) raise_not_a_date(d.values.attr("iloc")[nb::int_(i)]);
        out.append(texts[static_cast<std::size_t>(d.codes[i])]);
    }
    return out;
}

nb::object to_yyyymmdd_series(nb::handle values) {
    Distinct d = distinct(values);
    // Dates as datetime64[us] days, formatted by pandas, so that the text and
    // its missing values carry pandas' own dtype.
    constexpr std::int64_t kMicrosPerDay = 86400LL * 1000 * 1000;
    std::vector<std::int64_t> ticks;
    for (nb::handle u : d.uniques) {
        const auto date = parse_date(u, /*whole_floats=*/true);
        ticks.push_back(date ? kernels::days_from_civil(date->y, date->m, date->d) * kMicrosPerDay
                             : std::numeric_limits<std::int64_t>::min());
    }
    nb::object pd = pandas();
    nb::object parsed = int_array_from(ticks).attr("view")("datetime64[us]");
    nb::object formatted = pd.attr("Series")(parsed).attr("dt").attr("strftime")("%Y%m%d");
    nb::object taken = pd.attr("api").attr("extensions").attr("take")(
        formatted.attr("to_numpy")(), int_array_from(d.codes), "allow_fill"_a = true);
    return pd.attr("Series")(taken, "index"_a = d.values.attr("index"),
                             "name"_a = d.values.attr("name"), "dtype"_a = formatted.attr("dtype"));
}

DatetimeTicks datetime_ticks(nb::handle index) {
    DatetimeTicks t;
    t.unit = nb::cast<std::string>(index.attr("unit"));
    t.per_day = t.unit == "s"    ? 86400LL
                : t.unit == "ms" ? 86400LL * 1000
                : t.unit == "us" ? 86400LL * 1000 * 1000
                                 : 86400LL * 1000 * 1000 * 1000;  // ns
    t.missing = std::numeric_limits<std::int64_t>::min();
    t.stamps = int_values(index.attr("asi8"));
    t.name = index.attr("name");
    return t;
}

nb::object friday_index(std::int64_t first_friday, std::size_t count, const DatetimeTicks& like) {
    nb::object pd = pandas();
    nb::object start = pd.attr("Timestamp")(first_friday * like.per_day, "unit"_a = like.unit);
    return pd.attr("date_range")("start"_a = start, "periods"_a = count, "freq"_a = "W-FRI",
                                 "unit"_a = like.unit, "name"_a = like.name);
}

std::vector<double> year_of_rows(nb::handle index) {
    auto years = float_column(index.attr("year"));
    std::vector<double> out(years.view.size);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = years.view[i];
    return out;
}

nb::object now_iso() { return pandas().attr("Timestamp").attr("now")().attr("isoformat")(); }

nb::object today_yyyymmdd() {
    return pandas().attr("Timestamp").attr("today")().attr("strftime")("%Y%m%d");
}

}  // namespace mirtaly::interop
