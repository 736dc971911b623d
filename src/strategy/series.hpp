// Small pandas-facing pieces shared by the frame, statistics and metrics code.
#pragma once

#include <cstdint>
#include <vector>

#include "strategy/strategy.hpp"

namespace mirtaly::strategy {

// The finite entries of `values` as a new Series over the matching labels of
// `index`: what `s.replace([inf, -inf], nan).dropna()` gives, without the
// intermediate copies.
nb::object finite_series(kernels::View1D<double> values, nb::handle index, nb::handle name,
                         const std::vector<std::int64_t>& rows);
nb::object finite_series(kernels::View1D<double> values, nb::handle index, nb::handle name);

// safe_sharpe as bound in _ravelin (looked up per call, so it stays replaceable).
nb::object sharpe(nb::handle returns);
nb::object sharpe(nb::handle returns, int periods);

std::size_t length(nb::handle obj);

}  // namespace mirtaly::strategy
