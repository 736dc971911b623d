"""A whole strategy backtest through the service versus a plain pandas reading of it.

A store of 5000 stocks x 2500 days (every base dataset, five index-membership matrices and
three benchmarks) is written to a temporary directory and loaded with load_backtest_data;
the service is pointed at that directory, never at the user's home. Weights on about 1000
stocks, rebalanced weekly, are backtested over the last nine years by backtest_strategy
(plot=None) and by the baseline: boolean-mask slicing of every dataset, the day-by-day
numpy simulation, pandas total frame, statistics and benchmark summary. Results must agree
first (or the script exits 1); then best-of times, their ratio, and the peak memory growth
of one backtest measured in a fresh interpreter, against the size of the loaded data.

Targets: at least 10x faster than the baseline; the growth of one backtest under 10% of
the loaded data (no market matrix copied). The time with both figures drawn is reported
as well.
"""

import argparse
import gc
import json
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
from bench.strategy_sim import MIB, best_of, build, rss_growth, run_child
from mirtaly.backtest._prepare import (
    COMPONENT_FACTOR_NAMES,
    BinaryPreparedDataStore,
    component_dataset_key,
)
from tests.conftest import DATASET_KEYS
from tests.reference_strategy import (
    MARKET_KEYS,
    ref_stats,
    ref_total_frame,
    reference_strategy_backtest,
)

from mirtaly.backtest import _service
from mirtaly.backtest._store import clean_matrix, normalize_yyyymmdd

N_STOCKS, N_DAYS = 5000, 2500
HELD, CANDIDATES = 1000, 1200
START_ROW = 250  # the window: the last nine of ten years


