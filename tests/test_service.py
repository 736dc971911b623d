"""The service: setup, dataset summary, loading, slicing, universes and strategy requests."""

import concurrent.futures
import multiprocessing
import pathlib
import pickle
import threading
import typing
from functools import cache

import numpy as np
import pandas as pd
import pytest
from mirtaly.backtest._prepare import BinaryPreparedDataStore
from mirtaly.backtest._ravelin import run_strategy_backtest_core

from conftest import store_payload
from mirtaly.backtest import _ravelin, _service
from mirtaly.backtest.result import BacktestData, StrategyBacktestResult

K300 = "component__rq_index_components_new_000300_xshg"
K905 = "component__rq_index_components_new_000905_xshg"


def snapshot(data):
    """Every object of a BacktestData's dictionary with a copy of its values."""
    flat = {k: v for k, v in data.data.items() if k != "benchmark_dict"}
    flat |= {("bm", k): v for k, v in data.data["benchmark_dict"].items()}
    return {k: (v, v.copy()) for k, v in flat.items()}


def assert_untouched(data, before):
    assert snapshot(data).keys() == before.keys()
    for key, (obj, values) in before.items():
        current = data.data["benchmark_dict"][key[1]] if isinstance(key, tuple) else data.data[key]
        assert current is obj
        (pd.testing.assert_series_equal if obj.ndim == 1 else pd.testing.assert_frame_equal)(
            obj, values
        )


class TestSetup:
    def test_module_names(self):
        assert typing.get_args(_service.DateLike) == (str, int)
        assert _service._DEFAULT_DATA_DIR == (
            pathlib.Path.home() / ".mirtaly" / "backtest_data" / "enviroment_data"
        )
        assert list(_service._UNIVERSE_TO_COMPONENT.items()) == [
            ("000300", "rq_index_components_new_000300.XSHG"),
            ("000905", "rq_index_components_new_000905.XSHG"),
            ("000852", "rq_index_components_new_000852.XSHG"),
            ("399303", "rq_index_components_new_399303.XSHE"),
            ("932000", "rq_index_components_new_932000.INDX"),
        ]

    def test_class_shape_and_constructor(self):
        cls = _service.BacktestService
        assert cls.__bases__ == (object,)
        methods = {k for k in vars(cls) if not k.startswith("__") or k == "__init__"}
        assert methods == {
            "__init__",
            "_log_dataset_summary",
            "prepare_backtest_data",
            "_refresh_to_latest",
            "_find_missing_datasets",
            "_validate_metadata",
            "load_backtest_data",
            "_slice_data",
            "_parse_universe",
            "_apply_universe_filter",
            "backtest_strategy",
        }
        static = "_log_dataset_summary _find_missing_datasets _validate_metadata _slice_data"
        for name in [*static.split(), "_parse_universe"]:
            assert isinstance(vars(cls)[name], staticmethod)
        http = object()
        assert vars(cls(http)) == {"_http": http}


class TestDatasetSummary:
    @pytest.fixture
    def store(self, tmp_path):
        dates = ["20240102", "20240103"]
        frame = pd.DataFrame(1.0, index=dates, columns=["000001", "600000"])
        data = {
            "close_price": frame,
            "industry_matrix": frame,
            K300: frame.iloc[:0],
            "benchmark_dict": {"000300": pd.Series([0.01, 0.02], index=dates)},
        }
        store = BinaryPreparedDataStore(tmp_path)
        store.write({"version": 1, "meta": {}, "data": data})
        return store

    def lines(self, caplog):
        return [r.getMessage() for r in caplog.records if r.name == "mirtaly"]

    def test_rows_padding_empty_datasets_and_benchmarks_last(self, store, caplog):
        caplog.set_level("INFO", logger="mirtaly")
        _service.BacktestService(None)._log_dataset_summary(store, action="已是最新")
        name = f"成分股 {K300.removeprefix('component__')}"
        width = len(name)
        assert self.lines(caplog) == [
            "回测基准数据已是最新,各数据集最新日期:",
            f"  {'close_price':<{width}}  20240103",
            f"  {'industry_matrix':<{width}}  20240103",
            f"  {name}  (空)",
            f"  {'基准 000300':<{width}}  20240103",
        ]

    def test_no_datasets_logs_the_heading_only(self, tmp_path, caplog):
        caplog.set_level("INFO", logger="mirtaly")
        store = BinaryPreparedDataStore(tmp_path)
        store._write_metadata({"datasets": {}, "benchmarks": {}})
        _service.BacktestService._log_dataset_summary(store, action="已更新")
        assert self.lines(caplog) == ["回测基准数据已更新,各数据集最新日期:"]

    def test_bad_action_or_dates_raise_type_error(self, store, caplog):
        with pytest.raises(TypeError, match="action"):
            _service.BacktestService._log_dataset_summary(store, action=None)
        assert self.lines(caplog) == []
        metadata = store.load_metadata()
        metadata["datasets"]["close_price"]["index"][-1] = 20240103
        store._write_metadata(metadata)
        with pytest.raises(TypeError, match="close_price"):
            _service.BacktestService._log_dataset_summary(store, action="已更新")


