import functools
import io
import os
import pickle
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _store
from mirtaly.backtest._store import (
    BinaryPreparedDataStoreBase,
    clean_matrix,
    component_dataset_key,
    normalize_yyyymmdd,
)
from mirtaly.exceptions import MirtalyError

DTYPES = {"close_price": "float64", "can_buy_stock": "bool", "cant_sell_stock": "bool"}
DATES = ["20240102", "20240103", "20240104", "20240105", "20240108"]
CODES = ["000001", "300750", "600000"]


def make_store(path):
    return BinaryPreparedDataStoreBase(path, DTYPES, 1, "float64")


def make_payload(dates=DATES, codes=CODES, seed=0):
    rng = np.random.default_rng(seed)
    close = pd.DataFrame(rng.uniform(5, 50, (len(dates), len(codes))), index=dates, columns=codes)
    if len(dates) > 1:
        close.iloc[1, 0] = np.nan
    can_buy = pd.DataFrame(rng.random((len(dates), len(codes))) > 0.3, index=dates, columns=codes)
    cant_sell = ~can_buy
    bench = {
        "000300": pd.Series(
            rng.normal(0, 0.01, len(dates)), index=dates, name="index_daily_return"
        ),
        "000905": pd.Series(
            rng.normal(0, 0.01, len(dates)), index=dates, name="index_daily_return"
        ),
    }
    data = {
        "close_price": close,
        "can_buy_stock": can_buy,
        "cant_sell_stock": cant_sell,
        "benchmark_dict": bench,
    }
    return {"version": 1, "meta": {"start_date": dates[0], "end_date": dates[-1]}, "data": data}


def snapshot(store):
    """Everything a store loads, as plain values, for exact comparison."""
    if not store.metadata_path.exists():
        return None
    data = store.load(mmap=False)["data"]
    out = {}
    for key, value in data.items():
        if key == "benchmark_dict":
            out[key] = {c: (list(s.index), s.to_numpy().tolist()) for c, s in value.items()}
        else:
            out[key] = (
                list(value.index),
                list(value.columns),
                str(value.dtypes.iloc[0]),
                value.to_numpy().tolist(),
            )
    return out


def on_disk(path):
    return {n: (path / n).read_bytes() for n in os.listdir(path)}


def assert_snapshot_equal(a, b):
    # NaN != NaN in lists: compare through pickle-stable repr of arrays instead.
    assert (a is None) == (b is None)
    if a is None:
        return
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_equal(a[key], b[key])


# --------------------------------------------------------------------------- helpers


class TestNormalizeDate:
    @pytest.mark.parametrize(
        "value",
        [
            20240102,
            "20240102",
            "2024-01-02",
            " 2024/1/2 ",
            "2024-01-02 15:00:00",
            np.int64(20240102),
            pd.Timestamp("2024-01-02 09:30"),
            np.datetime64("2024-01-02"),
        ],
    )
    def test_accepted_forms(self, value):
        assert normalize_yyyymmdd(value) == "20240102"

    def test_none_stays_none(self):
        assert normalize_yyyymmdd(None) is None

    @pytest.mark.parametrize(
        "value",
        [
            "2024013",
            "20241301",
            "20240230",
            "tomorrow",
            "",
            2024010,
            True,
            20240102.0,
            [20240102],
            "2024-02-30",
        ],
    )
    def test_unparseable_names_the_value(self, value):
        with pytest.raises(ValueError, match=repr(value).replace("[", r"\[").replace(".", r"\.")):
            normalize_yyyymmdd(value)


def test_component_dataset_key():
    assert (
        component_dataset_key("rq_index_components_new_000300.XSHG")
        == "component__rq_index_components_new_000300_xshg"
    )
    assert (
        component_dataset_key(" rq_index_components_new_932000.INDX ")
        == "component__rq_index_components_new_932000_indx"
    )
    with pytest.raises(TypeError):
        component_dataset_key(300)
    with pytest.raises(ValueError):
        component_dataset_key(" .. ")


