"""The demo: a small prepared store written from in-memory frames, read back, and
an equal-weight strategy simulated on it.

Run with ``python -m mirtaly.demo [directory]``; without a directory a
temporary one is used and removed afterwards.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from mirtaly.backtest._store import BinaryPreparedDataStoreBase

PRICE_KEYS = ("close_price", "prev_close", "buy_price", "sell_price")
DTYPES = {
    **dict.fromkeys(PRICE_KEYS, "float64"),
    "split_factor": "float64",
    "dividend_factor": "float64",
    "can_buy_stock": "bool",
    "cant_sell_stock": "bool",
}


def small_payload(days: int = 60, stocks: int = 8, seed: int = 1) -> dict:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-02", periods=days).strftime("%Y%m%d")
    codes = [f"{600000 + i:06d}" for i in range(stocks)]
    steps = rng.normal(0, 0.02, (days, stocks))
    close = pd.DataFrame(10 * np.exp(np.cumsum(steps, axis=0)), index=dates, columns=codes)
    can_buy = pd.DataFrame(steps < 0.095, index=dates, columns=codes)
    close = close.round(2)
    bench = pd.Series(rng.normal(0, 0.01, days), index=dates, name="index_daily_return")
    vwap = (close * (1 + rng.normal(0, 0.003, (days, stocks)))).round(3)
    no_event = pd.DataFrame(np.nan, index=dates, columns=codes)
    dividend = no_event.copy()
    dividend.iloc[days // 2, 0] = 0.25  # one cash dividend, to be booked on held shares
    data = {
        "close_price": close,
        "prev_close": close.shift(1).fillna(10.0),
        "buy_price": vwap,
        "sell_price": vwap,
        "split_factor": no_event,
        "dividend_factor": dividend,
        "can_buy_stock": can_buy,
        "cant_sell_stock": ~pd.DataFrame(steps > -0.095, index=dates, columns=codes),
        "benchmark_dict": {"000300": bench},
    }
    return {"version": 1, "meta": {"start_date": dates[0], "end_date": dates[-1]}, "data": data}


def run(directory: Path) -> None:
    store = BinaryPreparedDataStoreBase(directory, DTYPES, 1, "float64")
    if not store.metadata_path.exists():
        store.write(small_payload())
        print(f"wrote a store to {directory}")
    loaded = store.load(mmap=False)
    print(f"version {loaded['version']}, meta {loaded['meta']}")
    for key, value in loaded["data"].items():
        if key == "benchmark_dict":
            for code, series in value.items():
                print(
                    f"benchmark {code}: {len(series)} days, "
                    f"{series.index[0]}..{series.index[-1]}, sum {series.sum():+.4f}"
                )
        else:
            rows, cols = value.shape
            print(f"{key}: {rows} dates x {cols} stocks, dtype {value.dtypes.iloc[0]}")
    simulate(loaded["data"])


def simulate(data: dict) -> None:
    from mirtaly.backtest import _ravelin

    close = data["close_price"]
    weights = pd.DataFrame(1.0 / close.shape[1], index=close.index, columns=close.columns)
    daily = _ravelin.calc_strategy_vwap_daily_return(
        weights,
        data["can_buy_stock"],
        data["cant_sell_stock"],
        data["split_factor"],
        data["dividend_factor"],
        close,
        data["prev_close"],
        data["buy_price"],
        data["sell_price"],
        total_money=1e6,
    )
    bench = data["benchmark_dict"]["000300"].reindex(daily.index).fillna(0.0)
    aligned = pd.DataFrame({"daily_return": daily, "index_daily_return": bench})
    total = _ravelin._build_total_backtesting_frame(aligned)
    print(f"equal-weight strategy over {len(total)} days, 1e6 of capital:")
    print(total[["daily_return", "long", "close_net_value", "extra_return"]].tail(3).to_string())
    for key, value in _ravelin.calc_strategy_stats(total, weights).items():
        print(f"  {key:<24} {value: .4f}")


def main(argv: list[str]) -> int:
    if argv:
        run(Path(argv[0]))
        return 0
    with tempfile.TemporaryDirectory(prefix="mirtaly-demo-") as tmp:
        run(Path(tmp) / "store")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
