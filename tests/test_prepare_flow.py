"""Preparing the local data over real HTTP against the sandbox: the four states, repair,
a failure at every step, unsafe packages, two processes at once, and the top-level API."""

import io
import logging
import multiprocessing
import tarfile
from pathlib import Path
from types import SimpleNamespace

import pandas as pd
import pytest
from mirtaly.backtest._prepare import BinaryPreparedDataStore

import mirtaly
from conftest import store_payload
from mirtaly import api, singleton
from mirtaly.backtest import _pkg, _service
from mirtaly.exceptions import MirtalyError, NetworkError
from mirtaly.sandbox import market_of_size
from mirtaly.sandbox.package import (
    BenchmarkPackage,
    archive_store,
    build_benchmark_package,
    file_sha256,
)
from mirtaly.sandbox.server import PackageServer

REQUIRED = (
    "close_price open_price can_buy_stock cant_sell_stock close_price_valid prev_close "
    "buy_price sell_price rq_get_split rq_get_dividend"
).split()
COMPONENTS = [_service.component_dataset_key(n) for n in _service.COMPONENT_FACTOR_NAMES]
INCOMPLETE = "回测基准数据包不完整,请删除回测数据目录后重新准备"
check = _service.BacktestService


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """A tiny market ending today; its package, ending five sessions earlier, served."""
    market = market_of_size("tiny", seed=5)
    with PackageServer(build_benchmark_package(market, tmp_path_factory.mktemp("cloud"))) as s:
        s.market = market
        yield s


@pytest.fixture
def flow(server, tmp_path, monkeypatch, install_client, caplog):
    monkeypatch.setattr(api, "_client", None)  # the process-wide state comes back afterwards
    monkeypatch.setattr(api, "_service", None)
    server.recover()
    server.requests.clear()
    caplog.set_level(logging.INFO, "mirtaly")
    data_dir = tmp_path / "backtest_data" / "enviroment_data"
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", data_dir)
    return SimpleNamespace(
        service=_service.BacktestService(server.client(retries=0)),
        dir=data_dir,
        server=server,
        factors=install_client(server.market.client()),
        actions=lambda: [r.args[0] for r in caplog.records if r.msg.startswith("回测基准数据%s")],
        downloads=lambda: sum(r.path.startswith("/files/") for r in server.requests),
        leftovers=lambda: sorted(p.name for p in data_dir.parent.iterdir() if p.suffix != ".lock"),
    )


def day(offset=0):
    return pd.Timestamp.today().normalize() + pd.Timedelta(days=offset)


def write_store(path, newest, drop=(), history=10):
    """A complete store over eight stocks: ``history`` days of January 2020, then the
    ``newest`` days; without the datasets in ``drop``. Returns what it loads."""
    labels = pd.DatetimeIndex([*pd.date_range(end="2020-01-31", periods=history), *newest])
    labels = labels.strftime("%Y%m%d")
    data = store_payload(n_days=12, n_stocks=8)[1]["data"]
    benchmarks = data.pop("benchmark_dict")
    data |= {"open_price": data["close_price"]}
    data |= {key: data["close_price"] * 0 + 1 for key in COMPONENTS}

    def cut(value):
        return value.iloc[-len(labels) :].set_axis(labels)

    data = {k: cut(v) for k, v in data.items() if k not in drop}
    keep = "benchmark_dict" not in drop
    data["benchmark_dict"] = {c: cut(s) for c, s in benchmarks.items() if keep}
    BinaryPreparedDataStore(path).write({"version": 1, "meta": {}, "data": data})
    return BinaryPreparedDataStore(path).load(mmap=False)["data"]


def test_required_datasets_go_beyond_the_four_keys(tmp_path):
    store = BinaryPreparedDataStore(tmp_path)

    def holding(keys):
        datasets = {key: {"index": ["20240102"]} for key in keys}
        store._write_metadata({"datasets": datasets, "benchmarks": {"000300": "b"}})
        return store

    assert check._find_missing_datasets(holding(REQUIRED[:4])) == [*REQUIRED[4:], *COMPONENTS]
    with pytest.raises(MirtalyError, match=f"^{INCOMPLETE}$"):
        check._validate_metadata(store)
    check._validate_metadata(holding(REQUIRED))  # component matrices are not examined
    store._write_metadata({"datasets": {}})
    missing = check._find_missing_datasets(store)
    assert missing == ["close_price 索引为空", *REQUIRED, "benchmarks", *COMPONENTS]


