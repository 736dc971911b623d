"""The strategy simulation: the compiled daily loop versus the plain numpy reference.

The tests' seeded A-share-like market (suspensions and listings as NaN holes, limit-up
days that block buys, limit-down days that block sells, occasional splits and dividends,
weights on a seventh of the stocks rebalanced every fifth day and carried between), over
column-major arrays, is simulated by both on the same frames.
Results must agree to 1e-12 of the largest daily return, or the script exits 1. Then,
per size: best-of times and their ratio, and each function's peak extra memory measured
in a fresh interpreter (kernel peak RSS and tracemalloc); last, two calls in a row
against two threads at once.

Run from the repository root: python -m bench.strategy_sim [--quick].

Targets: at 5000 stocks x 2500 days, at least 20x faster than the reference, with an
extra peak no larger than the eight aligned market arrays plus O(days).
"""

import argparse
import ctypes
import gc
import json
import subprocess
import sys
import threading
import time
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd
from tests.conftest import random_market
from tests.reference_strategy import MARKET_KEYS, reference_vwap_daily_return

# Run from the repository root as a module (python -m bench.strategy_sim), so that the
# tests' market and reference readings import as the tests package's modules.
ROOT = Path(__file__).resolve().parent.parent

SIZES = [(300, 250), (3000, 1250), (5000, 2500)]  # stocks x days
THREAD_SIZE = SIZES[-1]  # one of SIZES: its frames are reused
SCALARS = {"total_money": 1e8, "fee": 0.0001, "rule_fee": 0.0005, "lot_size": 200}
MIB = 1024 * 1024


def build(n_stocks: int, n_days: int, seed: int = 20240102):
    """The signal frame and the eight market frames (in MARKET_KEYS order) of the tests'
    random market, over column-major arrays (pandas' own layout), with weights every day."""
    signal, market = random_market(
        seed + 7919 * n_stocks + n_days, n_days, n_stocks, column_major=True, empty_days=False
    )
    return signal, [market[k] for k in MARKET_KEYS]


def row_major(frame: pd.DataFrame) -> pd.DataFrame:
    """The same frame over a C-order array, as a C-order .npy file loads."""
    values = np.ascontiguousarray(frame.to_numpy())
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def ours():
    from mirtaly.backtest._ravelin import calc_strategy_vwap_daily_return

    return calc_strategy_vwap_daily_return


FUNCTIONS = {"reference": lambda: reference_vwap_daily_return, "ours": ours}


