"""One date rule and one stock-code rule, the same wherever a date or a code is read."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _prepare
from mirtaly.backtest._core import _with_datetime_index
from mirtaly.backtest._store import clean_matrix, normalize_yyyymmdd
from mirtaly.market import InMemoryMarketClient


def through_every_reader(value):
    """What each reader makes of one date: (normalize, clean_matrix, datetime index, series)."""
    frame = pd.DataFrame({"000001": [1.0]}, index=pd.Index([value], dtype=object))
    got = []
    for read in (
        lambda: normalize_yyyymmdd(value),
        lambda: clean_matrix(frame).index[0],
        lambda: _with_datetime_index(frame).index[0].strftime("%Y%m%d"),
    ):
        try:
            got.append(read())
        except ValueError:
            got.append(None)
    series = _prepare.series_to_yyyymmdd(pd.Series([value], dtype=object))[0]
    got.append(None if pd.isna(series) else series)
    return got


@pytest.mark.parametrize(
    "value",
    [
        20240102,
        np.int64(20240102),
        " 20240102 ",
        "2024-01-02",
        "2024.1.2",
        "2024-01-02T09:30:00",
        "2024-01-02 09:30:00.123456+08:00",
        "2024-01-02T23:00Z",
        dt.date(2024, 1, 2),
        pd.Timestamp("2024-01-02 23:00", tz="Asia/Shanghai"),
        np.datetime64("2024-01-02T10:00"),
    ],
)
def test_dates_every_reader_accepts(value):
    assert through_every_reader(value) == ["20240102"] * 4


@pytest.mark.parametrize(
    "value",
    ["01/02/2024", "2 Jan 2024", "2024-01-02 9am", "2024-02-30", "20240230", 2024, True, None],
)
def test_what_is_no_date_is_refused_by_every_reader(value):
    assert through_every_reader(value) == [None] * 4


def test_a_missing_matrix_date_is_refused():
    frame = pd.DataFrame({"000001": [1.0, 2.0]}, index=["20240102", None])
    with pytest.raises(ValueError, match="日期无法解析"):
        clean_matrix(frame)


@pytest.mark.parametrize(
    "label, code",
    [
        (1, "000001"),
        (np.int64(600000), "600000"),
        (" 300750.XSHE ", "300750"),
        ("000001", "000001"),
    ],
)
def test_stock_codes_read_alike_by_the_store_and_the_market_client(label, code):
    frame = pd.DataFrame({label: [1.0]}, index=["20240102"])
    assert list(clean_matrix(frame).columns) == [code]
    answer = InMemoryMarketClient({"f": frame}, ukey_style="plain").get_factors(
        factor="f", start_date=None, end_date=None
    )
    assert list(answer["ukey"]) == [code]


@pytest.mark.parametrize("label", ["1", "6000000", "ABC", True, 1.0, -1, 1000000])
def test_what_is_no_code_is_refused_by_both(label):
    frame = pd.DataFrame({label: [1.0]}, index=["20240102"])
    with pytest.raises(ValueError, match="股票代码"):
        clean_matrix(frame)
    with pytest.raises(ValueError, match="股票代码"):
        InMemoryMarketClient({"f": frame})
