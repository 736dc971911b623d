"""Many strategy backtests from one call: one after another in one process, on the
default process pool with 2 workers and on a Dask LocalCluster with 2 worker processes.

A sandbox market of 3000 stocks x 1250 sessions is prepared and stored in a temporary
directory (never the user's home) and loaded once. 200 strategies (20 distinct momentum
weight tables, each under 10 names) are backtested without charts (plot=None). The pool's
and the cluster's results must equal the sequential ones exactly (or the script exits 1);
then the three wall times and the throughput ratios are printed.

Memory: while a many-backtest call runs, each worker process's private resident memory
(RssAnon: its heap and anything it copied; the shared data files it maps are RssShmem) is
sampled, and its peak growth is set against the size of the loaded data, counted from what
a worker holds before its first backtest (a pool worker forked from the server that
imported the modules, after one trivial task; a Dask worker after importing them).

Targets: at least 1.7x the sequential throughput on either executor; each worker's
growth under 25% of the data's size.
"""

import argparse
import concurrent.futures as cf
import importlib
import multiprocessing.forkserver
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import psutil
from bench.strategy_sim import MIB, rss_growth
from distributed import Client, LocalCluster
from mirtaly.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder

import mirtaly
from mirtaly import many, singleton
from mirtaly.api import get_service
from mirtaly.backtest import _service
from mirtaly.sandbox import generate_market

WORKERS = 2
TARGET_RATIO = 1.7
TARGET_GROWTH = 0.25


def prepare(directory: Path, n_stocks: int, sessions: int):
    market = generate_market(n_stocks, sessions=sessions, seed=5, end="2025-06-30")
    previous = singleton.set_instance(market.client())
    try:
        payload = GroupPreparedDataBuilder(market.date_labels[0], market.date_labels[-1]).build()
    finally:
        singleton.set_instance(previous)
    BinaryPreparedDataStore(directory).write(payload)
    _service._DEFAULT_DATA_DIR = directory
    return mirtaly.load_backtest_data()


