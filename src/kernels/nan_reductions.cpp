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

namespace {

// Pearson correlation in branch-free passes over the rows where both values
// exist: their count and sums, then the centred products. The sums are
// vectorized (their order of addition is the compiler's).
template <class Line>
double pearson_of(const Line a, const Line b, std::size_t size) {
    // Every value times fa (and fb): powers of two, so the result does not
    // depend on them unless a sum overflows or a product underflows.
    auto correlation = [&](double fa, double fb) {
        double n = 0.0, sum_a = 0.0, sum_b = 0.0;
#pragma omp simd reduction(+ : n, sum_a, sum_b)
        for (std::size_t i = 0; i < size; ++i) {
            const double x = a[i], y = b[i];
            const bool both = (x == x) & (y == y);
            n += both ? 1.0 : 0.0;
            sum_a += both ? x * fa : 0.0;
            sum_b += both ? y * fb : 0.0;
        }
        const double mean_a = sum_a / n, mean_b = sum_b / n;
        double aa = 0.0, bb = 0.0, ab = 0.0;
#pragma omp simd reduction(+ : aa, bb, ab)
        for (std::size_t i = 0; i < size; ++i) {
            const double x = a[i], y = b[i];
            const bool both = (x == x) & (y == y);
            const double dx = both ? x * fa - mean_a : 0.0;
            const double dy = both ? y * fb - mean_b : 0.0;
            aa += dx * dx, bb += dy * dy, ab += dx * dy;
        }
        struct {
            double n, aa, bb, ab;
        } out{n, aa, bb, ab};
        return out;
    };
    auto sound = [](double aa, double bb, double ab) {
        constexpr double kTiny = 0x1p-600;  // far above where products lose digits
        return std::isfinite(aa) && std::isfinite(bb) && std::isfinite(ab) &&
               (aa == 0.0 || aa > kTiny) && (bb == 0.0 || bb > kTiny);
    };

    auto [n, aa, bb, ab] = correlation(1.0, 1.0);
    if (n < 2.0) return kNaN;
    if (!sound(aa, bb, ab)) {
        // Huge, tiny or infinite values: scaled near the largest magnitude.
        double largest_a = 0.0, largest_b = 0.0;
        for (std::size_t i = 0; i < size; ++i) {
            const double x = a[i], y = b[i];
            if (std::isnan(x) || std::isnan(y)) continue;
            largest_a = std::max(largest_a, std::fabs(x));
            largest_b = std::max(largest_b, std::fabs(y));
        }
        // An infinity poisons the means, as it does in pandas.
        if (std::isinf(largest_a) || std::isinf(largest_b)) return kNaN;
        if (largest_a == 0.0 || largest_b == 0.0) return kNaN;  // a side of zeros
        const auto scaled = correlation(std::ldexp(1.0, -std::ilogb(largest_a)),
                                        std::ldexp(1.0, -std::ilogb(largest_b)));
        aa = scaled.aa, bb = scaled.bb, ab = scaled.ab;
    }
    const double fact = n - 1.0;
    const double da = std::sqrt(aa / fact), db = std::sqrt(bb / fact);
    if (da == 0.0 || db == 0.0) return kNaN;
    const double r = ab / fact / da / db;
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

struct Contiguous {
    const double* p;
    double operator[](std::size_t i) const { return p[i]; }
};

}  // namespace

double pearson(View1D<double> a, View1D<double> b) {
    const std::size_t n = std::min(a.size, b.size);
    if (a.stride == 1 && b.stride == 1) return pearson_of(Contiguous{a.data}, Contiguous{b.data}, n);
    return pearson_of(a, b, n);
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
