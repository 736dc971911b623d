"""Handing the loaded data and the per-task tables to worker processes without
pickling them once per task.

The parent writes the data once into a private directory of ``.npy`` files
(in ``/dev/shm`` when it has room) and every worker process on the machine
maps them read-only: N workers share one copy through the page cache, and a
worker reads only the pages its backtests touch. Each task's table goes
through a *slot*, a file the parent overwrites in place for the next task once
the previous one is done, so neither side faults in fresh pages for every
table and nothing is pushed through a pipe. A directory whose writer died
without removing it (killed mid-call) is removed when the next session starts.

Only frames whose values are one plain numpy array (one bool, integer, float
or complex dtype) are mapped; everything else (benchmark series, mixed or
extension dtypes, empty frames) travels pickled, once per worker for the data
and once per task for a table. Labels, column names and ``attrs`` are pickled,
so a worker's frames equal the parent's exactly, in the same memory order.
"""

from __future__ import annotations

import os
import pickle
import shutil
import socket
import tempfile
import threading
import time
import uuid
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from mirtaly.backtest.result import BacktestData

__all__ = [
    "SharedHandle",
    "SharedSession",
    "SlotTable",
    "attach",
    "can_attach",
    "detach",
    "resolve_table",
]

_SHELL = "data.pkl"
_TOKEN = "token"
_PREFIX = "mirtaly-many-"
# The writer's process id and where it lives (host and process namespace),
# written first: a directory whose writer is gone was left by a process that
# was killed or ended mid-call.
_OWNER = "owner"


@dataclass(frozen=True)
class SharedHandle:
    """What a task carries of the shared data: where it lies and which call wrote it."""

    directory: str
    token: str


@dataclass(frozen=True)
class _MappedFrame:
    file: str
    index: pd.Index
    columns: pd.Index
    attrs: dict


@dataclass(frozen=True)
class SlotTable:
    """A task's table in a slot file: the values' layout and the frame's labels."""

    slot: int
    file: str
    dtype: str
    shape: tuple[int, int]
    order: str
    index: pd.Index
    columns: pd.Index
    attrs: dict


def _plain_values(value) -> np.ndarray | None:
    """The values of a frame that can be mapped as one array, else ``None``."""
    if not isinstance(value, pd.DataFrame) or value.size == 0:
        return None
    dtypes = set(value.dtypes)
    if len(dtypes) != 1:
        return None
    dtype = dtypes.pop()
    if not isinstance(dtype, np.dtype) or dtype.kind not in "biufc":
        return None
    values = value.to_numpy()
    return values if values.dtype == dtype else None


def _order(values: np.ndarray) -> str:
    # pandas keeps a frame's values column-major; keep whichever layout it has.
    return "F" if values.flags.f_contiguous and not values.flags.c_contiguous else "C"


def _scratch_root(nbytes: int) -> str | None:
    """``/dev/shm`` when it holds ``nbytes`` with room to spare, else the temp directory."""
    try:
        if shutil.disk_usage("/dev/shm").free > 2 * nbytes:
            return "/dev/shm"
    except OSError:
        pass
    return None


def _where() -> str:
    # Another host or container can share the folder; its process ids mean
    # nothing here.
    try:
        space = os.readlink("/proc/self/ns/pid")
    except OSError:
        space = ""
    return f"{socket.gethostname()} {space}"


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # someone else's process
        return True
    return True


def _sweep(root: str | None) -> None:
    """Removes the session directories of writers that are gone: a killed
    caller leaves its copy of the data behind, and ``/dev/shm`` is memory."""
    for folder in {"/dev/shm", tempfile.gettempdir(), root or tempfile.gettempdir()}:
        for path in Path(folder).glob(f"{_PREFIX}*"):
            try:
                pid, _, where = (path / _OWNER).read_text().partition(" ")
                pid = int(pid)
            except (OSError, ValueError):
                continue  # being written, or not ours to judge
            if where == _where() and not _alive(pid):
                shutil.rmtree(path, ignore_errors=True)


