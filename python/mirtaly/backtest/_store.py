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
removed. A crash at any point leaves either the old or the new store, and a
load that meets a file an update has just removed reads the metadata again.

Reads trust nothing on disk: each dataset file is opened without following
links and checked against its metadata entry (regular file, header dtype and
shape, exact size) before its data is used, and metadata whose shared
references would unfold without bound is refused. A broken store is a
``MirtalyError`` naming the dataset.
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
import stat as _stat
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
# Loads that find a file gone read the metadata again this often before giving up.
_LOAD_ATTEMPTS = 5


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
    if len(set(labels)) == len(labels):
        return []
    seen: set[str] = set()
    dups: list[str] = []
    for label in labels:
        if label in seen and label not in dups:
            dups.append(label)
        seen.add(label)
    return dups


def _clean_labels(index, columns=None) -> tuple[list[str], list[str] | None]:
    """Dates as ``YYYYMMDD`` text and stock codes (when given) as 6-digit text;
    labels that are no date or code, or that repeat, raise ``ValueError``."""
    try:
        dates = _kernels.yyyymmdd_labels(index)
    except ValueError as exc:
        raise ValueError(f"矩阵日期无法解析: {exc}") from None
    dup_dates = _duplicates(dates)
    if dup_dates:
        raise ValueError(f"矩阵含重复日期: {dup_dates[:5]}")
    if columns is None:
        return dates, None
    codes = _kernels.stock_codes(columns)
    dup_codes = _duplicates(codes)
    if dup_codes:
        raise ValueError(f"矩阵含重复股票代码: {dup_codes[:5]}")
    return dates, codes


def _real(dtype) -> bool:
    return pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype)


def _real_column(col: pd.Series, dates: list[str], code: str) -> np.ndarray:
    """One column as float64; a cell that is no real number raises ValueError
    naming it. Text and objects are parsed cell by cell. Dates, durations and
    periods are no numbers, although pandas would hand out their integer
    ticks; a complex cell counts only when its imaginary part is zero."""
    dtype = col.dtype
    if _real(dtype):
        return col.to_numpy(dtype=np.float64, na_value=np.nan)
    if pd.api.types.is_complex_dtype(dtype):
        converted = col
    elif isinstance(dtype, pd.CategoricalDtype):
        converted = pd.to_numeric(col.astype(object), errors="coerce")
    elif pd.api.types.is_object_dtype(dtype) or pd.api.types.is_string_dtype(dtype):
        converted = pd.to_numeric(col, errors="coerce")
    else:
        raise ValueError(f"矩阵含非数值单元格: 股票 {code} 的值为 {dtype} 类型")
    if pd.api.types.is_complex_dtype(converted.dtype):
        values = converted.to_numpy()
        bad = values.imag != 0
        values = values.real.astype(np.float64)
    else:
        values = converted.to_numpy(dtype=np.float64, na_value=np.nan)
        bad = np.isnan(values) & col.notna().to_numpy()
    if bad.any():
        where = bad.nonzero()[0][0]
        raise ValueError(
            f"矩阵含非数值单元格: 日期 {dates[where]} 股票 {code} 值 {col.iloc[where]!r}"
        )
    return values


def clean_matrix(df: pd.DataFrame) -> pd.DataFrame:
    """A user's wide table as a date x stock float64 DataFrame.

    Dates become ``YYYYMMDD`` text, stock codes 6-digit text (integers are
    zero-padded, suffixes such as ".XSHE" cut); both are sorted. Duplicate
    labels, unparseable dates or codes and non-numeric cells raise
    ``ValueError``. The argument is not modified.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"expected a pandas DataFrame, got {type(df).__name__}")
    dates, codes = _clean_labels(df.index, df.columns)
    # A wide table has thousands of columns but a dtype or two: test each once.
    if all(_real(t) for t in dict.fromkeys(df.dtypes)):
        values = df.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        columns = [_real_column(df.iloc[:, pos], dates, codes[pos]) for pos in range(df.shape[1])]
        values = np.column_stack(columns) if columns else np.empty((len(dates), 0))
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


_SCALAR_TYPES = frozenset({str, bool, int, float, bytes, type(None)})
_SEQUENCE_TYPES = frozenset({list, tuple, set, frozenset})
# Bounds of what metadata may unfold to. Shared references let a few hundred
# pickled bytes stand for billions of items, which anything walking the value
# (a check, str(), json) would then unfold; a real store's metadata, every
# date and code of every dataset, stays far below.
_MAX_DEPTH = 32
_MAX_ITEMS = 20_000_000


def _all_text(items) -> bool:
    """Whether every item is a str; join runs at copying speed, where a Python
    loop over a store's dates and codes would cost milliseconds per load."""
    try:
        "".join(items)
    except TypeError:
        return False
    return True