@pytest.mark.parametrize("lacking", [None, "buy_price", "rq_get_dividend", COMPONENTS[4]])
def test_absent_or_incomplete_is_downloaded_then_updated(flow, lacking):
    if lacking:
        write_store(flow.dir, [day(-1), day()], drop=[lacking])
    mirtaly.configure(client=flow.server.client())  # the top-level API
    mirtaly.prepare_backtest_data()
    mirtaly.prepare_backtest_data()
    assert flow.actions() == ["已就绪并更新", "已更新"] and flow.downloads() == 1
    store = BinaryPreparedDataStore(flow.dir)
    dates = store.load_metadata()["datasets"]["close_price"]["index"]
    assert dates == list(flow.server.market.date_labels)
    assert check._find_missing_datasets(store) == [] and flow.leftovers() == ["enviroment_data"]
    assert set(REQUIRED) <= set(mirtaly.load_backtest_data().data)


@pytest.mark.parametrize("newest, history", [([day()], 0), ([day(), day(1)], 10)])
def test_current_store_is_left_as_it_is(flow, newest, history):
    before = write_store(flow.dir, newest, history=history)
    files = sorted(flow.dir.iterdir())
    flow.service.prepare_backtest_data()
    assert flow.actions() == ["已是最新"]
    assert flow.server.requests == [] and flow.factors.calls == []
    assert sorted(flow.dir.iterdir()) == files
    after = BinaryPreparedDataStore(flow.dir).load(mmap=False)["data"]
    pd.testing.assert_frame_equal(after["buy_price"], before["buy_price"])


def serve(monkeypatch, server, archive):
    """Makes ``server`` hand out ``archive`` for this test."""
    size, sha256 = archive.stat().st_size, file_sha256(archive)
    monkeypatch.setattr(server, "package", BenchmarkPackage(archive, sha256, size, "", "r"))
    return server.client(retries=0)


def test_downloaded_package_reaching_today_is_ready(flow, tmp_path, monkeypatch):
    write_store(tmp_path / "cloud", [day(), day(1)])
    archive = archive_store(tmp_path / "cloud", tmp_path / "p", root="r", end_date="")
    _service.BacktestService(serve(monkeypatch, flow.server, archive.path)).prepare_backtest_data()
    assert flow.actions() == ["已就绪"] and flow.factors.calls == []


def inject(step, server, monkeypatch):
    """Makes one step of preparation fail."""
    if step in ("status", "drop", "checksum", "address"):
        return server.fail(step)
    if step == "validate":  # a package left wrapped in its folder has no metadata on top
        return monkeypatch.setattr(_service, "flatten_single_subdir", lambda d: None)
    owner, name = {
        "unpack": (_pkg, "_extract"),
        "swap": (Path, "rename"),
        "update": (_service, "build_incremental_write_window"),
    }[step]
    real = getattr(owner, name)

    def failing(*args):
        if step == "swap" and ".staging-" not in args[0].name:
            return real(*args)
        if step == "unpack":
            real(*args)  # fails half-done
        raise (NetworkError if step == "update" else OSError)(f"{step} failed")

    monkeypatch.setattr(owner, name, failing)


FAILURES = [  # step, error, message, the state the store keeps
    ("status", NetworkError, "HTTP 503", "old"),
    ("drop", NetworkError, "incomplete", "old"),
    ("checksum", NetworkError, "校验失败", "old"),
    ("address", MirtalyError, "下载地址无效", "old"),
    ("unpack", MirtalyError, "unpack failed", "old"),
    ("validate", MirtalyError, "缺少元信息文件", "old"),
    ("swap", OSError, "swap failed", "old"),
    ("update", NetworkError, "update failed", "new"),
]


@pytest.mark.parametrize("step, error, message, kept", FAILURES)
def test_a_failure_at_any_step_keeps_a_loadable_store(
    flow, monkeypatch, step, error, message, kept
):
    old = write_store(flow.dir, [day(-1), day()], drop=["sell_price"])
    inject(step, flow.server, monkeypatch)
    with pytest.raises(error, match=message):
        flow.service.prepare_backtest_data()
    monkeypatch.undo()
    data = BinaryPreparedDataStore(flow.dir).load(mmap=False)["data"]
    if kept == "old":
        pd.testing.assert_frame_equal(data["close_price"], old["close_price"])
    else:
        assert list(data["close_price"].index) == list(flow.server.market.date_labels[:-5])
    assert ("sell_price" in data) == (kept == "new")
    assert flow.leftovers() == ["enviroment_data"]


