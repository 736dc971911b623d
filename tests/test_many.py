"""Many backtests from one call: the default process pool, a caller's threads and a real
Dask cluster on 127.0.0.1 give exactly the single calls' results."""

import dataclasses
import glob
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster
from mirtaly.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder

import mirtaly
from mirtaly import _shared, singleton
from mirtaly.api import get_service
from mirtaly.backtest.result import BacktestData, StrategyBacktestResult
from mirtaly.exceptions import BacktestManyError


@pytest.fixture(scope="module")
def tiny_data(tiny_market, tmp_path_factory):
    """The tiny sandbox market prepared, stored and loaded as a researcher loads it."""
    previous = singleton.set_instance(tiny_market.client())
    try:
        payload = GroupPreparedDataBuilder(
            tiny_market.date_labels[0], tiny_market.date_labels[-1]
        ).build()
    finally:
        singleton.set_instance(previous)
    path = tmp_path_factory.mktemp("many") / "enviroment_data"
    BinaryPreparedDataStore(path).write(payload)
    return BacktestData(data=BinaryPreparedDataStore(path).load(mmap=False)["data"])


def momentum(data, days):
    return data.data["close_price"].pct_change(days, fill_method=None)


def momentum_weights(data, days):
    """Equal weights on the ten stocks that rose most over ``days`` sessions."""
    top = momentum(data, days).rank(axis=1, ascending=False) <= 10
    return top.astype(float).div(top.sum(axis=1), axis=0).where(top)


@pytest.fixture(scope="module")
def strategies(tiny_data):
    return {f"mom{days}": momentum_weights(tiny_data, days) for days in (5, 10, 20)}


@pytest.fixture(scope="module")
def window(tiny_data):
    dates = tiny_data.data["close_price"].index
    return dates[30], dates[-1]


@pytest.fixture(scope="module")
def dask_client():
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=":0",
        ) as cluster,
        Client(cluster) as client,
    ):
        yield client


def assert_same_result(got, want):
    """Every field equal to the single call's, exactly."""
    assert type(got) is type(want)
    for field in dataclasses.fields(want):
        a, b = getattr(got, field.name), getattr(want, field.name)
        if isinstance(b, pd.DataFrame):
            pd.testing.assert_frame_equal(a, b, check_exact=True)
        elif isinstance(b, pd.Series):
            pd.testing.assert_series_equal(a, b, check_exact=True)
        elif isinstance(b, dict):
            assert list(a) == list(b)
            np.testing.assert_array_equal(list(a.values()), list(b.values()))
        else:
            assert a == b


@pytest.mark.parametrize("kind", ["default pool", "threads", "dask"])
def test_runs_equal_the_single_calls_and_a_failure_stays_its_own(
    kind, tiny_data, strategies, window, capsys, request
):
    executor = {
        "default pool": lambda: None,
        "threads": lambda: ThreadPoolExecutor(2),
        "dask": lambda: request.getfixturevalue("dask_client"),
    }[kind]()
    tables = dict(strategies)
    tables["empty"] = strategies["mom5"].iloc[:0]  # fails in its worker
    tables["mom20 again"] = strategies["mom20"]
    start, end = window

    results, summary = mirtaly.backtest_strategy_many(
        tables,
        tiny_data,
        start,
        end,
        None,
        executor=executor,
        raise_errors=False,
        progress=True,
        plot=None,
        total_money=5e6,
    )

    assert list(results) == list(tables)
    assert isinstance(results["empty"], ValueError)
    assert str(results["empty"]) == "策略权重矩阵为空"
    assert "_run_tasks" in "".join(traceback.format_exception(results["empty"]))  # where it was
    single = get_service().backtest_strategy
    for name, weights in tables.items():
        if name != "empty":
            want = single(weights, tiny_data, start, end, None, name, plot=None, total_money=5e6)
            assert_same_result(results[name], want)
            assert summary.loc[name, "long_sharp"] == want.stats["long_sharp"]
    assert list(summary.index) == list(tables)
    assert summary.loc["empty"].drop("error").isna().all()
    assert summary.loc["empty", "error"] == "ValueError: 策略权重矩阵为空"
    assert summary["error"].drop("empty").isna().all()
    assert f"{len(tables)}/{len(tables)}" in capsys.readouterr().err


def test_figures_are_drawn_for_every_name_on_the_pool(tiny_data, strategies, window, tmp_path):
    tables = {name: strategies[name] for name in ("mom5", "mom20")}
    results, _ = mirtaly.backtest_strategy_many(tables, tiny_data, *window, tmp_path, plot="long")
    for name, result in results.items():
        assert result.plot_paths == {
            "main": str(tmp_path / f"{name}.png"),
            "weekly_net_value": str(tmp_path / f"{name}_weekly_net_value.png"),
        }
        assert all(os.path.getsize(path) > 10_000 for path in result.plot_paths.values())


