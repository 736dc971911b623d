#include "kernels/pivot.hpp"

#include <cmath>

namespace mirtaly::kernels {

namespace {

std::int64_t id_of(std::int64_t code, std::span<const std::int64_t> ids) {
    return code < 0 ? -1 : ids[static_cast<std::size_t>(code)];
}

// Calls fn(group, date, key, value) for every usable row, in table order.
template <class Fn>
void usable_rows(const LongTable& t, Fn fn) {
    const bool grouped = t.group_code.size != 0;
    for (std::size_t r = 0; r < t.value.size; ++r) {
        const double v = t.value[r];
        if (std::isnan(v)) continue;
        const std::int64_t g = grouped ? id_of(t.group_code[r], t.group_of) : 0;
        const std::int64_t d = id_of(t.date_code[r], t.date_of);
        const std::int64_t k = id_of(t.key_code[r], t.key_of);
        if (g < 0 || d < 0 || k < 0) continue;
        fn(static_cast<std::size_t>(g), static_cast<std::size_t>(d), static_cast<std::size_t>(k),
           v);
    }
}

}  // namespace

void pivot_presence(const LongTable& t, std::span<std::uint8_t> seen_dates,
                    std::span<std::uint8_t> seen_keys) {
    usable_rows(t, [&](std::size_t g, std::size_t d, std::size_t k, double) {
        seen_dates[g * t.dates + d] = 1;
        seen_keys[g * t.keys + k] = 1;
    });
}

std::vector<std::int64_t> marked_positions(std::span<const std::uint8_t> seen) {
    std::vector<std::int64_t> out(seen.size(), -1);
    std::int64_t next = 0;
    for (std::size_t i = 0; i < seen.size(); ++i)
        if (seen[i]) out[i] = next++;
    return out;
}

void pivot_scatter(const LongTable& t, std::span<const std::int64_t> row_of,
                   std::span<const std::int64_t> col_of, std::span<double* const> out,
                   std::span<const std::size_t> out_rows) {
    usable_rows(t, [&](std::size_t g, std::size_t d, std::size_t k, double v) {
        const auto row = static_cast<std::size_t>(row_of[g * t.dates + d]);
        const auto col = static_cast<std::size_t>(col_of[g * t.keys + k]);
        out[g][col * out_rows[g] + row] = v;
    });
}

}  // namespace mirtaly::kernels
