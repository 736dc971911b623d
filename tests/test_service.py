"""The service: dataset summary, loading, slicing, universes and strategy requests."""

import concurrent.futures
import multiprocessing
import threading
from functools import cache
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from mirtaly.backtest._prepare import BinaryPreparedDataStore, component_dataset_key

from conftest import C300, C905, store_payload
from mirtaly.backtest import _ravelin, _service
from mirtaly.backtest.result import BacktestData

K300, K905 = component_dataset_key(C300), component_dataset_key(C905)
Service = _service.BacktestService


def snapshot(data):
    """Every frame and series of a BacktestData, with a copy of its values."""
    objects = [v for k, v in data.data.items() if k != "benchmark_dict"]
    return [(obj, obj.copy()) for obj in objects + list(data.data["benchmark_dict"].values())]


def assert_untouched(data, before):
    """The same objects holding the same values."""
    assert all(a is b for (a, _), (b, _) in zip(snapshot(data), before, strict=True))
    assert all(obj.equals(values) for obj, values in before)


def test_class_shape():
    static = "_log_dataset_summary _find_missing_datasets _validate_metadata _slice_data "
    static += "_parse_universe _factor_name _to_public_result"
    methods = "prepare_backtest_data _refresh_to_latest load_backtest_data "
    methods += "_apply_universe_filter backtest_strategy backtest " + static
    assert sorted(k for k in vars(Service) if not k.startswith("__")) == sorted(methods.split())
    assert all(isinstance(vars(Service)[k], staticmethod) for k in static.split())
    assert Service.__bases__ == (object,) and vars(Service(http := object())) == {"_http": http}


def test_dataset_summary(tmp_path, caplog):
    frame = pd.DataFrame(1.0, index=["20240102", "20240103"], columns=["000001", "600000"])
    data = {"close_price": frame, "industry_matrix": frame, K300: frame.iloc[:0]}
    store = BinaryPreparedDataStore(tmp_path)
    store.write(
        {"version": 1, "meta": {}, "data": data | {"benchmark_dict": {"000300": frame["000001"]}}}
    )
    caplog.set_level("INFO", logger="mirtaly")
    Service(None)._log_dataset_summary(store, action="已是最新")
    member = "成分股 " + K300.removeprefix("component__")
    rows = [("close_price", "20240103"), ("industry_matrix", "20240103"), (member, "(空)")]
    rows.append(("基准 000300", "20240103"))  # benchmarks last, never under their key
    lines = [f"  {name:<{len(member)}}  {date}" for name, date in rows]
    assert caplog.messages == ["回测基准数据已是最新,各数据集最新日期:", *lines]
    with pytest.raises(TypeError, match="action"):
        Service._log_dataset_summary(store, action=None)


def test_loading_into_memory_stock_by_stock(loaded, prepared, monkeypatch):
    stored = BinaryPreparedDataStore(prepared[0]).load(mmap=False)["data"]
    assert isinstance(loaded, BacktestData) and list(loaded.data) == list(stored)
    for key, frame in stored.items():
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(loaded.data[key], frame)
            assert loaded.data[key].to_numpy().flags.f_contiguous
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", prepared[0] / "none")
    with pytest.raises(FileNotFoundError, match=r"^未找到回测基准数据,请先调用 mirtaly\."):
        Service(None).load_backtest_data()


def test_slices_are_inclusive_views_or_masked(loaded):
    before, dates = snapshot(loaded), loaded.data["close_price"].index
    cut = Service._slice_data(loaded.data, dates[3], dates[9])
    assert list(cut) == list(loaded.data)
    for key, frame in cut.items():
        for part in frame.values() if key == "benchmark_dict" else [frame]:
            assert list(part.index) == list(dates[3:10])
            assert key == "benchmark_dict" or np.shares_memory(part, loaded.data[key])
    assert_untouched(loaded, before)
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=["20240103", "20240101", "20240102"])
    cut = Service._slice_data({"m": frame, "n": 7}, "20240102", "20240103")
    assert list(cut["m"].index) == ["20240103", "20240102"] and cut["n"] == 7


class TestUniverse:
    def test_parse(self):
        got = [Service._parse_universe(u) for u in (None, "   ", " 000300 ", "1,2", [2, " 3"])]
        assert got == [[], [], ["000300"], ["1,2"], ["2", "3"]]

    def test_members_of_any_index_keep_their_validity(self, service, loaded):
        data = service._slice_data(loaded.data, "00000000", "99999999")
        valid = data["close_price_valid"]
        service._apply_universe_filter(data, ["", " "], "", "")  # no universe: no change
        assert data["close_price_valid"] is valid
        data[K300] = loaded.data[K300].iloc[5:, 1:]  # missing dates and stocks are no members
        service._apply_universe_filter(data, ["000300", " 000905"], "", "")
        member = data[K300].reindex_like(data[K905]).notna() | loaded.data[K905].notna()
        want = loaded.data["close_price_valid"].where(member)
        pd.testing.assert_frame_equal(data["close_price_valid"], want)

    @pytest.mark.parametrize(
        "universe, error, message",
        [
            (["000300", 300], ValueError, "^不支持的选股范围: 300$"),
            ("000300,000905", ValueError, "^不支持的选股范围: 000300,000905$"),
            ("000852", ValueError, "^选股范围 000852 无成分股数据,请重新准备数据$"),
            (None, KeyError, "close_price_valid"),
        ],
    )
    def test_errors_change_nothing(self, service, loaded, universe, error, message):
        data = service._slice_data(loaded.data, "00000000", "99999999")
        if universe is None:
            del data["close_price_valid"]
        valid = data.get("close_price_valid")
        with pytest.raises(error, match=message):
            service._apply_universe_filter(data, universe or "000905", "", "")
        assert data.get("close_price_valid") is valid


