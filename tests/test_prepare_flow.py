"""Preparing the local data over real HTTP against the sandbox: download, repair, update,
failures at every step, two processes at once, and the top-level API."""

import logging
import multiprocessing
from pathlib import Path
from types import SimpleNamespace

import pandas as pd
import pytest
from mirtaly.backtest._prepare import (
    COMPONENT_FACTOR_NAMES,
    BinaryPreparedDataStore,
    component_dataset_key,
)

import mirtaly
from conftest import store_payload
from mirtaly import api, singleton
from mirtaly.backtest import _pkg, _service
from mirtaly.backtest.result import BacktestData
from mirtaly.exceptions import MirtalyError, NetworkError
from mirtaly.sandbox import market_of_size
from mirtaly.sandbox.package import archive_store, build_benchmark_package
from mirtaly.sandbox.server import PackageServer

LIVE_SEED = 5
REQUIRED = [
    "close_price",
    "open_price",
    "can_buy_stock",
    "cant_sell_stock",
    "close_price_valid",
    "prev_close",
    "buy_price",
    "sell_price",
    "rq_get_split",
    "rq_get_dividend",
]
COMPONENT_KEYS = [component_dataset_key(name) for name in COMPONENT_FACTOR_NAMES]
INCOMPLETE = "回测基准数据包不完整,请删除回测数据目录后重新准备"


@pytest.fixture(scope="module")
def live_market():
    """A tiny sandbox market ending today."""
    return market_of_size("tiny", seed=LIVE_SEED)


@pytest.fixture(scope="module")
def server(live_market, tmp_path_factory):
    """The market's package (ending five sessions before today), served."""
    with PackageServer(build_benchmark_package(live_market, tmp_path_factory.mktemp("cloud"))) as s:
        yield s


@pytest.fixture
def flow(server, live_market, tmp_path, monkeypatch, install_client):
    monkeypatch.setattr(api, "_client", None)  # the process-wide state comes back afterwards
    monkeypatch.setattr(api, "_service", None)
    server.recover()
    server.requests.clear()
    factors = install_client(live_market.client())
    data_dir = tmp_path / "backtest_data" / "enviroment_data"
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", data_dir)
    service = _service.BacktestService(server.client(retries=0))
    return SimpleNamespace(service=service, dir=data_dir, server=server, factors=factors)


def downloads(server):
    return sum(r.path.startswith("/files/") and r.status == 200 for r in server.requests)


def actions(caplog):
    return [r.args[0] for r in caplog.records if r.msg.startswith("回测基准数据%s")]


def complete_payload(last_dates, drop=(), history=10):
    """A complete store's payload over eight stocks: ``history`` days of January 2020,
    then ``last_dates``; without the datasets in ``drop``."""
    _, payload = store_payload(n_days=12, n_stocks=8)
    dates = [*pd.date_range(end="2020-01-31", periods=history), *last_dates]
    labels = pd.DatetimeIndex(dates).strftime("%Y%m%d")
    data = payload["data"]
    data["open_price"] = data["close_price"]
    for key in COMPONENT_KEYS:
        data[key] = data["close_price"] * 0 + 1
    data["benchmark_dict"] = {c: s.iloc[-len(labels) :] for c, s in data["benchmark_dict"].items()}
    data = {k: relabel(v, labels) for k, v in data.items() if k not in drop}
    return {"version": 1, "meta": {}, "data": data}


def relabel(value, labels):
    if isinstance(value, dict):
        return {k: relabel(v, labels) for k, v in value.items()}
    return value.iloc[-len(labels) :].set_axis(labels)


def write_store(path, payload):
    BinaryPreparedDataStore(path).write(payload)
    return BinaryPreparedDataStore(path).load(mmap=False)["data"]


def today(offset=0):
    return pd.Timestamp.today().normalize() + pd.Timedelta(days=offset)


def leftovers(data_dir):
    return sorted(p.name for p in data_dir.parent.iterdir() if p.name != ".enviroment_data.lock")