class TestLoading:
    def test_loads_every_dataset_into_memory(self, loaded, prepared):
        assert isinstance(loaded, BacktestData)
        assert {K300, K905, "close_price", "can_buy_stock", "benchmark_dict"} <= set(loaded.data)
        assert list(loaded.data["benchmark_dict"]) == ["000300", "000905", "000852"]
        assert not isinstance(loaded.data["close_price"].to_numpy().base, np.memmap)
        pd.testing.assert_index_equal(loaded.data["close_price"].index, prepared[1].index)

    def test_missing_store_raises_file_not_found(self, tmp_path, monkeypatch):
        monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", tmp_path / "none")
        with pytest.raises(
            FileNotFoundError,
            match=r"^未找到回测基准数据,请先调用 mirtaly\.prepare_backtest_data\(\)$",
        ):
            _service.BacktestService(None).load_backtest_data()


class TestSlicing:
    def test_windows_are_inclusive_views(self, loaded):
        before = snapshot(loaded)
        dates = loaded.data["close_price"].index
        sliced = _service.BacktestService._slice_data(loaded.data, dates[3], dates[9])
        assert sliced is not loaded.data and list(sliced) == list(loaded.data)
        for key, frame in sliced.items():
            if key == "benchmark_dict":
                assert all(list(s.index) == list(dates[3:10]) for s in frame.values())
                continue
            assert list(frame.index) == list(dates[3:10])
            assert np.shares_memory(frame.to_numpy(), loaded.data[key].to_numpy())
        assert_untouched(loaded, before)

    def test_unsorted_index_falls_back_to_a_mask_and_others_pass_through(self):
        frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=["20240103", "20240101", "20240102"])
        marker = object()
        sliced = _service.BacktestService._slice_data(
            {"m": frame, "n": marker, "benchmark_dict": {"x": frame["a"]}}, "20240102", "20240103"
        )
        assert list(sliced["m"].index) == ["20240103", "20240102"] and sliced["n"] is marker
        assert list(sliced["benchmark_dict"]["x"]) == [1.0, 3.0]

    def test_start_after_end_gives_empty_frames_with_their_columns(self, loaded):
        sliced = _service.BacktestService._slice_data(loaded.data, "20300101", "20200101")
        assert sliced["close_price"].shape == (0, loaded.data["close_price"].shape[1])
        assert sliced["benchmark_dict"]["000300"].empty

    @pytest.mark.parametrize(
        "args", [([], "20240101", "20240102"), ({}, 20240101, "20240102"), ({}, "1", None)]
    )
    def test_argument_types(self, args):
        with pytest.raises(TypeError):
            _service.BacktestService._slice_data(*args)


