#include "kernels/rolling.hpp"

#include <cmath>
#include <limits>

namespace mirtaly::kernels {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// One column's running window, updated the way pandas' roll_mean does: adds
// and removes each keep their own compensation term.
struct MeanWindow {
    double sum = 0.0, add_error = 0.0, remove_error = 0.0, last = 0.0;
    std::int64_t count = 0, negatives = 0, repeats = 0;

    void add(double v) {
        if (std::isnan(v)) return;
        ++count;
        const double y = v - add_error, t = sum + y;
        add_error = t - sum - y;
        sum = t;
        negatives += std::signbit(v);
        repeats = v == last ? repeats + 1 : 1;
        last = v;
    }
    void remove(double v) {
        if (std::isnan(v)) return;
        --count;
        const double y = -v - remove_error, t = sum + y;
        remove_error = t - sum - y;
        sum = t;
        negatives -= std::signbit(v);
    }
    // A full window of one repeated value is that value; a window of one sign
    // never averages to the other sign.
    double mean(std::int64_t window) const {
        if (count < window) return kMissing;
        const double m = sum / static_cast<double>(count);
        if (repeats >= count) return last;
        if ((negatives == 0 && m < 0.0) || (negatives == count && m > 0.0)) return 0.0;
        return m;
    }
};

// Window functions see infinities as missing.
double windowed(double v) { return std::isinf(v) ? kMissing : v; }

// fillna(0) first.
double weight(double v) { return std::isnan(v) ? 0.0 : windowed(v); }

// Runs `step(state, i, j)` over every cell, each column's days in order with
// its own window state, in the order that suits the layout.
template <class Step>
void each_window_step(View2D<double> values, Step step) {
    if (values.column_major()) {
        for (std::size_t j = 0; j < values.cols; ++j) {
            MeanWindow s;
            for (std::size_t i = 0; i < values.rows; ++i) step(s, i, j);
        }
    } else {
        std::vector<MeanWindow> states(values.cols);
        for (std::size_t i = 0; i < values.rows; ++i)
            for (std::size_t j = 0; j < values.cols; ++j) step(states[j], i, j);
    }
}

}  // namespace

void rolling_mean(View2D<double> values, std::size_t window, std::span<double> out) {
    const std::size_t n = values.rows;
    const auto w = static_cast<std::int64_t>(window);
    each_window_step(values, [&](MeanWindow& s, std::size_t i, std::size_t j) {
        if (i == 0) s = MeanWindow{.last = windowed(values(0, j))};
        if (i >= window) s.remove(windowed(values(i - window, j)));
        s.add(windowed(values(i, j)));
        out[j * n + i] = i + 1 < window ? kMissing : s.mean(w);
    });
}

std::vector<std::int64_t> smooth_weights(View2D<double> weights, std::size_t window,
                                         std::span<double> out) {
    const std::size_t n = weights.rows, cols = weights.cols;
    if (n < window || cols == 0) return {};
    const std::size_t m = n - window + 1;
    const auto w = static_cast<std::int64_t>(window);
    std::vector<char> has_value(m, 0);

    // Day i of stock j: the window drops row i - window, then takes row i.
    auto step = [&](MeanWindow& s, std::size_t i, std::size_t j) {
        if (i == 0) s = MeanWindow{.last = weight(weights(0, j))};
        if (i >= window) s.remove(weight(weights(i - window, j)));
        s.add(weight(weights(i, j)));
        if (i + 1 < window) return;
        const double v = s.mean(w);
        // Rows are dropped for having no mean; a zero mean then means no weight.
        if (!std::isnan(v)) has_value[i + 1 - window] = 1;
        out[j * m + (i + 1 - window)] = v == 0.0 ? kMissing : v;
    };
    each_window_step(weights, step);

    std::vector<std::int64_t> kept;
    for (std::size_t r = 0; r < m; ++r)
        if (has_value[r]) kept.push_back(static_cast<std::int64_t>(r + window - 1));
    return kept;
}

RollingStability rolling_sharpe_and_win(View1D<double> x, std::size_t window,
                                        double periods_per_year) {
    RollingStability out{std::vector<double>(x.size, kMissing),
                         std::vector<double>(x.size, kMissing)};
    if (window < 2 || x.size < window) return out;
    const double n = static_cast<double>(window), annualise = std::sqrt(periods_per_year);
    // Two passes per window (mean, then squared deviations): windows are short
    // and this keeps the deviation exact where running sums would cancel.
    for (std::size_t end = window; end <= x.size; ++end) {
        const std::size_t start = end - window;
        double sum = 0.0, positive = 0.0;
        bool missing = false;
        for (std::size_t i = start; i < end; ++i) {
            missing |= !std::isfinite(x[i]);
            sum += x[i];
            positive += x[i] > 0.0;
        }
        if (missing) continue;
        const double mean = sum / n;
        double squares = 0.0;
        for (std::size_t i = start; i < end; ++i) squares += (x[i] - mean) * (x[i] - mean);
        out.sharpe[end - 1] = mean / std::sqrt(squares / (n - 1.0)) * annualise;
        out.win_rate[end - 1] = positive / n;
    }
    return out;
}

}  // namespace mirtaly::kernels
