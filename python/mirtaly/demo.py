"""The demo: a small prepared store written from in-memory frames and read back.

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

DTYPES = {"close_price": "float64", "can_buy_stock": "bool", "cant_sell_stock": "bool"}


def small_payload(days: int = 10, stocks: int = 4, seed: int = 1) -> dict:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-02", periods=days).strftime("%Y%m%d")
    codes = [f"{600000 + i:06d}" for i in range(stocks)]
    steps = rng.normal(0, 0.02, (days, stocks))
    close = pd.DataFrame(10 * np.exp(np.cumsum(steps, axis=0)), index=dates, columns=codes)
    can_buy = pd.DataFrame(steps < 0.095, index=dates, columns=codes)
    bench = pd.Series(rng.normal(0, 0.01, days), index=dates, name="index_daily_return")
    data = {
        "close_price": close.round(2),
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
            print(value.tail(3).to_string())


def main(argv: list[str]) -> int:
    if argv:
        run(Path(argv[0]))
        return 0
    with tempfile.TemporaryDirectory(prefix="mirtaly-demo-") as tmp:
        run(Path(tmp) / "store")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
