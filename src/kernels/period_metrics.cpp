#include "kernels/period_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/cumulative.hpp"

namespace mirtaly::kernels {

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

}  // namespace mirtaly::kernels
