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
    constexpr std::string_view blanks = " \t\n\r\f\v";
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::nullopt;
    s = s.substr(first, s.find_last_not_of(blanks) - first + 1);
    s = s.substr(0, s.find('.'));
    if (s.size() != 6) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    return std::string(s);
}

}  // namespace

std::optional<std::string> stock_code(nb::handle label) {
    PyObject* p = label.ptr();
    if (PyBool_Check(p)) return std::nullopt;
    if (PyLong_Check(p)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        return overflow ? std::nullopt : from_integer(v);
    }
    if (PyUnicode_Check(p)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(p, &size);
        if (!text) throw nb::python_error();
        return from_text({text, static_cast<std::size_t>(size)});
    }
    // numpy integers (numpy booleans are no integers).
    if (is_instance(label, attr_of("numpy", "integer")))
        return stock_code(label.attr("item")());
    return std::nullopt;
}

nb::list stock_codes(nb::handle labels) {
    nb::list out;
    for (nb::handle label : labels) {
        const auto code = stock_code(label);
        if (!code)
            raise_value_error("无法识别的股票代码: " + nb::cast<std::string>(nb::repr(label)));
        out.append(nb::str(code->c_str()));
    }
    return out;
}

}  // namespace mirtaly::interop
