#include "interop/codes.hpp"

#include <nanobind/stl/string.h>

#include <cstdio>
#include <string_view>

#include "interop/args.hpp"
#include "interop/modules.hpp"

namespace mirtaly::interop {

namespace {

std::optional<std::string> from_integer(long long v) {
    if (v < 0 || v > 999999) return std::nullopt;
    char buf[7];
    std::snprintf(buf, sizeof buf, "%06lld", v);
    return std::string(buf);
}

std::optional<std::string> from_text(std::string_view s) {
    s = s.substr(0, s.find('.'));
    if (s.size() != 6) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    return std::string(s);
}

}  // namespace

std::optional<std::string> stock_code(nb::handle label) {
    if (const auto v = integer_of(label)) return from_integer(*v);
    if (const auto text = trimmed_text_of(label)) return from_text(*text);
    // numpy integers (numpy booleans are no integers).
    if (is_instance(label, attr_of("numpy", "integer")))
        return stock_code(label.attr("item")());
    return std::nullopt;
}

nb::list stock_codes(nb::handle labels) {
    // An Index of text hands out its labels one __getitem__ at a time; tolist
    // makes them Python objects in one native pass.
    const nb::object items =
        nb::hasattr(labels, "tolist") ? labels.attr("tolist")() : nb::borrow(labels);
    nb::list out;
    for (nb::handle label : items) {
        const auto code = stock_code(label);
        if (!code)
            raise_value_error("无法识别的股票代码: " + nb::cast<std::string>(nb::repr(label)));
        out.append(nb::str(code->c_str()));
    }
    return out;
}

}  // namespace mirtaly::interop
