"""A plain pandas reading of the group backtest rules: the oracle of the compiled core.

Each group becomes its own target-weight matrix and runs through the plain strategy
reference, one group after another.
"""

import numpy as np
import pandas as pd

try:  # beside the tests
    from reference_strategy import reference_vwap_daily_return
except ImportError:  # from the repository root, as the benchmarks run
    from tests.reference_strategy import reference_vwap_daily_return


def reference_groups(factor, valid, group_num, ascending=False, rolling_window=0):
    """(group number per cell, NaN where not ranked; rank by value per cell)."""
    if rolling_window > 1:
        factor = factor.rolling(rolling_window).mean()
    eligible = factor.where(np.isfinite(factor) & (valid == 1))
    rank = eligible.rank(axis=1, method="average")
    count = eligible.count(axis=1)
    by_group = count.add(1).to_numpy()[:, None] - rank if ascending else rank
    return np.ceil(by_group.mul(group_num).div(count, axis=0)), rank


def reference_group_backtest(factor, valid, market, forward_rank, group_num, **options):
    """(daily returns, dates x groups; rank IC by date) as the core defines them."""
    scalars = {k: options.pop(k) for k in ("total_money", "fee", "rule_fee") if k in options}
    groups, rank = reference_groups(factor, valid, group_num, **options)
    ranked_days = groups.notna().any(axis=1).to_numpy()
    daily = {}
    for g in range(1, group_num + 1):
        members = (groups == g).to_numpy()
        count = members.sum(axis=1, keepdims=True)
        # A day that ranked stocks but none into g: the group targets nothing (weights 0).
        weights = np.where(members, 1.0 / np.maximum(count, 1), 0.0)
        weights[~ranked_days] = np.nan
        weights = pd.DataFrame(weights, index=factor.index, columns=factor.columns)
        daily[g] = reference_vwap_daily_return(weights, **market, **scalars)
    ic = pd.Series(
        [rank.loc[d].corr(forward_rank.loc[d]) for d in factor.index], index=factor.index
    )
    return pd.DataFrame(daily), ic