def weight_tables(data, count: int) -> list[pd.DataFrame]:
    """Equal weights on the top slice of stocks by momentum, over several look-backs."""
    close = data.data["close_price"]
    tables = []
    for k in range(count):
        days, share = (5, 10, 20, 60)[k % 4], (0.02, 0.05, 0.1, 0.2, 0.3)[k // 4 % 5]
        rank = close.pct_change(days, fill_method=None).rank(axis=1, pct=True)
        top = rank > 1.0 - share
        tables.append(top.astype(float).div(top.sum(axis=1), axis=0).where(top))
    return tables


def same(got, want) -> bool:
    try:
        pd.testing.assert_series_equal(got.daily_return, want.daily_return, check_exact=True)
        pd.testing.assert_frame_equal(
            got.benchmark_summary, want.benchmark_summary, check_exact=True
        )
    except AssertionError:
        return False
    return np.array_equal(list(got.stats.values()), list(want.stats.values()), equal_nan=True)


def memory_kib(pid: int | None = None) -> dict[str, int]:
    """RssAnon (private: heap, copies) and RssShmem (shared files mapped) of a process."""
    status = Path(f"/proc/{pid or 'self'}/status").read_text().splitlines()
    fields = dict(line.split(":", 1) for line in status if line.startswith(("RssAnon", "RssShmem")))
    return {key: int(value.split()[0]) * 1024 for key, value in fields.items()}


class Sampler:
    """Peak private and shared resident memory and the CPU time of some processes,
    sampled on a thread."""

    def __init__(self, find_pids, interval: float = 0.1):
        self.find_pids, self.interval = find_pids, interval
        self.peak: dict[int, dict[str, int]] = {}
        self.cpu: dict[int, float] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.wait(self.interval):
            for pid in self.find_pids():
                try:
                    now = memory_kib(pid)
                    times = psutil.Process(pid).cpu_times()
                except (OSError, psutil.Error):
                    continue
                self.cpu[pid] = times.user + times.system
                peak = self.peak.setdefault(pid, now)
                for key, value in now.items():
                    peak[key] = max(peak[key], value)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def pool_workers() -> list[int]:
    server = multiprocessing.forkserver._forkserver._forkserver_pid
    if server is None:
        return []
    try:
        return [p.pid for p in psutil.Process(server).children()]
    except psutil.Error:
        return []


def warm_up() -> None:
    """Imports what the pool's fork server imports before forking its workers."""
    for name in many._PRELOAD:
        importlib.import_module(name)


def private_memory() -> int:
    return memory_kib()["RssAnon"]


def cpu_seconds() -> float:
    times = psutil.Process().cpu_times()
    return times.user + times.system


def report_memory(label: str, peaks: dict, baseline: dict, loaded: int) -> float:
    worst = 0.0
    for pid, peak in sorted(peaks.items()):
        growth = peak["RssAnon"] - baseline[pid]
        worst = max(worst, growth / loaded)
        print(
            f"  {label} worker {pid}: private growth {growth / MIB:7.1f} MiB "
            f"({growth / loaded:5.1%} of the data); shared data mapped "
            f"{peak['RssShmem'] / MIB:5.0f} MiB"
        )
    return worst


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 stocks x 250 sessions, 20 runs")
    args = parser.parse_args()
    n_stocks, sessions, runs, distinct = (500, 250, 20, 4) if args.quick else (3000, 1250, 200, 20)
    # The default pool takes every core; the comparison is with two.
    many._cores = lambda: WORKERS
    print(f"load average at start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

    with tempfile.TemporaryDirectory(prefix="mirtaly-bench-") as tmp:
        started = time.perf_counter()
        data = prepare(Path(tmp) / "enviroment_data", n_stocks, sessions)
        loaded = sum(v.to_numpy().nbytes for k, v in data.data.items() if k != "benchmark_dict")
        tables = weight_tables(data, distinct)
        strategies = {f"s{i:03d}": tables[i % distinct] for i in range(runs)}
        dates = data.data["close_price"].index
        start, end = dates[sessions // 5], dates[-1]
        print(
            f"{n_stocks} stocks x {sessions} sessions, {loaded / MIB:.0f} MiB loaded, "
            f"{runs} strategies ({distinct} distinct tables), prepared in "
            f"{time.perf_counter() - started:.1f} s"
        )

        service = get_service()

        def one(weights, name="one"):
            return service.backtest_strategy(weights, data, start, end, None, name, plot=None)

        one(tables[0])
        own_peak = rss_growth(lambda: one(tables[0]))
        started, cpu = time.perf_counter(), cpu_seconds()
        want = {name: one(weights, name) for name, weights in strategies.items()}
        t_seq, c_seq = time.perf_counter() - started, cpu_seconds() - cpu

        with Sampler(pool_workers) as pool_memory:
            started, cpu = time.perf_counter(), cpu_seconds()
            on_pool, _ = mirtaly.backtest_strategy_many(
                strategies, data, start, end, None, plot=None
            )
            t_pool, c_pool = time.perf_counter() - started, cpu_seconds() - cpu

        # What a forked worker holds privately before it backtests anything.
        with cf.ProcessPoolExecutor(1, mp_context=many._pool_context()) as idle:
            pool_baseline = idle.submit(private_memory).result()

        with (
            LocalCluster(
                n_workers=WORKERS,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=":0",
            ) as cluster,
            Client(cluster) as client,
        ):
            client.run(warm_up)
            pid_of, anon_of = client.run(os.getpid), client.run(private_memory)
            baseline = {pid_of[worker]: anon_of[worker] for worker in pid_of}
            cpu_before = client.run(cpu_seconds)
            with Sampler(lambda: list(baseline)) as dask_memory:
                started, cpu = time.perf_counter(), cpu_seconds()
                on_dask, _ = mirtaly.backtest_strategy_many(
                    strategies, data, start, end, None, executor=client, plot=None
                )
                t_dask, c_dask = time.perf_counter() - started, cpu_seconds() - cpu
            cpu_after = client.run(cpu_seconds)
            c_dask_workers = sum(cpu_after[w] - cpu_before[w] for w in cpu_after)

        for label, got in (("pool", on_pool), ("dask", on_dask)):
            bad = [name for name in strategies if not same(got[name], want[name])]
            if bad:
                print(f"{label}: results differ from the sequential ones for {bad[:5]}")
                return 1
        print("pool and Dask results equal the sequential ones exactly")

        r_pool, r_dask = t_seq / t_pool, t_seq / t_dask
        c_pool_workers = sum(pool_memory.cpu.values())
        print("                          wall       ratio   CPU a run (workers + caller)")
        print(f"one after another      {t_seq:8.2f} s            {c_seq / runs * 1e3:6.0f} ms")
        for label, wall, ratio, workers, caller in (
            (f"default pool, {WORKERS} wkrs", t_pool, r_pool, c_pool_workers, c_pool),
            (f"Dask cluster, {WORKERS} wkrs", t_dask, r_dask, c_dask_workers, c_dask),
        ):
            per_run = [c / runs * 1e3 for c in (workers + caller, workers, caller)]
            print(
                f"{label:<22} {wall:8.2f} s  {ratio:5.2f}x   {per_run[0]:6.0f} ms"
                f" ({per_run[1]:.0f} + {per_run[2]:.0f})"
            )
        print(
            f"-- private memory of the workers (data {loaded / MIB:.0f} MiB; one backtest in "
            f"this process peaks at +{own_peak / MIB:.0f} MiB, {own_peak / loaded:.1%})"
        )
        worst = max(
            report_memory(
                "pool", pool_memory.peak, dict.fromkeys(pool_memory.peak, pool_baseline), loaded
            ),
            report_memory("dask", dask_memory.peak, baseline, loaded),
        )
    print(f"load average at end: {os.getloadavg()[0]:.1f}")
    print("-- targets")
    met = min(r_pool, r_dask) >= TARGET_RATIO
    print(f"throughput >= {TARGET_RATIO}x on both          {'met' if met else 'NOT MET'}")
    met = worst < TARGET_GROWTH
    print(f"worker growth < {TARGET_GROWTH:.0%} of data       {'met' if met else 'NOT MET'}")
    beyond = worst - own_peak / loaded
    print(
        f"  beyond one backtest's own peak: {beyond:.1%} of data "
        f"({'met' if beyond < TARGET_GROWTH else 'NOT MET'})"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
