#include "prepare/schema.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace mirtaly::prepare {

using namespace nb::literals;
namespace io = mirtaly::interop;

nb::object module_attr(const char* name) { return io::bound(kModule, name); }

static nb::list str_list(std::initializer_list<const char*> items) {
    nb::list out;
    for (const char* s : items) out.append(nb::str(s));
    return out;
}

nb::list parse_name_list(nb::handle raw_values) {
    nb::list out;
    if (raw_values.is_none()) return out;
    nb::object values = nb::borrow(raw_values);
    if (PyUnicode_Check(raw_values.ptr())) {
        nb::object text = nb::str(raw_values);
        for (const char* sep : {"，", "；", ";", "\n"}) text = text.attr("replace")(sep, ",");
        values = text.attr("split")(",");
    }
    for (nb::handle item : values) {
        nb::object name = nb::str(item).attr("strip")();
        if (nb::len(name) > 0) out.append(name);
    }
    return out;
}

nb::list get_component_factor_names() {
    return parse_name_list(module_attr("COMPONENT_FACTOR_NAMES"));
}

nb::dict build_matrix_dtype(nb::handle component_names) {
    io::require_list(component_names, "component_names", /*allow_none=*/true);
    nb::dict mapping = nb::borrow<nb::dict>(module_attr("BASE_MATRIX_DTYPE").attr("copy")());
    nb::list names = component_names.is_none() ? parse_name_list(get_component_factor_names())
                                               : parse_name_list(component_names);
    nb::object key_of = module_attr("component_dataset_key");
    nb::object float_dtype = module_attr("FLOAT_STORAGE_DTYPE");
    for (nb::handle name : names) mapping[key_of(name)] = float_dtype;
    return mapping;
}

// An integer (or integral float) of eight digits is a YYYYMMDD date, never a
// count of nanoseconds since 1970 as pandas' parser would read it.
static bool eight_digit_integer(nb::handle value, long long& out) {
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
static nb::object to_datetime_quietly(nb::handle values, nb::kwargs kwargs) {
    nb::object warnings = io::import("warnings");
    nb::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    nb::object got;
    try {
        warnings.attr("simplefilter")("ignore");
        got = io::pandas().attr("to_datetime")(values, **kwargs);
    } catch (...) {
        guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return got;
}

// Parsed dates as naive datetime64[us] values (wide enough for any calendar date).
static nb::object naive_us(nb::handle parsed) {
    nb::object idx = io::pandas().attr("DatetimeIndex")(parsed);
    if (!idx.attr("tz").is_none()) idx = idx.attr("tz_localize")(nb::none());
    return idx.attr("as_unit")("us").attr("to_numpy")();
}

nb::object series_to_yyyymmdd(nb::handle values) {
    nb::object pd = io::pandas();
    nb::object work;
    if (io::is_series(values)) {
        work = nb::borrow(values);
    } else if (io::truth(pd.attr("api").attr("types").attr("is_list_like")(values))) {
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
    nb::object parsed = io::numpy().attr("full")(n, "NaT", "dtype"_a = "datetime64[us]");
    if (nb::len(digit_pos)) {
        nb::kwargs kw;
        kw["format"] = "%Y%m%d";
        kw["errors"] = "coerce";
        parsed[digit_pos] = naive_us(to_datetime_quietly(digit_text, kw));
    }
    if (nb::len(other_pos)) {
        nb::kwargs kw;
        kw["errors"] = "coerce";
        parsed[other_pos] = naive_us(to_datetime_quietly(other_vals, kw));
    }
    nb::object formatted = pd.attr("Series")(parsed).attr("dt").attr("strftime")("%Y%m%d");
    nb::object taken = pd.attr("api").attr("extensions").attr("take")(
        formatted.attr("to_numpy")(), codes, "allow_fill"_a = true);
    return pd.attr("Series")(taken, "index"_a = work.attr("index"), "name"_a = work.attr("name"),
                             "dtype"_a = formatted.attr("dtype"));
}

void register_schema(nb::module_& m) {
    m.attr("COMPONENT_FACTOR_NAMES") = str_list(
        {"rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
         "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
         "rq_index_components_new_932000.INDX"});
    nb::dict bench;
    bench["000852"] = "000852.XSHG";
    bench["000300"] = "000300.XSHG";
    bench["000905"] = "000905.XSHG";
    m.attr("BENCHMARK_INDEX_CODES") = bench;
    nb::list required = str_list({"rq_industry_exposure_new", "limit_down", "limit_up", "Close",
                                  "Open", "tick_vwap_price_935_1005",
                                  "tick_vwap_price_925_1000"});
    nb::list optional = str_list({"split_coefficient_to", "rq_get_dividend", "rq_is_suspended"});
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    nb::list build_inputs;
    for (nb::handle h : required) build_inputs.append(h);
    for (nb::handle h : optional) build_inputs.append(h);
    m.attr("BUILD_INPUT_NAMES") = build_inputs;
    nb::str float_dtype("float64"), bool_dtype("bool");
    m.attr("FLOAT_STORAGE_DTYPE") = float_dtype;
    m.attr("BOOL_STORAGE_DTYPE") = bool_dtype;
    m.attr("TAIL_RELOAD_ROWS") = 2;
    m.attr("PREPARED_DATA_VERSION") = 1;
    nb::dict base;
    for (const char* key : {"industry_matrix", "close_price", "open_price", "close_price_valid",
                            "prev_close", "buy_price", "sell_price", "rq_get_split",
                            "rq_get_dividend"})
        base[key] = float_dtype;
    base["can_buy_stock"] = bool_dtype;
    base["cant_sell_stock"] = bool_dtype;
    base["forward_return_rank_cache"] = float_dtype;
    m.attr("BASE_MATRIX_DTYPE") = base;
    nb::object typing = io::import("typing");
    m.attr("PathLike") = typing.attr("Union")[nb::make_tuple(
        nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)), io::attr_of("os", "PathLike"))];

    m.def("parse_name_list", &parse_name_list, "raw_values"_a.none(),
          "Turns a user's list of factor names (or one text with , ， ; ； or newlines between "
          "them) into a clean list: trimmed, empties dropped, order and duplicates kept.");
    m.def("get_component_factor_names", &get_component_factor_names,
          "A fresh list of the built-in component factor names.");
    m.def("build_matrix_dtype", &build_matrix_dtype, "component_names"_a.none() = nb::none(),
          "Dataset key -> storage dtype of a store: the twelve base datasets, then one float64 "
          "dataset per component factor (the built-in ones when component_names is None).");
    m.def("series_to_yyyymmdd", &series_to_yyyymmdd, "values"_a.none(),
          "Dates of any parseable form as YYYYMMDD text; eight-digit integers are read as "
          "YYYYMMDD, unparseable values become missing. A Series keeps its index.");
}

}  // namespace mirtaly::prepare