class TestChecks:
    def test_missing_datasets_in_order(self, tmp_path):
        store = BinaryPreparedDataStore(tmp_path)
        store._write_metadata({"datasets": {}})
        missing = _service.BacktestService._find_missing_datasets(store)
        assert missing == ["close_price 索引为空", *REQUIRED, "benchmarks", *COMPONENT_KEYS]

    @pytest.mark.parametrize(
        "drop, message",
        [
            (None, "回测基准数据包解压后缺少元信息文件"),
            (["sell_price"], INCOMPLETE),
            (["rq_get_split"], INCOMPLETE),
            (["benchmark_dict"], INCOMPLETE),
            ([COMPONENT_KEYS[0]], None),  # a package without a component is accepted
        ],
    )
    def test_validation(self, tmp_path, drop, message):
        store = BinaryPreparedDataStore(tmp_path)
        if drop is not None:
            store.write(complete_payload([today()], drop=drop))
        if message is None:
            _service.BacktestService._validate_metadata(store)
            return
        with pytest.raises(MirtalyError, match=f"^{message}$"):
            _service.BacktestService._validate_metadata(store)


class TestStates:
    def test_absent_through_the_top_level_api_then_behind(self, flow, live_market, caplog):
        caplog.set_level(logging.INFO, "mirtaly")
        api.configure(client=flow.server.client())
        mirtaly.prepare_backtest_data()
        stored = BinaryPreparedDataStore(flow.dir).load_metadata()["datasets"]
        assert stored["close_price"]["index"] == list(live_market.date_labels)
        mirtaly.prepare_backtest_data()
        data = mirtaly.load_backtest_data()
        assert actions(caplog) == ["已就绪并更新", "已更新"]
        assert downloads(flow.server) == 1
        assert isinstance(data, BacktestData) and set(REQUIRED) <= set(data.data)
        assert leftovers(flow.dir) == ["enviroment_data"]

    @pytest.mark.parametrize(
        "newest, history", [([today()], 0), ([today(), today(1)], 10)], ids=["one", "two"]
    )
    def test_current_store_is_left_as_it_is(self, flow, caplog, newest, history):
        before = write_store(flow.dir, complete_payload(newest, history=history))
        files = sorted(flow.dir.iterdir())
        caplog.set_level(logging.INFO, "mirtaly")
        flow.service.prepare_backtest_data()
        assert actions(caplog) == ["已是最新"]
        assert flow.server.requests == [] and flow.factors.calls == []
        assert sorted(flow.dir.iterdir()) == files
        after = BinaryPreparedDataStore(flow.dir).load(mmap=False)["data"]
        pd.testing.assert_frame_equal(after["buy_price"], before["buy_price"])

    def test_downloaded_package_reaching_today_is_ready(self, flow, tmp_path, caplog):
        write_store(tmp_path / "cloud", complete_payload([today(), today(1)]))
        package = archive_store(tmp_path / "cloud", tmp_path / "p.tar.gz", root="r", end_date="x")
        caplog.set_level(logging.INFO, "mirtaly")
        with PackageServer(package) as server:
            _service.BacktestService(server.client()).prepare_backtest_data()
        assert actions(caplog) == ["已就绪"] and flow.factors.calls == []

    @pytest.mark.parametrize("lacking", ["buy_price", "rq_get_dividend", COMPONENT_KEYS[4]])
    def test_incomplete_store_is_replaced(self, flow, caplog, lacking):
        write_store(flow.dir, complete_payload([today(-1), today()], drop=[lacking]))
        caplog.set_level(logging.INFO, "mirtaly")
        flow.service.prepare_backtest_data()
        assert actions(caplog) == ["已就绪并更新"] and downloads(flow.server) == 1
        assert (
            _service.BacktestService._find_missing_datasets(BinaryPreparedDataStore(flow.dir)) == []
        )
        assert leftovers(flow.dir) == ["enviroment_data"]


def fail_extract(monkeypatch):
    real = _pkg._extract

    def extract_then_fail(tar, members, dest):
        real(tar, members, dest)
        raise OSError("disk full")

    monkeypatch.setattr(_pkg, "_extract", extract_then_fail)