class SharedSession:
    """The parent's side: writes ``data`` once, then fills slots with tables.

    Use as a context manager; the directory is removed on exit. ``slots`` is
    the number of tables in flight at once.
    """

    def __init__(self, data: BacktestData, slots: int):
        frames = {key: _plain_values(value) for key, value in data.data.items()}
        nbytes = sum(v.nbytes for v in frames.values() if v is not None)
        root = _scratch_root(nbytes)
        _sweep(root)
        self.directory = Path(tempfile.mkdtemp(prefix=_PREFIX, dir=root))
        try:
            (self.directory / _OWNER).write_text(f"{os.getpid()} {_where()}")
            shell = {}
            for number, (key, value) in enumerate(data.data.items()):
                values = frames[key]
                if values is None:
                    shell[key] = value
                    continue
                name = f"data-{number}.npy"
                np.save(self.directory / name, values, allow_pickle=False)
                shell[key] = _MappedFrame(name, value.index, value.columns, dict(value.attrs))
            self.handle = SharedHandle(str(self.directory), uuid.uuid4().hex)
            with open(self.directory / _SHELL, "wb") as fh:
                pickle.dump((self.handle.token, shell), fh, protocol=pickle.HIGHEST_PROTOCOL)
            # Written last: a worker that finds the token finds everything else.
            (self.directory / _TOKEN).write_text(self.handle.token)
        except BaseException:
            shutil.rmtree(self.directory, ignore_errors=True)
            raise
        self._slots: list[tuple[str, np.memmap] | None] = [None] * slots

    def __enter__(self) -> SharedSession:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        self._slots = []
        shutil.rmtree(self.directory, ignore_errors=True)

    def put(self, slot: int, table):
        """``table`` as a task should carry it: a :class:`SlotTable` written into
        slot ``slot`` (free: its previous task is done), or the table itself."""
        values = _plain_values(table)
        if values is None:
            return table
        held = self._slots[slot]
        if held is None or held[1].size < values.nbytes:
            # A new file per growth: a worker still mapping the old one keeps it.
            name = f"slot-{slot}-{uuid.uuid4().hex[:8]}.bin"
            with open(self.directory / name, "wb") as fh:
                fh.truncate(values.nbytes)
            if held is not None:
                os.unlink(self.directory / held[0])
            held = (name, np.memmap(self.directory / name, np.uint8, "r+"))
            self._slots[slot] = held
        order = _order(values)
        _view(held[1], values.dtype, values.shape, order)[...] = values
        return SlotTable(
            slot,
            held[0],
            values.dtype.str,
            values.shape,
            order,
            table.index,
            table.columns,
            dict(table.attrs),
        )


def _view(buffer: np.ndarray, dtype, shape, order: str) -> np.ndarray:
    count = int(np.prod(shape)) * np.dtype(dtype).itemsize
    return buffer[:count].view(dtype).reshape(shape, order=order)


def _frame(values: np.ndarray, index, columns, attrs) -> pd.DataFrame:
    frame = pd.DataFrame(values, index=index, columns=columns, copy=False)
    if attrs:
        frame.attrs = attrs
    return frame


# ---- the worker's side ---------------------------------------------------------------------


class _Attached:
    def __init__(self, directory: Path, data: BacktestData):
        self.directory = directory
        self.data = data
        self.slots: dict[int, tuple[str, np.memmap]] = {}


# The sessions a worker process has mapped, newest last. Old ones are dropped, so a
# long-lived worker (a Dask worker, a caller's pool) keeps no maps of data that is gone.
_lock = threading.Lock()
_sessions: OrderedDict[str, _Attached] = OrderedDict()
_KEEP = 2
# A long-lived worker also drops a session whose files its parent removed (the
# call returned), checked this often, so idle workers pin no memory of it.
_WATCH_SECONDS = 0.5
_watcher: threading.Thread | None = None


def _watch() -> None:
    while True:
        time.sleep(_WATCH_SECONDS)
        with _lock:
            gone = [t for t, s in _sessions.items() if not (s.directory / _TOKEN).exists()]
            for token in gone:
                del _sessions[token]


def _session(handle: SharedHandle) -> _Attached:
    with _lock:
        session = _sessions.get(handle.token)
        if session is None:
            directory = Path(handle.directory)
            with open(directory / _SHELL, "rb") as fh:
                token, shell = pickle.load(fh)
            if token != handle.token:
                raise FileNotFoundError(f"shared backtest data replaced: {directory}")
            data = {}
            for key, value in shell.items():
                if isinstance(value, _MappedFrame):
                    values = np.load(directory / value.file, mmap_mode="r", allow_pickle=False)
                    value = _frame(values, value.index, value.columns, value.attrs)
                data[key] = value
            session = _sessions[handle.token] = _Attached(directory, BacktestData(data=data))
            while len(_sessions) > _KEEP:
                _sessions.popitem(last=False)
            global _watcher
            if _watcher is None:
                _watcher = threading.Thread(target=_watch, name="mirtaly-shared-watch", daemon=True)
                _watcher.start()
        _sessions.move_to_end(handle.token)
        return session


def attach(handle: SharedHandle) -> BacktestData:
    """The shared data, mapped once per worker process and session."""
    return _session(handle).data


def resolve_table(handle: SharedHandle, table):
    """The frame a :class:`SlotTable` stands for (read-only over the slot), or ``table``."""
    if not isinstance(table, SlotTable):
        return table
    session = _session(handle)
    with _lock:
        held = session.slots.get(table.slot)
        if held is None or held[0] != table.file:
            buffer = np.memmap(Path(handle.directory) / table.file, np.uint8, "r")
            held = session.slots[table.slot] = (table.file, buffer)
    values = _view(held[1], table.dtype, table.shape, table.order)
    return _frame(values, table.index, table.columns, table.attrs)


def can_attach(handle: SharedHandle) -> bool:
    """Whether this process sees the session's files (a worker on another machine does not)."""
    try:
        return (Path(handle.directory) / _TOKEN).read_text() == handle.token
    except OSError:
        return False


def detach(token: str) -> None:
    """Drops a session's maps from this process."""
    with _lock:
        _sessions.pop(token, None)
