"""The prepared data store base: on-disk format, loading, tail updates, cleaning.

A store is one directory:

- ``metadata.pkl``: a pickled plain dictionary (``version``, ``datasets``,
  ``benchmarks``, ``meta``, ``updated_at``); read back with an unpickler that
  admits nothing but plain containers, text and numbers, because the file may
  come from a downloaded package.
- one ``.npy`` file per dataset, C order, rows = dates, so a date window is a
  contiguous byte range (read directly, or memory-mapped read-only);
- ``manifest.json``: a human-readable listing, rewritten after the metadata.

Writes never touch a file the current metadata refers to: every dataset write
goes to a new file name, the metadata is replaced last (temporary file, fsync,
``os.replace``), and only then are files the new metadata no longer lists
removed. A crash at any point leaves either the old or the new store.
"""

from __future__ import annotations

import bisect
import contextlib
import datetime as _dt
import io
import json
import math
import os
import pickle
import re
import secrets
from collections.abc import Mapping
from pathlib import Path

import numpy as np
import pandas as pd

from mirtaly._atomic import AtomicFile, atomic_output
from mirtaly.backtest import _kernels
from mirtaly.exceptions import MirtalyError
from mirtaly.logger import logger

METADATA_FILE = "metadata.pkl"
MANIFEST_FILE = "manifest.json"
BENCHMARK_KEY_PREFIX = "benchmark__"
COMPONENT_KEY_PREFIX = "component__"

_DATASET_FILE = re.compile(r"^[A-Za-z0-9_]+-[0-9a-f]{12}\.npy$")
_TEMP_FILE = re.compile(r"^\..+\.tmp$")
_ENTRY_FIELDS = ("index", "columns", "dtype", "file", "shape")
_STORAGE_DTYPES = {"float64": np.dtype(np.float64), "bool": np.dtype(np.bool_)}
# What a bool dataset holds where a stock has no data, as a full build derives
# it (no data means no trading: cannot buy, cannot sell). A stock new to the
# store gets it on the stored dates, so a tail update equals a full build.
_NO_DATA_FILL = {"cant_sell_stock": True}
# Rows copied per step when a stored dataset is rewritten, to bound memory.
_COPY_ROWS = 512


# ---------------------------------------------------------------------------
# dates, keys, matrices
# ---------------------------------------------------------------------------

# The one date rule and the one stock-code rule live in the compiled layer,
# shared with the modules that parse dates and codes natively.
normalize_yyyymmdd = _kernels.normalize_yyyymmdd


def component_dataset_key(name: str) -> str:
    """Dataset key of a component factor: "component__" + the name in lower case,
    every run of other characters than letters and digits turned into "_"."""
    if not isinstance(name, str):
        raise TypeError(f"component name must be str, got {type(name).__name__}")
    slug = re.sub(r"[^0-9a-z]+", "_", name.strip().lower()).strip("_")
    if not slug:
        raise ValueError(f"无效的成分股因子名: {name!r}")
    return COMPONENT_KEY_PREFIX + slug


def _duplicates(labels: list[str]) -> list[str]:
    seen: set[str] = set()
    dups: list[str] = []
    for label in labels:
        if label in seen and label not in dups:
            dups.append(label)
        seen.add(label)
    return dups