class TestUniverse:
    @pytest.mark.parametrize(
        "universe, codes",
        [
            (None, []),
            ("", []),
            ("   ", []),
            ([], []),
            (" 000300 ", ["000300"]),
            ("000300,000905", ["000300,000905"]),
            ((" 000300", 300, "", "000300"), ["000300", "300", "000300"]),
        ],
    )
    def test_parse(self, universe, codes):
        assert _service.BacktestService._parse_universe(universe) == codes

    def filtered(self, service, data, universe):
        sliced = service._slice_data(data.data, "00000000", "99999999")
        service._apply_universe_filter(sliced, universe, "", "")
        return sliced

    def test_union_of_indices_keeps_validity_of_members_only(self, service, loaded):
        before = snapshot(loaded)
        sliced = self.filtered(service, loaded, ["000300", " 000905"])
        valid = loaded.data["close_price_valid"]
        member = loaded.data[K300].notna() | loaded.data[K905].notna()
        pd.testing.assert_frame_equal(sliced["close_price_valid"], valid.where(member))
        assert_untouched(loaded, before)

    def test_stocks_and_dates_missing_from_the_members_are_filtered(self, service, loaded):
        data = dict(loaded.data)
        data[K300] = loaded.data[K300].iloc[5:, 1:]
        valid = self.filtered(service, BacktestData(data=data), "000300")["close_price_valid"]
        assert valid.iloc[:5].isna().all().all() and valid.iloc[:, 0].isna().all()
        assert valid.iloc[5:, 1:].notna().any().any()

    @pytest.mark.parametrize("universe", [None, "", []])
    def test_no_universe_leaves_the_same_frame(self, service, loaded, universe):
        sliced = service._slice_data(loaded.data, "00000000", "99999999")
        frame = sliced["close_price_valid"]
        service._apply_universe_filter(sliced, universe, "", "")
        assert sliced["close_price_valid"] is frame

    @pytest.mark.parametrize(
        "universe, message",
        [
            (["000300", 300], "^不支持的选股范围: 300$"),
            ("000300,000905", "^不支持的选股范围: 000300,000905$"),
            ("000852", "^选股范围 000852 无成分股数据,请重新准备数据$"),
        ],
    )
    def test_errors_leave_the_data_unchanged(self, service, loaded, universe, message):
        sliced = service._slice_data(loaded.data, "00000000", "99999999")
        frame = sliced["close_price_valid"]
        with pytest.raises(ValueError, match=message):
            service._apply_universe_filter(sliced, universe, "", "")
        assert sliced["close_price_valid"] is frame

    def test_empty_component_and_missing_validity(self, service, loaded):
        data = dict(loaded.data, **{K300: loaded.data[K300].iloc[:0]})
        with pytest.raises(ValueError, match="000300 无成分股数据"):
            service._apply_universe_filter(data, "000300", "", "")
        del data["close_price_valid"]
        with pytest.raises(KeyError, match="close_price_valid"):
            service._apply_universe_filter(data, "000905", "", "")
        with pytest.raises(TypeError):
            service._apply_universe_filter(data, "000905", 1, "")


@pytest.fixture
def core_calls(monkeypatch):
    """Records what the service hands the core, which still runs (without charts)."""
    calls, real = [], _ravelin.run_strategy_backtest_core

    def spy(**kwargs):
        calls.append(kwargs)
        return real(**(kwargs | {"plot_image_kind": None}))

    monkeypatch.setattr(_ravelin, "run_strategy_backtest_core", spy)
    return calls


class TestStrategyRequest:
    def test_result_is_the_core_result_on_the_window(self, service, loaded, prepared, core_calls):
        before = snapshot(loaded)
        signal = prepared[1]
        dates = signal.index
        result = service.backtest_strategy(
            signal, loaded, int(dates[5]), dates[50], None, "", plot=None, rolling_window=5.9, fee=0
        )
        (kw,) = core_calls
        assert list(kw) == [
            "strategy_matrix",
            *["can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor"],
            *["close_price", "prev_close", "buy_price", "sell_price", "benchmark_dict"],
            *["benchmark_names", "rolling_window", "total_money", "fee", "rule_fee"],
            *["plot_image_kind", "plot_save_path", "strategy_name", "plot_title"],
        ]
        assert list(kw["strategy_matrix"].index) == list(dates[5:51])
        assert list(kw["close_price"].index) == list(dates[5:51])
        assert (kw["rolling_window"], kw["fee"], kw["plot_save_path"]) == (5, 0.0, None)
        assert type(kw["fee"]) is float and kw["benchmark_names"] == "000852"
        assert isinstance(result, StrategyBacktestResult)
        assert (result.strategy_name, result.plot_paths) == ("", {})
        sliced = service._slice_data(loaded.data, dates[5], dates[50])
        market = [sliced[k] for k in ("can_buy_stock", "cant_sell_stock", "rq_get_split")]
        market += [sliced[k] for k in ("rq_get_dividend", "close_price", "prev_close")]
        want = run_strategy_backtest_core(
            signal.loc[dates[5] : dates[50]],
            *market,
            sliced["buy_price"],
            sliced["sell_price"],
            sliced["benchmark_dict"],
            rolling_window=5,
            fee=0.0,
        )
        pd.testing.assert_series_equal(result.daily_return, want.daily_return)
        pd.testing.assert_frame_equal(result.benchmark_summary, want.benchmark_summary)
        assert_untouched(loaded, before)

    def test_int_and_str_dates_give_the_same_window(self, service, loaded, prepared, core_calls):
        dates = prepared[1].index
        for start in (int(dates[2]), dates[2]):
            service.backtest_strategy(
                prepared[1], loaded, start, int(dates[9]), None, "x", plot=None
            )
        assert [list(kw["strategy_matrix"].index) for kw in core_calls] == [list(dates[2:10])] * 2

    def test_plot_path_and_title(self, service, loaded, prepared, core_calls):
        service.backtest_strategy(prepared[1], loaded, "20000101", "20991231", "./out", "momentum")
        (kw,) = core_calls
        assert kw["plot_save_path"] == str(pathlib.Path("out/momentum.png"))
        assert (kw["plot_image_kind"], kw["strategy_name"], kw["plot_title"]) == (
            "large",
            "momentum",
            "momentum",
        )

    @pytest.mark.parametrize(
        "strategy, output_dir, filename, error, message",
        [
            (None, None, "", ValueError, "^策略权重矩阵为空$"),
            ("empty", None, "", ValueError, "^策略权重矩阵为空$"),
            ("ok", None, "x", ValueError, "^plot 非 None 时,output_dir 必须提供$"),
            ("ok", "", "x", ValueError, "^plot 非 None 时,output_dir 必须提供$"),
            ("ok", "out", "", ValueError, "^plot 非 None 时,plot_filename 必须提供$"),
            ("ok", "out", None, TypeError, "plot_filename"),
            ("ok", 5, "x", TypeError, "output_dir"),
            ("list", "out", "x", TypeError, "strategy"),
        ],
    )
    def test_checks_in_order_before_slicing(
        self, service, loaded, prepared, strategy, output_dir, filename, error, message
    ):
        strategy = {"ok": prepared[1], "empty": prepared[1].iloc[:0], "list": [[0.1]], None: None}[
            strategy
        ]
        service._slice_data = None  # any slicing would fail differently
        with pytest.raises(error, match=message):
            service.backtest_strategy(
                strategy, loaded, "20000101", "20991231", output_dir, filename
            )

    @pytest.mark.parametrize(
        "kwargs", [{"rolling_window": "5"}, {"fee": "0.1"}, {"total_money": None}, {"plot": 1}]
    )
    def test_option_types(self, service, loaded, prepared, kwargs):
        with pytest.raises(TypeError, match=next(iter(kwargs))):
            service.backtest_strategy(
                prepared[1], loaded, "20000101", "20991231", "o", "x", **kwargs
            )

    def test_missing_dataset_is_a_key_error(self, service, loaded, prepared):
        data = BacktestData(data={k: v for k, v in loaded.data.items() if k != "rq_get_split"})
        with pytest.raises(KeyError, match="rq_get_split"):
            service.backtest_strategy(
                prepared[1], data, "20000101", "20991231", None, "", plot=None
            )