class TestCleanMatrix:
    def test_labels_normalised_and_sorted(self):
        raw = pd.DataFrame(
            [[1, 2, 3], [4, 5, 6]],
            index=[20240103, "2024-01-02"],
            columns=["600000.XSHG", 1, "300750.XSHE"],
        )
        before = raw.copy()
        out = clean_matrix(raw)
        assert list(out.index) == ["20240102", "20240103"]
        assert list(out.columns) == ["000001", "300750", "600000"]
        assert (out.dtypes == np.float64).all()
        assert out.loc["20240103", "600000"] == 1.0
        assert out.loc["20240102", "000001"] == 5.0
        pd.testing.assert_frame_equal(raw, before)

    def test_datetime_index_and_numeric_text(self):
        raw = pd.DataFrame(
            {"000001": ["1.5", None], "000002": [1, 2]},
            index=pd.to_datetime(["2024-01-02", "2024-01-03"]),
        )
        out = clean_matrix(raw)
        assert list(out.index) == ["20240102", "20240103"]
        assert out["000001"].tolist()[0] == 1.5 and np.isnan(out["000001"].tolist()[1])

    @pytest.mark.parametrize(
        "raw, message",
        [
            (
                pd.DataFrame([[1], [2]], index=["20240102", 20240102], columns=["000001"]),
                "重复日期",
            ),
            (
                pd.DataFrame([[1, 2]], index=["20240102"], columns=[1, "000001.XSHE"]),
                "重复股票代码",
            ),
            (pd.DataFrame([[1]], index=["not a date"], columns=["000001"]), "日期无法解析"),
            (pd.DataFrame([[1]], index=["20240102"], columns=["ABC"]), "股票代码"),
            (pd.DataFrame({"000001": ["x"]}, index=["20240102"]), "非数值"),
            (
                pd.DataFrame({"000001": pd.to_datetime(["2024-01-02"])}, index=["20240102"]),
                "非数值",
            ),
            (pd.DataFrame({"000001": [1.0, 1 + 2j]}, index=["20240102", "20240103"]), r"1\+2j"),
        ],
    )
    def test_rejects_bad_tables(self, raw, message):
        with pytest.raises(ValueError, match=message):
            clean_matrix(raw)

    def test_rejects_non_frames(self):
        with pytest.raises(TypeError):
            clean_matrix({"000001": [1.0]})


# --------------------------------------------------------------------------- round trip, windows


class TestRoundTrip:
    def test_matrices_and_benchmarks_round_trip_exactly(self, tmp_path):
        payload = make_payload()
        store = make_store(tmp_path / "s")
        store.write(payload)
        loaded = store.load(mmap=False)
        assert loaded["version"] == 1
        assert loaded["meta"]["end_date"] == DATES[-1]
        data = loaded["data"]
        assert list(data) == ["close_price", "can_buy_stock", "cant_sell_stock", "benchmark_dict"]
        for key in ("close_price", "can_buy_stock", "cant_sell_stock"):
            pd.testing.assert_frame_equal(
                data[key], payload["data"][key], check_index_type=False, check_column_type=False
            )
        assert data["can_buy_stock"].dtypes.eq(bool).all()
        for code, series in payload["data"]["benchmark_dict"].items():
            pd.testing.assert_series_equal(
                data["benchmark_dict"][code], series, check_index_type=False
            )
        # In-memory loads cross process boundaries.
        again = pickle.loads(pickle.dumps(loaded))
        pd.testing.assert_frame_equal(again["data"]["close_price"], data["close_price"])

    def test_keys_select_matrices_and_benchmarks_always_come(self, tmp_path):
        store = make_store(tmp_path)
        store.write(make_payload())
        data = store.load(keys=["cant_sell_stock"], mmap=False)["data"]
        assert list(data) == ["cant_sell_stock", "benchmark_dict"]
        assert set(data["benchmark_dict"]) == {"000300", "000905"}
        assert list(store.load(keys=[])["data"]) == ["benchmark_dict"]
        with pytest.raises(KeyError):
            store.load(keys=["open_price"])

    @pytest.mark.parametrize(
        "start, end, expected",
        [
            (None, None, DATES),
            ("20240104", None, DATES[2:]),
            (None, 20240103, DATES[:2]),
            ("2024-01-03", "20240105", DATES[1:4]),
            ("20240106", "20240107", []),  # between stored dates
            ("20230101", "20240102", DATES[:1]),
            ("20240108", "20991231", DATES[-1:]),
            ("20240105", "20240103", []),
        ],
    )
    @pytest.mark.parametrize("mmap", [False, True])
    def test_window_at_both_ends(self, tmp_path, start, end, expected, mmap):
        payload = make_payload()
        store = make_store(tmp_path)
        store.write(payload)
        data = store.load(start_date=start, end_date=end, mmap=mmap)["data"]
        close = data["close_price"]
        assert list(close.index) == expected
        assert list(close.columns) == CODES
        np.testing.assert_array_equal(
            close.to_numpy(), payload["data"]["close_price"].loc[expected]
        )
        assert list(data["benchmark_dict"]["000300"].index) == expected

    def test_mmap_arrays_are_read_only_views_of_the_files(self, tmp_path):
        store = make_store(tmp_path)
        store.write(make_payload())
        close = store.load(start_date="20240103", mmap=True)["data"]["close_price"]
        values = close.to_numpy()
        assert not values.flags.writeable
        base = values
        while base.base is not None and not isinstance(base, np.memmap):
            base = base.base
        assert isinstance(base, np.memmap)
        with pytest.raises(ValueError):
            values[0, 0] = 1.0

    def test_in_memory_load_is_not_a_map(self, tmp_path):
        store = make_store(tmp_path)
        store.write(make_payload())
        values = store.load(mmap=False)["data"]["close_price"].to_numpy()
        base = values
        while base is not None:
            assert not isinstance(base, np.memmap)
            base = base.base

    def test_write_refuses_an_existing_store(self, tmp_path):
        store = make_store(tmp_path)
        store.write(make_payload())
        with pytest.raises(MirtalyError):
            store.write(make_payload())

    def test_unstorable_meta_leaves_nothing_behind(self, tmp_path):
        payload = make_payload()
        payload["meta"]["callback"] = object()
        with pytest.raises(TypeError):
            make_store(tmp_path).write(payload)
        assert os.listdir(tmp_path) == []


