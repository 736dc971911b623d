"""A plain pandas reading of the builder's derivations, step by step.

The compiled builder must give the same frames; tests and bench/builder.py hold it to them.
"""

import numpy as np
import pandas as pd


def reference_build_from_matrices(source: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]:
    """The twelve base datasets from the ten source matrices, in whole-frame pandas."""
    close, open_ = source["Close"], source["Open"]
    buy, sell = source["tick_vwap_price_935_1005"], source["tick_vwap_price_925_1000"]
    valid = close * 0 + 1
    split = (source["split_coefficient_to"] / 10 * valid).loc[
        lambda f: f.index >= close.index.min()
    ]
    dividend = (source["rq_get_dividend"] / 10 * 0.9 + (valid - 1)).loc[
        lambda f: f.index <= close.index.max()
    ]
    flag = source["rq_is_suspended"]
    free = pd.DataFrame(np.where(flag == 1, np.nan, 1.0), index=flag.index, columns=flag.columns)

    def restriction(price, limit):
        hit = price == limit.reindex(index=price.index, columns=price.columns)
        return hit.add(free, fill_value=0.0)

    forward = (open_.shift(-2) / open_.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    return {
        "industry_matrix": source["rq_industry_exposure_new"],
        "close_price": close,
        "open_price": open_,
        "close_price_valid": valid,
        "prev_close": close.shift(1),
        "buy_price": buy,
        "sell_price": sell,
        "rq_get_split": split,
        "rq_get_dividend": dividend,
        "can_buy_stock": restriction(buy, source["limit_up"]) <= 0,
        "cant_sell_stock": restriction(sell, source["limit_down"]) > 0,
        "forward_return_rank_cache": forward.rank(axis=1, method="average"),
    }
