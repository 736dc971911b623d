#include "kernels/simulation.hpp"

#include <cstdint>
#include <type_traits>
#include <vector>

#include "kernels/vwap_walk.hpp"

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

namespace {

// One target-weight portfolio's holding of a stock, its weights read through
// `Weights` (a StridedLine in place, a MappedLine otherwise).
template <class Weights>
struct PortfolioBook {
    static constexpr bool kInPlace = std::is_same_v<Weights, StridedLine<double>>;
    Weights weights;
    double held;
    DayProfit* days;

    [[gnu::always_inline]] void mark(std::size_t i0, std::size_t i1, std::uint8_t* flags) const {
        const std::size_t n = i1 - i0;
        if constexpr (kInPlace) {
            if (weights.stride == 1) {  // contiguous: the loop is vectorized
                const double* w = weights.base + i0;
                for (std::size_t i = 0; i < n; ++i) flags[i] = VwapRules::wanted(w[i]);
            } else {
                const double* w = weights.base + static_cast<std::ptrdiff_t>(i0) * weights.stride;
                for (std::size_t i = 0; i < n; ++i, w += weights.stride)
                    flags[i] = VwapRules::wanted(*w);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) flags[i] = VwapRules::wanted(weights[i0 + i]);
        }
    }
    bool idle() const { return held == 0.0; }
    template <class Cell>
    [[gnu::always_inline]] void trade(const VwapRules& rules, const Cell& cell, std::size_t k) {
        rules.step(cell, weights[k], held, days[k]);
    }
};

// Built for the running CPU's instruction set where it has a later one than
// the baseline (floor is then one instruction).
MIRTALY_CPU_CLONES
void walk_portfolio(const MappedView2D<double>& weights, const VwapMarket& m,
                    const VwapRules& rules, std::span<double> held, std::span<DayProfit> days) {
    vwap_walk::walk_tiles(weights, m, rules, days.size(), held.size(),
                          [&](std::size_t j, auto&& walk_with) MIRTALY_INLINE_LAMBDA {
                              const MappedLine<double> w = weights.column(j);
                              if (w.in_place()) {
                                  PortfolioBook<StridedLine<double>> book{w.strided(), held[j],
                                                                          days.data()};
                                  walk_with(book);
                                  held[j] = book.held;
                              } else {
                                  PortfolioBook<MappedLine<double>> book{w, held[j], days.data()};
                                  walk_with(book);
                                  held[j] = book.held;
                              }
                          });
}

// True when rows[k] == rows[0] + k throughout.
bool is_run(std::span<const std::int64_t> rows) {
    for (std::size_t k = 1; k < rows.size(); ++k)
        if (rows[k] != rows[0] + static_cast<std::int64_t>(k)) return false;
    return true;
}

}  // namespace

void vwap_daily_cash(View2D<double> signal, std::span<const std::int64_t> signal_rows,
                     const VwapMarket& m, const VwapCosts& costs,
                     std::span<double> daily_cash) {
    const std::size_t n_days = signal_rows.size();
    std::vector<DayProfit> days(n_days);
    std::vector<double> held(signal.cols, 0.0);
    // Consecutive rows (no day dropped) are read in place, from the first.
    MappedView2D<double> weights(signal);
    if (is_run(signal_rows)) {
        if (!signal_rows.empty()) weights.source.data += signal_rows[0] * signal.row_stride;
    } else {
        weights.rows = signal_rows.data();
    }
    walk_portfolio(weights, m, VwapRules(costs), held, days);
    for (std::size_t i = 0; i < n_days; ++i) daily_cash[i] = days[i].total();
}

}  // namespace mirtaly::kernels