def test_the_default_pool_is_reused_and_its_workers_let_go_of_each_calls_data(
    tiny_data, strategies, window, tmp_path, monkeypatch
):
    from mirtaly import many

    def mapped_sessions(pool):
        # Shared files a worker still maps (unlinked ones show as "(deleted)").
        maps = [open(f"/proc/{pid}/maps").read() for pid in pool._processes]
        return sum(text.count("mirtaly-many-") for text in maps)

    monkeypatch.setattr(many, "_cores", lambda: 2)
    many._DEFAULT_POOL.shutdown()
    # One run starts no pool; of two, this process runs one and its one worker the other.
    one = {"mom5": strategies["mom5"]}
    mirtaly.backtest_strategy_many(one, tiny_data, *window, None, plot=None)
    assert many._DEFAULT_POOL._pool is None
    tables = {**one, "mom10": strategies["mom10"]}
    mirtaly.backtest_strategy_many(tables, tiny_data, *window, tmp_path, plot=None)
    pool = many._DEFAULT_POOL._pool
    workers = set(pool._processes)
    assert len(workers) == 1
    mirtaly.backtest_strategy_many(tables, tiny_data, *window, tmp_path, plot=None)
    assert many._DEFAULT_POOL._pool is pool and set(pool._processes) == workers
    deadline = time.monotonic() + 10 * _shared._WATCH_SECONDS
    while mapped_sessions(pool) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert mapped_sessions(pool) == 0


def test_an_interrupt_stops_both_sides_and_leaves_no_files(
    tiny_data, strategies, window, monkeypatch
):
    from mirtaly import many

    class Interrupting(dict):
        def __getitem__(self, name):
            if name == "stop":  # whichever side reads it
                raise KeyboardInterrupt
            return super().__getitem__(name)

    def scratch():
        roots = ("/dev/shm", tempfile.gettempdir())
        return {path for root in roots for path in glob.glob(f"{root}/mirtaly-many-*")}

    monkeypatch.setattr(many, "_cores", lambda: 2)
    before = scratch()
    tables = Interrupting({**strategies, "stop": None, "after": strategies["mom5"]})
    with pytest.raises(KeyboardInterrupt):
        mirtaly.backtest_strategy_many(tables, tiny_data, *window, None, plot=None)
    assert "mirtaly-many-pool" not in [t.name for t in threading.enumerate()]
    assert scratch() <= before
    results, _ = mirtaly.backtest_strategy_many(strategies, tiny_data, *window, None, plot=None)
    assert list(results) == list(strategies)


class _Exit:
    """Ends the process that unpickles it: a worker that dies during a call."""

    def __reduce__(self):
        return (os._exit, (1,))

    def __deepcopy__(self, memo):
        return self


def test_a_dead_worker_fails_only_its_own_runs_and_the_caller_runs_the_rest(
    tiny_data, strategies, window, monkeypatch
):
    from mirtaly import many

    method = many._method

    def after_the_pool_broke(kind):
        # This process's runs wait for the worker to die, so names are left over.
        while "mirtaly-many-pool" in [t.name for t in threading.enumerate()]:
            if many._DEFAULT_POOL._pool is not None and many._broken(many._DEFAULT_POOL._pool):
                break
            time.sleep(0.01)
        return method(kind)

    monkeypatch.setattr(many, "_cores", lambda: 2)
    monkeypatch.setattr(many, "_method", after_the_pool_broke)
    poison = strategies["mom5"].copy()
    poison.attrs["exit"] = _Exit()
    after = {f"after{i}": strategies["mom10"] for i in range(4)}
    tables = {"first": strategies["mom5"], "poison": poison, **after}  # the pool's is second

    results, _ = mirtaly.backtest_strategy_many(
        tables, tiny_data, *window, None, plot=None, raise_errors=False
    )
    failed = {name for name, result in results.items() if isinstance(result, BaseException)}
    assert "poison" in failed and failed <= {"poison", "after0"}  # what was in flight
    assert all(isinstance(results[name], BrokenProcessPool) for name in failed)
    assert all(isinstance(results[name], StrategyBacktestResult) for name in set(tables) - failed)


def test_factor_backtests_equal_the_single_calls_and_rank_in_the_summary(
    tiny_data, window, tmp_path
):
    factors = {name: momentum(tiny_data, days) for name, days in (("mom5", 5), ("mom20", 20))}
    factors["flat"] = factors["mom5"].iloc[:0]
    options = {"group_num": 3, "benchmark": ["000300", "000852"]}
    results, summary = mirtaly.backtest_many(
        factors, tiny_data, *window, tmp_path, raise_errors=False, **options
    )
    assert str(results["flat"]) == "因子宽表为空"
    for name in ("mom5", "mom20"):
        want = get_service().backtest(factors[name], tiny_data, *window, tmp_path, name, **options)
        assert_same_result(results[name], want)
        rows = want.benchmark_summary.query("benchmark_name == '000300'")
        best = rows.set_index("group").loc[want.best_group]
        assert summary.loc[name, "best_group"] == want.best_group
        assert summary.loc[name, "ic_mean"] == want.rank_ic.mean()
        assert summary.loc[name, "excess_sharpe"] == best["excess_sharpe"]
        assert summary.loc[name, "top_minus_bottom"] == (
            rows["annual_return"].iloc[-1] - rows["annual_return"].iloc[0]
        )
    assert summary.loc["flat", "error"] == "ValueError: 因子宽表为空"