def clean_matrix(df: pd.DataFrame) -> pd.DataFrame:
    """A user's wide table as a date x stock float64 DataFrame.

    Dates become ``YYYYMMDD`` text, stock codes 6-digit text (integers are
    zero-padded, suffixes such as ".XSHE" cut); both are sorted. Duplicate
    labels, unparseable dates or codes and non-numeric cells raise
    ``ValueError``. The argument is not modified.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"expected a pandas DataFrame, got {type(df).__name__}")
    try:
        dates = _kernels.yyyymmdd_labels(df.index)
    except ValueError as exc:
        raise ValueError(f"矩阵日期无法解析: {exc}") from None
    codes = _kernels.stock_codes(df.columns)
    dup_dates = _duplicates(dates)
    if dup_dates:
        raise ValueError(f"矩阵含重复日期: {dup_dates[:5]}")
    dup_codes = _duplicates(codes)
    if dup_codes:
        raise ValueError(f"矩阵含重复股票代码: {dup_codes[:5]}")

    if all(pd.api.types.is_numeric_dtype(t) for t in df.dtypes):
        values = df.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        columns = {}
        for pos in range(df.shape[1]):
            col = df.iloc[:, pos]
            if pd.api.types.is_numeric_dtype(col.dtype):
                columns[pos] = col.to_numpy(dtype=np.float64, na_value=np.nan)
                continue
            converted = pd.to_numeric(col, errors="coerce")
            bad = converted.isna() & col.notna()
            if bad.any():
                where = bad.to_numpy().nonzero()[0][0]
                cell = f"日期 {dates[where]} 股票 {codes[pos]} 值 {col.iloc[where]!r}"
                raise ValueError(f"矩阵含非数值单元格: {cell}")
            columns[pos] = converted.to_numpy(dtype=np.float64, na_value=np.nan)
        values = (
            np.column_stack([columns[p] for p in range(df.shape[1])])
            if columns
            else (np.empty((len(dates), 0)))
        )
    out = pd.DataFrame(values, index=pd.Index(dates), columns=pd.Index(codes), copy=False)
    if not (out.index.is_monotonic_increasing and out.columns.is_monotonic_increasing):
        out = out.sort_index(axis=0).sort_index(axis=1)
    return out


# ---------------------------------------------------------------------------
# crash-safe files
# ---------------------------------------------------------------------------


def atomic_write_bytes(path: str | os.PathLike, data: bytes) -> None:
    """Replaces ``path`` with ``data`` all at once (see :func:`atomic_output`)."""
    with atomic_output(path) as fh:
        fh.write(data)


class _RefusingUnpickler(pickle.Unpickler):
    """Admits only what pickle encodes natively: dicts, lists, tuples, sets,
    text, bytes, numbers, booleans and None. Any class or callable is refused."""

    def find_class(self, module, name):
        raise MirtalyError(f"回测数据元信息文件含不允许的对象: {module}.{name}")

    def persistent_load(self, pid):
        raise MirtalyError("回测数据元信息文件含不允许的持久化引用")


def _plain(value, where: str = "metadata") -> None:
    """Checks that ``value`` reads back through the refusing unpickler."""
    if value is None or type(value) in (str, bool, int, float, bytes):
        return
    if type(value) in (list, tuple, set, frozenset):
        for item in value:
            _plain(item, where)
        return
    if type(value) is dict:
        for key, item in value.items():
            _plain(key, where)
            _plain(item, f"{where}[{key!r}]")
        return
    raise TypeError(f"{where}: {type(value).__name__} cannot be stored in store metadata")


def _to_plain(value):
    """numpy scalars and arrays, Index objects and timestamps as plain values."""
    if isinstance(value, dict):
        return {
            str(k) if not isinstance(k, (str, int)) else k: _to_plain(v) for k, v in value.items()
        }
    if isinstance(value, (list, tuple)):
        return [_to_plain(v) for v in value]
    if isinstance(value, (pd.Index, np.ndarray)):
        return [_to_plain(v) for v in value.tolist()]
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (pd.Timestamp, _dt.datetime, _dt.date)):
        return value.isoformat()
    return value


def _now_iso() -> str:
    return pd.Timestamp.now().isoformat()


# ---------------------------------------------------------------------------
# dataset files
# ---------------------------------------------------------------------------


class _NpyWriter:
    """Writes one C-order .npy file row block by row block into a temporary
    file; ``commit`` puts it in place under its final, never-used-before name."""

    def __init__(self, store_dir: Path, key: str, shape: tuple[int, ...], dtype: np.dtype):
        self.final_name = f"{key}-{secrets.token_hex(6)}.npy"
        self.shape = shape
        self.dtype = dtype
        self.rows_written = 0
        self._out = AtomicFile(store_dir / self.final_name)
        header = {
            "descr": np.lib.format.dtype_to_descr(dtype),
            "fortran_order": False,
            "shape": shape,
        }
        np.lib.format.write_array_header_2_0(self._out.file, header)

    def write(self, block: np.ndarray) -> None:
        block = np.ascontiguousarray(block, dtype=self.dtype)
        if block.shape[1:] != self.shape[1:]:
            raise ValueError(f"row block of shape {block.shape} for a dataset of {self.shape}")
        if block.size:
            self._out.file.write(memoryview(block.reshape(-1)).cast("B"))
        self.rows_written += block.shape[0] if block.ndim else 1

    def commit(self) -> str:
        if self.rows_written != self.shape[0]:
            raise ValueError(f"{self.rows_written} rows written for a dataset of {self.shape}")
        self._out.commit()
        return self.final_name

    def __enter__(self) -> _NpyWriter:
        return self

    def __exit__(self, exc_type, exc, tb) -> bool:
        if exc_type is None:
            try:
                self.commit()
                return False
            except BaseException:
                self.abort()
                raise
        self.abort()
        return False

    def abort(self) -> None:
        self._out.abort()


def _storage_dtype(name: str) -> np.dtype:
    try:
        return _STORAGE_DTYPES[str(name)]
    except KeyError:
        raise ValueError(f"不支持的存储类型: {name!r}") from None


def _as_storage(values: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """Values in storage dtype. A bool dataset reads NaN as False."""
    if dtype == np.bool_ and values.dtype != np.bool_:
        as_float = np.asarray(values, dtype=np.float64)
        return np.where(np.isnan(as_float), False, as_float != 0.0)
    return np.asarray(values, dtype=dtype)


def _frame_values(frame: pd.DataFrame, dtype: np.dtype) -> np.ndarray:
    if dtype == np.bool_ and all(t == np.bool_ for t in frame.dtypes):
        return frame.to_numpy(dtype=bool)
    return _as_storage(frame.to_numpy(dtype=np.float64, na_value=np.nan), dtype)


def _date_index(labels) -> list[str]:
    """A stored frame's dates as YYYYMMDD text, whatever form they came in."""
    return _kernels.yyyymmdd_labels(labels)


