"""The main job, offline: prepare the benchmark data, load it once, backtest a
factor and a strategy on it, and draw the report figures.

A seeded synthetic A-share market up to today stands in for the cloud: its
benchmark data package (ending a few sessions before today) is served over
signed HTTP on 127.0.0.1, and its factor service answers the daily update.
Everything lives in a directory of the demo's own, never in ``~/.mirtaly``:

- ``market.json``: which sandbox market (size, seed, last session) this
  directory's data comes from; later runs use the same market, so the data
  stays one market's;
- ``cloud/``: the package the sandbox server hands out;
- ``backtest_data/enviroment_data/``: the local prepared data;
- ``figures/``: the PNG reports.

The factor is 20-day reversal: minus the sum of the last 20 daily log total
returns (bonus shares and cash dividends included), so the stocks that fell
most rank highest. It is backtested in ten groups, and the strategy holds its
top group at equal weights.

Run with ``python -m mirtaly.demo [directory] [--size tiny|small|demo|full]``
(``make demo`` uses build/demo); without a directory a temporary one is used
and removed afterwards. A second run in the same directory finds the data
current.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

import mirtaly
from mirtaly import singleton
from mirtaly._atomic import atomic_output
from mirtaly.backtest import _service
from mirtaly.sandbox import SIZES, market_of_size, trading_sessions
from mirtaly.sandbox.package import build_benchmark_package
from mirtaly.sandbox.server import PackageServer

SEED = 0
REVERSAL_DAYS = 20
GROUPS = 10
BENCHMARK = "000905"


def reversal_factor(data: dict) -> pd.DataFrame:
    """Minus the 20-day sum of daily log total returns, where the stock trades."""
    close, prev_close = data["close_price"], data["prev_close"]
    shares_after = data["rq_get_split"].fillna(1.0)  # shares per share held after a bonus issue
    cash = data["rq_get_dividend"].fillna(0.0)  # cash per share, after tax
    daily = (close * shares_after + cash) / prev_close
    summed = np.log(daily).rolling(REVERSAL_DAYS, min_periods=REVERSAL_DAYS // 2 + 5).sum()
    factor = -summed.where(data["close_price_valid"].notna())
    factor.columns.name = f"reversal_{REVERSAL_DAYS}d"
    return factor


def top_group_weights(factor: pd.DataFrame, groups: int) -> pd.DataFrame:
    """Equal weights on each day's top 1/groups of the stocks by factor value; the other
    stocks get no weight (NaN), so the holding count is the group's size."""
    top = factor.rank(axis=1, pct=True) > 1.0 - 1.0 / groups
    return top.astype(float).div(top.sum(axis=1).replace(0, np.nan), axis=0).where(top)


def pinned_market(root: Path, size: str):
    """The directory's sandbox market: the one it was prepared from, or a new one
    ending today on the first run."""
    pin = root / "market.json"
    if pin.exists():
        spec = json.loads(pin.read_text())
    else:
        end = trading_sessions(sessions=1)[-1].strftime("%Y%m%d")
        spec = {"size": size, "seed": SEED, "end": end}
        root.mkdir(parents=True, exist_ok=True)
        with atomic_output(pin) as fh:
            fh.write(json.dumps(spec).encode())
    return market_of_size(spec["size"], seed=spec["seed"], end=spec["end"])


def stored_dates(data_dir: Path) -> list[str]:
    from mirtaly.backtest._prepare import BinaryPreparedDataStore

    store = BinaryPreparedDataStore(data_dir)
    if not store.metadata_path.exists():
        return []
    close = store.load_metadata().get("datasets", {}).get("close_price") or {}
    return list(close.get("index") or [])


def prepare(root: Path, market, data_dir: Path) -> None:
    started = time.perf_counter()
    package = build_benchmark_package(market, root / "cloud")
    print(
        f"cloud package: {package.name}, {package.size / 2**20:.1f} MiB, "
        f"data up to {package.end_date} ({time.perf_counter() - started:.1f} s)"
    )
    before = stored_dates(data_dir)
    started = time.perf_counter()
    previous = singleton.set_instance(market.client())
    try:
        with PackageServer(package) as server:
            mirtaly.configure(client=server.client())
            mirtaly.prepare_backtest_data()
    finally:
        singleton.set_instance(previous)
    after = stored_dates(data_dir)
    took = f"({time.perf_counter() - started:.1f} s)"
    if not before:
        print(f"prepared: downloaded the package and updated it to {after[-1]} {took}")
    elif after == before:
        print(
            f"data already current up to {after[-1]}, the sandbox market's last session: "
            f"the newest days were read again, nothing new {took}"
        )
    else:
        print(f"updated the local data from {before[-1]} to {after[-1]} {took}")


