// Small pandas-facing pieces shared by the frame, statistics and metrics code.
#pragma once

#include <cstdint>
#include <vector>

#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

// The finite entries among `rows` of a column and where they stand: what
// `s.replace([inf, -inf], nan).dropna()` keeps.
struct FiniteRows {
    std::vector<double> values;
    std::vector<std::int64_t> positions;
};
FiniteRows finite_rows(kernels::View1D<double> column, const std::vector<std::int64_t>& rows);

// Those entries as a new Series over the matching labels of `index`.
nb::object as_series(const FiniteRows& kept, nb::handle index, nb::handle name);
// The same over every row of the column.
nb::object finite_series(kernels::View1D<double> column, nb::handle index, nb::handle name);

// safe_sharpe as bound in _ravelin (looked up per call, so it stays replaceable).
nb::object sharpe(nb::handle returns);
nb::object sharpe(nb::handle returns, int periods);

}  // namespace mirtaly::strategy