class _NpyReader:
    """Rows of one stored dataset, read directly or memory-mapped."""

    def __init__(self, path: Path, entry: Mapping):
        self.path = path
        self.entry = entry

    def rows(self, start: int, stop: int, mmap: bool) -> np.ndarray:
        if mmap:
            return np.load(self.path, mmap_mode="r", allow_pickle=False)[start:stop]
        with open(self.path, "rb") as fh:
            version = np.lib.format.read_magic(fh)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(fh)
            else:
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(fh)
            if fortran or dtype.hasobject:
                raise MirtalyError(f"回测数据文件格式不受支持: {self.path.name}")
            row_items = math.prod(shape[1:])
            stop = min(stop, shape[0]) if shape else 0
            count = max(stop - start, 0)
            out = np.empty((count, *shape[1:]), dtype=dtype)
            fh.seek(fh.tell() + start * row_items * dtype.itemsize)
            if out.size == 0:
                return out
            got = fh.readinto(memoryview(out.reshape(-1)).cast("B"))
            if got != out.nbytes:
                raise MirtalyError(f"回测数据文件不完整: {self.path.name}")
            return out


# ---------------------------------------------------------------------------
# the store
# ---------------------------------------------------------------------------


class BinaryPreparedDataStoreBase:
    """Prepared data in one directory: binary datasets plus pickled metadata."""

    def __init__(self, store_dir, matrix_dtype, version, float_dtype):
        if not isinstance(store_dir, (str, os.PathLike)):
            raise TypeError(f"store_dir must be str or a path, got {type(store_dir).__name__}")
        self.store_dir = Path(store_dir)
        self.matrix_dtype = dict(matrix_dtype)
        self.version = int(version)
        self.float_dtype = str(_storage_dtype(float_dtype))
        self.metadata_path = self.store_dir / METADATA_FILE

    # ---- metadata ---------------------------------------------------------

    def load_metadata(self) -> dict:
        """The metadata dictionary, read through the refusing unpickler."""
        raw = self.metadata_path.read_bytes()
        try:
            metadata = _RefusingUnpickler(io.BytesIO(raw)).load()
        except MirtalyError:
            raise
        except Exception as exc:
            raise MirtalyError(f"回测数据元信息文件损坏: {exc}") from None
        if not isinstance(metadata, dict):
            raise MirtalyError("回测数据元信息文件损坏: 顶层不是字典")
        return metadata

    @staticmethod
    def _metadata_bytes(metadata: dict) -> bytes:
        _plain(metadata)
        return pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL)

    def _write_metadata(self, metadata: dict) -> None:
        """Replaces the metadata file crash-safely (pickled, highest protocol)."""
        blob = self._metadata_bytes(metadata)
        self.store_dir.mkdir(parents=True, exist_ok=True)
        atomic_write_bytes(self.metadata_path, blob)

    def _write_manifest(self, store_dir, metadata: dict) -> None:
        """Runs after every metadata rewrite: refreshes the readable listing and
        removes dataset files that the metadata no longer refers to."""
        store_dir = Path(store_dir)
        datasets = metadata.get("datasets") or {}
        listing = {
            "version": metadata.get("version"),
            "updated_at": metadata.get("updated_at"),
            "benchmarks": metadata.get("benchmarks") or {},
            "datasets": {
                key: {
                    "file": entry.get("file"),
                    "dtype": entry.get("dtype"),
                    "shape": entry.get("shape"),
                    "first_date": (entry.get("index") or [None])[0],
                    "last_date": (entry.get("index") or [None])[-1],
                }
                for key, entry in datasets.items()
                if isinstance(entry, dict)
            },
        }
        text = json.dumps(listing, ensure_ascii=False, indent=2, default=str)
        atomic_write_bytes(store_dir / MANIFEST_FILE, text.encode("utf-8"))
        referenced = {e.get("file") for e in datasets.values() if isinstance(e, dict)}
        for path in store_dir.iterdir():
            name = path.name
            if (_DATASET_FILE.match(name) and name not in referenced) or _TEMP_FILE.match(name):
                with contextlib.suppress(OSError):
                    path.unlink()

    def _commit(self, metadata: dict, staged: Mapping[str, dict]) -> None:
        """Makes ``metadata`` the store's state. Until the metadata file is
        replaced the files in ``staged`` are nobody's and are removed on failure;
        afterwards they are the store, and a failing manifest only gets logged."""
        blob = None
        try:
            blob = self._metadata_bytes(metadata)
            self.store_dir.mkdir(parents=True, exist_ok=True)
            atomic_write_bytes(self.metadata_path, blob)
        except BaseException:
            # A failure after the rename (syncing the directory) still committed.
            if blob is None or not _file_holds(self.metadata_path, blob):
                self._discard(staged)
            raise
        try:
            self._write_manifest(self.store_dir, metadata)
        except OSError as exc:
            logger.warning("回测数据清单写入失败: %s", exc)

    # ---- writing ----------------------------------------------------------

    def _dtype_for(self, key: str, dtype=None) -> np.dtype:
        return _storage_dtype(dtype or self.matrix_dtype.get(key, self.float_dtype))

    def _write_matrix(self, store_dir, key, frame, dtype) -> dict:
        """Writes one date x stock matrix as a new dataset file; returns its
        metadata entry. Nothing refers to the file until the metadata does."""
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"{key}: expected a DataFrame, got {type(frame).__name__}")
        storage = self._dtype_for(key, dtype)
        frame = _sorted_by_date(frame, key)
        values = _frame_values(frame, storage)
        store_dir = Path(store_dir)
        store_dir.mkdir(parents=True, exist_ok=True)
        with _NpyWriter(store_dir, key, values.shape, storage) as writer:
            writer.write(values)
        return {
            "index": _date_index(frame.index),
            "columns": [str(c) for c in frame.columns],
            "dtype": str(storage),
            "file": writer.final_name,
            "shape": list(values.shape),
        }

    def _write_series(self, store_dir, key, series: pd.Series) -> dict:
        if not isinstance(series, pd.Series):
            raise TypeError(f"{key}: expected a Series, got {type(series).__name__}")
        series = _sorted_by_date(series, key)
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
        with _NpyWriter(Path(store_dir), key, values.shape, np.dtype(np.float64)) as writer:
            writer.write(values)
        return {
            "index": _date_index(series.index),
            "columns": [],
            "name": None if series.name is None else str(series.name),
            "dtype": "float64",
            "file": writer.final_name,
            "shape": [len(values)],
        }

    def write(self, payload: Mapping) -> dict:
        """Writes a whole payload (``version``, ``meta``, ``data``) as a new store.

        The directory must not hold a store yet. Returns the metadata written.
        """
        if self.metadata_path.exists():
            raise MirtalyError(f"目录已有回测数据,不能整体写入: {self.store_dir}")
        data = payload["data"]
        benchmark_dict = data.get("benchmark_dict") or {}
        self.store_dir.mkdir(parents=True, exist_ok=True)
        datasets: dict[str, dict] = {}
        benchmarks: dict[str, str] = {}
        try:
            for key, value in data.items():
                if key == "benchmark_dict":
                    continue
                if isinstance(value, pd.DataFrame):
                    datasets[key] = self._write_matrix(self.store_dir, key, value, None)
            for code, series in benchmark_dict.items():
                key = BENCHMARK_KEY_PREFIX + str(code)
                datasets[key] = self._write_series(self.store_dir, key, series)
                benchmarks[str(code)] = key
            metadata = {
                "version": int(payload.get("version", self.version)),
                "datasets": datasets,
                "benchmarks": benchmarks,
                "meta": _to_plain(dict(payload.get("meta") or {})),
                "updated_at": _now_iso(),
            }
        except BaseException:
            self._discard(datasets)
            raise
        self._commit(metadata, datasets)
        return metadata

    def _discard(self, entries: Mapping[str, dict]) -> None:
        """Removes dataset files written by a failed operation."""
        for entry in entries.values():
            with contextlib.suppress(OSError, TypeError):
                (self.store_dir / entry["file"]).unlink()

    # ---- tail update ------------------------------------------------------

    def update_tail(self, payload: Mapping) -> bool:
        """Writes a payload over the stored tail.

        For every stored dataset the payload holds, the stored rows from the
        payload's first date on are replaced by the payload's rows, later dates
        are appended and stocks new to the store widen the matrix. Returns
        False, changing nothing, when the metadata is incomplete or a stored
        benchmark is missing from the payload.
        """
        if not self.metadata_path.exists():
            return False
        metadata = self.load_metadata()
        datasets = metadata.get("datasets")
        benchmarks = metadata.get("benchmarks")
        if not isinstance(datasets, dict) or not datasets or not isinstance(benchmarks, dict):
            return False
        if not benchmarks or not all(_complete_entry(e) for e in datasets.values()):
            return False
        if any(key not in datasets for key in benchmarks.values()):
            return False
        data = payload["data"]
        benchmark_dict = data.get("benchmark_dict") or {}
        if any(code not in benchmark_dict for code in benchmarks):
            return False

        key_to_code = {key: code for code, key in benchmarks.items()}
        written: dict[str, dict] = {}
        try:
            for key, entry in datasets.items():
                if key in key_to_code:
                    new = benchmark_dict[key_to_code[key]]
                    if not isinstance(new, pd.Series):
                        raise TypeError(f"benchmark {key_to_code[key]}: expected a Series")
                elif isinstance(data.get(key), pd.DataFrame):
                    new = data[key]
                else:
                    continue
                if len(new) == 0:
                    continue
                written[key] = self._merge_tail(key, entry, new)
            new_datasets = {key: written.get(key, entry) for key, entry in datasets.items()}
            now = _now_iso()
            meta = dict(metadata.get("meta") or {})
            meta.update(_tail_meta(payload.get("meta")))
            meta["updated_at"] = now
            new_metadata = dict(metadata)
            new_metadata.update(datasets=new_datasets, meta=meta, updated_at=now)
        except BaseException:
            self._discard(written)
            raise
        self._commit(new_metadata, written)
        return True

    def _merge_tail(self, key: str, entry: dict, new) -> dict:
        """Old rows before the new data's first date, then the new rows, into a new file."""
        storage = _storage_dtype(entry["dtype"])
        new = _sorted_by_date(new, key)
        new_dates = _date_index(new.index)
        old_dates = list(entry["index"])
        keep = int(np.searchsorted(np.asarray(old_dates, dtype=object), new_dates[0], side="left"))
        old_path = self._dataset_path(entry)
        old = np.load(old_path, mmap_mode="r", allow_pickle=False)
        if old.shape[0] != len(old_dates):
            raise MirtalyError(f"回测数据文件与元信息不一致: {key}")
        series = isinstance(new, pd.Series)
        if series:
            columns: list[str] = []
            shape: tuple[int, ...] = (keep + len(new_dates),)
            new_values = _as_storage(new.to_numpy(dtype=np.float64, na_value=np.nan), storage)
        else:
            old_cols = pd.Index([str(c) for c in entry["columns"]])
            new_frame = new.set_axis([str(c) for c in new.columns], axis=1)
            added = new_frame.columns.difference(old_cols)
            cols = old_cols if len(added) == 0 else old_cols.append(added).sort_values()
            columns = list(cols)
            shape = (keep + len(new_dates), len(cols))
            fill = _NO_DATA_FILL.get(key, False) if storage == np.bool_ else np.nan
            aligned = new_frame.reindex(columns=cols, fill_value=fill)
            new_values = _frame_values(aligned, storage)
            old_pos = cols.get_indexer(old_cols)
        try:
            with _NpyWriter(self.store_dir, key, shape, storage) as writer:
                for start in range(0, keep, _COPY_ROWS):
                    block = np.asarray(old[start : min(start + _COPY_ROWS, keep)])
                    if not series and len(added):
                        widened = np.full((block.shape[0], shape[1]), fill, dtype=storage)
                        widened[:, old_pos] = block
                        block = widened
                    writer.write(block)
                writer.write(new_values)
        finally:
            del old  # release the map of the old file
        name = writer.final_name
        out = dict(entry)
        out.update(
            index=old_dates[:keep] + new_dates, columns=columns, file=name, shape=list(shape)
        )
        if series:
            out["columns"] = []
        return out

    # ---- loading ----------------------------------------------------------

    def _dataset_path(self, entry: Mapping) -> Path:
        name = entry.get("file")
        # The metadata may come from a downloaded package: only plain names
        # inside the store directory are followed.
        if not isinstance(name, str) or not name or Path(name).name != name or name in (".", ".."):
            raise MirtalyError(f"回测数据元信息含非法文件名: {name!r}")
        return self.store_dir / name

    def load(self, *, start_date=None, end_date=None, keys=None, mmap=True) -> dict:
        """Loads datasets, rows with ``start_date`` <= date <= ``end_date``.

        ``keys`` selects matrices (all non-benchmark datasets when ``None``);
        ``data["benchmark_dict"]`` always holds every benchmark series. With
        ``mmap`` the arrays are read-only memory maps of the files; without,
        plain in-memory (and picklable) objects.
        """
        start = normalize_yyyymmdd(start_date)
        end = normalize_yyyymmdd(end_date)
        metadata = self.load_metadata()
        datasets = metadata.get("datasets") or {}
        benchmarks = metadata.get("benchmarks") or {}
        benchmark_keys = set(benchmarks.values())
        if keys is None:
            keys = [k for k in datasets if k not in benchmark_keys]
        index_cache: list[tuple[list, pd.Index]] = []

        def shared_index(labels: list) -> pd.Index:
            # Datasets usually share their dates and stocks: one Index object each.
            for seen, index in index_cache:
                if seen == labels:
                    return index
            index = pd.Index(labels, dtype=str)
            index_cache.append((labels, index))
            return index

        def window(entry) -> tuple[int, int, list]:
            dates = entry["index"]
            # Binary search on the sorted dates: rows outside the window are never read.
            lo = 0 if start is None else bisect.bisect_left(dates, start)
            hi = len(dates) if end is None else bisect.bisect_right(dates, end)
            return lo, max(lo, hi), dates

        out: dict[str, object] = {}
        for key in keys:
            if key not in datasets:
                raise KeyError(key)
            entry = datasets[key]
            lo, hi, dates = window(entry)
            values = _NpyReader(self._dataset_path(entry), entry).rows(lo, hi, bool(mmap))
            out[key] = pd.DataFrame(
                values,
                index=shared_index(dates[lo:hi]),
                columns=shared_index(list(entry["columns"])),
                copy=False,
            )
        bench: dict[str, pd.Series] = {}
        for code, key in benchmarks.items():
            entry = datasets.get(key)
            if entry is None:
                raise MirtalyError(f"回测数据缺少基准序列: {code}")
            lo, hi, dates = window(entry)
            values = _NpyReader(self._dataset_path(entry), entry).rows(lo, hi, bool(mmap))
            bench[code] = pd.Series(
                values, index=shared_index(dates[lo:hi]), name=entry.get("name"), copy=False
            )
        out["benchmark_dict"] = bench
        return {"version": metadata.get("version"), "meta": metadata.get("meta") or {}, "data": out}


def _file_holds(path: Path, blob: bytes) -> bool:
    try:
        return path.read_bytes() == blob
    except OSError:
        return False


def _complete_entry(entry) -> bool:
    return (
        isinstance(entry, dict)
        and all(f in entry for f in _ENTRY_FIELDS)
        and isinstance(entry.get("index"), list)
    )


def _tail_meta(meta) -> dict:
    """The parts of an update payload's meta worth keeping: plain values, without
    the window start (the store still starts where it started)."""
    if not isinstance(meta, Mapping):
        return {}
    out = {}
    for key, value in meta.items():
        if key in ("start_date", "created_at"):
            continue
        value = _to_plain(value)
        try:
            _plain(value)
        except TypeError:
            continue
        out[str(key)] = value
    return out


def _sorted_by_date(obj, key: str):
    labels = _date_index(obj.index)
    if len(set(labels)) != len(labels):
        raise ValueError(f"{key}: 日期索引含重复")
    if labels != sorted(labels):
        obj = obj.set_axis(labels, axis=0).sort_index()
    return obj