REQUESTS = [
    {"rolling_window": w, "benchmark": bm, "start_date": s}
    for w in (0, 3)
    for bm in ("000852", "000300", "399303")
    for s in ("20000101", 20230201)
]


def backtest_in_worker(data, requests):
    service = _service.BacktestService(None)
    return [run_request(service, data, r) for r in requests]


@cache
def weights():
    return store_payload()[0]


def run_request(service, data, request):
    request = dict(request)
    start = request.pop("start_date")
    signal = weights()
    result = service.backtest_strategy(
        signal, data, start, "20991231", None, "s", plot=None, **request
    )
    return result.daily_return, result.stats, result.benchmark_summary


def assert_same_results(got, want):
    for (daily, stats, summary), (w_daily, w_stats, w_summary) in zip(got, want, strict=True):
        pd.testing.assert_series_equal(daily, w_daily, check_exact=True)
        np.testing.assert_array_equal(list(stats.values()), list(w_stats.values()))
        pd.testing.assert_frame_equal(summary, w_summary, check_exact=True)


class TestConcurrency:
    def test_threads_give_the_sequential_results(self, service, loaded):
        before = snapshot(loaded)
        want = [run_request(service, loaded, r) for r in REQUESTS]
        tasks = [REQUESTS[(t * 25 + k) % len(REQUESTS)] for t in range(4) for k in range(25)]
        barrier = threading.Barrier(4)

        def worker(t):
            barrier.wait()
            return [run_request(service, loaded, r) for r in tasks[t * 25 : (t + 1) * 25]]

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            got = [res for chunk in pool.map(worker, range(4)) for res in chunk]
        assert_same_results(got, [want[REQUESTS.index(r)] for r in tasks])
        assert_untouched(loaded, before)

    def test_worker_processes_given_pickled_data(self, service, loaded):
        want = [run_request(service, loaded, r) for r in REQUESTS]
        pickle.loads(pickle.dumps(loaded))  # the data travels by pickle
        context = multiprocessing.get_context("spawn")
        halves = [REQUESTS[: len(REQUESTS) // 2], REQUESTS[len(REQUESTS) // 2 :]]
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            got = [
                res for chunk in pool.map(backtest_in_worker, [loaded] * 2, halves) for res in chunk
            ]
        assert_same_results(got, want)
