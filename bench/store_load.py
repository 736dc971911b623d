"""Loading a prepared store into memory versus reading its files raw.

A 5000-stock x 2500-day store of 17 datasets (15 float64, 2 bool) is written
once; then, in alternation, ``load(mmap=False)`` and a plain read of the same
dataset files into numpy buffers are timed. Both read from the page cache, so
the ratio is the store's own overhead: metadata, labels, DataFrame wrapping.
Target: load within 1.3x of the raw read.
"""

import argparse
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from mirtaly.backtest._store import BinaryPreparedDataStoreBase

FLOAT_KEYS = [
    "industry_matrix",
    "close_price",
    "open_price",
    "close_price_valid",
    "prev_close",
    "buy_price",
    "sell_price",
    "rq_get_split",
    "rq_get_dividend",
    "forward_return_rank_cache",
    "component__a",
    "component__b",
    "component__c",
    "component__d",
    "component__e",
]
BOOL_KEYS = ["can_buy_stock", "cant_sell_stock"]


def build(path: Path, stocks: int, days: int) -> BinaryPreparedDataStoreBase:
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2014-01-01", periods=days).strftime("%Y%m%d")
    codes = [f"{i:06d}" for i in range(stocks)]
    dtypes = {k: "float64" for k in FLOAT_KEYS} | {k: "bool" for k in BOOL_KEYS}
    store = BinaryPreparedDataStoreBase(path, dtypes, 1, "float64")
    base = rng.standard_normal((days, stocks))
    data = {}
    for i, key in enumerate(FLOAT_KEYS):
        data[key] = pd.DataFrame(base + i, index=dates, columns=codes)
    for key in BOOL_KEYS:
        data[key] = pd.DataFrame(base > 0, index=dates, columns=codes)
    bench = pd.Series(rng.normal(0, 0.01, days), index=dates)
    data["benchmark_dict"] = {"000300": bench, "000905": bench, "000852": bench}
    store.write({"version": 1, "meta": {}, "data": data})
    return store


def raw_read(store: BinaryPreparedDataStoreBase) -> list[np.ndarray]:
    """The floor: every dataset file read straight into a numpy buffer."""
    arrays = []
    for path in sorted(store.store_dir.glob("*.npy")):
        with open(path, "rb") as fh:
            arrays.append(np.lib.format.read_array(fh, allow_pickle=False))
    return arrays


def timed(fn, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="mirtaly-bench-store-"))
    try:
        t0 = time.perf_counter()
        store = build(workdir / "store", args.stocks, args.days)
        size = sum(p.stat().st_size for p in store.store_dir.iterdir()) / 2**30
        print(
            f"store: {args.stocks} stocks x {args.days} days, 17 datasets, {size:.2f} GiB "
            f"(written in {time.perf_counter() - t0:.1f} s)"
        )

        loaded = store.load(mmap=False)["data"]
        raw = raw_read(store)
        # Same bytes either way.
        assert sum(v.to_numpy().nbytes for k, v in loaded.items() if k != "benchmark_dict") + sum(
            s.to_numpy().nbytes for s in loaded["benchmark_dict"].values()
        ) == sum(a.nbytes for a in raw)
        close_file = store.load_metadata()["datasets"]["close_price"]["file"]
        with open(store.store_dir / close_file, "rb") as fh:
            np.testing.assert_array_equal(
                loaded["close_price"].to_numpy(), np.lib.format.read_array(fh)
            )
        del loaded, raw

        raw_times, load_times = [], []
        for _ in range(args.repeats):
            raw_times.append(timed(lambda: raw_read(store), 1))
            load_times.append(timed(lambda: store.load(mmap=False), 1))
        t_raw, t_load = min(raw_times), min(load_times)
        print(f"raw read of the files : {t_raw * 1000:8.1f} ms  ({size / t_raw:.2f} GiB/s)")
        print(f"load(mmap=False)      : {t_load * 1000:8.1f} ms")
        print(f"ratio load / raw      : {t_load / t_raw:8.3f}  (target <= 1.30)")
        t_mmap = timed(lambda: store.load(mmap=True), args.repeats)
        print(f"load(mmap=True)       : {t_mmap * 1000:8.1f} ms")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
