"""Many backtests from one call: one after another in one process, on the default
executor over 2 cores (this process runs backtests beside a pool of one worker), on a plain
pool of 2 worker processes (for comparison) and on a Dask LocalCluster with 2 worker processes.

A sandbox market of 3000 stocks x 1250 sessions is prepared and stored in a temporary
directory (never the user's home) and loaded once. 200 factor backtests (20 distinct
momentum factors, each under 10 names; the service always draws their figure) and 200
strategy backtests (20 distinct momentum weight tables; plot=None) are run each way. The
pool's and the cluster's results must equal the sequential ones exactly (or the script
exits 1); then the wall times, throughput ratios and CPU time a run are printed. The Dask
cluster is up only around its own runs: a LocalCluster's scheduler is a thread of this
process, which slowed every run made here by about 6% while it stood.

Memory: while a many-backtest call runs, each worker process's private resident memory
(RssAnon: its heap and anything it copied, not the shared data files it maps) is sampled,
and its peak growth is set against the size of the loaded data, counted from what a worker
holds before: a pool worker forked from the server that imported the modules, after one
small factor and strategy backtest with figures (the fonts and renderer any drawing worker
keeps); a Dask worker as it stands before the call, after the same. Beside it, the peak
growth of one such backtest run in this process: the working memory any backtest needs.

Beside them, each kind's ceiling: two processes running such backtests back to back with
no executor in between, against one; the runs share the caches and the memory bus, so
this is the most any executor reaches for that work on this machine.

Targets: at least 1.7x the sequential throughput on either executor; each worker's
growth under 25% of the data's size.
"""

import argparse
import concurrent.futures as cf
import contextlib
import dataclasses
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
from mirtaly import _shared, many, singleton
from mirtaly.api import get_service
from mirtaly.backtest import _service
from mirtaly.backtest.result import BacktestData
from mirtaly.sandbox import generate_market

WORKERS = 2
TARGET_RATIO = 1.7
TARGET_GROWTH = 0.25


def payload_of(n_stocks: int, sessions: int) -> dict:
    market = generate_market(n_stocks, sessions=sessions, seed=5, end="2025-06-30")
    previous = singleton.set_instance(market.client())
    try:
        return GroupPreparedDataBuilder(market.date_labels[0], market.date_labels[-1]).build()
    finally:
        singleton.set_instance(previous)


def prepare(directory: Path, n_stocks: int, sessions: int):
    BinaryPreparedDataStore(directory).write(payload_of(n_stocks, sessions))
    _service._DEFAULT_DATA_DIR = directory
    return mirtaly.load_backtest_data()