# --------------------------------------------------------------------------- tail update


def tail_payload(dates, codes, seed=1):
    payload = make_payload(dates=dates, codes=codes, seed=seed)
    payload["meta"] = {"start_date": dates[0], "end_date": dates[-1], "updated_at": "x"}
    return payload


class TestUpdateTail:
    def test_overlap_new_dates_and_new_stocks(self, tmp_path):
        store = make_store(tmp_path)
        old = make_payload()
        store.write(old)
        new_dates = ["20240105", "20240108", "20240109"]
        new_codes = ["000001", "600000", "688001"]  # 300750 absent, 688001 newly listed
        new = tail_payload(new_dates, new_codes)
        assert store.update_tail(new) is True

        data = store.load(mmap=False)["data"]
        close = data["close_price"]
        assert list(close.index) == DATES[:3] + new_dates
        assert list(close.columns) == ["000001", "300750", "600000", "688001"]
        old_close = old["data"]["close_price"]
        new_close = new["data"]["close_price"]
        np.testing.assert_array_equal(close.loc[DATES[:3], CODES], old_close.loc[DATES[:3]])
        np.testing.assert_array_equal(close.loc[new_dates, new_codes], new_close)
        assert close.loc[DATES[:3], "688001"].isna().all()
        assert close.loc[new_dates, "300750"].isna().all()
        can_buy = data["can_buy_stock"]
        assert can_buy.dtypes.eq(bool).all()
        assert not can_buy.loc[DATES[:3], "688001"].any()
        np.testing.assert_array_equal(
            can_buy.loc[new_dates, new_codes], new["data"]["can_buy_stock"]
        )
        bench = data["benchmark_dict"]["000300"]
        assert list(bench.index) == DATES[:3] + new_dates
        np.testing.assert_array_equal(bench.loc[new_dates], new["data"]["benchmark_dict"]["000300"])
        meta = store.load_metadata()
        assert meta["datasets"]["close_price"]["index"] == DATES[:3] + new_dates
        assert meta["meta"]["start_date"] == DATES[0]
        assert meta["meta"]["end_date"] == "20240109"

    def test_datasets_absent_from_payload_stay(self, tmp_path):
        store = make_store(tmp_path)
        old = make_payload()
        store.write(old)
        new = tail_payload(["20240109"], CODES)
        del new["data"]["cant_sell_stock"]
        new["data"]["open_price"] = new["data"]["close_price"]  # unknown here: not added
        assert store.update_tail(new)
        data = store.load(mmap=False)["data"]
        assert "open_price" not in data
        pd.testing.assert_frame_equal(
            data["cant_sell_stock"],
            old["data"]["cant_sell_stock"],
            check_index_type=False,
            check_column_type=False,
        )
        assert data["close_price"].index[-1] == "20240109"

    def test_old_files_are_removed_after_an_update(self, tmp_path):
        store = make_store(tmp_path)
        store.write(make_payload())
        before = {n for n in os.listdir(tmp_path) if n.endswith(".npy")}
        store.update_tail(tail_payload(["20240109"], CODES))
        after = {n for n in os.listdir(tmp_path) if n.endswith(".npy")}
        assert len(after) == len(before) and not (before & after)

    @pytest.mark.parametrize(
        "damage",
        [
            "no_benchmarks",
            "no_datasets",
            "entry_without_index",
            "benchmark_missing_in_payload",
            "no_store",
        ],
    )
    def test_refusals_change_nothing(self, tmp_path, damage):
        store = make_store(tmp_path)
        new = tail_payload(["20240109"], CODES)
        if damage != "no_store":
            store.write(make_payload())
            meta = store.load_metadata()
            if damage == "no_benchmarks":
                meta["benchmarks"] = {}
            elif damage == "no_datasets":
                meta.pop("datasets")
            elif damage == "entry_without_index":
                del meta["datasets"]["close_price"]["index"]
            else:
                del new["data"]["benchmark_dict"]["000905"]
            store._write_metadata(meta)
        files = on_disk(tmp_path)
        assert store.update_tail(new) is False
        assert on_disk(tmp_path) == files


