"""Many backtests from one call: on every core of this machine, on a caller's
executor, or on a Dask cluster.

    results, summary = mirtaly.backtest_many(factors, data, 20200101, 20241231, "out")
    summary.sort_values("ic_ir", ascending=False)
    results, summary = mirtaly.backtest_strategy_many(
        {"mom20": weights20, "mom60": weights60}, data, 20200101, 20241231, "out", plot=None
    )

Each name's run is exactly the single call (``BacktestService.backtest`` or
``backtest_strategy``) with the name as ``plot_filename`` and the same
arguments, so its result equals the one that call returns.

Where the runs happen (``executor``):

- ``None``: every core of the machine: this process runs backtests itself,
  on its own data and tables (no copies), while a process pool with one
  worker per other core runs the rest; both take names from one queue. The
  pool is kept between calls (a second call starts no processes) and shut
  down after five idle minutes or at exit; its workers drop a call's data as
  soon as the call returns. A single name, or a machine of one core, runs
  here without a pool. If a worker dies, only the runs it held fail
  (``BrokenProcessPool``) and this process runs the rest. Scripts that call
  this at import time need the usual ``if __name__ == "__main__":`` guard,
  because the workers import the main module.
- a ``concurrent.futures.ThreadPoolExecutor``: the caller's threads share the
  data as it is (the kernels release the GIL).
- any other ``concurrent.futures.Executor``, taken to run its tasks in other
  processes on this machine.
- a ``dask.distributed.Client`` (the extra ``mirtaly[dask]``): workers that
  can read this machine's files map the data from them; otherwise the data is
  scattered to every worker once (broadcast) and each table goes to one worker.
  Runs shorter than about a tenth of a second travel several to a task (at
  most four), since each task's trip through the scheduler costs the caller
  milliseconds.

Worker processes never receive the data once per task: it is written once to
memory-mapped files that every worker on the machine maps read-only, so N
workers share one copy (see :mod:`mirtaly._shared`). Figures are drawn in the
process that ran the backtest, under that process's own plotting lock.
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import sys
import threading
import time
import traceback
from collections import deque
from collections.abc import Mapping
from functools import partial
from typing import NamedTuple

import numpy as np
import pandas as pd
from tqdm import tqdm

from mirtaly import _shared
from mirtaly.backtest._core import headline_stats
from mirtaly.backtest._store import normalize_yyyymmdd
from mirtaly.backtest.result import BacktestResult, StrategyBacktestResult
from mirtaly.exceptions import BacktestManyError

__all__ = ["ManyResults", "backtest_many", "backtest_strategy_many"]

# Tasks kept in flight per worker: one running, one ready to start when it ends.
_IN_FLIGHT_PER_WORKER = 2
# A Dask task's round trip through the scheduler costs milliseconds of the
# caller's cores: short runs travel up to this many to a task, each task
# lasting about _BUNDLE_SECONDS. Each run in flight holds a table in a slot.
_DASK_BUNDLE = 4
_BUNDLE_SECONDS = 0.1
# Seconds the default pool waits idle for the next call before it shuts down.
_POOL_IDLE = 300.0
# Imported once by the process that forks the default pool's workers.
_PRELOAD = ["mirtaly.many", "mirtaly.backtest._service", "mirtaly.backtest._ravelin"]


class ManyResults(NamedTuple):
    """``results``: name -> result (or the exception of a failed run), in the
    input's order; ``summary``: one row per name of its headline figures,
    NaN for a failed run, whose ``error`` column says why."""

    results: dict
    summary: pd.DataFrame


def backtest_many(
    factors: Mapping,
    data,
    start_date,
    end_date,
    output_dir,
    *,
    executor=None,
    raise_errors: bool = True,
    progress: bool | None = None,
    **backtest_keywords,
) -> ManyResults:
    """Factor group backtests of every ``name -> factor table`` in ``factors``.

    Each runs ``BacktestService.backtest(factor, data, start_date, end_date,
    output_dir, name, **backtest_keywords)``; ``executor``, ``raise_errors`` and
    ``progress`` as in :func:`backtest_strategy_many`.

    The summary's columns, against the first benchmark: ``ic_mean``, ``ic_ir``,
    ``best_group`` (-1 when there is none), ``top_minus_bottom`` (annual return of
    the top group minus the bottom one's), the best group's ``annual_return``,
    ``excess_annual_return``, ``excess_sharpe`` and ``excess_max_dd``, then
    ``error``.
    """
    return _run_many(
        "factor",
        factors,
        (data, start_date, end_date, output_dir),
        backtest_keywords,
        executor=executor,
        raise_errors=raise_errors,
        progress=progress,
    )


def backtest_strategy_many(
    strategies: Mapping,
    data,
    start_date,
    end_date,
    output_dir,
    *,
    executor=None,
    raise_errors: bool = True,
    progress: bool | None = None,
    **backtest_strategy_keywords,
) -> ManyResults:
    """Strategy backtests of every ``name -> target-weight matrix`` in ``strategies``.

    Each runs ``BacktestService.backtest_strategy(weights, data, start_date,
    end_date, output_dir, name, **backtest_strategy_keywords)``. ``executor``
    is ``None`` (every core of this machine: this process and a process pool
    beside it), a
    ``concurrent.futures.Executor`` or a ``dask.distributed.Client``.

    A failing run does not stop the others. With ``raise_errors`` true (the
    default) the call raises :class:`~mirtaly.exceptions.BacktestManyError`
    after every run has finished, naming each failed one; the error carries
    the ``results`` and ``summary``. With ``raise_errors`` false, a failed
    name's entry holds its exception. ``progress``: a progress bar on stderr,
    by default only when stderr is a terminal.

    The summary's columns are the strategy statistics, then ``error``.
    """
    return _run_many(
        "strategy",
        strategies,
        (data, start_date, end_date, output_dir),
        backtest_strategy_keywords,
        executor=executor,
        raise_errors=raise_errors,
        progress=progress,
    )


# ---- one run, wherever it happens ----------------------------------------------------------


def _run_tasks(kind, data_ref, items, start_date, end_date, output_dir, keywords) -> list:
    """Runs every ``(name, table)`` of ``items`` in turn: a list of ``(result or
    exception, traceback text or None, seconds)``, so one failure loses no other run."""
    shared = isinstance(data_ref, _shared.SharedHandle)
    data = _shared.attach(data_ref) if shared else data_ref
    method = _method(kind)
    outcomes = []
    for name, table_ref in items:
        started = time.perf_counter()
        try:
            table = _shared.resolve_table(data_ref, table_ref) if shared else table_ref
            outcome = method(table, data, start_date, end_date, output_dir, name, **keywords)
            trace = None
        except Exception as exc:
            outcome, trace = exc, traceback.format_exc()
        outcomes.append((outcome, trace, time.perf_counter() - started))
    return outcomes


def _method(kind: str):
    from mirtaly.api import get_service

    service = get_service()
    return service.backtest if kind == "factor" else service.backtest_strategy


# ---- the call ------------------------------------------------------------------------------


def _run_many(kind, tables, args, keywords, *, executor, raise_errors, progress) -> ManyResults:
    table_argument = "factor" if kind == "factor" else "strategy"
    if not isinstance(tables, Mapping):
        raise TypeError(
            f"{table_argument} tables must be a mapping name -> DataFrame, "
            f"got {type(tables).__name__}"
        )
    names = list(tables)
    for name in names:
        if type(name) is not str:
            raise TypeError(f"names must be str (each is a plot_filename), got {name!r}")
    for taken in (table_argument, "plot_filename"):
        if taken in keywords:
            raise TypeError(f"{taken} is given by each name and table, not as a keyword")
    _check_arguments(kind, args, keywords)

    results: dict = dict.fromkeys(names)
    if names:
        queue = deque(names)
        with _Recorder(results, progress) as recorder:
            if executor is None:
                _run_with_caller(kind, tables, queue, args, keywords, recorder)
            else:
                with _runner(executor, args[0], len(names)) as runner:
                    _run_all(runner, kind, tables, partial(_take, queue), args, keywords, recorder)
    summary = _SUMMARIES[kind](results)
    errors = {name: r for name, r in results.items() if isinstance(r, BaseException)}
    if errors and raise_errors:
        listed = "; ".join(f"{name}: {_describe(exc)}" for name, exc in errors.items())
        raise BacktestManyError(
            f"{len(errors)} 个回测失败 (共 {len(names)} 个): {listed}",
            errors=errors,
            results=results,
            summary=summary,
        ) from next(iter(errors.values()))
    return ManyResults(results, summary)


def _check_arguments(kind, args, keywords) -> None:
    """Argument types and keyword names, checked once here before any worker starts.

    The service checks every argument's type before it looks at the table, so a
    call without one stops at "empty table" when everything else is right.
    """
    data, start_date, end_date, output_dir = args
    try:
        _method(kind)(None, data, start_date, end_date, output_dir, "", **keywords)
    except ValueError:
        pass
    normalize_yyyymmdd(start_date)
    normalize_yyyymmdd(end_date)


def _describe(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0]}" if text else type(exc).__name__


class _Recorder:
    """Records each run's outcome as it comes in, from any thread, and counts it
    on the progress bar."""

    def __init__(self, results: dict, progress):
        self.results = results
        self.failed = 0
        self._lock = threading.Lock()
        self._bar = tqdm(total=len(results), desc="回测", unit="个", disable=_quiet(progress))

    def __enter__(self) -> _Recorder:
        return self

    def __exit__(self, *exc) -> None:
        self._bar.close()

    def __call__(self, name, outcome) -> None:
        with self._lock:
            self.results[name] = outcome
            if isinstance(outcome, BaseException):
                self.failed += 1
                self._bar.set_postfix(failed=self.failed)
            self._bar.update()


def _take(queue: deque):
    """The next name, or None when there is none (another thread may take the last)."""
    try:
        return queue.popleft()
    except IndexError:
        return None


def _run_with_caller(kind, tables, queue, args, keywords, recorder) -> None:
    """The default executor: this process runs backtests on its own data, one
    after another, while a thread keeps one worker process per other core busy.
    A run here needs no copy of its table and no trip through a pipe, so the
    caller's core does the most work it can; both sides take names from one
    queue, so they finish together."""
    data, start_date, end_date, output_dir = args
    first = queue.popleft()  # this process's: a single run starts no pool at all
    helper = None
    if queue and _cores() > 1:
        # The pool's first name is its own: however fast this side runs, the
        # pool side takes part.
        reserved = [queue.popleft()]

        def take():
            return reserved.pop() if reserved else _take(queue)

        def give_back(names):
            queue.extendleft(reversed(names))

        helper = _PoolThread(
            kind, tables, take, give_back, len(queue) + 1, args, keywords, recorder
        )
        helper.start()

    def run(name) -> None:
        try:  # an unreadable table fails its own run only
            items = [(name, tables[name])]
        except Exception as exc:
            recorder(name, exc)
            return
        [(outcome, _, _)] = _run_tasks(
            kind, data, items, start_date, end_date, output_dir, keywords
        )
        recorder(name, outcome)

    try:
        name = first
        while name is not None and not (helper and helper.stop.is_set()):
            run(name)
            name = _take(queue)
        if helper is not None:
            # Names the pool side handed back when its pool broke run here.
            helper.join()
            while helper.error is None and (name := _take(queue)) is not None:
                run(name)
    except BaseException:  # an interrupt: the pool side stops too
        queue.clear()
        if helper is not None:
            helper.stop.set()
        raise
    finally:
        if helper is not None:
            helper.join()
    if helper is not None and helper.error is not None:
        raise helper.error


class _PoolThread(threading.Thread):
    """Feeds the default pool (one worker per core beside the caller's) from the
    shared queue. An error of its own, not of a run, stops both sides and is
    raised by the call."""

    def __init__(self, kind, tables, take, give_back, count, args, keywords, recorder):
        super().__init__(name="mirtaly-many-pool", daemon=True)
        self.work = (kind, tables, take, give_back, count, args, keywords, recorder)
        self.stop = threading.Event()
        self.error: BaseException | None = None

    def run(self) -> None:
        kind, tables, take, give_back, count, args, keywords, recorder = self.work
        try:
            workers = _cores() - 1
            pool = _DEFAULT_POOL.acquire(workers)
            with _shared_runner(
                pool, args[0], min(workers, count), [lambda: _DEFAULT_POOL.release(pool)]
            ) as runner:
                _run_all(runner, kind, tables, take, args, keywords, recorder, self.stop, give_back)
        except BaseException as exc:
            self.error = exc
            self.stop.set()


# How often a feeding thread looks whether the caller stopped it.
_STOP_POLL = 0.25


def _run_all(runner, kind, tables, take, args, keywords, record, stop=None, give_back=None):
    """Keeps ``runner.window`` tasks in flight and collects them as they finish,
    until ``take()`` has no more names or ``stop`` is set. When the executor
    takes no more tasks (a worker died and broke the pool), the names not yet
    sent fail, or go back in order through ``give_back`` for another side to run."""
    _, start_date, end_date, output_dir = args
    free = list(range(runner.window))
    pending: dict = {}
    pace = _Pace(runner.bundle)
    more = True
    try:
        while not (stop and stop.is_set()):
            while free and more:
                task = free.pop()
                items, held = [], []
                for _ in range(pace.bundle()):
                    name = take()
                    if name is None:
                        more = False
                        break
                    try:  # an unreadable table fails its own run only
                        slot = task * runner.bundle + len(items)
                        table_ref, keep = runner.table_ref(slot, tables[name])
                    except Exception as exc:
                        record(name, exc)
                        continue
                    items.append((name, table_ref))
                    held.append(keep)
                if not items:
                    free.append(task)
                    continue
                try:
                    future = runner.executor.submit(
                        _run_tasks,
                        kind,
                        runner.data_ref,
                        items,
                        start_date,
                        end_date,
                        output_dir,
                        keywords,
                    )
                except Exception as exc:  # a broken pool
                    free.append(task)
                    if give_back is not None:
                        give_back([name for name, _ in items])
                        more = False
                        continue
                    for name, _ in items:
                        record(name, exc)
                    continue
                pending[future] = (task, [name for name, _ in items], held)
            if not pending:
                break
            timeout = _STOP_POLL if stop else None
            done, _ = cf.wait(pending, timeout=timeout, return_when=cf.FIRST_COMPLETED)
            for future in done:
                task, batch, _ = pending.pop(future)
                free.append(task)
                outcomes = _outcomes(future, batch)
                for name, (outcome, trace, seconds) in zip(batch, outcomes, strict=True):
                    pace.ran(seconds)
                    record(name, _with_remote_trace(outcome, trace))
    finally:
        for future in pending:
            future.cancel()


def _outcomes(future: cf.Future, batch: list) -> list:
    """``(outcome, trace, seconds)`` of each run of a finished task; a task that
    failed as a whole (a worker died, it was cancelled) fails each of its runs."""
    if future.cancelled():
        failure = cf.CancelledError("the run was cancelled")
    else:
        failure = future.exception()
    if failure is None:
        return future.result()
    return [(failure, None, None)] * len(batch)


class _RemoteTraceback(Exception):
    """The traceback of a run in another process, as text."""

    def __str__(self) -> str:
        return self.args[0]


def _with_remote_trace(outcome, trace):
    # An exception pickled home lost its traceback; its text becomes the cause.
    if trace is not None and isinstance(outcome, BaseException) and outcome.__traceback__ is None:
        outcome.__cause__ = _RemoteTraceback(f'\n"""\n{trace}"""')
    return outcome


class _Pace:
    """How many runs one task carries: one, until runs are seen to be so short
    that a task's round trip through the executor weighs on them; then enough
    of them for a task of about ``_BUNDLE_SECONDS``, at most ``limit``."""

    def __init__(self, limit: int):
        self.limit = limit
        self.seconds = 0.0
        self.runs = 0

    def ran(self, seconds) -> None:
        if seconds is not None:
            self.seconds += seconds
            self.runs += 1

    def bundle(self) -> int:
        if self.limit == 1 or not self.runs:
            return 1
        per_run = max(self.seconds / self.runs, 1e-9)
        return max(1, min(self.limit, round(_BUNDLE_SECONDS / per_run)))


def _quiet(progress) -> bool | None:
    # tqdm's None: shown only on a terminal.
    return None if progress is None else not progress


# ---- executors -----------------------------------------------------------------------------


class _Runner:
    """Where the runs go: the executor, what a task carries of the data, how a
    table travels, and what to undo afterwards. ``window`` tasks of up to
    ``bundle`` runs are in flight; run ``i`` of task ``t`` uses slot
    ``t * bundle + i``."""

    def __init__(self, executor, data_ref, window: int, table_ref=None, closers=(), bundle=1):
        self.executor = executor
        self.data_ref = data_ref
        self.window = max(1, window)
        self.bundle = bundle
        self._table_ref = table_ref
        self._closers = list(closers)

    def table_ref(self, slot: int, table):
        """(what the task carries, what must stay referenced while it runs)."""
        if self._table_ref is None:
            return table, None
        ref = self._table_ref(slot, table)
        return ref, ref

    def __enter__(self) -> _Runner:
        return self

    def __exit__(self, *exc) -> None:
        # Every closer runs; the first failure is raised unless one is in flight already.
        failure = None
        for close in reversed(self._closers):
            try:
                close()
            except Exception as error:
                failure = failure or error
        if failure is not None and exc[0] is None:
            raise failure


def _runner(executor, data, tasks: int) -> _Runner:
    client = _dask_client(executor)
    if client is not None:
        return _dask_runner(client, data)
    if not isinstance(executor, cf.Executor):
        raise TypeError(
            "executor must be None, a concurrent.futures.Executor or a dask.distributed.Client, "
            f"got {type(executor).__name__}"
        )
    workers = getattr(executor, "_max_workers", None) or _cores()
    if isinstance(executor, cf.ThreadPoolExecutor):
        return _Runner(executor, data, workers * _IN_FLIGHT_PER_WORKER)
    return _shared_runner(executor, data, workers)


def _shared_runner(executor, data, workers: int, closers=()) -> _Runner:
    window = workers * _IN_FLIGHT_PER_WORKER
    try:
        session = _shared.SharedSession(data, window)
    except BaseException:
        for close in closers:
            close()
        raise
    return _Runner(executor, session.handle, window, session.put, [session.close, *closers])


class _ReusablePool:
    """The default process pool, kept between calls: starting its workers costs
    more than a batch of short backtests. A pool whose size no longer fits or
    that broke is retired (shut down once no call uses it); an idle one shuts
    down after ``_POOL_IDLE`` seconds."""

    def __init__(self):
        self._lock = threading.Lock()
        self._pool: cf.ProcessPoolExecutor | None = None
        self._workers = 0
        self._users: dict[cf.ProcessPoolExecutor, int] = {}
        self._timer: threading.Timer | None = None

    def acquire(self, workers: int) -> cf.ProcessPoolExecutor:
        with self._lock:
            self._stop_timer()
            pool = self._pool
            if pool is None or self._workers != workers or _broken(pool):
                if pool is not None and not self._users.get(pool):
                    pool.shutdown(wait=False, cancel_futures=True)
                pool = self._pool = cf.ProcessPoolExecutor(workers, mp_context=_pool_context())
                self._workers = workers
            self._users[pool] = self._users.get(pool, 0) + 1
            return pool

    def release(self, pool: cf.ProcessPoolExecutor) -> None:
        with self._lock:
            self._users[pool] -= 1
            if self._users[pool]:
                return
            del self._users[pool]
            if pool is self._pool and not _broken(pool):
                self._timer = threading.Timer(_POOL_IDLE, self.shutdown)
                self._timer.daemon = True
                self._timer.start()
                return
            if pool is self._pool:
                self._pool = None
        pool.shutdown(wait=False, cancel_futures=True)

    def shutdown(self) -> None:
        """Shuts the pool down now unless a call is using it."""
        with self._lock:
            pool = self._pool
            if pool is None or self._users.get(pool):
                return
            self._stop_timer()
            self._pool = None
        pool.shutdown(cancel_futures=True)

    def _stop_timer(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None


def _broken(pool: cf.ProcessPoolExecutor) -> bool:
    # Set by the executor when a worker died; every later submit would fail.
    return bool(getattr(pool, "_broken", False))


_DEFAULT_POOL = _ReusablePool()
if hasattr(os, "register_at_fork"):
    # A forked child inherits the pool object but none of its threads or pipes
    # (nor the lock's state): it starts from no pool.
    os.register_at_fork(after_in_child=_DEFAULT_POOL.__init__)


def _dask_client(executor):
    distributed = sys.modules.get("distributed")
    if distributed is not None and isinstance(executor, distributed.Client):
        return executor
    return None


def _dask_runner(client, data) -> _Runner:
    # The scheduler queues what its workers cannot start yet: one task beyond
    # one per thread keeps them busy, and bundles keep the slots few.
    window = max(1, sum(client.nthreads().values())) + 1
    executor = client.get_executor(pure=False)
    session = _shared.SharedSession(data, window * _DASK_BUNDLE)
    try:
        seen = client.run(_shared.can_attach, session.handle)
    except BaseException:
        session.close()
        raise
    if seen and all(seen.values()):
        token = session.handle.token
        return _Runner(
            executor,
            session.handle,
            window,
            session.put,
            [session.close, lambda: client.run(_shared.detach, token)],
            bundle=_DASK_BUNDLE,
        )
    # Some worker cannot read this machine's files: every worker gets the data
    # once, and each table travels to the one worker that runs it.
    session.close()
    shared = client.scatter(data, broadcast=True, hash=False)

    def scattered(slot, table):
        return client.scatter(table, hash=False) if isinstance(table, pd.DataFrame) else table

    return _Runner(
        executor, shared, window, scattered, [lambda: client.cancel(shared)], bundle=_DASK_BUNDLE
    )


def _cores() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _pool_context():
    # Never fork this process: it may hold threads (a progress bar, a Dask client).
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(_PRELOAD)
        return context
    return multiprocessing.get_context("spawn")


# ---- summaries -----------------------------------------------------------------------------


def _summary(results: dict, rows: dict) -> pd.DataFrame:
    index = pd.Index(list(results), name="name")
    summary = pd.DataFrame.from_dict(rows, orient="index").reindex(index)
    summary["error"] = pd.Series(
        {n: _describe(r) for n, r in results.items() if isinstance(r, BaseException)},
        dtype=object,
    ).reindex(index)
    return summary


def _strategy_summary(results: dict) -> pd.DataFrame:
    rows = {
        name: dict(result.stats)
        for name, result in results.items()
        if isinstance(result, StrategyBacktestResult)
    }
    return _summary(results, rows)


_BEST_GROUP_FIGURES = ["annual_return", "excess_annual_return", "excess_sharpe", "excess_max_dd"]


def _factor_summary(results: dict) -> pd.DataFrame:
    rows = {}
    for name, result in results.items():
        if not isinstance(result, BacktestResult):
            continue
        primary = result.benchmark_summary
        if len(primary):
            primary = primary[primary["benchmark_name"] == primary["benchmark_name"].iloc[0]]
        row = {**headline_stats(result.rank_ic, primary), "best_group": result.best_group}
        best = primary[primary["group"] == result.best_group]
        for column in _BEST_GROUP_FIGURES:
            row[column] = best[column].iloc[0] if len(best) else np.nan
        rows[name] = row
    return _summary(results, rows)


_SUMMARIES = {"strategy": _strategy_summary, "factor": _factor_summary}
