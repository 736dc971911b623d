"""The component-aware binary store over the store base."""

import os
import pickle

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _prepare as P
from mirtaly.backtest._store import BinaryPreparedDataStoreBase, component_dataset_key

DATES = ["20240102", "20240103", "20240104"]
CODES = ["000001", "600000"]
C300, C905 = "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG"


def matrix(values=None, dates=DATES, codes=CODES):
    if values is None:
        values = np.arange(len(dates) * len(codes), dtype=float).reshape(len(dates), len(codes))
    return pd.DataFrame(values, index=dates, columns=codes)


def write_store(path, keys=("close_price", "open_price", "can_buy_stock"), components=()):
    data = {}
    for key in keys:
        if P.BASE_MATRIX_DTYPE[key] == "bool":
            data[key] = matrix(np.array([[True, False]] * len(DATES)))
        else:
            data[key] = matrix() + len(data)
    for name in components:
        data[component_dataset_key(name)] = matrix(np.where(np.eye(3, 2) > 0, 1.0, np.nan))
    data["benchmark_dict"] = {"000300": pd.Series([0.01, 0.0, -0.01], index=DATES)}
    base = BinaryPreparedDataStoreBase(path, P.build_matrix_dtype(), 1, "float64")
    base.write({"version": 1, "meta": {"component_names": list(components)}, "data": data})
    return data


class TestConstruction:
    def test_is_a_real_subclass(self, tmp_path):
        store = P.BinaryPreparedDataStore(tmp_path)
        assert isinstance(store, BinaryPreparedDataStoreBase)
        assert issubclass(P.BinaryPreparedDataStore, P.BinaryPreparedDataStoreBase)
        assert P.BinaryPreparedDataStore.__module__ == "mirtaly.backtest._prepare"
        assert "component" in P.BinaryPreparedDataStore.__doc__

        class Traced(P.BinaryPreparedDataStore):
            def load(self, **kwargs):
                self.seen = kwargs
                return super().load(**kwargs)

        write_store(tmp_path / "t")
        traced = Traced(str(tmp_path / "t"))
        traced.load(keys=["close_price"])
        assert traced.seen == {"keys": ["close_price"]}

    def test_passes_the_schema_to_the_base_without_io(self, tmp_path):
        store = P.BinaryPreparedDataStore(tmp_path / "missing")
        assert store.matrix_dtype == P.build_matrix_dtype()
        assert store.store_dir == tmp_path / "missing"
        assert not store.metadata_path.exists() and not (tmp_path / "missing").exists()
        assert list(P.BinaryPreparedDataStore(tmp_path, ["idx.A"]).matrix_dtype)[-1] == (
            "component__idx_a"
        )

    @pytest.mark.parametrize("bad", [("a",), "a", {"a": 1}])
    def test_component_names_must_be_a_list(self, tmp_path, bad):
        with pytest.raises(TypeError):
            P.BinaryPreparedDataStore(tmp_path, bad)

    def test_store_dir_must_be_path_like(self):
        with pytest.raises(TypeError):
            P.BinaryPreparedDataStore(42)


class TestLoad:
    def test_only_listed_datasets_in_schema_order(self, tmp_path):
        write_store(
            tmp_path, keys=("can_buy_stock", "open_price", "close_price"), components=[C905]
        )
        data = P.BinaryPreparedDataStore(tmp_path).load(mmap=False)["data"]
        assert list(data) == [
            "close_price",
            "open_price",
            "can_buy_stock",
            component_dataset_key(C905),
            "benchmark_dict",
        ]

    def test_empty_keys_stay_empty_and_windows_apply(self, tmp_path):
        write_store(tmp_path)
        store = P.BinaryPreparedDataStore(tmp_path)
        assert list(store.load(keys=[])["data"]) == ["benchmark_dict"]
        data = store.load(start_date="20240103", end_date=20240103, keys=["close_price"])["data"]
        assert list(data["close_price"].index) == ["20240103"]

    def test_mmap_is_taken_by_truth_value(self, tmp_path):
        write_store(tmp_path)
        store = P.BinaryPreparedDataStore(tmp_path)
        assert not store.load(mmap=1)["data"]["close_price"].to_numpy().flags.writeable
        loaded = store.load(mmap=0)
        pickle.loads(pickle.dumps(loaded))

    @pytest.mark.parametrize("bad", [("close_price",), "close_price"])
    def test_keys_must_be_a_list(self, tmp_path, bad):
        write_store(tmp_path)
        with pytest.raises(TypeError):
            P.BinaryPreparedDataStore(tmp_path).load(keys=bad)

    def test_base_result_must_be_a_dict(self, tmp_path, monkeypatch):
        write_store(tmp_path)
        monkeypatch.setattr(BinaryPreparedDataStoreBase, "load", lambda self, **kw: [1])
        with pytest.raises(TypeError):
            P.BinaryPreparedDataStore(tmp_path).load()