def write_store(path: Path, n_stocks: int, n_days: int, seed: int = 7) -> pd.DataFrame:
    """Writes the store and returns the weight matrix."""
    _, frames = build(n_stocks, n_days)
    market = dict(zip(MARKET_KEYS, frames, strict=True))
    close = market["close_price"]
    dates, codes = close.index, close.columns
    rng = np.random.default_rng(seed)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes, copy=False)

    data = {DATASET_KEYS.get(name, name): frame for name, frame in market.items()}
    data["close_price_valid"] = frame(np.where(close.notna(), 1.0, np.nan))
    data["open_price"] = frame(close.to_numpy() * (1.0 + rng.normal(0.0, 0.005, close.shape)))
    data["industry_matrix"] = frame(rng.integers(1, 32, close.shape).astype(float))
    data["forward_return_rank_cache"] = frame(rng.random(close.shape))
    for k, name in enumerate(COMPONENT_FACTOR_NAMES):
        members = np.where(rng.random(n_stocks) < 0.06 * (k + 1), 1.0, np.nan)
        data[component_dataset_key(name)] = frame(np.broadcast_to(members, close.shape))
    data["benchmark_dict"] = {
        code: pd.Series(rng.normal(0.0003, 0.013, n_days), index=dates, name=code)
        for code in ("000300", "000905", "000852")
    }
    BinaryPreparedDataStore(path).write({"version": 1, "meta": {}, "data": data})

    # Weekly rebalance onto HELD of CANDIDATES stocks, weights carried between.
    picked = np.sort(rng.choice(n_stocks, min(CANDIDATES, n_stocks), replace=False))
    weekly = np.full((-(-n_days // 5), picked.size), np.nan)
    for week in weekly:
        chosen = rng.choice(picked.size, min(HELD, picked.size), replace=False)
        w = rng.uniform(0.5, 1.5, chosen.size)
        week[chosen] = w / w.sum()
    weights = np.repeat(weekly, 5, axis=0)[:n_days]
    return pd.DataFrame(weights, index=dates, columns=codes[picked])


def window(weights: pd.DataFrame) -> tuple[str, str]:
    return weights.index[START_ROW], weights.index[-1]


# ---- the baseline: the pipeline read step by step in pandas -------------------------------


def baseline(service, weights, data, start, end, **_):
    first, last = normalize_yyyymmdd(start), normalize_yyyymmdd(end)
    strategy = clean_matrix(weights)
    sliced = {}
    for key, value in data.data.items():
        if key == "benchmark_dict":
            sliced[key] = {
                code: s.loc[(s.index >= first) & (s.index <= last)] for code, s in value.items()
            }
        else:
            sliced[key] = value.loc[(value.index >= first) & (value.index <= last)]
    strategy = strategy.loc[(strategy.index >= first) & (strategy.index <= last)]
    market = {name: sliced[DATASET_KEYS.get(name, name)] for name in MARKET_KEYS}
    return reference_strategy_backtest(
        strategy,
        market,
        benchmark_dict=sliced["benchmark_dict"],
        total_frame=ref_total_frame,
        strategy_stats=ref_stats,
    )


def ours(service, weights, data, start, end, plot=None, output_dir=None):
    result = service.backtest_strategy(weights, data, start, end, output_dir, "bench", plot=plot)
    return result.daily_return, result.cumulative_return, result.stats, result.benchmark_summary


RUNS = {"baseline": baseline, "ours": ours}


def check(got, want) -> float:
    """Largest difference relative to each quantity's scale; inf when shapes differ."""
    worst = 0.0
    for a, b in zip(got[:2], want[:2], strict=True):
        if not a.index.equals(b.index):
            return float("inf")
        worst = max(worst, float(np.max(np.abs(a - b)) / np.max(np.abs(b))))
    for key, value in want[2].items():
        if not np.isclose(got[2][key], value, rtol=1e-9, atol=0.0, equal_nan=True):
            return float("inf")
    try:
        pd.testing.assert_frame_equal(got[3], want[3], rtol=1e-9)
    except AssertionError:
        return float("inf")
    return worst


def load(path: Path):
    _service._DEFAULT_DATA_DIR = path
    service = _service.BacktestService(None)
    data = service.load_backtest_data()
    loaded = sum(
        v.memory_usage(index=False, deep=False).sum()
        for k, v in data.data.items()
        if k != "benchmark_dict"
    )
    return service, data, int(loaded)


def child(name: str, path: Path, weights_file: Path) -> None:
    """In a fresh interpreter: the peak memory growth of one backtest."""
    service, data, loaded = load(path)
    weights = pd.read_pickle(weights_file)
    start, end = window(weights)
    RUNS[name](service, weights.iloc[-30:], data, weights.index[-30], end)  # imports, caches
    growth = rss_growth(lambda: RUNS[name](service, weights, data, start, end))
    print(json.dumps({"growth": growth, "loaded": loaded}))


def measure_memory(name: str, path: Path, weights_file: Path) -> dict:
    return run_child("bench.strategy_backtest", name, path, weights_file)


def charts_available() -> bool:
    from mirtaly.backtest import _ravelin

    return all(hasattr(_ravelin, f) for f in ("plot_strategy_performance", "plot_weekly_net_value"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 stocks x 500 days")
    parser.add_argument("--child", nargs=3, metavar=("RUN", "STORE", "WEIGHTS"), help="internal")
    args = parser.parse_args()
    if args.child:
        child(args.child[0], Path(args.child[1]), Path(args.child[2]))
        return 0

    n_stocks, n_days = (500, 500) if args.quick else (N_STOCKS, N_DAYS)
    with tempfile.TemporaryDirectory(prefix="mirtaly-bench-") as tmp:
        store = Path(tmp) / "enviroment_data"
        started = time.perf_counter()
        weights = write_store(store, n_stocks, n_days)
        weights_file = Path(tmp) / "weights.pkl"
        weights.to_pickle(weights_file)
        gc.collect()
        print(f"store written in {time.perf_counter() - started:.1f} s")
        started = time.perf_counter()
        service, data, loaded = load(store)
        print(f"loaded with load_backtest_data in {time.perf_counter() - started:.1f} s")
        start, end = window(weights)
        print(
            f"== {n_stocks} stocks x {n_days} days loaded: {loaded / MIB:.0f} MiB; weights "
            f"{weights.shape[1]} stocks ({HELD} held a week), window {start}..{end}"
        )

        want = baseline(service, weights, data, start, end)
        diff = check(ours(service, weights, data, start, end), want)
        ok = diff <= 1e-12
        print(f"max relative difference   {diff:.3e}  ({'ok' if ok else 'FAILED'}, limit 1e-12)")
        if not ok:
            return 1

        # Wall time is the target; CPU time of this process is shown beside it,
        # as it moves less when other work shares the machine.
        times = {}
        for name, run, repeats in (("baseline", baseline, 2), ("ours", ours, 5)):
            times[name] = [
                best_of(lambda run=run: run(service, weights, data, start, end), repeats, clock)
                for clock in (time.perf_counter, time.process_time)
            ]
        (t_base, c_base), (t_ours, c_ours) = times["baseline"], times["ours"]
        ratio = t_base / t_ours
        print("                               wall         cpu")
        print(f"baseline (pandas reading)  {t_base * 1e3:8.1f} ms {c_base * 1e3:8.1f} ms")
        print(f"ours (plot=None)           {t_ours * 1e3:8.1f} ms {c_ours * 1e3:8.1f} ms")
        print(f"ratio baseline/ours        {ratio:8.1f}x    {c_base / c_ours:8.1f}x")
        if charts_available():
            out = Path(tmp) / "charts"
            out.mkdir()
            t_plot = best_of(lambda: ours(service, weights, data, start, end, "large", out), 2)
            print(f"ours with both figures     {t_plot * 1e3:10.1f} ms")
        else:
            print("ours with both figures     (the chart functions are not built yet)")

        data = service = None
        gc.collect()
        print("-- peak memory growth of one backtest, fresh interpreter")
        mem = {name: measure_memory(name, store, weights_file) for name in RUNS}
        for name, m in mem.items():
            share = m["growth"] / m["loaded"]
            print(f"{name:<26} {m['growth'] / MIB:10.1f} MiB  ({share:.1%} of the loaded data)")
        share = mem["ours"]["growth"] / mem["ours"]["loaded"]
        print("-- targets")
        print(f"ratio >= 10x              {'met' if ratio >= 10 else 'NOT MET'}")
        print(f"growth < 10% of loaded    {'met' if share < 0.10 else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
