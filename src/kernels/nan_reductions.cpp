#include "kernels/nan_reductions.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace mirtaly::kernels {

double nansum(View1D<double> x) {
    double total = 0.0;
    for (std::size_t i = 0; i < x.size; ++i)
        if (!std::isnan(x[i])) total += x[i];
    return total;
}

double nanmean(View1D<double> x) {
    double total = 0.0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < x.size; ++i)
        if (!std::isnan(x[i])) total += x[i], ++n;
    return n ? total / static_cast<double>(n) : kNaN;
}

double nanmin(View1D<double> x) {
    double low = kNaN;
    for (std::size_t i = 0; i < x.size; ++i)
        if (!std::isnan(x[i]) && (std::isnan(low) || x[i] < low)) low = x[i];
    return low;
}

double positive_share(View1D<double> x) {
    std::size_t n = 0, positive = 0;
    for (std::size_t i = 0; i < x.size; ++i) {
        if (!std::isfinite(x[i])) continue;
        ++n;
        positive += x[i] > 0.0;
    }
    return n ? static_cast<double>(positive) / static_cast<double>(n) : kNaN;
}

double pearson(View1D<double> a, View1D<double> b) {
    std::vector<double> xa, xb;
    xa.reserve(a.size);
    xb.reserve(a.size);
    for (std::size_t i = 0; i < a.size; ++i) {
        if (std::isnan(a[i]) || std::isnan(b[i])) continue;
        // An infinity poisons the means, as it does in pandas.
        if (std::isinf(a[i]) || std::isinf(b[i])) return kNaN;
        xa.push_back(a[i]), xb.push_back(b[i]);
    }
    const std::size_t n = xa.size();
    if (n < 2) return kNaN;

    auto centre_and_scale = [](std::vector<double>& v) {
        double mean = 0.0;
        for (double x : v) mean += x;
        mean /= static_cast<double>(v.size());
        double scale = 0.0;
        for (double& x : v) {
            x -= mean;
            scale = std::max(scale, std::fabs(x));
        }
        if (scale == 0.0) return scale;
        for (double& x : v) x /= scale;
        return scale;
    };
    const double sa = centre_and_scale(xa), sb = centre_and_scale(xb);
    if (sa == 0.0 || sb == 0.0) return kNaN;

    double aa = 0.0, bb = 0.0, ab = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        aa += xa[i] * xa[i];
        bb += xb[i] * xb[i];
        ab += xa[i] * xb[i];
    }
    const double fact = static_cast<double>(n - 1);
    const double da = std::sqrt(aa / fact), db = std::sqrt(bb / fact);
    if (da == 0.0 || db == 0.0) return kNaN;
    const double r = ab / fact / da / db;
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

FiniteRows finite_rows(View1D<double> column, std::span<const std::int64_t> rows) {
    FiniteRows kept;
    for (std::int64_t r : rows) {
        const double v = column[static_cast<std::size_t>(r)];
        if (std::isfinite(v)) kept.values.push_back(v), kept.positions.push_back(r);
    }
    return kept;
}

FiniteRows finite_rows(View1D<double> column) {
    std::vector<std::int64_t> rows(column.size);
    std::iota(rows.begin(), rows.end(), 0);
    return finite_rows(column, rows);
}

}  // namespace mirtaly::kernels