def relabel(payload, dates=None, codes=None):
    """The payload with the labels of its matrices mapped by ``dates`` and ``codes``."""
    for key, value in payload["data"].items():
        if isinstance(value, pd.DataFrame):
            value = value.set_axis(dates(value.index), axis=0) if dates else value
            payload["data"][key] = value.set_axis(codes(value.columns), axis=1) if codes else value
    return payload


LOOSE_LABELS = {
    "datetime index": (pd.to_datetime, None),
    "integer codes": (None, lambda cols: [int(c) for c in cols]),
    "suffixed codes": (None, lambda cols: [c + ".XSHE" for c in cols]),
}


@pytest.mark.parametrize("how", LOOSE_LABELS)
def test_loose_labels_are_stored_as_dates_and_codes(tmp_path, how):
    states = []
    for name, loose in (("exact", (None, None)), ("loose", LOOSE_LABELS[how])):
        store = make_store(tmp_path / name)
        store.write(relabel(make_payload(), *loose))
        assert store.update_tail(relabel(tail_payload(["20240105", "20240109"], CODES), *loose))
        states.append(snapshot(store))
    assert_snapshot_equal(*states)


@pytest.mark.parametrize(
    "dates, codes",
    [
        (lambda idx: ["20240109", "garbage"], None),
        (None, lambda cols: ["000001", "ABC", "600000"]),
        (None, lambda cols: ["000001", 1, "600000"]),  # 1 is 000001 again
    ],
)
@pytest.mark.parametrize("full", [True, False])
def test_unreadable_labels_raise_before_anything_is_written(tmp_path, dates, codes, full):
    store = make_store(tmp_path)
    if not full:
        store.write(make_payload())
    files = on_disk(tmp_path)
    bad = relabel(tail_payload(["20240109", "20240110"], CODES), dates, codes)
    with pytest.raises(ValueError, match="close_price"):
        store.write(bad) if full else store.update_tail(bad)
    assert on_disk(tmp_path) == files


# --------------------------------------------------------------------------- crash safety


class _Injected(Exception):
    pass


def _fail_on_call(monkeypatch, target, name, n):
    """Makes the n-th call of target.name raise; returns a counter."""
    original = getattr(target, name)
    calls = {"n": 0}

    def wrapper(*args, **kwargs):
        calls["n"] += 1
        if calls["n"] == n:
            raise _Injected(f"{name} #{n}")
        return original(*args, **kwargs)

    monkeypatch.setattr(target, name, wrapper)
    return calls


STEPS = [("os", "replace"), ("os", "fsync"), ("_NpyWriter", "write"), ("_store", "_now_iso")]


@pytest.mark.parametrize("target_name, name", STEPS)
def test_update_tail_failure_leaves_old_or_new_state(tmp_path, target_name, name):
    target = {"os": os, "_NpyWriter": _store._NpyWriter, "_store": _store}[target_name]
    new = tail_payload(["20240105", "20240109"], CODES + ["688001"])

    reference = make_store(tmp_path / "reference")
    reference.write(make_payload())
    old_state = snapshot(reference)
    reference.update_tail(new)
    new_state = snapshot(reference)

    n = 1
    while True:
        store = make_store(tmp_path / f"run{n}")
        store.write(make_payload())
        with pytest.MonkeyPatch.context() as mp:
            _fail_on_call(mp, target, name, n)
            try:
                store.update_tail(new)
                failed = False
            except _Injected:
                failed = True
        state = snapshot(store)
        if failed:
            try:
                assert_snapshot_equal(state, old_state)
            except AssertionError:
                assert_snapshot_equal(state, new_state)
        else:
            assert_snapshot_equal(state, new_state)
            break
        n += 1
    assert n > 1 or name == "_now_iso"


