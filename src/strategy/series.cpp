#include "strategy/series.hpp"

#include <cmath>
#include <numeric>

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

FiniteRows finite_rows(kernels::View1D<double> column, const std::vector<std::int64_t>& rows) {
    FiniteRows kept;
    for (std::int64_t r : rows) {
        const double v = column[static_cast<std::size_t>(r)];
        if (std::isfinite(v)) kept.values.push_back(v), kept.positions.push_back(r);
    }
    return kept;
}

nb::object as_series(const FiniteRows& kept, nb::handle index, nb::handle name) {
    nb::object labels = index.attr("take")(int_array_from(kept.positions));
    return make_series(float_array_from(kept.values), labels, name);
}

nb::object finite_series(kernels::View1D<double> column, nb::handle index, nb::handle name) {
    std::vector<std::int64_t> rows(column.size);
    std::iota(rows.begin(), rows.end(), 0);
    return as_series(finite_rows(column, rows), index, name);
}

nb::object sharpe(nb::handle returns) { return attr_of(kModule, "safe_sharpe")(returns); }

nb::object sharpe(nb::handle returns, int periods) {
    return attr_of(kModule, "safe_sharpe")(returns, "periods"_a = periods);
}

}  // namespace mirtaly::strategy