def best_of(fn, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def rel_diff(got: pd.Series, want: pd.Series) -> float:
    if not got.index.equals(want.index):
        return float("inf")
    scale = np.nanmax(np.abs(want.to_numpy()))
    diff = np.abs(got.to_numpy() - want.to_numpy())
    if np.isnan(diff).any() and not np.array_equal(np.isnan(got), np.isnan(want)):
        return float("inf")
    return float(np.nanmax(diff) / scale) if diff.size else 0.0


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def rss_growth(call) -> int:
    """Bytes by which the peak resident size rises during ``call()``."""
    gc.collect()
    try:  # hand freed heap back, so that reuse of it cannot hide a peak
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    Path("/proc/self/clear_refs").write_text("5")
    before = status_kib("VmRSS")
    call()
    return (status_kib("VmHWM") - before) * 1024


def child(name: str, n_stocks: int, n_days: int) -> None:
    """Runs in a fresh interpreter: the peak extra memory of one call."""
    fn = FUNCTIONS[name]()
    signal, frames = build(n_stocks, n_days)
    small_signal, small_frames = build(20, 12)
    fn(small_signal, *small_frames, **SCALARS)  # first-call imports and caches out of the way
    del small_signal, small_frames
    rss = rss_growth(lambda: fn(signal, *frames, **SCALARS))
    gc.collect()
    tracemalloc.start()
    fn(signal, *frames, **SCALARS)
    traced = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(json.dumps({"rss": rss, "traced": traced}))


def run_child(module: str, *args) -> dict:
    """Runs ``python -m module --child *args`` in a fresh interpreter; its last line, as JSON."""
    cmd = [sys.executable, "-m", module, "--child", *map(str, args)]
    proc = subprocess.run(cmd, capture_output=True, text=True, check=True, cwd=ROOT)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measure_memory(name: str, n_stocks: int, n_days: int) -> dict:
    return run_child("bench.strategy_sim", name, n_stocks, n_days)


def compare_and_time(label: str, fn, signal, frames, want) -> float | None:
    """Checks ``fn`` against the reference result, then times both; the ratio, or None."""
    print(f"-- {label}")
    diff = rel_diff(fn(signal, *frames, **SCALARS), want)
    ok = diff <= 1e-12
    print(f"max relative difference   {diff:.3e}  ({'ok' if ok else 'FAILED'}, limit 1e-12)")
    if not ok:
        return None
    n_days, n_stocks = signal.shape
    ref_repeats = 3 if n_stocks * n_days <= 4_000_000 else 2
    t_ref = best_of(lambda: reference_vwap_daily_return(signal, *frames, **SCALARS), ref_repeats)
    t_ours = best_of(lambda: fn(signal, *frames, **SCALARS), 5)
    ratio = t_ref / t_ours
    print(f"reference                 {t_ref * 1e3:10.1f} ms")
    print(f"ours                      {t_ours * 1e3:10.1f} ms")
    print(f"ratio reference/ours      {ratio:10.1f}x")
    return ratio


def bench_size(n_stocks: int, n_days: int, fn, signal, frames, want) -> bool:
    print(f"\n== {n_stocks} stocks x {n_days} days")
    largest = (n_stocks, n_days) == SIZES[-1]
    ratio = compare_and_time("column-major frames (pandas' own layout)", fn, signal, frames, want)
    if ratio is None:
        return False
    row_ratio = None
    if largest:
        row_signal, row_frames = row_major(signal), [row_major(f) for f in frames]
        label = "row-major frames (C-order arrays, as a C-order .npy loads)"
        row_ratio = compare_and_time(label, fn, row_signal, row_frames, want)
        label = "column-major weights, row-major market (a pandas signal over a C-order store)"
        mixed_ratio = compare_and_time(label, fn, signal, row_frames, want)
        # No implementation can beat one pass over its inputs.
        inputs = [row_signal.to_numpy(), *(f.to_numpy() for f in row_frames)]
        floor = best_of(lambda: [a.sum() for a in inputs], 3)
        print(f"-- one read of the nine inputs (numpy sum): {floor * 1e3:.1f} ms")
        del row_signal, row_frames, inputs
        gc.collect()
        if row_ratio is None or mixed_ratio is None:
            return False

    print("-- peak extra memory of one call, fresh interpreter, column-major frames")
    arrays = n_days * n_stocks * (6 * 8 + 2 * 1)
    mem = {name: measure_memory(name, n_stocks, n_days) for name in ("reference", "ours")}
    print(f"eight market arrays       {arrays / MIB:10.1f} MiB")
    for name, m in mem.items():
        print(
            f"{name:<25} {m['rss'] / MIB:10.1f} MiB RSS  {m['traced'] / MIB:8.1f} MiB tracemalloc"
        )
    if largest:
        # O(days): a few float64 per day, plus 2 MiB for allocator granularity.
        bound = arrays + 16 * 8 * n_days + 2 * MIB
        print("-- targets at this size")
        print(f"ratio >= 20x, column-major       {'met' if ratio >= 20 else 'NOT MET'}")
        print(f"ratio >= 20x, row-major          {'met' if row_ratio >= 20 else 'NOT MET'}")
        mem_ok = mem["ours"]["rss"] <= bound
        print(f"extra peak <= {bound / MIB:.1f} MiB        {'met' if mem_ok else 'NOT MET'}")
    return True


def bench_threads(n_stocks: int, n_days: int, fn, signal, frames, want) -> bool:
    print(f"\n== two calls: in a row versus two threads, {n_stocks} stocks x {n_days} days")
    results = []

    def call():
        results.append(fn(signal, *frames, **SCALARS))

    def in_a_row():
        call()
        call()

    def two_threads():
        threads = [threading.Thread(target=call) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_serial = t_parallel = float("inf")
    for _ in range(3):  # alternated, best of each
        t_serial = min(t_serial, best_of(in_a_row, 1))
        t_parallel = min(t_parallel, best_of(two_threads, 1))

    diffs = [rel_diff(out, want) for out in results]
    ok = len(results) == 12 and all(d <= 1e-12 for d in diffs)
    print(f"results match reference   {'ok' if ok else 'FAILED'} (max {max(diffs):.3e})")
    print(f"two calls in a row        {t_serial * 1e3:10.1f} ms")
    print(f"two threads at once       {t_parallel * 1e3:10.1f} ms")
    print(f"speed-up                  {t_serial / t_parallel:10.2f}x")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the smallest size only")
    parser.add_argument("--child", nargs=3, metavar=("FUNC", "STOCKS", "DAYS"), help="internal")
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]))
        return 0

    fn = ours()
    sizes = SIZES[:1] if args.quick else SIZES
    thread_size = sizes[0] if args.quick else THREAD_SIZE
    kept = None
    for size in sizes:
        signal, frames = build(*size)
        want = reference_vwap_daily_return(signal, *frames, **SCALARS)
        if not bench_size(*size, fn, signal, frames, want):
            return 1
        if size == thread_size:
            kept = signal, frames, want
        del signal, frames, want
        gc.collect()
    return 0 if bench_threads(*thread_size, fn, *kept) else 1


if __name__ == "__main__":
    sys.exit(main())