@pytest.fixture
def core_calls(monkeypatch):
    """What the service hands the core, which still runs (without charts)."""
    calls, real = [], _ravelin.run_strategy_backtest_core

    def spy(**kwargs):
        calls.append(kwargs)
        return real(**(kwargs | {"plot_image_kind": None}))

    monkeypatch.setattr(_ravelin, "run_strategy_backtest_core", spy)
    return calls


def test_the_core_gets_the_window_by_keyword(service, loaded, prepared, core_calls):
    before, (signal, dates) = snapshot(loaded), (prepared[1], prepared[1].index)
    kw = {"plot": None, "rolling_window": 5.9, "fee": 0}
    result = service.backtest_strategy(signal, loaded, int(dates[5]), dates[50], None, "", **kw)
    service.backtest_strategy(signal, loaded, dates[5], int(dates[50]), "out", "m")
    kw, plotted = core_calls
    for frame in (kw["strategy_matrix"], kw["split_factor"], plotted["strategy_matrix"]):
        assert list(frame.index) == list(dates[5:51])
    converted = (kw["rolling_window"], kw["fee"], type(kw["fee"]), kw["plot_save_path"])
    assert converted == (5, 0.0, float, None)
    assert plotted["plot_save_path"] == str(Path("out/m.png")) and plotted["plot_title"] == "m"
    assert (result.strategy_name, result.plot_paths) == ("", {})
    assert_untouched(loaded, before)


def test_charts_are_written_into_the_output_directory(service, loaded, prepared, tmp_path):
    result = service.backtest_strategy(prepared[1], loaded, "20000101", 20991231, tmp_path, "动量")
    main, weekly = tmp_path / "动量.png", tmp_path / "动量_weekly_net_value.png"
    assert result.plot_paths == {"main": str(main), "weekly_net_value": str(weekly)}
    assert main.read_bytes()[:4] == weekly.read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize(
    "strategy, output_dir, filename, error, message",
    [
        (None, None, "", ValueError, "^策略权重矩阵为空$"),
        ("empty", None, "", ValueError, "^策略权重矩阵为空$"),
        ("ok", "", "x", ValueError, "^plot 非 None 时,output_dir 必须提供$"),
        ("ok", "out", "", ValueError, "^plot 非 None 时,plot_filename 必须提供$"),
    ],
)
def test_checks_in_order_before_slicing(
    service, loaded, prepared, strategy, output_dir, filename, error, message
):
    strategy = {"ok": prepared[1], "empty": prepared[1].iloc[:0]}.get(strategy)
    service._slice_data = None  # slicing would fail otherwise
    with pytest.raises(error, match=message):
        service.backtest_strategy(strategy, loaded, "20000101", "20991231", output_dir, filename)


REQUESTS = [
    (w, bm, start) for w in (0, 3) for bm in ("000852", "399303") for start in (0, 20230201)
]


@cache
def weights():
    return store_payload()[0]


def run_requests(data, requests):
    results = []
    for window, benchmark, start in requests:
        r = Service(None).backtest_strategy(
            weights(), data, start or "2000-01-01", 20991231, None, "s", plot=None,
            benchmark=benchmark, rolling_window=window,
        )  # fmt: skip
        results.append((r.daily_return, r.stats, r.benchmark_summary))
    return results


def assert_same_results(got, want):
    for (daily, stats, summary), (w_daily, w_stats, w_summary) in zip(got, want, strict=True):
        pd.testing.assert_series_equal(daily, w_daily, check_exact=True)
        np.testing.assert_array_equal(list(stats.values()), list(w_stats.values()))
        pd.testing.assert_frame_equal(summary, w_summary, check_exact=True)


def test_threads_and_worker_processes_give_the_sequential_results(loaded):
    before, want = snapshot(loaded), run_requests(loaded, REQUESTS)
    tasks = [[REQUESTS[(t + k) % len(REQUESTS)] for k in range(25)] for t in range(4)]
    barrier = threading.Barrier(4)

    def worker(requests):
        barrier.wait()
        return run_requests(loaded, requests)

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for requests, got in zip(tasks, pool.map(worker, tasks), strict=True):
            assert_same_results(got, [want[REQUESTS.index(r)] for r in requests])
    assert_untouched(loaded, before)
    context = multiprocessing.get_context("spawn")  # each worker gets the data pickled
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        got = list(pool.map(run_requests, [loaded] * 2, [REQUESTS[::2], REQUESTS[1::2]]))
    assert_same_results(got[0] + got[1], want[::2] + want[1::2])