def run(root: Path, size: str) -> None:
    root = root / size
    market = pinned_market(root, size)
    print(
        f"sandbox market: {len(market.codes)} stocks, {len(market.dates)} sessions, "
        f"{market.date_labels[0]}..{market.date_labels[-1]} (seed {market.seed})"
    )
    data_dir = root / "backtest_data" / "enviroment_data"
    print(f"data directory: {data_dir}")
    # The demo's own data directory, never the user's ~/.mirtaly.
    home_dir, _service._DEFAULT_DATA_DIR = _service._DEFAULT_DATA_DIR, data_dir
    try:
        backtests(root, market, data_dir)
    finally:
        _service._DEFAULT_DATA_DIR = home_dir


def backtests(root: Path, market, data_dir: Path) -> None:
    prepare(root, market, data_dir)

    started = time.perf_counter()
    loaded = mirtaly.load_backtest_data()
    close = loaded.data["close_price"]
    print(
        f"loaded {len(loaded.data) - 1} datasets and {len(loaded.data['benchmark_dict'])} "
        f"benchmarks: {close.shape[0]} dates x {close.shape[1]} stocks "
        f"({time.perf_counter() - started:.1f} s)"
    )

    factor = reversal_factor(loaded.data)
    start, end = factor.dropna(how="all").index[0], factor.index[-1]
    figures = root / "figures"
    figures.mkdir(parents=True, exist_ok=True)
    paths = group_backtest(loaded, factor, start, end, figures)
    paths |= strategy_backtest(loaded, factor, start, end, figures)
    width = max(map(len, paths), default=0)
    print("figures:")
    for name, path in paths.items():
        print(f"  {name:<{width}}  {path}")


def group_backtest(loaded, factor: pd.DataFrame, start: str, end: str, figures: Path) -> dict:
    started = time.perf_counter()
    result = mirtaly.backtest(
        factor,
        loaded,
        start,
        end,
        figures,
        "reversal_groups",
        group_num=GROUPS,
        benchmark=BENCHMARK,
    )
    ic = result.rank_ic.dropna()
    print(
        f"factor group backtest: {result.factor_name} in {GROUPS} groups, {start}..{end} "
        f"against {BENCHMARK} ({time.perf_counter() - started:.1f} s)"
    )
    print(
        f"  rank IC mean {ic.mean():.4f}, IC IR {ic.mean() / ic.std():.2f}, "
        f"best group {result.best_group}"
    )
    print(result.benchmark_summary.to_string(index=False, float_format="{:.4f}".format))
    return {f"groups {name}": path for name, path in result.plot_paths.items()}


def strategy_backtest(loaded, factor: pd.DataFrame, start: str, end: str, figures: Path) -> dict:
    started = time.perf_counter()
    weights = top_group_weights(factor, GROUPS)
    result = mirtaly.backtest_strategy(
        weights, loaded, start, end, figures, "reversal_top_group", benchmark=BENCHMARK
    )
    print(
        f"strategy backtest: the top {GROUPS}th of {factor.columns.name} at equal weights, "
        f"{start}..{end} against {BENCHMARK} ({time.perf_counter() - started:.1f} s)"
    )
    for key, value in result.stats.items():
        print(f"  {key:<24} {value: .4f}")
    print(result.benchmark_summary.to_string())
    return {f"strategy {k}": v for k, v in result.plot_paths.items()}


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="python -m mirtaly.demo", description=__doc__)
    parser.add_argument("directory", nargs="?", type=Path)
    parser.add_argument("--size", choices=list(SIZES), default="demo")
    args = parser.parse_args(argv)
    # Lines in order with the service's log lines on stderr, also through a pipe.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(line_buffering=True)
    if args.directory is not None:
        run(args.directory, args.size)
        return 0
    with tempfile.TemporaryDirectory(prefix="mirtaly-demo-") as tmp:
        run(Path(tmp), args.size)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
