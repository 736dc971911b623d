"""Shared fixtures: a small seeded market served by the in-memory market client."""

import numpy as np
import pandas as pd
import pytest

from mirtaly import singleton
from mirtaly.backtest import _prepare as P
from mirtaly.market import InMemoryMarketClient

MARKET_DATES = list(pd.bdate_range("2024-01-02", periods=12).strftime("%Y%m%d"))
MARKET_CODES = ["000001", "000002", "300750", "600000", "688001"]


def small_market(dates=MARKET_DATES, codes=MARKET_CODES, seed=7):
    """Factor matrices of every build input and component factor, and index closes.

    NaN cells are cells the service has no row for: suspended closes, most split days.
    """
    rng = np.random.default_rng(seed)
    shape = (len(dates), len(codes))
    close = 10 * np.cumprod(1 + rng.normal(0, 0.02, shape), axis=0).round(2)
    suspended = rng.random(shape) < 0.1
    close[suspended] = np.nan
    limit_up, limit_down = (close * 1.1).round(2), (close * 0.9).round(2)

    def vwap(limit):  # at the limit on some days
        return np.where(rng.random(shape) < 0.15, limit, close * (1 + rng.normal(0, 0.005, shape)))

    events = np.where(rng.random(shape) < 0.1, 13.0, np.nan)
    industry = np.broadcast_to(rng.integers(1, 30, len(codes)), shape)
    opens = close * (1 + rng.normal(0, 0.01, shape))
    flags = np.where(suspended, 0.0, 1.0)  # 1 means trading normally
    values = [industry, limit_down, limit_up, close, opens, vwap(limit_up), vwap(limit_down)]
    values += [events, events[::-1] / 2, flags]
    values += [(rng.random(shape) < 0.6).astype(float) for _ in P.COMPONENT_FACTOR_NAMES]
    names = P.BUILD_INPUT_NAMES + P.COMPONENT_FACTOR_NAMES
    factors = {n: pd.DataFrame(v, dates, codes) for n, v in zip(names, values, strict=True)}
    walk = 3000 * np.cumprod(1 + rng.normal(0, 0.01, (3, len(dates))), axis=1)
    closes = [pd.Series(w, dates) for w in walk]
    return factors, dict(zip(P.BENCHMARK_INDEX_CODES.values(), closes, strict=True))


def assert_frames(got, want):
    """Equal labels and values; text labels may be object or str dtype."""
    pd.testing.assert_frame_equal(got, want, check_index_type=False, check_column_type=False)


@pytest.fixture
def install_client():
    """Installs a market client for the test; removes it afterwards."""

    def install(client):
        singleton.set_instance(client)
        return client

    yield install
    singleton.reset_instance()


@pytest.fixture
def market_client(install_client):
    """The small market, served as narrow answers with index closes."""
    factors, index_close = small_market()
    return install_client(InMemoryMarketClient(factors, index_close, index_value_column="close"))


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
