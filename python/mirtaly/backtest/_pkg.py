"""The benchmark data package: download, checksum, safe unpacking, and putting a
prepared data directory in place.

The cloud describes its package at :data:`PACKAGE_INFO_PATH` (a JSON object
with ``url``, ``sha256``, ``size``, ``end_date`` and ``root``); ``url`` is a
path on the same server, fetched with the same signed client. The archive is a
gzip'd tar of the store's regular files, usually under one top-level folder.

The preparation flow never unpacks over a working directory: it downloads into
a staging directory beside it (:func:`staging_directory`), checks the result
there and only then swaps it in (:func:`replace_directory`), all while holding
:func:`preparation_lock`, so that a failure at any point leaves the old
directory as it was and a second process waits instead of colliding.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import secrets
import shutil
import tarfile
import urllib.parse
from pathlib import Path, PurePosixPath

import filelock
from tqdm import tqdm

from mirtaly.exceptions import MirtalyError, NetworkError

__all__ = [
    "PACKAGE_INFO_PATH",
    "download_benchmark_package",
    "flatten_single_subdir",
    "preparation_lock",
    "replace_directory",
    "staging_directory",
]

PACKAGE_INFO_PATH = "/api/v1/backtest/benchmark-package"

_SHA256 = re.compile(r"^[0-9a-f]{64}$")
# Names of what a preparation leaves beside the data directory while it runs.
_STAGING = ".staging-"
_RETIRED = ".retired-"


# ---------------------------------------------------------------------------
# download
# ---------------------------------------------------------------------------


def download_benchmark_package(http, store_dir: str | os.PathLike) -> Path:
    """Downloads the complete benchmark data package and unpacks it into ``store_dir``.

    The archive streams to a hidden temporary file inside ``store_dir`` (with a
    progress bar when stderr is a terminal), is checked against the published
    SHA-256 and removed after unpacking; a failed download leaves no part of it.
    Archive members that are not plain files or folders, or whose path is
    absolute or leaves the directory, refuse the whole package before anything
    is written. Transport failures and a wrong checksum raise
    :class:`NetworkError`, an invalid download address or an unusable package
    :class:`MirtalyError`.
    """
    if http is None:
        raise MirtalyError("云端客户端未配置,请先调用 mirtaly.configure(base_url, key, secret)")
    store_dir = Path(store_dir)
    url, sha256, size = _package_description(http.get_json(PACKAGE_INFO_PATH))
    store_dir.mkdir(parents=True, exist_ok=True)
    archive = store_dir / f".benchmark_package-{secrets.token_hex(6)}.tar.gz"
    try:
        # disable=None: quiet when the output is not a terminal.
        with tqdm(
            total=size,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            desc="回测基准数据包",
            disable=None,
            leave=False,
        ) as bar:
            http.download(url, archive, progress=lambda done, _total: bar.update(done - bar.n))
        with open(archive, "rb") as fh:
            got = hashlib.file_digest(fh, "sha256").hexdigest()
        if got != sha256:
            raise NetworkError(f"回测基准数据包校验失败: sha256 应为 {sha256},实为 {got}", url=url)
        _unpack(archive, store_dir)
    finally:
        archive.unlink(missing_ok=True)
    return store_dir


def _package_description(info) -> tuple[str, str, int | None]:
    if not isinstance(info, dict):
        raise MirtalyError(f"回测基准数据包描述无效: {info!r}")
    url, sha256, size = info.get("url"), info.get("sha256"), info.get("size")
    if not _valid_address(url):
        raise MirtalyError(f"回测基准数据包下载地址无效: {url!r}")
    if not isinstance(sha256, str) or not _SHA256.match(sha256):
        raise MirtalyError(f"回测基准数据包校验值无效: {sha256!r}")
    # The size only feeds the progress bar; the checksum decides.
    if type(size) is not int or size < 0:
        size = None
    return url, sha256, size


def _valid_address(url) -> bool:
    """A path on the package server itself: no scheme, host, query or ".." segment."""
    if not isinstance(url, str) or not url.startswith("/") or url.startswith("//"):
        return False
    parts = urllib.parse.urlsplit(url)
    if parts.scheme or parts.netloc or parts.query or parts.fragment or "\\" in url:
        return False
    segments = urllib.parse.unquote(parts.path).split("/")
    return ".." not in segments and all(ord(c) > 31 for c in url)


# ---------------------------------------------------------------------------
# unpacking
# ---------------------------------------------------------------------------


def _unpack(archive: Path, dest: Path) -> None:
    try:
        with tarfile.open(archive, "r:*") as tar:
            members = tar.getmembers()
            for member in members:
                _check_member(member, dest)
            _extract(tar, members, dest)
    except (tarfile.TarError, EOFError, OSError) as exc:
        raise MirtalyError(f"回测基准数据包无法解压: {exc}") from exc


def _check_member(member: tarfile.TarInfo, dest: Path) -> None:
    name = member.name
    path = PurePosixPath(name)
    unsafe = (
        not (member.isreg() or member.isdir())  # links, devices, fifos
        or not name
        or path.is_absolute()
        or re.match(r"^[A-Za-z]:", name) is not None
        or "\\" in name
        or ".." in path.parts
        or "\0" in name
    )
    if not unsafe:
        root = os.path.realpath(dest)
        target = os.path.realpath(os.path.join(root, name))
        unsafe = os.path.commonpath([root, target]) != root
    if unsafe:
        raise MirtalyError(f"回测基准数据包含不安全的成员: {name!r}")


def _extract(tar: tarfile.TarFile, members: list[tarfile.TarInfo], dest: Path) -> None:
    data_filter = getattr(tarfile, "data_filter", None)
    if data_filter is not None:
        tar.extractall(dest, members=members, filter=data_filter)
        return
    # An interpreter without the "data" filter: the members passed the same rules
    # above, so write them as plain files with plain modes, owned by us.
    for member in members:
        target = dest / member.name
        if member.isdir():
            target.mkdir(parents=True, exist_ok=True)
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        source = tar.extractfile(member)
        with source, open(target, "wb") as out:
            shutil.copyfileobj(source, out)


def flatten_single_subdir(store_dir: str | os.PathLike) -> None:
    """When ``store_dir`` holds nothing but one folder, moves that folder's
    entries up into ``store_dir`` and removes it."""
    store_dir = Path(store_dir)
    entries = list(store_dir.iterdir())
    if len(entries) != 1 or entries[0].is_symlink() or not entries[0].is_dir():
        return
    # Moved aside first: an entry may carry the folder's own name.
    holder = store_dir / f".flatten-{secrets.token_hex(6)}"
    entries[0].rename(holder)
    for child in holder.iterdir():
        child.rename(store_dir / child.name)
    holder.rmdir()


# ---------------------------------------------------------------------------
# the data directory
# ---------------------------------------------------------------------------


def _sibling(store_dir: Path, kind: str) -> Path:
    return store_dir.with_name(f".{store_dir.name}{kind}{secrets.token_hex(6)}")


def _leftovers(store_dir: Path, kind: str) -> list[Path]:
    prefix = f".{store_dir.name}{kind}"
    return [p for p in store_dir.parent.glob(prefix + "*") if p.is_dir()]


@contextlib.contextmanager
def preparation_lock(store_dir: str | os.PathLike):
    """Holds the inter-process lock of ``store_dir`` (a file beside it) while
    the block runs; a second holder waits.

    On entry it tidies what an interrupted preparation left: staging
    directories go, and a directory that was moved aside to be replaced comes
    back when nothing took its place.
    """
    store_dir = Path(store_dir)
    store_dir.parent.mkdir(parents=True, exist_ok=True)
    with filelock.FileLock(str(store_dir.with_name(f".{store_dir.name}.lock"))):
        for path in _leftovers(store_dir, _STAGING):
            shutil.rmtree(path, ignore_errors=True)
        retired = _leftovers(store_dir, _RETIRED)
        if retired and not store_dir.exists():
            newest = max(retired, key=lambda p: p.stat().st_mtime)
            newest.rename(store_dir)
            retired.remove(newest)
        for path in retired:
            shutil.rmtree(path, ignore_errors=True)
        yield


def staging_directory(store_dir: str | os.PathLike) -> Path:
    """A new, empty directory beside ``store_dir``, on the same file system, so
    that :func:`replace_directory` can rename it into place."""
    store_dir = Path(store_dir)
    store_dir.parent.mkdir(parents=True, exist_ok=True)
    staging = _sibling(store_dir, _STAGING)
    staging.mkdir()
    return staging


def replace_directory(store_dir: str | os.PathLike, staging: str | os.PathLike) -> None:
    """Puts ``staging`` in the place of ``store_dir``: the old directory is
    renamed away, the new one renamed in, and only then the old one removed.
    When the second rename fails, the old directory is put back."""
    store_dir, staging = Path(store_dir), Path(staging)
    retired = None
    if store_dir.exists():
        retired = _sibling(store_dir, _RETIRED)
        store_dir.rename(retired)
    try:
        staging.rename(store_dir)
    except BaseException:
        if retired is not None:
            retired.rename(store_dir)
        raise
    if retired is not None:
        shutil.rmtree(retired, ignore_errors=True)