class TestAddComponentMatrices:
    def test_writes_missing_components_and_merges_metadata(self, tmp_path):
        write_store(tmp_path, components=[C300])
        store = P.BinaryPreparedDataStore(tmp_path)
        before = store.load_metadata()
        before["meta"]["component_dataset_keys"] = {"legacy": "component__legacy"}
        store._write_metadata(before)
        m905 = matrix(np.array([[1.0, np.nan], [1.0, 1.0], [np.nan, 1.0]]))
        written = store.add_component_matrices(
            {C905: m905, C300: matrix().iloc[:0]}, [C300, f"  {C905} ", C905]
        )
        assert written == [C905]

        meta = store.load_metadata()
        assert meta["meta"]["component_names"] == [C300, C905]
        assert meta["meta"]["component_dataset_keys"] == {
            "legacy": "component__legacy",
            C300: component_dataset_key(C300),
            C905: component_dataset_key(C905),
        }
        stamp = meta["updated_at"]
        assert meta["meta"]["updated_at"] == stamp == meta["meta"]["component_supplemented_at"]
        pd.Timestamp(stamp)  # ISO text
        assert component_dataset_key(C905) in (tmp_path / "manifest.json").read_text()

        loaded = store.load(mmap=False)["data"][component_dataset_key(C905)]
        np.testing.assert_array_equal(loaded.to_numpy(), m905.to_numpy())
        assert loaded.dtypes.eq(np.float64).all()

    def test_nothing_to_write_leaves_the_file_byte_for_byte(self, tmp_path):
        write_store(tmp_path, components=[C300, C905])
        store = P.BinaryPreparedDataStore(tmp_path)
        raw = store.metadata_path.read_bytes()
        stamp = os.stat(store.metadata_path).st_mtime_ns
        assert store.add_component_matrices({C300: pd.DataFrame()}, [C300, C905]) == []
        assert store.metadata_path.read_bytes() == raw
        assert os.stat(store.metadata_path).st_mtime_ns == stamp

    @pytest.mark.parametrize(
        "given, error",
        [
            ({}, ValueError),
            ({C905: None}, ValueError),
            ({C905: pd.DataFrame(columns=CODES, dtype=float)}, ValueError),
            ({C905: [[1.0, 2.0]]}, TypeError),
        ],
    )
    def test_failed_call_leaves_nothing_behind(self, tmp_path, given, error):
        write_store(tmp_path)
        store = P.BinaryPreparedDataStore(tmp_path)
        raw = store.metadata_path.read_bytes()
        files = set(os.listdir(tmp_path))
        matrices = {C300: matrix(), **given}
        with pytest.raises(error) as info:
            store.add_component_matrices(matrices, [C300, C905])
        if error is ValueError:
            assert str(info.value) == "缺失成分股矩阵为空，无法补充: " + C905
        # Not even the matrix written before the failure stays.
        assert store.metadata_path.read_bytes() == raw
        assert set(os.listdir(tmp_path)) == files
        assert store.add_component_matrices({C300: matrix()}, [C300]) == [C300]

    @pytest.mark.parametrize(
        "listed, names", [([], ["沪深300", "中证300"]), (["沪深300"], ["中证300", C905])]
    )
    def test_names_sharing_a_dataset_key_are_refused_before_writing(self, tmp_path, listed, names):
        write_store(tmp_path, components=listed)
        store = P.BinaryPreparedDataStore(tmp_path)
        files = {n: (tmp_path / n).read_bytes() for n in os.listdir(tmp_path)}
        with pytest.raises(ValueError, match="component__300"):
            store.add_component_matrices(dict.fromkeys(names, matrix()), names)
        assert {n: (tmp_path / n).read_bytes() for n in os.listdir(tmp_path)} == files

    @pytest.mark.parametrize("matrices, names", [([], []), ({}, (C300,)), ({}, C300)])
    def test_argument_types(self, tmp_path, matrices, names):
        write_store(tmp_path)
        with pytest.raises(TypeError):
            P.BinaryPreparedDataStore(tmp_path).add_component_matrices(matrices, names)

    def test_metadata_rewrite_is_crash_safe(self, tmp_path, monkeypatch):
        write_store(tmp_path)
        store = P.BinaryPreparedDataStore(tmp_path)
        raw = store.metadata_path.read_bytes()
        real_replace = os.replace

        def failing_replace(src, dst):
            if str(dst).endswith("metadata.pkl"):
                raise OSError("disk full")
            return real_replace(src, dst)

        monkeypatch.setattr(os, "replace", failing_replace)
        with pytest.raises(OSError, match="disk full"):
            store.add_component_matrices({C300: matrix()}, [C300])
        assert store.metadata_path.read_bytes() == raw
        assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]
        monkeypatch.setattr(os, "replace", real_replace)
        assert store.add_component_matrices({C300: matrix()}, [C300]) == [C300]
        meta = store.load_metadata()
        assert meta == pickle.loads(store.metadata_path.read_bytes())


def test_base_written_supplemented_and_reloaded_round_trips(tmp_path):
    data = write_store(
        tmp_path, keys=("close_price", "can_buy_stock", "open_price"), components=[C300]
    )
    store = P.BinaryPreparedDataStore(tmp_path)
    extra = matrix(np.array([[1.0, np.nan], [np.nan, np.nan], [1.0, 1.0]]))
    store.add_component_matrices({C905: extra}, [C905])
    loaded = P.BinaryPreparedDataStore(tmp_path).load(mmap=False)["data"]
    expected = {k: v for k, v in data.items() if k != "benchmark_dict"}
    expected[component_dataset_key(C905)] = extra
    assert set(loaded) == set(expected) | {"benchmark_dict"}
    for key, frame in expected.items():
        got = loaded[key]
        assert list(got.index) == list(frame.index) and list(got.columns) == list(frame.columns)
        np.testing.assert_array_equal(got.to_numpy(), frame.to_numpy())
        assert got.dtypes.iloc[0] == (
            bool if P.BASE_MATRIX_DTYPE.get(key) == "bool" else np.float64
        )
    pd.testing.assert_series_equal(
        loaded["benchmark_dict"]["000300"], data["benchmark_dict"]["000300"], check_index_type=False
    )