@pytest.mark.parametrize("name", ["replace", "fsync"])
def test_full_write_failure_leaves_no_store_or_the_whole_store(tmp_path, name):
    payload = make_payload()
    n = 1
    while True:
        store = make_store(tmp_path / f"run{n}")
        with pytest.MonkeyPatch.context() as mp:
            _fail_on_call(mp, os, name, n)
            try:
                store.write(payload)
                failed = False
            except _Injected:
                failed = True
        if not failed:
            break
        state = snapshot(store)
        assert state is None or state.keys() == {
            "close_price",
            "can_buy_stock",
            "cant_sell_stock",
            "benchmark_dict",
        }
        n += 1
    assert n > 3


CRASH_SCRIPT = textwrap.dedent(
    """
    import os, pickle, sys
    from mirtaly.backtest._store import BinaryPreparedDataStoreBase
    path, n, payload_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    payload = pickle.load(open(payload_file, "rb"))
    dtypes = pickle.loads(bytes.fromhex(sys.argv[4]))
    store = BinaryPreparedDataStoreBase(path, dtypes, 1, "float64")
    real_replace = os.replace
    calls = [0]
    def replace(*args):
        calls[0] += 1
        if calls[0] == n:
            os._exit(17)  # the process dies mid-update: no cleanup, no finally
        return real_replace(*args)
    os.replace = replace
    store.update_tail(payload)
    """
)


def test_killed_process_mid_update_leaves_a_loadable_store(tmp_path):
    new = tail_payload(["20240105", "20240109"], CODES + ["688001"])
    payload_file = tmp_path / "payload.pkl"
    payload_file.write_bytes(pickle.dumps(new))
    reference = make_store(tmp_path / "reference")
    reference.write(make_payload())
    old_state = snapshot(reference)
    reference.update_tail(new)
    new_state = snapshot(reference)

    outcomes = []
    for n in range(1, 8):
        store = make_store(tmp_path / f"crash{n}")
        store.write(make_payload())
        proc = subprocess.run(
            [
                sys.executable,
                "-c",
                CRASH_SCRIPT,
                str(store.store_dir),
                str(n),
                str(payload_file),
                pickle.dumps(DTYPES).hex(),
            ],
            capture_output=True,
            text=True,
        )
        assert proc.returncode in (0, 17), proc.stderr
        state = snapshot(store)
        try:
            assert_snapshot_equal(state, old_state)
            outcomes.append("old")
        except AssertionError:
            assert_snapshot_equal(state, new_state)
            outcomes.append("new")
        # Whatever the crash left behind, the next update works and cleans up.
        if outcomes[-1] == "old":
            assert store.update_tail(new)
            assert_snapshot_equal(snapshot(store), new_state)
            leftovers = [p for p in os.listdir(store.store_dir) if p.endswith(".tmp")]
            assert leftovers == []
    assert "old" in outcomes and "new" in outcomes


# --------------------------------------------------------------------------- hostile metadata


class _RunsCode:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (open, (self.marker, "w"))


class TestHostileMetadata:
    def test_pickled_callable_is_refused_and_never_run(self, tmp_path):
        store = make_store(tmp_path / "s")
        store.write(make_payload())
        marker = tmp_path / "pwned"
        meta = store.load_metadata()
        meta["meta"]["evil"] = _RunsCode(str(marker))
        store.metadata_path.write_bytes(pickle.dumps(meta))
        with pytest.raises(MirtalyError, match="不允许"):
            store.load_metadata()
        with pytest.raises(MirtalyError):
            store.load()
        assert not marker.exists()

    @pytest.mark.parametrize("raw", [b"", b"\x80\x05garbage", pickle.dumps([1, 2, 3])])
    def test_corrupt_metadata_is_a_mirtaly_error(self, tmp_path, raw):
        store = make_store(tmp_path)
        tmp_path.mkdir(exist_ok=True)
        store.metadata_path.write_bytes(raw)
        with pytest.raises(MirtalyError):
            store.load_metadata()

    def test_dataset_file_outside_the_store_is_refused(self, tmp_path):
        store = make_store(tmp_path / "s")
        store.write(make_payload())
        meta = store.load_metadata()
        meta["datasets"]["close_price"]["file"] = "../../etc/passwd"
        store._write_metadata(meta)
        with pytest.raises(MirtalyError, match="非法文件名"):
            store.load()

    def test_truncated_dataset_file_is_reported(self, tmp_path):
        store = make_store(tmp_path)
        store.write(make_payload())
        path = tmp_path / store.load_metadata()["datasets"]["close_price"]["file"]
        path.write_bytes(path.read_bytes()[:-16])
        with pytest.raises(MirtalyError, match="不完整"):
            store.load(mmap=False)


