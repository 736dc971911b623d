#include "kernels/nan_reductions.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "kernels/cpu_clones.hpp"

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

// Four values at once. Sums kept in such lanes (element i in lane i % 4, the
// lanes added in one fixed order at the end) come out the same whatever the
// CPU's vector width.
using Lanes = double __attribute__((vector_size(4 * sizeof(double))));

[[gnu::always_inline]] inline double lane_total(const Lanes& v) {
    return (v[0] + v[1]) + (v[2] + v[3]);
}

// Elements i..i + 3 of `line` into `v`, NaN past its end.
template <class Line>
[[gnu::always_inline]] inline void load_lanes(const Line& line, std::size_t i, std::size_t size,
                                              Lanes& v) {
    if (i + 4 <= size) {
        v = Lanes{line[i], line[i + 1], line[i + 2], line[i + 3]};
        return;
    }
    v = Lanes{kNaN, kNaN, kNaN, kNaN};
    for (std::size_t l = 0; i + l < size; ++l) v[l] = line[i + l];
}

// Pearson correlation in branch-free passes over the rows where both values
// exist: their count and sums, then the centred products.
template <class Line>
[[gnu::always_inline]] inline double pearson_of(const Line a, const Line b, std::size_t size) {
    const Lanes zero = {}, one = zero + 1.0;
    // Every value times fa (and fb): powers of two, so the result does not
    // depend on them unless a sum overflows or a product underflows.
    auto correlation = [&](double fa, double fb) MIRTALY_INLINE_LAMBDA {
        Lanes n = zero, sum_a = zero, sum_b = zero;
        for (std::size_t i = 0; i < size; i += 4) {
            Lanes x, y;
            load_lanes(a, i, size, x), load_lanes(b, i, size, y);
            const auto both = (x == x) & (y == y);
            n += both ? one : zero;
            sum_a += both ? x * fa : zero;
            sum_b += both ? y * fb : zero;
        }
        const double count = lane_total(n);
        const double mean_a = lane_total(sum_a) / count, mean_b = lane_total(sum_b) / count;
        Lanes aa = zero, bb = zero, ab = zero;
        for (std::size_t i = 0; i < size; i += 4) {
            Lanes x, y;
            load_lanes(a, i, size, x), load_lanes(b, i, size, y);
            const auto both = (x == x) & (y == y);
            const Lanes dx = both ? x * fa - mean_a : zero;
            const Lanes dy = both ? y * fb - mean_b : zero;
            aa += dx * dx, bb += dy * dy, ab += dx * dy;
        }
        return std::array<double, 4>{count, lane_total(aa), lane_total(bb), lane_total(ab)};
    };
    // Neither overflowed nor lost digits to underflow (a constant side, whose
    // sums are 0, is told apart from underflow by the scaled sums).
    auto sound = [](double aa, double bb, double ab) {
        constexpr double kTiny = 0x1p-600;  // far above where products lose digits
        return std::isfinite(ab) && aa > kTiny && bb > kTiny && aa < HUGE_VAL && bb < HUGE_VAL;
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
        aa = scaled[1], bb = scaled[2], ab = scaled[3];
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

MIRTALY_CPU_CLONES
double pearson(View1D<double> a, View1D<double> b) {
    const std::size_t n = std::min(a.size, b.size);
    if (a.stride == 1 && b.stride == 1)
        return pearson_of(Contiguous{a.data}, Contiguous{b.data}, n);
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