def _plain(value, where: str = "metadata") -> None:
    """Checks that ``value`` reads back through the refusing unpickler and
    unfolds to at most ``_MAX_ITEMS`` items nested ``_MAX_DEPTH`` deep; raises
    ``TypeError`` naming the place otherwise. Each container is visited once."""
    unfolded: dict[int, int] = {}

    def walk(item, depth: int, where: str) -> int:
        kind = type(item)
        if kind in _SCALAR_TYPES:
            return 1
        known = unfolded.get(id(item))
        if known is not None:
            return known
        if depth >= _MAX_DEPTH:
            raise TypeError(f"{where}: nested deeper than {_MAX_DEPTH} levels (or cyclic)")
        if kind in _SEQUENCE_TYPES:
            if _all_text(item):  # the usual list of labels
                size = 1 + len(item)
            else:
                size = 1 + sum(walk(v, depth + 1, where) for v in item)
        elif kind is dict:
            size = 1
            for key, v in item.items():
                size += walk(key, depth + 1, where) + walk(v, depth + 1, f"{where}[{key!r}]")
        else:
            raise TypeError(f"{where}: {kind.__name__} cannot be stored in store metadata")
        if size > _MAX_ITEMS:
            raise TypeError(f"{where}: unfolds to more than {_MAX_ITEMS} items")
        unfolded[id(item)] = size
        return size

    walk(value, 0, where)


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


class _Vanished(MirtalyError):
    """A dataset file named by the metadata is gone: an update has replaced it
    since the metadata was read (or the store is broken)."""


# Never follow a link (nothing outside the store is read) and never wait on a FIFO.
_OPEN_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


def _labels(entry: Mapping, field: str) -> list[str] | None:
    labels = entry.get(field)
    return labels if type(labels) is list and _all_text(labels) else None


