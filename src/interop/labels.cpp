#include "interop/labels.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <string>
#include <utility>

#include "interop/args.hpp"
#include "interop/modules.hpp"

namespace mirtaly::interop {

using namespace nb::literals;

Positions int_positions(nb::handle array) {
    nb::object arr = numpy().attr("ascontiguousarray")(array, "dtype"_a = numpy().attr("int64"));
    auto a =
        nb::cast<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(arr);
    return {arr, {a.data(), a.shape(0), 1}};
}

std::span<const std::int64_t> as_span(const Positions& positions) {
    return {positions.view.data, positions.view.size};
}

namespace {

// Text held as Python objects (object dtype, or str with python storage): the
// values of a long table repeat a few distinct objects, so a value is first
// looked up by its address (a run of one object, or a bounded address cache),
// and only then by hash and equality. pandas would hash every string's text.
bool python_objects(nb::handle values) {
    nb::object dtype = values.attr("dtype");
    if (nb::isinstance(dtype, numpy().attr("dtype")))
        return nb::cast<std::string>(dtype.attr("kind")) == "O";
    return nb::getattr(dtype, "storage", nb::none()).equal(nb::str("python"));
}

bool missing_object(PyObject* o) {
    if (o == Py_None) return true;
    if (PyUnicode_CheckExact(o)) return false;
    if (PyFloat_Check(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    // pd.NA, NaT, other NaNs; a container (whose isna is an array) is a value.
    nb::object r = pandas().attr("isna")(nb::handle(o));
    return PyBool_Check(r.ptr()) || nb::isinstance(r, numpy().attr("bool_")) ? truth(r) : false;
}

Factorized factorize_objects(nb::handle values) {
    nb::object array = numpy().attr("ascontiguousarray")(values.attr("to_numpy")());
    const auto n = nb::len(array);
    auto** items = reinterpret_cast<PyObject**>(
        nb::cast<std::uintptr_t>(array.attr("__array_interface__")["data"][0]));
    nb::object owner = numpy().attr("empty")(n, "dtype"_a = "int64");
    auto out = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig>>(owner).data();

    constexpr std::size_t kSlots = 1 << 16;
    std::vector<std::pair<PyObject*, std::int64_t>> cache(kSlots, {nullptr, -1});
    nb::dict code_of;
    nb::list uniques;
    PyObject* last = nullptr;
    std::int64_t last_code = -1;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = items[i];
        if (o != last) {
            auto& slot = cache[(reinterpret_cast<std::uintptr_t>(o) >> 4) & (kSlots - 1)];
            if (slot.first == o) {
                last_code = slot.second;
            } else {
                if (missing_object(o)) {
                    last_code = -1;
                } else {
                    nb::handle value(o);
                    nb::object known = code_of.get(value, nb::none());
                    if (known.is_none()) {
                        known = nb::int_(nb::len(uniques));
                        code_of[value] = known;
                        uniques.append(value);
                    }
                    last_code = nb::cast<std::int64_t>(known);
                }
                slot = {o, last_code};
            }
            last = o;
        }
        out[i] = last_code;
    }
    return {int_positions(owner), uniques};
}

}  // namespace

Factorized factorize(nb::handle values) {
    if (python_objects(values)) return factorize_objects(values);
    nb::tuple got = nb::borrow<nb::tuple>(pandas().attr("factorize")(values));
    return {int_positions(got[0]), nb::borrow<nb::list>(nb::object(got[1]).attr("tolist")())};
}

Positions positions_in(nb::handle source, nb::handle target) {
    return int_positions(source.attr("get_indexer")(target));
}

Joined outer_join(nb::handle left, nb::handle right) {
    auto identity = [](nb::handle labels) {
        return int_positions(numpy().attr("arange")(nb::len(labels)));
    };
    if (truth(left.attr("equals")(right)))
        return {nb::borrow(left), identity(left), identity(left)};
    nb::tuple got = nb::borrow<nb::tuple>(
        left.attr("join")(right, "how"_a = "outer", "return_indexers"_a = true));
    nb::object labels = got[0];
    // join() leaves out the indexer of a side that needs no reordering.
    auto side = [&](nb::handle indexer) {
        return indexer.is_none() ? identity(labels) : int_positions(indexer);
    };
    return {labels, side(got[1]), side(got[2])};
}

std::vector<std::int64_t> labels_where(nb::handle labels, const char* op, nb::handle bound) {
    Positions hits = int_positions(numpy().attr("flatnonzero")(labels.attr(op)(bound)));
    auto span = as_span(hits);
    return {span.begin(), span.end()};
}

}  // namespace mirtaly::interop
