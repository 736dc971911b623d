"""Shared fixtures: sandbox markets, their factor service, a package server, and a small
prepared store on disk with the service pointed at it."""

import numpy as np
import pandas as pd
import pytest
from mirtaly.backtest._prepare import BinaryPreparedDataStore, component_dataset_key

from mirtaly import singleton
from mirtaly.backtest import _service
from mirtaly.sandbox import market_of_size
from mirtaly.sandbox.package import archive_store
from mirtaly.sandbox.server import PackageServer
from test_strategy_simulation import random_market


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


# Dataset key -> market frame name of the simulation.
STORE_KEYS = {
    "close_price": "close_price",
    "prev_close": "prev_close",
    "buy_price": "buy_price",
    "sell_price": "sell_price",
    "rq_get_split": "split_factor",
    "rq_get_dividend": "dividend_factor",
    "can_buy_stock": "can_buy_stock",
    "cant_sell_stock": "cant_sell_stock",
}
C300 = "rq_index_components_new_000300.XSHG"
C905 = "rq_index_components_new_000905.XSHG"


def store_payload(seed=11, n_days=60, n_stocks=24):
    """A prepared-data payload over a random market, and a weight matrix for it."""
    signal, market = random_market(seed, n_days=n_days, n_stocks=n_stocks)
    close = market["close_price"]
    rng = np.random.default_rng(seed)
    data = {key: market[name] for key, name in STORE_KEYS.items()}
    data["close_price_valid"] = close.notna().astype(float).where(close.notna())
    # Members: 000300 the first half of the stocks, 000905 a random third from the tenth day.
    members = np.full(close.shape, np.nan)
    members[:, : n_stocks // 2] = 1.0
    data[component_dataset_key(C300)] = pd.DataFrame(
        members, index=close.index, columns=close.columns
    )
    members = np.full(close.shape, np.nan)
    members[10:, rng.choice(n_stocks, n_stocks // 3, replace=False)] = 1.0
    data[component_dataset_key(C905)] = pd.DataFrame(
        members, index=close.index, columns=close.columns
    )
    data["benchmark_dict"] = {
        code: pd.Series(rng.normal(0.0003, 0.012, n_days), index=close.index, name=code)
        for code in ("000300", "000905", "000852")
    }
    return signal, {"version": 1, "meta": {"component_names": [C300, C905]}, "data": data}


@pytest.fixture(scope="session")
def prepared(tmp_path_factory):
    """(data directory, weight matrix) of a store written once per run."""
    signal, payload = store_payload()
    path = tmp_path_factory.mktemp("prepared") / "enviroment_data"
    BinaryPreparedDataStore(path).write(payload)
    return path, signal


@pytest.fixture
def service(prepared, monkeypatch):
    """A service whose data directory is the prepared store, never the user's home."""
    monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", prepared[0])
    return _service.BacktestService(None)


@pytest.fixture
def loaded(service):
    return service.load_backtest_data()
