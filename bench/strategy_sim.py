"""The strategy simulation against the memory floor, in four memory layouts.

The tests' seeded A-share-like market (suspensions and listings as NaN holes, limit-up
days that block buys, limit-down days that block sells, occasional splits and dividends,
weights on a seventh of the stocks rebalanced every fifth day and carried between) is laid
out four ways: pandas' own column-major frames, row-major frames (as a C-order store
loads), column-major weights over a row-major market, and a realistic mix left by ordinary
pandas operations (a store window, `where`, `mask`, arithmetic, and an `iloc` date window
of a column-major frame, which is a strided view). In every layout the result must agree
with the plain numpy reference to 1e-12 of the largest daily return and with the
column-major result bit for bit, or the script exits 1.

Then, per size: the one-core read floor (one pass of `np.bitwise_or.reduce` over the bytes
of all nine inputs), ours in each layout with its ratio to that floor, the reference's time
and its ratio; `calc_strategy_stats` on the weights in three layouts, against one read of
the weights; at the sizes that report it, each function's peak extra memory in a fresh
interpreter; last, two calls in a row against two threads at once.

Targets at 5000 stocks x 2500 days: every layout at most 2.0x the floor, the realistic mix
at most 15% slower than the best pure layout, at least 20x faster than the reference,
statistics in at most 10 ms, two threads at least 1.7x the throughput of one, and an extra
peak no larger than the eight aligned market arrays plus O(days).

Run from the repository root: python -m bench.strategy_sim [--quick | --largest].
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
from tests.reference_strategy import MARKET_KEYS, ref_stats, reference_vwap_daily_return

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


PAD = 20  # days before the simulated window: a date window of a frame is then a strided view
NAMES = ("signal", *MARKET_KEYS)


def realistic_mix(full: dict, rows: dict) -> dict:
    """The window's nine frames as a researcher's pandas code leaves them, values unchanged.

    Store windows stay row-major, `where`/`mask`/arithmetic make new arrays in the layout of
    their operand, and an `iloc` date window of a column-major frame is a strided view.
    """

    def window(frame):
        return frame.iloc[PAD:]

    split = rows["split_factor"]
    dividend = window(full["dividend_factor"])
    return {
        "signal": window(full["signal"]),
        "can_buy_stock": rows["can_buy_stock"],
        "cant_sell_stock": window(full["cant_sell_stock"]),
        "split_factor": split.where(split > 0),
        "dividend_factor": dividend.mask(dividend < 0),
        "close_price": rows["close_price"],
        "prev_close": window(full["prev_close"]),
        "buy_price": rows["buy_price"] * 1.0,
        "sell_price": window(full["sell_price"]) + 0.0,
    }


def layouts(n_stocks: int, n_days: int) -> dict:
    """The same nine frames over n_days in four memory layouts: label -> (signal, frames)."""
    signal, frames = build(n_stocks, n_days + PAD)
    full = dict(zip(NAMES, (signal, *frames), strict=True))
    cols = {k: f.iloc[PAD:].copy() for k, f in full.items()}
    rows = {k: row_major(f) for k, f in cols.items()}
    mix = realistic_mix(full, rows)

    def split(d):
        return d["signal"], [d[k] for k in MARKET_KEYS]

    return {
        "column-major (pandas' own)": split(cols),
        "row-major (as a C-order store loads)": split(rows),
        "column-major weights over a row-major market": (cols["signal"], split(rows)[1]),
        "realistic mix (where, mask, arithmetic, strided windows)": split(mix),
    }


def layout_of(frame: pd.DataFrame) -> str:
    a = frame.to_numpy(copy=False)
    if a.flags.c_contiguous:
        return "C"
    return "F" if a.flags.f_contiguous else "strided"


def words(frame: pd.DataFrame) -> np.ndarray:
    """A contiguous frame's bytes in memory order, as 64-bit words where they divide."""
    values = frame.to_numpy(copy=False)
    flat = values.ravel(order="K")
    if not np.shares_memory(flat, values):
        raise ValueError("the floor is read from contiguous frames only")
    return flat.view(np.uint64) if flat.nbytes % 8 == 0 else flat.view(np.uint8)


def read_floor(frames) -> float:
    """The fastest one-core pass that reads every byte of ``frames``."""
    data = [words(f) for f in frames]
    return best_of(lambda: [np.bitwise_or.reduce(w) for w in data], 7)


def ours():
    from mirtaly.backtest._ravelin import calc_strategy_vwap_daily_return

    return calc_strategy_vwap_daily_return


FUNCTIONS = {"reference": lambda: reference_vwap_daily_return, "ours": ours}


def best_of(fn, repeats: int, clock=time.perf_counter) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = clock()
        fn()
        best = min(best, clock() - start)
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


