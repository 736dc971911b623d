"""Shared fixtures: small sandbox markets, their factor service, a package server."""

import pytest

from mirtaly import singleton
from mirtaly.sandbox import market_of_size
from mirtaly.sandbox.package import archive_store
from mirtaly.sandbox.server import PackageServer


@pytest.fixture(scope="session")
def tiny_market():
    """60 stocks over 130 sessions, ending on a fixed day so that the events
    the tests look for (limits, suspensions, dividends, a split) are there."""
    return market_of_size("tiny", seed=7, end="2024-07-31")


@pytest.fixture
def sandbox_service(tiny_market):
    """The tiny market's factor service, installed as the process's client."""
    client = tiny_market.client()
    previous = singleton.set_instance(client)
    yield client
    singleton.set_instance(previous)


@pytest.fixture
def served_archive(tmp_path):
    """A package server over a small archive of two made-up store files."""
    store = tmp_path / "store"
    store.mkdir()
    (store / "metadata.pkl").write_bytes(b"metadata")
    (store / "close_price-000000000000.npy").write_bytes(bytes(range(256)) * 512)
    package = archive_store(
        store, tmp_path / "benchmark.tar.gz", root="benchmark_data_20240105", end_date="20240105"
    )
    with PackageServer(package) as server:
        yield server