def _npy(array) -> bytes:
    buffer = io.BytesIO()
    np.save(buffer, array, allow_pickle=True)
    return buffer.getvalue()


def _lengthen_header(raw: bytes) -> bytes:
    (length,) = struct.unpack("<I", raw[8:12])  # our files carry a version 2 header
    return raw[:8] + struct.pack("<I", length + 64) + raw[12:]


# How close_price can be broken (metadata, its entry, its file): in the metadata,
# in the file's bytes, in the file's kind.
BREAKAGES = {
    "datasets not a dict": lambda m, e, p: m.update(datasets=list(m["datasets"].values())),
    "entry without index": lambda m, e, p: e.pop("index"),
    "index shorter than file": lambda m, e, p: e.update(index=e["index"][:-1], shape=[4, 3]),
    "columns longer than file": lambda m, e, p: e.update(columns=[*e["columns"], "688001"]),
    "truncated": lambda m, e, p: p.write_bytes(p.read_bytes()[:-16]),
    "header cut": lambda m, e, p: p.write_bytes(p.read_bytes()[:20]),
    "header lengthened": lambda m, e, p: p.write_bytes(_lengthen_header(p.read_bytes())),
    "object array": lambda m, e, p: p.write_bytes(_npy(np.full((5, 3), None, dtype=object))),
    "3-D array": lambda m, e, p: p.write_bytes(_npy(np.zeros((5, 3, 1)))),
    "wrong dtype": lambda m, e, p: p.write_bytes(_npy(np.zeros((5, 3), dtype=np.int64))),
    "directory": lambda m, e, p: (p.unlink(), p.mkdir()),
    "fifo": lambda m, e, p: (p.unlink(), os.mkfifo(p)),
    "missing": lambda m, e, p: p.unlink(),
    "symlink inside": lambda m, e, p: p.symlink_to(p.rename(p.with_name("moved.npy"))),
    "symlink outside": lambda m, e, p: p.symlink_to(p.rename(p.parent.parent / "out.npy")),
}


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize("how", BREAKAGES)
def test_broken_store_is_a_mirtaly_error_naming_the_dataset(tmp_path, how, mmap):
    store = make_store(tmp_path / "s")
    store.write(make_payload())
    meta = store.load_metadata()
    entry = meta["datasets"]["close_price"]
    BREAKAGES[how](meta, entry, store.store_dir / entry["file"])
    store._write_metadata(meta)
    with pytest.raises(MirtalyError, match="close_price|datasets"):
        store.load(mmap=mmap)


@pytest.mark.parametrize(
    "make",
    [
        lambda: functools.reduce(lambda x, _: [x] * 10, range(9), ["lol"]),  # 10**9 strings
        lambda: (cycle := []).append(cycle) or cycle,
    ],
    ids=["shared references", "cycle"],
)
def test_metadata_that_unfolds_without_end_is_refused_before_any_write(tmp_path, make):
    store = make_store(tmp_path)
    store.write(make_payload())
    meta = store.load_metadata()
    meta["meta"]["note"] = make()
    store.metadata_path.write_bytes(pickle.dumps(meta))
    files = on_disk(tmp_path)
    with pytest.raises(MirtalyError, match="元信息"):
        store.update_tail(tail_payload(["20240109"], CODES))
    assert on_disk(tmp_path) == files


def test_load_racing_an_update_returns_the_new_state(tmp_path, monkeypatch):
    new = tail_payload(["20240105", "20240109"], CODES + ["688001"])
    stores = [make_store(tmp_path / name) for name in ("reference", "raced")]
    for store in stores:
        store.write(make_payload())
    stores[0].update_tail(new)
    read_metadata = BinaryPreparedDataStoreBase.load_metadata

    def racing(self):  # another process updates right after the metadata was read
        metadata = read_metadata(self)
        monkeypatch.undo()
        assert stores[1].update_tail(new)
        return metadata

    monkeypatch.setattr(BinaryPreparedDataStoreBase, "load_metadata", racing)
    got = stores[1].load()["data"]["close_price"]
    pd.testing.assert_frame_equal(got, stores[0].load()["data"]["close_price"])