def tables_of(data, count: int) -> tuple[list[pd.DataFrame], list[pd.DataFrame]]:
    """Momentum over several look-backs as factors, and equal weights on the top slice
    of stocks by momentum as strategies."""
    close = data.data["close_price"]
    factors, weights = [], []
    for k in range(count):
        days, share = (5, 10, 20, 60)[k % 4], (0.02, 0.05, 0.1, 0.2, 0.3)[k // 4 % 5]
        factor = close.pct_change(days + k // 4, fill_method=None)
        top = factor.rank(axis=1, pct=True) > 1.0 - share
        factors.append(factor)
        weights.append(top.astype(float).div(top.sum(axis=1), axis=0).where(top))
    return factors, weights


def same(got, want) -> bool:
    """Every field of the result records equal, exactly."""
    for field in dataclasses.fields(want):
        a, b = getattr(got, field.name), getattr(want, field.name)
        try:
            if isinstance(b, pd.DataFrame):
                pd.testing.assert_frame_equal(a, b, check_exact=True)
            elif isinstance(b, pd.Series):
                pd.testing.assert_series_equal(a, b, check_exact=True)
            elif isinstance(b, dict):
                np.testing.assert_array_equal(list(a.items()), list(b.items()))
            elif a != b:
                return False
        except AssertionError:
            return False
    return True


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


@contextlib.contextmanager
def dask_client(tiny, charts):
    """A LocalCluster of two worker processes that have drawn once. Started only around
    the Dask runs: its scheduler runs in this process and would slow the others."""
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
        client.run(drawn_once, tiny, charts)
        yield client


def pool_workers() -> list[int]:
    """The default pool's workers (the default pool starts them as it needs them)."""
    pool = many._DEFAULT_POOL._pool
    processes = pool._processes if pool is not None else None
    return list(processes.copy()) if processes else []


def drawn_once(tiny, output_dir) -> int:
    """A worker's private memory after one small factor and strategy backtest with their
    figures: what any worker holds once it has drawn (fonts, renderer), data aside."""
    service = get_service()
    close = tiny.data["close_price"]
    factor = close.pct_change(5, fill_method=None)
    weights = factor.rank(axis=1, pct=True).where(lambda rank: rank > 0.8) * 0.0 + 0.2
    dates = close.index
    service.backtest(factor, tiny, dates[10], dates[-1], output_dir, "tiny", group_num=2)
    service.backtest_strategy(weights, tiny, dates[10], dates[-1], output_dir, "tiny")
    return private_memory()


def private_memory(pid: int | None = None) -> int:
    return memory_kib(pid)["RssAnon"]


def cpu_seconds(pid: int | None = None) -> float:
    times = psutil.Process(pid).cpu_times()
    return times.user + times.system


def spin(n: int) -> int:
    total = 0
    for i in range(n):
        total += i
    return total


def parallel_capacity(loops: int = 10_000_000) -> float:
    """What two processes of pure Python arithmetic gain over one after the other on this
    machine right now (2.0 on two idle cores): the ceiling for the ratios below."""
    with cf.ProcessPoolExecutor(WORKERS, mp_context=many._pool_context()) as pool:
        list(pool.map(spin, [1] * WORKERS))
        started = time.perf_counter()
        for _ in range(WORKERS):
            pool.submit(spin, loops).result()
        one_by_one = time.perf_counter() - started
        started = time.perf_counter()
        list(pool.map(spin, [loops] * WORKERS))
        return one_by_one / (time.perf_counter() - started)


def back_to_back(kind, handle, items, start, end, output_dir, options) -> float:
    """Seconds one process takes to run ``items`` one after another, dispatching nothing."""
    many._run_tasks(kind, handle, items[:1], start, end, output_dir, options)  # maps the data
    started = time.perf_counter()
    outcomes = many._run_tasks(kind, handle, items, start, end, output_dir, options)
    elapsed = time.perf_counter() - started
    failed = [o for o, _, _ in outcomes if isinstance(o, BaseException)]
    if failed:
        raise failed[0]
    return elapsed


def side_by_side(kind, data, tables, start, end, output_dir, options, runs: int) -> float:
    """What two processes running ``runs`` of these backtests back to back, with no
    executor in between, gain over one (the best of three tries of each): the most any
    executor can reach for this work here, where the runs share the caches and the
    memory bus."""
    distinct = list({id(t): t for t in tables.values()}.values())[:4]
    with (
        _shared.SharedSession(data, len(distinct)) as session,
        cf.ProcessPoolExecutor(WORKERS, mp_context=many._pool_context()) as pool,
    ):
        refs = [session.put(i, table) for i, table in enumerate(distinct)]
        items = [(f"side{i}", refs[i % len(refs)]) for i in range(runs)]
        args = (kind, session.handle, items, start, end, output_dir, options)
        one = both = np.inf
        for _ in range(3):
            one = min(one, pool.submit(back_to_back, *args).result())
            tries = [pool.submit(back_to_back, *args) for _ in range(WORKERS)]
            both = min(both, max(f.result() for f in tries))
    return WORKERS * one / both


class Modes:
    """Runs one kind of backtest each way and keeps times, CPU and worker memory."""

    def __init__(self, data, start, end, tiny, charts):
        self.data, self.start, self.end = data, start, end
        self.tiny, self.charts = tiny, charts
        # What a forked pool worker holds before its first run: after a trivial task, or
        # after drawing once (fonts, renderer) for the kinds that draw.
        with cf.ProcessPoolExecutor(1, mp_context=many._pool_context()) as idle:
            self.pool_baseline = {
                False: idle.submit(private_memory).result(),
                True: idle.submit(drawn_once, tiny, charts).result(),
            }
        # (label, pid, peak private growth, one backtest's own peak in this process)
        self.growth: list[tuple[str, int, int, int]] = []
        self.ratios: list[float] = []
        self._plain: cf.ProcessPoolExecutor | None = None

    def plain_pool(self) -> cf.ProcessPoolExecutor:
        if self._plain is None:
            self._plain = cf.ProcessPoolExecutor(WORKERS, mp_context=many._pool_context())
            list(self._plain.map(private_memory, [None] * WORKERS))  # started
        return self._plain

    def run(self, label, tables, single, run_many, output_dir, options) -> list[str] | None:
        data, start, end = self.data, self.start, self.end
        runs = len(tables)
        first = tables[next(iter(tables))]
        single(first, data, start, end, output_dir, "warm", **options)
        own = rss_growth(lambda: single(first, data, start, end, output_dir, "own", **options))
        started, cpu = time.perf_counter(), cpu_seconds()
        want = {
            name: single(table, data, start, end, output_dir, name, **options)
            for name, table in tables.items()
        }
        t_seq, c_seq = time.perf_counter() - started, cpu_seconds() - cpu
        rows = [(f"{label}: one after another", t_seq, c_seq, None, False)]

        # The default pool outlives a call: workers an earlier call started are counted
        # from where they stand now, new ones from a fresh worker's footprint.
        fresh = self.pool_baseline[options.get("plot", "long") is not None]
        standing = {pid: (private_memory(pid), cpu_seconds(pid)) for pid in pool_workers()}
        with Sampler(pool_workers) as memory:
            started, cpu = time.perf_counter(), cpu_seconds()
            got_pool, _ = run_many(tables, data, start, end, output_dir, **options)
            elapsed, caller = time.perf_counter() - started, cpu_seconds() - cpu
        workers = sum(t - standing.get(pid, (0, 0.0))[1] for pid, t in memory.cpu.items())
        rows.append((f"{label}: default (caller+1)", elapsed, caller, workers, True))
        for pid, peak in memory.peak.items():
            baseline = standing.get(pid, (fresh, 0.0))[0]
            self.growth.append((f"{label} pool", pid, peak["RssAnon"] - baseline, own))

        # The same runs on a plain pool of two workers, which the caller only feeds.
        plain = self.plain_pool()
        before = {pid: cpu_seconds(pid) for pid in plain._processes}
        started, cpu = time.perf_counter(), cpu_seconds()
        got_plain, _ = run_many(tables, data, start, end, output_dir, executor=plain, **options)
        elapsed, caller = time.perf_counter() - started, cpu_seconds() - cpu
        workers = sum(cpu_seconds(pid) - before.get(pid, 0.0) for pid in plain._processes)
        rows.append((f"{label}: pool of 2, no caller", elapsed, caller, workers, False))

        with dask_client(self.tiny, self.charts) as client:
            before = client.run(cpu_seconds)
            # Counted from where each worker stands now, after drawing once.
            pid_of, anon_of = client.run(os.getpid), client.run(private_memory)
            baseline = {pid_of[worker]: anon_of[worker] for worker in pid_of}
            with Sampler(lambda: list(baseline)) as memory:
                started, cpu = time.perf_counter(), cpu_seconds()
                got_dask, _ = run_many(
                    tables, data, start, end, output_dir, executor=client, **options
                )
                elapsed, caller = time.perf_counter() - started, cpu_seconds() - cpu
            after = client.run(cpu_seconds)
        workers = sum(after[w] - before[w] for w in after)
        rows.append((f"{label}: Dask cluster", elapsed, caller, workers, True))
        for pid, peak in memory.peak.items():
            self.growth.append((f"{label} dask", pid, peak["RssAnon"] - baseline[pid], own))

        kind = "factor" if run_many is mirtaly.backtest_many else "strategy"
        # About three seconds of runs for each measurement: shorter ones are noise here.
        runs_each = max(3, min(200, round(3 * runs / t_seq)))
        ceiling = side_by_side(kind, data, tables, start, end, output_dir, options, runs_each)

        for how, got in (("pool", got_pool), ("plain pool", got_plain), ("dask", got_dask)):
            bad = [name for name in tables if not same(got[name], want[name])]
            if bad:
                print(f"{label} on the {how}: results differ from the sequential ones: {bad[:5]}")
                return None
        lines = []
        for name, wall, caller, workers, targeted in rows:
            ratio = t_seq / wall
            cpu = (caller + (workers or 0)) / runs * 1e3
            split = f" ({workers / runs * 1e3:.0f} + {caller / runs * 1e3:.0f})" if workers else ""
            lines.append(f"{name:<30} {wall:8.2f} s  {ratio:5.2f}x  {cpu:6.0f} ms{split}")
            if targeted:
                self.ratios.append(ratio)
        lines.append(
            f"{label + ': ceiling':<30} {'':10}  {ceiling:5.2f}x  (two processes running them "
            "back to back, no executor)"
        )
        return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 stocks x 250 sessions, 20 runs")
    args = parser.parse_args()
    n_stocks, sessions, runs, distinct = (500, 250, 20, 4) if args.quick else (3000, 1250, 200, 20)
    # The default pool takes every core; the comparison is with two.
    many._cores = lambda: WORKERS
    print(
        f"load average at start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; "
        f"{WORKERS} processes of pure arithmetic run {parallel_capacity():.2f}x as fast as "
        "one after the other here now"
    )

    with tempfile.TemporaryDirectory(prefix="mirtaly-bench-") as tmp:
        started = time.perf_counter()
        data = prepare(Path(tmp) / "enviroment_data", n_stocks, sessions)
        loaded = sum(v.to_numpy().nbytes for k, v in data.data.items() if k != "benchmark_dict")
        factors, weights = tables_of(data, distinct)
        dates = data.data["close_price"].index
        start, end = dates[sessions // 5], dates[-1]
        charts = Path(tmp) / "charts"
        charts.mkdir()
        print(
            f"{n_stocks} stocks x {sessions} sessions, {loaded / MIB:.0f} MiB loaded, "
            f"{runs} factors and {runs} strategies ({distinct} distinct tables of each), "
            f"prepared in {time.perf_counter() - started:.1f} s"
        )
        service = get_service()

        tiny = BacktestData(data=payload_of(20, 40)["data"])
        modes = Modes(data, start, end, tiny, charts)
        print("                                   wall    ratio   CPU a run (workers + caller)")
        for label, tables, single, run_many, output_dir, options in (
            ("factors", factors, service.backtest, mirtaly.backtest_many, charts, {}),
            (
                "strategies",
                weights,
                service.backtest_strategy,
                mirtaly.backtest_strategy_many,
                None,
                {"plot": None},
            ),
        ):
            named = {f"{label[0]}{i:03d}": tables[i % distinct] for i in range(runs)}
            lines = modes.run(label, named, single, run_many, output_dir, options)
            if lines is None:
                return 1
            print("\n".join(lines))
        print("pool and Dask results equal the sequential ones exactly")
        print(f"-- private memory of the workers (data {loaded / MIB:.0f} MiB)")
        worst = beyond = 0.0
        for label, pid, growth, own in modes.growth:
            worst, beyond = max(worst, growth / loaded), max(beyond, (growth - own) / loaded)
            print(
                f"  {label:<16} worker {pid}: grew {growth / MIB:6.1f} MiB ({growth / loaded:5.1%}"
                f" of the data); one such backtest in this process: +{own / MIB:.0f} MiB"
            )
    capacity = parallel_capacity()
    print(
        f"load average at end: {os.getloadavg()[0]:.1f}; {WORKERS} processes of pure "
        f"arithmetic run {capacity:.2f}x as fast as one after the other here now"
    )
    print("-- targets")
    met = min(modes.ratios) >= TARGET_RATIO
    print(f"throughput >= {TARGET_RATIO}x everywhere       {'met' if met else 'NOT MET'}")
    met = worst < TARGET_GROWTH
    print(f"worker growth < {TARGET_GROWTH:.0%} of data       {'met' if met else 'NOT MET'}")
    print(
        f"  beyond one backtest's own peak: {beyond:.1%} of data "
        f"({'met' if beyond < TARGET_GROWTH else 'NOT MET'})"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
