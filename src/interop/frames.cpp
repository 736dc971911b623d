#include "interop/frames.hpp"

#include "kernels/layout.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "interop/args.hpp"
#include "interop/arrays.hpp"
#include "interop/modules.hpp"

namespace mirtaly::interop {

using namespace nb::literals;

nb::object index_of(nb::handle frame_or_series) { return frame_or_series.attr("index"); }
nb::object columns_of(nb::handle frame) { return frame.attr("columns"); }
nb::object name_of(nb::handle series) { return series.attr("name"); }

nb::object as_index(nb::handle labels) {
    nb::object index_type = pandas().attr("Index");
    return is_instance(labels, index_type) ? nb::borrow(labels) : index_type(labels);
}

nb::object column(nb::handle frame, const char* name) { return frame[name]; }

bool has_column(nb::handle frame, const char* name) {
    return contains(columns_of(frame), nb::str(name));
}

nb::object select_columns(nb::handle frame, std::initializer_list<const char*> names) {
    return frame[str_list(names)];
}

nb::object take(nb::handle index, std::span<const std::int64_t> positions) {
    return index.attr("take")(int_array_from(positions));
}

nb::object make_series(nb::handle values, nb::handle index, nb::handle name) {
    return pandas().attr("Series")(values, "index"_a = index, "name"_a = name, "copy"_a = false);
}

nb::object empty_float_series() {
    return pandas().attr("Series")("dtype"_a = numpy().attr("float64"));
}

nb::object series_at(std::span<const double> values, std::span<const std::int64_t> positions,
                     nb::handle index, nb::handle name) {
    return make_series(float_array_from(values), take(index, positions), name);
}

nb::object make_frame(nb::handle columns, nb::handle index) {
    return frame_type()(columns, "index"_a = index);
}

nb::object make_frame(nb::handle columns) { return frame_type()(columns); }

nb::object frame_from_records(nb::handle records) { return frame_type()(records); }

nb::object join_on_index(nb::handle left, nb::handle right) {
    return pandas().attr("concat")(nb::make_tuple(left, right), "axis"_a = 1, "join"_a = "inner");
}

nb::object frame_from_array(nb::handle values, nb::handle index, nb::handle columns) {
    return frame_type()(values, "index"_a = index, "columns"_a = columns,
                                      "copy"_a = false);
}

nb::object empty_frame() { return frame_type()(); }
nb::object empty_frame(nb::handle columns) { return frame_type()("columns"_a = columns); }

nb::object frame_type() { return pandas().attr("DataFrame"); }
nb::object series_type() { return pandas().attr("Series"); }

nb::object int_index(std::span<const std::int64_t> values, const char* name) {
    return pandas().attr("Index")(int_array_from(values), "dtype"_a = "int64", "name"_a = name);
}

nb::object full_frame(nb::handle value, nb::handle index, nb::handle columns) {
    return frame_type()(value, "index"_a = index, "columns"_a = columns);
}

nb::list str_list(std::initializer_list<const char*> items) {
    nb::list out;
    for (const char* s : items) out.append(nb::str(s));
    return out;
}

nb::object drop_incomplete_rows(nb::handle frame) { return frame.attr("dropna")(); }

nb::object drop_empty_rows(nb::handle frame) { return frame.attr("dropna")("how"_a = "all"); }

nb::object drop_empty_rows(nb::handle frame, std::initializer_list<const char*> subset) {
    return frame.attr("dropna")("how"_a = "all", "subset"_a = str_list(subset));
}

nb::object assign(nb::handle frame, nb::dict columns) { return frame.attr("assign")(**columns); }

bool is_empty(nb::handle frame) { return truth(frame.attr("empty")); }

namespace {

// The single dtype name of a frame's columns, or "" for mixed or no columns.
std::string single_dtype(nb::handle frame) {
    std::string name;
    for (nb::handle dtype : frame.attr("dtypes")) {
        std::string each = nb::cast<std::string>(nb::str(dtype));
        if (!name.empty() && each != name) return "";
        name = each;
    }
    return name;
}

template <class T, class Held, class Fresh>
nb::object column_major_copy(nb::handle frame, Held held, Fresh fresh) {
    if (held.view.column_major()) return nb::borrow(frame);
    auto [values, out] = fresh(held.view.rows, held.view.cols);
    {
        nb::gil_scoped_release unlocked;
        kernels::copy_column_major<T>(held.view, {out, held.view.rows * held.view.cols});
    }
    return frame_from_array(values, index_of(frame), columns_of(frame));
}

}  // namespace

nb::object column_major_frame(nb::handle frame) {
    const std::string dtype = single_dtype(frame);
    if (dtype == "float64")
        return column_major_copy<double>(frame, float_matrix(frame), new_float_matrix);
    if (dtype == "bool") {
        nb::object values = frame.attr("to_numpy")("dtype"_a = "bool", "copy"_a = false);
        return column_major_copy<bool>(frame, bool_matrix(values, "values"), new_bool_matrix);
    }
    return nb::borrow(frame);
}

bool has_rows(nb::handle frame_or_none) {
    return !frame_or_none.is_none() && nb::len(frame_or_none) > 0;
}

nb::object reindexed(nb::handle obj, nb::handle index) { return obj.attr("reindex")(index); }

nb::object reindexed(nb::handle frame, nb::handle index, nb::handle columns) {
    return frame.attr("reindex")("index"_a = index, "columns"_a = columns);
}

nb::object sorted_by_index(nb::handle frame) {
    if (truth(index_of(frame).attr("is_monotonic_increasing"))) return nb::borrow(frame);
    return frame.attr("sort_index")();
}

nb::object to_numbers(nb::handle values) {
    // Numbers stay as they are: to_numeric would only copy them.
    nb::object is_numeric = pandas().attr("api").attr("types").attr("is_numeric_dtype");
    if (nb::hasattr(values, "dtype") && truth(is_numeric(values.attr("dtype"))))
        return nb::borrow(values);
    return pandas().attr("to_numeric")(values, "errors"_a = "coerce");
}

nb::object label_window(nb::handle obj, nb::handle first, nb::handle last) {
    nb::object index = index_of(obj);
    // Nothing to cut, and an empty index may hold no labels to compare with.
    if (nb::len(index) == 0) return nb::borrow(obj);
    if (truth(index.attr("is_monotonic_increasing")) &&
        nb::cast<std::string>(index.attr("inferred_type")) == "string") {
        nb::object lo = first.is_none() ? nb::int_(0)
                                        : index.attr("searchsorted")(first, "side"_a = "left");
        nb::object hi = last.is_none() ? nb::int_(nb::len(index))
                                       : index.attr("searchsorted")(last, "side"_a = "right");
        return obj.attr("iloc")[nb::slice(lo, hi, nb::none())];
    }
    nb::object keep = numpy().attr("ones")(nb::len(index), "dtype"_a = "bool");
    if (!first.is_none()) keep = keep & index.attr("__ge__")(first);
    if (!last.is_none()) keep = keep & index.attr("__le__")(last);
    return obj.attr("loc")[keep];
}

}  // namespace mirtaly::interop