def bench_size(n_stocks: int, n_days: int, fn) -> tuple | None:
    """Checks and times every layout at one size; (column-major frames, result) or None."""
    print(f"\n== {n_stocks} stocks x {n_days} days")
    cases = layouts(n_stocks, n_days)
    (label0, (signal, frames)), *_ = cases.items()
    want = reference_vwap_daily_return(signal, *frames, **SCALARS)
    first = fn(signal, *frames, **SCALARS)
    for label, (sig, frs) in cases.items():
        got = fn(sig, *frs, **SCALARS)
        diff = rel_diff(got, want)
        same = np.array_equal(got.to_numpy(), first.to_numpy(), equal_nan=True)
        if diff > 1e-12 or not same:
            print(f"{label}: difference {diff:.3e}, bits as column-major: {same}  FAILED")
            return None
    print("results: every layout within 1e-12 of the reference and identical to column-major")
    mix = cases[list(cases)[-1]]
    print("realistic mix layouts:", ", ".join(f"{layout_of(f)}" for f in (mix[0], *mix[1])))

    floor = read_floor([signal, *frames])
    print(f"one-core read of the nine inputs        {floor * 1e3:8.1f} ms")
    times = {}
    for label, (sig, frs) in cases.items():
        times[label] = best_of(lambda sig=sig, frs=frs: fn(sig, *frs, **SCALARS), 5)
        print(f"ours, {label:<56} {times[label] * 1e3:8.1f} ms  {times[label] / floor:5.2f}x floor")
    repeats = 3 if n_stocks * n_days <= 4_000_000 else 2
    t_ref = best_of(lambda: reference_vwap_daily_return(signal, *frames, **SCALARS), repeats)
    ratio = t_ref / times[label0]
    print(f"reference (numpy, day by day), {label0}: {t_ref * 1e3:.1f} ms, {ratio:.1f}x ours")

    signals = {layout_of(c[0]): c[0] for c in cases.values()}
    stats_time = bench_stats(want, signals)
    if stats_time is None:
        return None

    print("-- peak extra memory of one call, fresh interpreter, column-major frames")
    arrays = n_days * n_stocks * (6 * 8 + 2 * 1)
    mem = {name: measure_memory(name, n_stocks, n_days) for name in ("reference", "ours")}
    print(f"eight market arrays       {arrays / MIB:10.1f} MiB")
    for name, m in mem.items():
        print(
            f"{name:<25} {m['rss'] / MIB:10.1f} MiB RSS  {m['traced'] / MIB:8.1f} MiB tracemalloc"
        )
    if (n_stocks, n_days) == SIZES[-1]:
        pure = min(times[label] for label in list(cases)[:2])
        print("-- targets at this size")
        for label, t in times.items():
            met = t <= 2.0 * floor
            print(f"{label:<58} <= 2.0x floor: {'met' if met else 'NOT MET'}")
        met = times[list(cases)[-1]] <= 1.15 * pure
        print(f"realistic mix within 15% of the best pure layout: {'met' if met else 'NOT MET'}")
        print(f"ratio to the reference >= 20x: {'met' if ratio >= 20 else 'NOT MET'}")
        print(f"statistics <= 10 ms: {'met' if stats_time <= 0.010 else 'NOT MET'}")
        # O(days): a few float64 per day, plus 2 MiB for allocator granularity.
        bound = arrays + 16 * 8 * n_days + 2 * MIB
        met = mem["ours"]["rss"] <= bound
        print(f"extra peak <= {bound / MIB:.1f} MiB: {'met' if met else 'NOT MET'}")
    return (signal, frames, want)


def bench_stats(daily: pd.Series, signals: dict) -> float | None:
    """calc_strategy_stats on a total frame of ``daily`` and each weight layout; worst time."""
    from mirtaly.backtest._ravelin import _build_total_backtesting_frame, calc_strategy_stats

    rng = np.random.default_rng(len(daily))
    benchmark = pd.Series(rng.normal(0.0003, 0.013, len(daily)), index=daily.index)
    joined = pd.DataFrame({"daily_return": daily, "index_daily_return": benchmark})
    total = _build_total_backtesting_frame(joined)
    want = None
    floor = read_floor([next(iter(signals.values()))])
    print(f"one-core read of the weights            {floor * 1e3:8.1f} ms")
    worst = 0.0
    for label, signal in signals.items():
        if want is None:
            want = ref_stats(total, signal)
        got = calc_strategy_stats(total, signal)
        bad = [k for k, v in want.items() if not np.isclose(got[k], v, rtol=1e-12, equal_nan=True)]
        if bad:
            print(f"statistics on {label}: {bad} differ from the reference  FAILED")
            return None
        t = best_of(lambda signal=signal: calc_strategy_stats(total, signal), 7)
        worst = max(worst, t)
        print(f"calc_strategy_stats, {label + ' weights':<33} {t * 1e3:8.1f} ms")
    return worst


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
    parser.add_argument("--largest", action="store_true", help="the largest size only")
    parser.add_argument("--child", nargs=3, metavar=("FUNC", "STOCKS", "DAYS"), help="internal")
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]))
        return 0

    fn = ours()
    sizes = SIZES[:1] if args.quick else SIZES[-1:] if args.largest else SIZES
    thread_size = THREAD_SIZE if THREAD_SIZE in sizes else sizes[0]
    kept = None
    for size in sizes:
        checked = bench_size(*size, fn)
        if checked is None:
            return 1
        if size == thread_size:
            kept = checked
        del checked
        gc.collect()
    return 0 if bench_threads(*thread_size, fn, *kept) else 1


if __name__ == "__main__":
    sys.exit(main())
