#include "strategy/series.hpp"

#include <cmath>
#include <numeric>

namespace mirtaly::strategy {

using namespace interop;
using namespace nb::literals;

nb::object finite_series(kernels::View1D<double> values, nb::handle index, nb::handle name,
                         const std::vector<std::int64_t>& rows) {
    std::vector<double> kept;
    std::vector<std::int64_t> positions;
    for (std::int64_t r : rows) {
        const double v = values[static_cast<std::size_t>(r)];
        if (std::isfinite(v)) kept.push_back(v), positions.push_back(r);
    }
    nb::object labels = index.attr("take")(int_array_from(positions));
    return make_series(float_array_from(kept), labels, name);
}

nb::object finite_series(kernels::View1D<double> values, nb::handle index, nb::handle name) {
    std::vector<std::int64_t> rows(values.size);
    std::iota(rows.begin(), rows.end(), 0);
    return finite_series(values, index, name, rows);
}

nb::object sharpe(nb::handle returns) { return bound(kModule, "safe_sharpe")(returns); }

nb::object sharpe(nb::handle returns, int periods) {
    return bound(kModule, "safe_sharpe")(returns, "periods"_a = periods);
}

std::size_t length(nb::handle obj) { return nb::len(obj); }

}  // namespace mirtaly::strategy