def test_failures_are_raised_together_after_every_run(tiny_data, strategies, window):
    tables = {"bad1": None, **strategies, "bad2": strategies["mom5"].iloc[:0]}
    with pytest.raises(BacktestManyError) as caught:
        mirtaly.backtest_strategy_many(
            tables, tiny_data, *window, None, executor=ThreadPoolExecutor(2), plot=None
        )
    error = caught.value
    assert re.fullmatch(
        r"2 个回测失败 \(共 5 个\): bad1: ValueError: .+; bad2: ValueError: .+", str(error)
    )
    assert set(error.errors) == {"bad1", "bad2"}
    assert all(error.results[name].stats for name in strategies)
    assert error.summary["annual_return"].notna().sum() == 3


def test_dask_workers_that_cannot_see_the_files_get_the_data_scattered(
    tiny_data, strategies, window, monkeypatch
):
    # Threads of this process as workers, so that they see the patched probe.
    monkeypatch.setattr(_shared, "can_attach", lambda handle: False)
    with (
        LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        results, _ = mirtaly.backtest_strategy_many(
            strategies, tiny_data, *window, None, executor=client, plot=None
        )
    for name, weights in strategies.items():
        want = get_service().backtest_strategy(weights, tiny_data, *window, None, name, plot=None)
        assert_same_result(results[name], want)


@pytest.mark.parametrize(
    ("tables", "options", "message"),
    [
        ([("a", None)], {}, "must be a mapping"),
        ({1: None}, {}, "names must be str"),
        ({"a": None}, {"plot_filename": "x"}, "plot_filename is given by each name"),
        ({"a": None}, {"rolling_windw": 3}, "incompatible"),
        ({"a": None}, {"fee": "0.1"}, "fee"),
        ({"a": None}, {"executor": 4}, "executor must be None"),
    ],
)
def test_bad_arguments_fail_before_any_run(tiny_data, window, tables, options, message):
    with pytest.raises(TypeError, match=message):
        mirtaly.backtest_strategy_many(tables, tiny_data, *window, None, plot=None, **options)


def test_shared_frames_equal_the_originals_in_values_labels_and_layout(tiny_data):
    frames = {
        "column_major": tiny_data.data["close_price"],
        "row_major": pd.DataFrame(np.arange(12.0).reshape(3, 4), columns=list("abcd")),
        "flags": tiny_data.data["can_buy_stock"],
        "mixed": pd.DataFrame({"x": [1.0, 2.0], "y": ["p", "q"]}),
        "named": pd.DataFrame([[1, 2]], columns=pd.Index(["u", "v"], name="alpha1")),
    }
    frames["named"].attrs["note"] = "kept"
    data = BacktestData(data={**frames, "benchmark_dict": tiny_data.data["benchmark_dict"]})
    with _shared.SharedSession(data, slots=1) as session:
        got = _shared.attach(session.handle).data
        for key, frame in frames.items():
            pd.testing.assert_frame_equal(got[key], frame, check_exact=True)
            assert got[key].attrs == frame.attrs
            assert got[key].to_numpy().flags.f_contiguous == frame.to_numpy().flags.f_contiguous
        assert got["benchmark_dict"].keys() == data.data["benchmark_dict"].keys()
        # One slot, reused for a table of another shape, then outgrown.
        for key in ("row_major", "named", "column_major"):
            table = _shared.resolve_table(session.handle, session.put(0, frames[key]))
            pd.testing.assert_frame_equal(table, frames[key], check_exact=True)
            assert table.attrs == frames[key].attrs and not table.to_numpy().flags.writeable
        _shared.detach(session.handle.token)


def test_a_session_left_by_a_dead_process_goes_when_the_next_one_starts(
    tiny_data, tmp_path, monkeypatch
):
    monkeypatch.setattr(_shared, "_scratch_root", lambda nbytes: str(tmp_path))
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], stdout=-1)
    here, dead = _shared._where(), int(gone.stdout)
    owners = {"left": f"{dead} {here}", "alive": f"{os.getpid()} {here}", "elsewhere": f"{dead} x"}
    for name, owner in owners.items():
        (tmp_path / f"mirtaly-many-{name}").mkdir()
        (tmp_path / f"mirtaly-many-{name}" / "owner").write_text(owner)
    with _shared.SharedSession(tiny_data, slots=1) as session:
        kept = {path.name for path in tmp_path.glob("mirtaly-many-*")} - {session.directory.name}
        assert kept == {"mirtaly-many-alive", "mirtaly-many-elsewhere"}
        assert (session.directory / "owner").read_text() == f"{os.getpid()} {here}"
