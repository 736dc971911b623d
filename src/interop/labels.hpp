// Label sets: factorized codes, and the alignment of two frames' labels.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <vector>

#include "interop/arrays.hpp"

namespace nb = nanobind;

namespace mirtaly::interop {

// int64 positions or codes, with the array that owns them.
using Positions = Held<kernels::View1D<std::int64_t>>;
// A 1-D array as int64 (copied only when it is not contiguous int64 already).
Positions int_positions(nb::handle array);
std::span<const std::int64_t> as_span(const Positions& positions);

// pd.factorize(values): a code per value (-1 for a missing one) and the
// distinct values, in order of first appearance.
struct Factorized {
    Positions codes;
    nb::list uniques;
};
Factorized factorize(nb::handle values);

// source.get_indexer(target): where each label of `target` sits in `source`, -1 if absent.
Positions positions_in(nb::handle source, nb::handle target);

// Two label sets aligned as pandas arithmetic aligns operands: equal labels are
// kept as they are, others become their outer join. `left` and `right` give each
// operand's position of every joined label (-1 where it lacks the label).
struct Joined {
    nb::object labels;
    Positions left, right;
};
Joined outer_join(nb::handle left, nb::handle right);

// Positions of the labels for which labels.<op>(bound) holds ("__ge__", "__le__").
std::vector<std::int64_t> labels_where(nb::handle labels, const char* op, nb::handle bound);

}  // namespace mirtaly::interop
