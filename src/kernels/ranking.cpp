#include "kernels/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace mirtaly::kernels {

void forward_open_return(View2D<double> open, std::span<double> out) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const std::size_t rows = open.rows;
    for (std::size_t j = 0; j < open.cols; ++j) {
        double* col = out.data() + j * rows;
        for (std::size_t t = 0; t < rows; ++t) {
            double r = kNaN;
            if (t + 2 < rows) {
                r = open(t + 2, j) / open(t + 1, j) - 1.0;
                if (std::isinf(r)) r = kNaN;
            }
            col[t] = r;
        }
    }
}

void rank_rows_average(std::span<double> matrix, std::size_t rows, std::size_t cols) {
    std::vector<std::pair<double, std::size_t>> row;  // value, column
    row.reserve(cols);
    for (std::size_t i = 0; i < rows; ++i) {
        row.clear();
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = matrix[j * rows + i];
            if (!std::isnan(v)) row.emplace_back(v, j);
        }
        std::sort(row.begin(), row.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t first = 0; first < row.size();) {
            std::size_t last = first;
            while (last + 1 < row.size() && row[last + 1].first == row[first].first) ++last;
            // Mean of the 1-based ranks first + 1 .. last + 1: exact in double.
            const double rank = (static_cast<double>(first + last) + 2.0) / 2.0;
            for (std::size_t k = first; k <= last; ++k) matrix[row[k].second * rows + i] = rank;
            first = last + 1;
        }
    }
}

}  // namespace mirtaly::kernels