def fail_swap(monkeypatch):
    real = Path.rename

    def rename(self, target):
        if ".staging-" in self.name:
            raise OSError("rename refused")
        return real(self, target)

    monkeypatch.setattr(Path, "rename", rename)


def factor_service_down(*args):
    raise NetworkError("factor service down")


FAILURES = {
    # step: (injection, error, message, the state the store keeps)
    "status": (lambda s, m: s.fail("status"), NetworkError, "HTTP 503", "old"),
    "drop": (lambda s, m: s.fail("drop"), NetworkError, "incomplete", "old"),
    "checksum": (lambda s, m: s.fail("checksum"), NetworkError, "校验失败", "old"),
    "address": (lambda s, m: s.fail("address"), MirtalyError, "下载地址无效", "old"),
    "unpack": (lambda s, m: fail_extract(m), MirtalyError, "disk full", "old"),
    # A package still wrapped in its folder has no metadata at the top.
    "validate": (
        lambda s, m: m.setattr(_service, "flatten_single_subdir", lambda d: None),
        MirtalyError,
        "缺少元信息文件",
        "old",
    ),
    "swap": (lambda s, m: fail_swap(m), OSError, "rename refused", "old"),
    "update": (
        lambda s, m: m.setattr(_service, "build_incremental_write_window", factor_service_down),
        NetworkError,
        "factor service down",
        "new",
    ),
}


@pytest.mark.parametrize("step", list(FAILURES))
def test_a_failure_at_any_step_keeps_a_loadable_store(flow, monkeypatch, live_market, step):
    inject, error, message, kept = FAILURES[step]
    old = write_store(flow.dir, complete_payload([today(-1), today()], drop=["sell_price"]))
    inject(flow.server, monkeypatch)
    with pytest.raises(error, match=message):
        flow.service.prepare_backtest_data()
    monkeypatch.undo()
    data = BinaryPreparedDataStore(flow.dir).load(mmap=False)["data"]
    if kept == "old":
        pd.testing.assert_frame_equal(data["close_price"], old["close_price"])
        assert "sell_price" not in data
    else:
        assert list(data["close_price"].index) == list(live_market.date_labels[:-5])
    assert leftovers(flow.dir) == ["enviroment_data"]


def test_failed_update_raises_and_logs_nothing(flow, monkeypatch, caplog):
    flow.service.prepare_backtest_data()

    class Refusing(BinaryPreparedDataStore):
        def update_tail(self, payload):
            return False

    monkeypatch.setattr(_service, "BinaryPreparedDataStore", Refusing)
    caplog.set_level(logging.INFO, "mirtaly")
    caplog.clear()
    with pytest.raises(MirtalyError, match="^回测数据增量更新失败:基准缺失或元信息不完整$"):
        flow.service.prepare_backtest_data()
    assert caplog.records == []


def prepare_in_process(data_dir, base_url, key, secret):
    singleton.set_instance(market_of_size("tiny", seed=LIVE_SEED).client())
    _service._DEFAULT_DATA_DIR = Path(data_dir)
    mirtaly.configure(base_url, key, secret, retries=0)
    mirtaly.prepare_backtest_data()


def test_two_processes_preparing_at_once(flow, live_market):
    context = multiprocessing.get_context("spawn")
    args = (str(flow.dir), flow.server.base_url, flow.server.key, flow.server.secret)
    workers = [context.Process(target=prepare_in_process, args=args) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(120)
    assert [w.exitcode for w in workers] == [0, 0]
    # One of them downloaded; the other waited and found the store complete.
    assert downloads(flow.server) == 1
    store = BinaryPreparedDataStore(flow.dir)
    assert (
        store.load_metadata()["datasets"]["close_price"]["index"][-1]
        == (live_market.date_labels[-1])
    )
    assert _service.BacktestService._find_missing_datasets(store) == []
    assert leftovers(flow.dir) == ["enviroment_data"]


def test_configure_checks_its_arguments(flow):
    with pytest.raises(TypeError, match="secret"):
        mirtaly.configure("http://127.0.0.1:1", "key", None)
    with pytest.raises(TypeError, match="HttpClient"):
        mirtaly.configure(client=object())