def test_failed_update_raises_and_logs_nothing(flow, monkeypatch, caplog):
    flow.service.prepare_backtest_data()
    refusing = type("Refusing", (BinaryPreparedDataStore,), {"update_tail": lambda s, p: False})
    monkeypatch.setattr(_service, "BinaryPreparedDataStore", refusing)
    caplog.clear()
    with pytest.raises(MirtalyError, match="^回测数据增量更新失败:基准缺失或元信息不完整$"):
        flow.service.prepare_backtest_data()
    assert caplog.records == []


def prepare_in_process(data_dir, base_url, key, secret):
    singleton.set_instance(market_of_size("tiny", seed=5).client())
    _service._DEFAULT_DATA_DIR = Path(data_dir)
    mirtaly.configure(base_url, key, secret, retries=0)
    mirtaly.prepare_backtest_data()


def test_two_processes_preparing_at_once(flow):
    context = multiprocessing.get_context("spawn")
    args = (str(flow.dir), flow.server.base_url, flow.server.key, flow.server.secret)
    workers = [context.Process(target=prepare_in_process, args=args) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(120)
    assert [w.exitcode for w in workers] == [0, 0]
    # One downloaded; the other waited for the lock and found the store complete.
    assert flow.downloads() == 1 and flow.leftovers() == ["enviroment_data"]
    assert check._find_missing_datasets(BinaryPreparedDataStore(flow.dir)) == []


@pytest.mark.parametrize(
    "evil",
    [
        ("r/../../escaped", tarfile.REGTYPE, ""),
        ("/tmp/mirtaly-absolute-escape", tarfile.REGTYPE, ""),
        ("r/link", tarfile.SYMTYPE, "metadata.pkl"),
        ("r/hard", tarfile.LNKTYPE, "r/metadata.pkl"),
        ("r/dev", tarfile.CHRTYPE, ""),
    ],
    ids=["traversal", "absolute", "symlink", "hardlink", "device"],
)
@pytest.mark.parametrize("data_filter", [True, False], ids=["stdlib-filter", "own-rules"])
def test_unsafe_members_refuse_the_package(flow, tmp_path, monkeypatch, evil, data_filter):
    if not data_filter:
        monkeypatch.delattr(tarfile, "data_filter", raising=False)
    archive = tmp_path / "evil.tar.gz"
    with tarfile.open(archive, "w:gz") as tar:
        for name, kind, link in [("r/metadata.pkl", tarfile.REGTYPE, ""), evil]:
            info = tarfile.TarInfo(name)
            info.type, info.linkname, info.size = kind, link, 3 * (kind == tarfile.REGTYPE)
            tar.addfile(info, io.BytesIO(b"abc") if info.isreg() else None)
    with pytest.raises(MirtalyError, match="不安全的成员"):
        _pkg.download_benchmark_package(serve(monkeypatch, flow.server, archive), flow.dir)
    # Not even the safe member was written, nor anything beside the directory.
    assert list(flow.dir.iterdir()) == [] and flow.leftovers() == ["enviroment_data"]
    assert not (tmp_path / "escaped").exists()
    assert not Path("/tmp/mirtaly-absolute-escape").exists()
    if not data_filter:  # the same rules unpack plain files
        with tarfile.open(archive) as tar:
            _pkg._extract(tar, [tar.getmember("r/metadata.pkl")], tmp_path / "ok")
        assert (tmp_path / "ok" / "r" / "metadata.pkl").read_bytes() == b"abc"


def test_flatten_a_folder_holding_its_own_name(tmp_path):
    (tmp_path / "pkg" / "same").mkdir(parents=True)
    (tmp_path / "pkg" / "same" / "same").write_text("inner")
    _pkg.flatten_single_subdir(tmp_path / "pkg")
    assert (tmp_path / "pkg" / "same").read_text() == "inner"


def test_lock_tidies_what_an_interrupted_preparation_left(tmp_path):
    data = tmp_path / "data"
    staging = _pkg.staging_directory(data)
    retired = tmp_path / ".data.retired-000000000000"  # moved aside, never replaced
    retired.mkdir()
    (retired / "f").write_text("old")
    with _pkg.preparation_lock(data):
        assert (data / "f").read_text() == "old"
        assert not staging.exists() and not retired.exists()
