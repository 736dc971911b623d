"""The benchmark data package: a store's files in a gzip'd tar archive under one
top-level folder, with its SHA-256 checksum."""

from __future__ import annotations

import dataclasses
import gzip
import hashlib
import os
import tarfile
from pathlib import Path

from mirtaly.backtest._store import atomic_output

__all__ = ["BenchmarkPackage", "archive_store"]

_CHUNK = 1 << 20


@dataclasses.dataclass(frozen=True)
class BenchmarkPackage:
    """An archive on disk and what a downloader is told about it."""

    path: Path
    sha256: str
    size: int
    end_date: str  # the last date of the data inside, YYYYMMDD
    root: str  # the one top-level folder of the archive

    @property
    def name(self) -> str:
        return self.path.name


def file_sha256(path: str | os.PathLike) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        while chunk := fh.read(_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def archive_store(
    store_dir: str | os.PathLike, archive: str | os.PathLike, *, root: str, end_date: str
) -> BenchmarkPackage:
    """Packs the regular files of ``store_dir`` into ``archive`` (.tar.gz), each
    under ``root/``.

    Members are sorted and carry no time, owner or mode of this machine, so the
    same store gives the same bytes. The archive is written beside its final
    name and moved there when complete.
    """
    store_dir, archive = Path(store_dir), Path(archive)
    if not root or Path(root).name != root or root in (".", ".."):
        raise ValueError(f"root must be one plain folder name, got {root!r}")
    files = sorted(p for p in store_dir.iterdir() if p.is_file() and not p.is_symlink())
    if not files:
        raise ValueError(f"no files to pack in {store_dir}")
    archive.parent.mkdir(parents=True, exist_ok=True)
    with atomic_output(archive) as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as zipped:
            with tarfile.open(fileobj=zipped, mode="w", format=tarfile.PAX_FORMAT) as tar:
                for path in files:
                    info = tarfile.TarInfo(f"{root}/{path.name}")
                    info.size = path.stat().st_size
                    info.mode = 0o644
                    with open(path, "rb") as fh:
                        tar.addfile(info, fh)
    return BenchmarkPackage(
        path=archive,
        sha256=file_sha256(archive),
        size=archive.stat().st_size,
        end_date=end_date,
        root=root,
    )
