"""Crash-safe file replacement: the one temporary file, fsync, replace sequence.

A reader of ``path`` sees either the old file or the complete new one, never
a part: the bytes go to a hidden temporary file beside it (".<name>.<hex>.tmp"),
which is flushed and fsynced before ``os.replace`` puts it in place; the
directory is synced last, so that the rename itself survives a crash.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from pathlib import Path


def _fsync_dir(path: Path) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


class AtomicFile:
    """An open binary file that replaces ``path`` on :meth:`commit`.

    :meth:`abort` (also on a failed commit) removes the temporary file and
    leaves ``path`` as it was. As a context manager it gives the open file and
    commits when the block ends, or aborts when the block raises.
    """

    def __init__(self, path: str | os.PathLike):
        self.path = Path(path)
        self.tmp = self.path.with_name(f".{self.path.name}.{secrets.token_hex(6)}.tmp")
        self.file = open(self.tmp, "wb")

    def commit(self) -> None:
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()
            os.replace(self.tmp, self.path)
        except BaseException:
            self.abort()
            raise
        _fsync_dir(self.path.parent)

    def abort(self) -> None:
        with contextlib.suppress(OSError):
            self.file.close()
        with contextlib.suppress(OSError):
            os.unlink(self.tmp)

    def __enter__(self):
        return self.file

    def __exit__(self, exc_type, exc, tb) -> bool:
        if exc_type is None:
            self.commit()
        else:
            self.abort()
        return False


def atomic_output(path: str | os.PathLike) -> AtomicFile:
    """``with atomic_output(path) as fh:`` writes ``path`` all at once."""
    return AtomicFile(path)
