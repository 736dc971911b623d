#include "kernels/simulation.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mirtaly::kernels {

std::vector<std::int64_t> rows_with_values(View2D<double> matrix, std::size_t rows) {
    std::vector<char> any(rows, 0);
    if (!matrix.column_major()) {
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t j = 0; j < matrix.cols && !any[r]; ++j)
                any[r] = !std::isnan(matrix(r, j));
    } else {
        // Column by column over the rows still without a value: a row-wise
        // scan would stride through memory on every empty row, and rows with
        // values usually drop out within the first few columns.
        std::vector<std::size_t> pending(rows);
        for (std::size_t r = 0; r < rows; ++r) pending[r] = r;
        for (std::size_t j = 0; j < matrix.cols && !pending.empty(); ++j) {
            const View1D<double> col = matrix.column(j);
            std::size_t kept = 0;
            for (std::size_t r : pending) {
                if (!std::isnan(col[r]))
                    any[r] = 1;
                else
                    pending[kept++] = r;
            }
            pending.resize(kept);
        }
    }
    std::vector<std::int64_t> out;
    for (std::size_t r = 0; r < rows; ++r)
        if (any[r]) out.push_back(static_cast<std::int64_t>(r));
    return out;
}

std::vector<std::int64_t> delayed_signal_rows(View2D<double> signal) {
    // The last row trades on no day.
    return rows_with_values(signal, signal.rows ? signal.rows - 1 : 0);
}

// Days of weights copied row-major at a time when the weight matrix is
// column-major but the market is not; the copy stays small and in cache.
constexpr std::size_t kStagedDays = 32;

namespace {

template <bool Mapped>
void simulate(View2D<double> signal, std::span<const std::int64_t> signal_rows,
              const VwapMarket& market, const VwapStep& step, ProfitTerms& terms) {
    const std::size_t n_days = signal_rows.size();
    const std::size_t n_stocks = signal.cols;
    auto weight = [&](std::size_t i, std::size_t j) {
        return signal(static_cast<std::size_t>(signal_rows[i]), j);
    };

    if (signal.column_major() && market.close.column_major() &&
        market.prev_close.column_major()) {
        // pandas' own layout: each stock's columns are read front to back.
        for (std::size_t j = 0; j < n_stocks; ++j) {
            const auto at = market_column<Mapped>(market, j);
            double held = 0.0;
            for (std::size_t i = 0; i < n_days; ++i) step(at, i, weight(i, j), held, terms, i);
        }
    } else {
        // Row-major market (as a C-order store loads): whole rows, day by day.
        std::vector<double> held(n_stocks, 0.0);
        const bool stage = signal.column_major() && n_stocks > 1;
        std::vector<double> staged(stage ? kStagedDays * n_stocks : 0);
        for (std::size_t d0 = 0; d0 < n_days; d0 += kStagedDays) {
            const std::size_t d1 = std::min(n_days, d0 + kStagedDays);
            if (stage)
                for (std::size_t j = 0; j < n_stocks; ++j)
                    for (std::size_t i = d0; i < d1; ++i)
                        staged[(i - d0) * n_stocks + j] = weight(i, j);
            for (std::size_t i = d0; i < d1; ++i) {
                const double* row = stage ? &staged[(i - d0) * n_stocks] : nullptr;
                const auto at = market_row<Mapped>(market, i);
                for (std::size_t j = 0; j < n_stocks; ++j)
                    step(at, j, stage ? row[j] : weight(i, j), held[j], terms, i);
            }
        }
    }
}

}  // namespace

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& market, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size();
    const VwapStep step(costs);
    ProfitTerms terms(n_days);
    if (is_mapped(market))
        simulate<true>(signal, signal_rows, market, step, terms);
    else
        simulate<false>(signal, signal_rows, market, step, terms);
    terms.total(daily_cash.first(n_days));
}

}  // namespace mirtaly::kernels