class _NpyReader:
    """One stored dataset, checked against its metadata entry before any of its
    data is used: the entry's labels, dtype and shape agree; the file is a
    regular file inside the store, opened without following links, whose
    header holds that dtype and shape in C order and whose size is exactly the
    header plus those values."""

    def __init__(self, store_dir: Path, key: str, entry, matrix: bool):
        self.key = key
        if not isinstance(entry, dict):
            self._broken("元信息条目不是字典")
        index = _labels(entry, "index")
        columns = _labels(entry, "columns") if matrix else []
        if index is None or columns is None:
            self._broken("元信息缺少日期或股票代码列表")
        self.index, self.columns = index, columns
        self.shape = (len(index), len(columns)) if matrix else (len(index),)
        shape = entry.get("shape", self.shape)
        if not isinstance(shape, (list, tuple)) or list(shape) != list(self.shape):
            self._broken(f"元信息形状 {shape!r} 与日期和代码数 {self.shape} 不符")
        self.dtype = _STORAGE_DTYPES.get(entry.get("dtype"))
        if self.dtype is None:
            self._broken(f"存储类型无效: {entry.get('dtype')!r}")
        name = entry.get("file")
        # The metadata may come from a downloaded package: only plain names
        # inside the store directory are followed.
        if not isinstance(name, str) or not name or Path(name).name != name or name in (".", ".."):
            self._broken(f"元信息含非法文件名: {name!r}")
        try:
            fd = os.open(store_dir / name, _OPEN_FLAGS)
        except FileNotFoundError:
            raise _Vanished(f"回测数据集 {key} 的文件缺失: {name}") from None
        except OSError as exc:  # ELOOP: a symbolic link
            self._broken(f"文件无法打开 ({os.strerror(exc.errno or 0)}): {name}")
        try:
            stat = os.fstat(fd)
            if not _stat.S_ISREG(stat.st_mode):
                self._broken("数据文件不是普通文件")
        except BaseException:
            os.close(fd)
            raise
        self._fh = os.fdopen(fd, "rb")
        try:
            self.offset = self._checked_header(stat.st_size)
        except BaseException:
            self._fh.close()
            raise

    def _broken(self, what: str):
        raise MirtalyError(f"回测数据集 {self.key} 损坏: {what}")

    def _checked_header(self, size: int) -> int:
        fh = self._fh
        try:
            version = np.lib.format.read_magic(fh)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(fh)
            elif version == (2, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(fh)
            else:
                self._broken(f"文件头版本不受支持: {version}")
        except (ValueError, EOFError, OSError) as exc:
            self._broken(f"文件头损坏: {exc}")
        if fortran or dtype != self.dtype or tuple(shape) != self.shape:
            self._broken(
                f"文件为 {dtype} {tuple(shape)}{' (Fortran 序)' if fortran else ''},"
                f" 元信息为 {self.dtype} {self.shape}"
            )
        offset = fh.tell()
        if size != offset + math.prod(self.shape) * self.dtype.itemsize:
            self._broken(f"文件大小 {size} 与文件头不符 (不完整或有多余数据)")
        return offset

    def rows(self, start: int, stop: int, mmap: bool) -> np.ndarray:
        """Rows ``start:stop``: a read-only map of the file, or read into memory."""
        with self._fh as fh:
            if mmap and math.prod(self.shape):
                whole = np.memmap(fh, self.dtype, "r", offset=self.offset, shape=self.shape)
                return whole[start:stop]
            stop = max(start, min(stop, self.shape[0]))
            out = np.empty((stop - start, *self.shape[1:]), dtype=self.dtype)
            if out.size:
                fh.seek(self.offset + start * (out.nbytes // len(out)))
                if fh.readinto(memoryview(out.reshape(-1)).cast("B")) != out.nbytes:
                    self._broken("文件不完整")
            if mmap:
                out.flags.writeable = False
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
        try:
            _plain(metadata)
        except TypeError as exc:
            raise MirtalyError(f"回测数据元信息文件损坏: {exc}") from None
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
        frame = _labelled(frame, key)
        values = _frame_values(frame, storage)
        store_dir = Path(store_dir)
        store_dir.mkdir(parents=True, exist_ok=True)
        with _NpyWriter(store_dir, key, values.shape, storage) as writer:
            writer.write(values)
        return {
            "index": list(frame.index),
            "columns": list(frame.columns),
            "dtype": str(storage),
            "file": writer.final_name,
            "shape": list(values.shape),
        }

    def _write_series(self, store_dir, key, series: pd.Series) -> dict:
        if not isinstance(series, pd.Series):
            raise TypeError(f"{key}: expected a Series, got {type(series).__name__}")
        series = _labelled(series, key)
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
        with _NpyWriter(Path(store_dir), key, values.shape, np.dtype(np.float64)) as writer:
            writer.write(values)
        return {
            "index": list(series.index),
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
        # Everything is read and checked before the first file is written.
        frames = {
            key: _labelled(value, key)
            for key, value in data.items()
            if key != "benchmark_dict" and isinstance(value, pd.DataFrame)
        }
        benchmarks = {str(code): BENCHMARK_KEY_PREFIX + str(code) for code in benchmark_dict}
        series = {
            benchmarks[str(code)]: _labelled(value, benchmarks[str(code)])
            for code, value in benchmark_dict.items()
        }
        meta = _to_plain(dict(payload.get("meta") or {}))
        _plain(meta, "meta")
        self.store_dir.mkdir(parents=True, exist_ok=True)
        datasets: dict[str, dict] = {}
        try:
            for key, frame in frames.items():
                datasets[key] = self._write_matrix(self.store_dir, key, frame, None)
            for key, values in series.items():
                datasets[key] = self._write_series(self.store_dir, key, values)
            metadata = {
                "version": int(payload.get("version", self.version)),
                "datasets": datasets,
                "benchmarks": benchmarks,
                "meta": meta,
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
        # Every label is read before the first file is written: a payload the
        # store cannot hold changes nothing.
        incoming = {}
        for key in datasets:
            if key in key_to_code:
                new = benchmark_dict[key_to_code[key]]
                if not isinstance(new, pd.Series):
                    raise TypeError(f"benchmark {key_to_code[key]}: expected a Series")
            elif isinstance(data.get(key), pd.DataFrame):
                new = data[key]
            else:
                continue
            if len(new):
                incoming[key] = _labelled(new, key)
        written: dict[str, dict] = {}
        try:
            for key, new in incoming.items():
                written[key] = self._merge_tail(key, datasets[key], new)
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
        """Old rows before the new data's first date, then the new rows, into a
        new file. ``new`` is labelled as the store keeps it (see ``_labelled``)."""
        new_dates = list(new.index)
        series = isinstance(new, pd.Series)
        reader = _NpyReader(self.store_dir, key, entry, not series)
        storage, old_dates = reader.dtype, reader.index
        keep = bisect.bisect_left(old_dates, new_dates[0])
        old = reader.rows(0, keep, mmap=True)
        if series:
            columns: list[str] = []
            shape: tuple[int, ...] = (keep + len(new_dates),)
            new_values = _as_storage(new.to_numpy(dtype=np.float64, na_value=np.nan), storage)
        else:
            old_cols = pd.Index(reader.columns, dtype=object)
            added = new.columns.difference(old_cols)
            cols = old_cols if len(added) == 0 else old_cols.append(added).sort_values()
            columns = list(cols)
            shape = (keep + len(new_dates), len(cols))
            fill = _NO_DATA_FILL.get(key, False) if storage == np.bool_ else np.nan
            aligned = new.reindex(columns=cols, fill_value=fill)
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

    def load(self, *, start_date=None, end_date=None, keys=None, mmap=True) -> dict:
        """Loads datasets, rows with ``start_date`` <= date <= ``end_date``.

        ``keys`` selects matrices (all non-benchmark datasets when ``None``);
        ``data["benchmark_dict"]`` always holds every benchmark series. With
        ``mmap`` the arrays are read-only memory maps of the files; without,
        plain in-memory (and picklable) objects. A broken store raises
        ``MirtalyError`` naming the dataset.
        """
        start = normalize_yyyymmdd(start_date)
        end = normalize_yyyymmdd(end_date)
        for _ in range(_LOAD_ATTEMPTS):
            try:
                return self._load_once(self.load_metadata(), start, end, keys, bool(mmap))
            except _Vanished as exc:
                # An update replaced the files after we read the metadata; its
                # new metadata is in place by now.
                gone = exc
        raise MirtalyError(str(gone))

    def _load_once(self, metadata: dict, start, end, keys, mmap: bool) -> dict:
        datasets = metadata.get("datasets", {})
        benchmarks = metadata.get("benchmarks") or {}
        if not isinstance(datasets, dict):
            raise MirtalyError("回测数据元信息损坏: datasets 不是字典")
        if not isinstance(benchmarks, dict):
            raise MirtalyError("回测数据元信息损坏: benchmarks 不是字典")
        for code, key in benchmarks.items():
            if type(code) is not str or type(key) is not str:
                raise MirtalyError(f"回测数据元信息损坏: 基准 {code!r} -> {key!r}")
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

        def read(key, matrix: bool) -> tuple[np.ndarray, pd.Index, _NpyReader]:
            reader = _NpyReader(self.store_dir, key, datasets[key], matrix)
            dates = reader.index
            # Binary search on the sorted dates: rows outside the window are never read.
            lo = 0 if start is None else bisect.bisect_left(dates, start)
            hi = max(lo, len(dates) if end is None else bisect.bisect_right(dates, end))
            return reader.rows(lo, hi, mmap), shared_index(dates[lo:hi]), reader

        out: dict[str, object] = {}
        for key in keys:
            if key not in datasets:
                raise KeyError(key)
            values, index, reader = read(key, True)
            out[key] = pd.DataFrame(
                values, index=index, columns=shared_index(reader.columns), copy=False
            )
        bench: dict[str, pd.Series] = {}
        for code, key in benchmarks.items():
            if key not in datasets:
                raise MirtalyError(f"回测数据缺少基准序列: {code}")
            values, index, _ = read(key, False)
            bench[code] = pd.Series(values, index=index, name=datasets[key].get("name"), copy=False)
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


def _labelled(obj, key: str):
    """``obj``, a matrix or a series, labelled as the store keeps it: dates as
    ``YYYYMMDD`` text in ascending order, stock codes as 6-digit text (read as
    ``clean_matrix`` reads them). Labels it cannot read raise ``ValueError``
    naming the dataset."""
    matrix = isinstance(obj, pd.DataFrame)
    if not matrix and not isinstance(obj, pd.Series):
        raise TypeError(f"{key}: expected a DataFrame or Series, got {type(obj).__name__}")
    try:
        dates, codes = _clean_labels(obj.index, obj.columns if matrix else None)
    except ValueError as exc:
        raise ValueError(f"{key}: {exc}") from None
    # New labels on a shallow copy: set_axis copies every value on pandas 2.
    out = obj.copy(deep=False)
    out.index = pd.Index(dates, dtype=object)
    if matrix:
        out.columns = pd.Index(codes, dtype=object)
    return out if out.index.is_monotonic_increasing else out.sort_index()
