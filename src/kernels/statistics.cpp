#include "kernels/statistics.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/cumulative.hpp"

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

PeriodMetrics period_return_drawdown_calmar(View1D<double> daily, double periods_per_year) {
    PeriodMetrics out;
    if (daily.size == 0) return out;
    out.period_return = nansum(daily);
    const double annualised = nanmean(daily) * periods_per_year;

    std::vector<double> cumulative(daily.size), peak(daily.size);
    cumsum_skipna(daily, cumulative);
    const View1D<double> cum_view{cumulative.data(), cumulative.size(), 1};
    cummax_skipna(cum_view, peak);
    double worst = kNaN;
    for (std::size_t i = 0; i < daily.size; ++i) {
        const double floor_peak = std::isnan(peak[i]) ? peak[i] : std::max(peak[i], 0.0);
        const double drawdown = cumulative[i] - floor_peak;
        if (!std::isnan(drawdown) && (std::isnan(worst) || drawdown < worst)) worst = drawdown;
    }
    out.max_drawdown = std::fabs(worst);
    if (!std::isnan(out.max_drawdown) && out.max_drawdown > 1e-12)
        out.calmar = annualised / out.max_drawdown;
    return out;
}

HoldingTurnover holding_and_turnover(View2D<double> w) {
    HoldingTurnover out;
    if (w.rows == 0) return out;
    // Walked column by column (pandas hands weights over column-major), with
    // each row's change summed over stocks in column order.
    auto zero_nan = [](double x) { return std::isnan(x) ? 0.0 : x; };
    std::size_t finite = 0;
    std::vector<double> change(w.rows, 0.0);
    for (std::size_t j = 0; j < w.cols; ++j) {
        const View1D<double> col = w.column(j);
        for (std::size_t i = 0; i < w.rows; ++i) finite += std::isfinite(col[i]);
        for (std::size_t i = 1; i < w.rows; ++i)
            change[i] += std::fabs(zero_nan(col[i]) - zero_nan(col[i - 1]));
    }
    out.holding_count = static_cast<double>(finite) / static_cast<double>(w.rows);
    if (w.rows < 2) return out;
    double total = 0.0;
    for (std::size_t i = 1; i < w.rows; ++i) total += change[i] / 2.0;
    out.turnover = total / static_cast<double>(w.rows - 1);
    return out;
}

}  // namespace mirtaly::kernels
