#include "kernels/net_value.hpp"

#include "kernels/cumulative.hpp"

namespace mirtaly::kernels {

namespace {

using Vec = std::vector<double>;

Vec running_sum(View1D<double> x) {
    Vec out(x.size);
    cumsum_skipna(x, out);
    return out;
}

Vec below_peak(const Vec& x) {
    Vec out(x.size());
    below_expanding_max(view_of<double>(x), out);
    return out;
}

}  // namespace

NetValueColumns net_value_columns(View1D<double> dr, View1D<double> idr,
                                  const View1D<double>* close) {
    const std::size_t n = dr.size;
    NetValueColumns out;
    out.extra_daily_return.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.extra_daily_return[i] = dr[i] - idr[i];

    Vec nav = running_sum(dr);
    for (double& v : nav) v += 1.0;
    out.long_net_value.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.long_net_value[i] = nav[i] / nav[0];

    auto index_proxy = [&] {
        Vec proxy = running_sum(idr);
        for (double& v : proxy) v += 1.0;
        return proxy;
    };
    out.close_net_value.resize(n);
    if (close) {
        const double first_close = (*close)[0];
        if (first_close != 0.0) {
            for (std::size_t i = 0; i < n; ++i) out.close_net_value[i] = (*close)[i] / first_close;
        } else {
            out.close_net_value = index_proxy();
        }
    } else {
        out.close = index_proxy();
        for (std::size_t i = 0; i < n; ++i)
            out.close_net_value[i] = out.close[i] / out.close[0];
    }

    Vec excess = running_sum(view_of<double>(out.extra_daily_return)), extra_nav(n);
    out.extra_return.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.extra_return[i] = excess[i] - excess[0];
        extra_nav[i] = out.extra_return[i] + 1.0;
    }
    out.max_drawdown = below_peak(out.long_net_value);
    out.extra_max_drawdown = below_peak(extra_nav);
    return out;
}

}  // namespace mirtaly::kernels
