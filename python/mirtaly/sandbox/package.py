"""The benchmark data package: a store's files in a gzip'd tar archive under one
top-level folder, with its SHA-256 checksum.

:func:`build_benchmark_package` makes it from a sandbox market the way the
cloud makes it from the real one: the prepared data builder reads the market
through the factor service up to a day some sessions before the market's last
one (so that preparing from it has an incremental update to do), and the
prepared data store writes the result.
"""

from __future__ import annotations

import dataclasses
import gzip
import hashlib
import json
import os
import tarfile
import tempfile
from pathlib import Path

from mirtaly import singleton
from mirtaly._atomic import atomic_output
from mirtaly.backtest._store import atomic_write_bytes

__all__ = ["BenchmarkPackage", "archive_store", "build_benchmark_package"]

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
        # Level 1: the archive travels over 127.0.0.1, where
        # compressing harder costs far more time than it saves.
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=1) as zipped:
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


def build_benchmark_package(
    market, directory: str | os.PathLike, *, sessions_before_end: int = 5
) -> BenchmarkPackage:
    """The benchmark package of ``market`` (a :class:`SandboxMarket`) up to the
    session ``sessions_before_end`` sessions before its last, in ``directory``.

    The archive is "benchmark_package_<end date>.tar.gz"; a description of it
    (checksum, size, the market it was built from) lies beside it as
    "<archive>.json". When both are there already for the same market, they are
    reused instead of built again. While building, the market's factor service
    is the process's client; the previous one is put back afterwards.
    """
    from mirtaly.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder

    lag = int(sessions_before_end)
    if not 0 <= lag < len(market.dates):
        raise ValueError(f"sessions_before_end must lie in [0, {len(market.dates) - 1}], got {lag}")
    directory = Path(directory)
    end_date = market.date_labels[-1 - lag]
    archive = directory / f"benchmark_package_{end_date}.tar.gz"
    description = archive.with_name(archive.name + ".json")
    fingerprint = market.fingerprint()
    package = _reusable(archive, description, fingerprint)
    if package is not None:
        return package

    previous = singleton.set_instance(market.client())
    try:
        payload = GroupPreparedDataBuilder(market.date_labels[0], end_date).build()
    finally:
        singleton.set_instance(previous)
    directory.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=directory, prefix=".building-") as tmp:
        BinaryPreparedDataStore(tmp).write(payload)
        package = archive_store(tmp, archive, root=f"benchmark_data_{end_date}", end_date=end_date)
    record = {
        "market": fingerprint,
        "sha256": package.sha256,
        "size": package.size,
        "end_date": end_date,
        "root": package.root,
    }
    atomic_write_bytes(description, json.dumps(record, indent=2).encode())
    return package


def _reusable(archive: Path, description: Path, fingerprint: str) -> BenchmarkPackage | None:
    try:
        record = json.loads(description.read_text())
        if record["market"] != fingerprint or archive.stat().st_size != record["size"]:
            return None
        if file_sha256(archive) != record["sha256"]:
            return None
        return BenchmarkPackage(
            path=archive,
            sha256=record["sha256"],
            size=record["size"],
            end_date=record["end_date"],
            root=record["root"],
        )
    except (OSError, ValueError, KeyError, TypeError):
        return None
