"""Shared fixtures: the random market that tests and benchmarks simulate on, the total
frame and page sizes that chart tests and benchmarks draw, sandbox
markets, their factor service, a package server, and a small prepared store on disk with
the service pointed at it."""

import numpy as np
import pandas as pd
import pytest
from mirtaly.backtest._prepare import BinaryPreparedDataStore, component_dataset_key

from mirtaly import singleton
from mirtaly.backtest import _ravelin, _service
from mirtaly.sandbox import market_of_size
from mirtaly.sandbox.package import archive_store
from mirtaly.sandbox.server import PackageServer


def random_market(
    seed, n_days=80, n_stocks=40, long_short=False, column_major=False, empty_days=True
):
    """An A-share-like market: limit days, suspensions, listings, splits, dividends, data
    holes, and weights rebalanced every fifth day, carried between (with ``empty_days``,
    every eleventh day carries none at all).

    Returns the weight frame and the eight market frames by name, on one date x stock
    grid. ``column_major`` makes sure the frames hold column-major arrays, the layout of
    the frames pandas' own operations produce; the values do not depend on it.
    """
    rng = np.random.default_rng(seed)
    dates = list(pd.bdate_range("2023-01-02", periods=n_days).strftime("%Y%m%d"))
    codes = [f"{600000 + 7 * k:06d}" for k in range(n_stocks)]
    shape = (n_days, n_stocks)

    ret = rng.normal(0.0, 0.02, shape)
    limit = rng.random(shape)
    ret[limit < 0.03] = 0.1
    ret[limit > 0.97] = -0.1
    split = np.where(rng.random(shape) < 0.004, rng.choice([1.5, 2.0], shape), np.nan)
    split[rng.random(shape) < 0.01] = 1.0
    level = rng.uniform(4.0, 60.0, n_stocks) * np.cumprod(1.0 + ret, axis=0)
    close = level / np.cumprod(np.nan_to_num(split, nan=1.0), axis=0)
    prev_close = np.vstack([close[:1] / (1.0 + ret[:1]), close[:-1]])
    buy = close * (1.0 + rng.normal(0.0, 0.006, shape))
    sell = close * (1.0 + rng.normal(0.0, 0.006, shape))
    dividend = np.where(rng.random(shape) < 0.01, prev_close * rng.uniform(0.005, 0.03), np.nan)
    dividend[rng.random(shape) < 0.01] = 0.0

    can_buy = ret < 0.0995
    cant_sell = ret <= -0.0995
    suspended = np.zeros(shape, dtype=bool)
    for col in rng.choice(n_stocks, n_stocks // 8, replace=False):
        start = rng.integers(0, n_days - 5)
        suspended[start : start + rng.integers(1, 10), col] = True
    for col in rng.choice(n_stocks, 2, replace=False):  # listed part-way through
        suspended[: rng.integers(5, n_days // 2), col] = True
    for arr in (close, prev_close, buy, sell):
        arr[suspended] = np.nan
    can_buy &= ~suspended
    cant_sell |= suspended
    buy[rng.random(shape) < 0.005] = np.nan  # data holes on trading days
    sell[rng.random(shape) < 0.005] = np.nan

    signal = np.full(shape, np.nan)
    row = np.full(n_stocks, np.nan)
    for i in range(n_days):
        if i % 5 == 0:
            picked = rng.choice(n_stocks, max(2, n_stocks // 7), replace=False)
            w = rng.uniform(0.5, 1.5, picked.size)
            w /= w.sum()
            if long_short:
                w *= rng.choice([-1.0, 1.0], picked.size)
            row = np.where(rng.random(n_stocks) < 0.5, 0.0, np.nan)
            row[picked] = w
            row[picked[0]] = np.nan
        if not empty_days or i % 11 != 7:
            signal[i] = row

    def frame(values):
        if column_major:
            values = np.asfortranarray(values)
            return pd.DataFrame(values, index=dates, columns=codes, copy=False)
        return pd.DataFrame(values, index=dates, columns=codes)

    market = {
        "can_buy_stock": frame(can_buy),
        "cant_sell_stock": frame(cant_sell),
        "split_factor": frame(split),
        "dividend_factor": frame(dividend),
        "close_price": frame(close),
        "prev_close": frame(prev_close),
        "buy_price": frame(buy),
        "sell_price": frame(sell),
    }
    return frame(signal), market


# Report figures: (figure, image_kind) -> (inches, dpi)
PAGES = {
    ("main", "large"): ((21.5, 12.6), 165),
    ("main", "long"): ((15.5, 34.0), 145),
    ("weekly", "large"): ((18.8, 8.6), 170),
    ("weekly", "long"): ((15.5, 12.4), 145),
}


def make_total(n: int, seed: int = 7, start: str = "2021-03-01") -> pd.DataFrame:
    """A total frame of `n` business days: a noisy benchmark and a strategy above it."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=n).strftime("%Y%m%d")
    bench = rng.normal(0.0003, 0.012, n)
    frame = pd.DataFrame(
        {"daily_return": bench + rng.normal(0.0005, 0.006, n), "index_daily_return": bench},
        index=dates,
    )
    return _ravelin._build_total_backtesting_frame(frame)


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


# The stored names of the market frames that the simulation names otherwise.
DATASET_KEYS = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
C300, C905 = "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG"


def store_payload(seed=11, n_days=60, n_stocks=24):
    """A prepared-data payload over a random market, and a weight matrix for it."""
    signal, market = random_market(seed, n_days=n_days, n_stocks=n_stocks)
    data = {DATASET_KEYS.get(name, name): frame for name, frame in market.items()}
    close = market["close_price"]
    data["close_price_valid"] = close.notna().astype(float).where(close.notna())
    # Members: 000300 the first half of the stocks, 000905 a random third from the tenth day.
    rng = np.random.default_rng(seed)
    c300, c905 = np.full(close.shape, np.nan), np.full(close.shape, np.nan)
    c300[:, : n_stocks // 2] = 1.0
    c905[10:, rng.choice(n_stocks, n_stocks // 3, replace=False)] = 1.0
    for name, members in ((C300, c300), (C905, c905)):
        data[component_dataset_key(name)] = pd.DataFrame(members, close.index, close.columns)
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


def assert_frames(got, want):
    """Equal labels and values; text labels may be object or str dtype."""
    pd.testing.assert_frame_equal(got, want, check_index_type=False, check_column_type=False)


@pytest.fixture
def install_client():
    """Installs market clients for the test; puts the previous one back afterwards."""
    previous = singleton.reset_instance()

    def install(client):
        singleton.set_instance(client)
        return client

    yield install
    singleton.set_instance(previous)


class FixedAnswer:
    """Answers every query with one frame: rows out of the window, duplicates, indexes."""

    def __init__(self, frame):
        self.frame = frame
        self.calls = 0

    def get_factors(self, **kwargs):
        self.calls += 1
        return self.frame

    def get_index_daily(self, **kwargs):
        self.calls += 1
        return self.frame
