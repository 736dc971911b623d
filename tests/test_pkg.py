"""The benchmark package downloader over real HTTP, safe unpacking and the flattener."""

import io
import tarfile
from pathlib import Path

import pytest

from mirtaly.backtest import _pkg
from mirtaly.exceptions import MirtalyError, NetworkError
from mirtaly.sandbox.package import BenchmarkPackage, file_sha256


def files_under(path):
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))


def test_downloads_checks_unpacks_and_flattens(served_archive, tmp_path):
    target = tmp_path / "data"
    _pkg.download_benchmark_package(served_archive.client(), target)
    # The archive itself is gone; only its members remain, under the package's folder.
    assert files_under(target) == [
        "benchmark_data_20240105",
        "benchmark_data_20240105/close_price-000000000000.npy",
        "benchmark_data_20240105/metadata.pkl",
    ]
    _pkg.flatten_single_subdir(target)
    assert files_under(target) == ["close_price-000000000000.npy", "metadata.pkl"]
    assert (target / "metadata.pkl").read_bytes() == b"metadata"
    _pkg.flatten_single_subdir(target)  # nothing to flatten: unchanged
    assert files_under(target) == ["close_price-000000000000.npy", "metadata.pkl"]


@pytest.mark.parametrize(
    "mode, error, match",
    [
        ("status", NetworkError, "HTTP 503"),
        ("drop", NetworkError, "incomplete"),
        ("checksum", NetworkError, "校验失败"),
        ("address", MirtalyError, "下载地址无效"),
    ],
)
def test_failed_download_writes_nothing(served_archive, tmp_path, mode, error, match):
    target = tmp_path / "data"
    target.mkdir()
    (target / "kept").write_text("old")
    served_archive.fail(mode)
    with pytest.raises(error, match=match):
        _pkg.download_benchmark_package(served_archive.client(retries=0), target)
    assert files_under(target) == ["kept"]


def test_without_a_configured_client(tmp_path):
    with pytest.raises(MirtalyError, match=r"mirtaly\.configure"):
        _pkg.download_benchmark_package(None, tmp_path / "data")
    assert not (tmp_path / "data").exists()


def _member(name, kind=tarfile.REGTYPE, data=b"x", linkname=""):
    info = tarfile.TarInfo(name)
    info.type, info.linkname = kind, linkname
    info.size = len(data) if kind == tarfile.REGTYPE else 0
    return info, data


@pytest.fixture(scope="module")
def member_server(served_archive_module):
    """Serves an archive of the given members: ``member_server(tmp_path, members)``."""

    def serve(tmp_path, members):
        path = tmp_path / "members.tar.gz"
        with tarfile.open(path, "w:gz") as tar:
            for info, data in members:
                tar.addfile(info, io.BytesIO(data) if info.isreg() else None)
        size = path.stat().st_size
        served_archive_module.package = BenchmarkPackage(
            path, file_sha256(path), size, "20240105", "root"
        )
        return served_archive_module

    return serve


@pytest.mark.parametrize(
    "evil",
    [
        _member("root/../../escaped"),
        _member("/tmp/mirtaly-absolute-escape"),
        _member("root/link", tarfile.SYMTYPE, linkname="metadata.pkl"),
        _member("root/hard", tarfile.LNKTYPE, linkname="root/metadata.pkl"),
        _member("root/dev", tarfile.CHRTYPE),
        _member("root/fifo", tarfile.FIFOTYPE),
    ],
    ids=["traversal", "absolute", "symlink", "hardlink", "device", "fifo"],
)
@pytest.mark.parametrize("stdlib_filter", [True, False], ids=["data-filter", "own-rules"])
def test_unsafe_members_refuse_the_package(
    tmp_path, monkeypatch, member_server, evil, stdlib_filter
):
    if not stdlib_filter:
        monkeypatch.delattr(tarfile, "data_filter", raising=False)
    target = tmp_path / "box" / "data"
    server = member_server(tmp_path, [_member("root/metadata.pkl"), evil])
    with pytest.raises(MirtalyError, match="不安全的成员"):
        _pkg.download_benchmark_package(server.client(), target)
    # Not even the safe member was written, and nothing beside the target.
    assert files_under(tmp_path / "box") == ["data"]
    assert not (tmp_path / "escaped").exists()
    assert not Path("/tmp/mirtaly-absolute-escape").exists()


def test_own_rules_unpack_plain_files(tmp_path, monkeypatch, member_server):
    monkeypatch.delattr(tarfile, "data_filter", raising=False)
    members = [_member("root", tarfile.DIRTYPE), _member("root/a/b.npy", data=b"abc")]
    server = member_server(tmp_path, members)
    _pkg.download_benchmark_package(server.client(), tmp_path / "data")
    assert (tmp_path / "data" / "root" / "a" / "b.npy").read_bytes() == b"abc"


def test_flatten_a_folder_holding_its_own_name(tmp_path):
    inner = tmp_path / "pkg" / "same"
    inner.mkdir(parents=True)
    (inner / "same").write_text("file named like its folder")
    _pkg.flatten_single_subdir(tmp_path / "pkg")
    assert (tmp_path / "pkg" / "same").read_text() == "file named like its folder"


class TestDirectorySwap:
    def test_replace_keeps_the_old_directory_when_the_swap_fails(self, tmp_path, monkeypatch):
        old, new = tmp_path / "data", _pkg.staging_directory(tmp_path / "data")
        old.mkdir()
        (old / "f").write_text("old")
        (new / "f").write_text("new")
        real_rename = type(new).rename

        def failing_rename(self, target):
            if self == new:
                raise OSError("injected")
            return real_rename(self, target)

        monkeypatch.setattr(type(new), "rename", failing_rename)
        with pytest.raises(OSError, match="injected"):
            _pkg.replace_directory(old, new)
        assert (old / "f").read_text() == "old"
        monkeypatch.undo()
        _pkg.replace_directory(old, new)
        assert (old / "f").read_text() == "new"
        assert files_under(tmp_path) == ["data", "data/f"]

    def test_lock_tidies_what_an_interrupted_run_left(self, tmp_path):
        data = tmp_path / "data"
        staging = _pkg.staging_directory(data)
        retired = tmp_path / ".data.retired-000000000000"  # moved aside, never replaced
        retired.mkdir()
        (retired / "f").write_text("old")
        with _pkg.preparation_lock(data):
            assert (data / "f").read_text() == "old"
            assert not staging.exists() and not retired.exists()
