"""Factor reads: both answer layouts, the batch fallback, rows the builder must drop."""

import numpy as np
import pandas as pd
import pytest

from conftest import FixedAnswer, assert_frames
from mirtaly.backtest import _prepare as P
from mirtaly.exceptions import NetworkError
from mirtaly.market import InMemoryMarketClient

WINDOW = ("20240301", "20240329")
NAMES = ["Close", "rq_is_suspended", "rq_index_components_new_000300.XSHG"]


def window_matrix(market, name):
    """What a read of the window gives: only dates and stocks that have values."""
    m = market.factor_frames()[name].loc[WINDOW[0] : WINDOW[1]]
    return m.dropna(how="all").dropna(axis=1, how="all")


@pytest.mark.parametrize(
    "options, singles",
    [
        (dict(layout="narrow"), 0),
        (dict(name_column="factor_name", date_column="DataDate", date_format=None), 0),
        (dict(layout="wide", ukey_style="plain", date_format="%Y%m%d"), 0),
        # Without a name column a many-factor answer cannot be split: each is re-read singly.
        (dict(name_column=None), 3),
        (dict(fail_batch=True), 3),  # so after a network error
    ],
)
def test_batch_and_single_reads_pivot_every_layout(install_client, tiny_market, options, singles):
    client = install_client(tiny_market.client(**options))
    builder = P.GroupPreparedDataBuilder(*WINDOW)
    batch = builder._read_normal_factor_batch(NAMES)
    assert list(batch) == NAMES
    assert [c.kwargs["factor"] for c in client.calls] == [NAMES] + NAMES[:singles]
    assert client.calls[0].kwargs["start_date"] == "2024-03-01"
    for name in NAMES:
        assert_frames(batch[name], window_matrix(tiny_market, name))
        assert_frames(builder._read_normal_factor_matrix(name), window_matrix(tiny_market, name))


def test_only_a_network_error_of_a_batch_read_is_caught(install_client, tiny_market):
    install_client(tiny_market.client(fail_batch=True, failing_factors=["Open"]))
    builder = P.GroupPreparedDataBuilder(*WINDOW)
    with pytest.raises(NetworkError):  # the single read after it fails too
        builder._read_normal_factor_batch(["Close", "Open"])
    install_client(FixedAnswer(pd.DataFrame({"ukey": ["000001"], "value": [1.0]})))
    with pytest.raises(KeyError, match="因子查询返回结果缺少 ukey/date 列"):
        builder._read_normal_factor_batch(["Close"])


def test_unwanted_rows_are_dropped_and_the_later_duplicate_wins(install_client):
    rows = [
        ("000001.XSHE", "2024-01-03", 1.0, "Close"),  # before the window
        ("000001.XSHE", "2024-01-04", "10.5", "Close"),
        ("000001.XSHE", "2024-01-04", 11.0, "Close"),  # later duplicate wins
        ("000001.XSHG", "2024-01-04", 3000.0, "Close"),  # the Shanghai composite, not 000001
        ("399001.SZ", "2024-01-05", 9000.0, "Close"),
        ("932000.INDX", "2024-01-05", 7000.0, "Close"),
        ("600000.XSHG", "2024-01-05", 8.0, "Close"),
        ("600000.XSHG", "2024-01-08", "n/a", "Close"),  # not a number: no row
        ("600000.XSHG", "someday", 9.0, "Close"),
        (None, "2024-01-05", 9.0, "Close"),
        ("600000.XSHG", "2024-01-02", 5.0, "Open"),  # not asked for, out of the window
        ("600000.XSHG", "2024-01-17", 9.0, "Close"),  # after the window
    ]
    frame = pd.DataFrame(rows, columns=["ukey", "date", "value", "factor"])
    client = install_client(FixedAnswer(frame))
    builder = P.GroupPreparedDataBuilder("20240104", "20240112")
    want = pd.DataFrame(
        {"000001": [11.0, np.nan], "600000": [np.nan, 8.0]}, ["20240104", "20240105"]
    )
    assert_frames(builder._read_normal_factor_matrix("Close"), want)
    assert_frames(builder._read_normal_factor_batch(["Close"])["Close"], want)
    # Rows only outside the window leave the matrix empty, so the batch re-reads it.
    assert builder._read_normal_factor_batch(["Open", "Close"])["Open"].empty
    assert client.calls == 4


def test_placeholders_and_when_an_empty_entry_is_read_again(install_client, tiny_market):
    factors = tiny_market.factor_frames()
    client = install_client(InMemoryMarketClient({"Close": factors["Close"]}))
    builder = P.GroupPreparedDataBuilder(*WINDOW)
    reference = factors["Close"] * 0 + 1
    batch = {"Open": pd.DataFrame(), "Close": factors["Close"].iloc[::-1]}
    assert builder._read_or_empty("Open", reference, batch).isna().all().all()
    assert (builder._read_or_empty("rq_is_suspended", reference, batch) == 1.0).all().all()
    assert_frames(builder._read_or_empty("Close", reference, batch), factors["Close"])
    assert client.calls == []  # the batch already retried its empty entries
    assert_frames(builder._batch_or_read(batch, "Open"), pd.DataFrame())
    placeholder = builder._read_or_empty("split_coefficient_to", reference)
    assert placeholder.shape == reference.shape and placeholder.isna().all().all()
    assert [c.kwargs["factor"] for c in client.calls] == ["Open", "split_coefficient_to"]


def test_dates_of_the_builder_and_the_query():
    builder = P.GroupPreparedDataBuilder("2024-01-02", "20240131")
    assert (builder.default_start, builder.end_date) == ("20240102", "20240131")
    assert (builder._ddb_start, builder._ddb_end) == ("20240102", "20240131")
    pad = P.GroupPreparedDataBuilder._normalize_ddb_backtest_date
    values = (None, "20240102", "2024010", "20240a0", "202401", 2024010)
    assert [pad(v) for v in values] == [
        None,
        "20240102",
        "20240100",
        "20240a0",
        "202401",
        "20240100",
    ]
    assert P.GroupPreparedDataBuilder._mr_factor_date("20240102") == "2024-01-02"
    assert P.GroupPreparedDataBuilder._mr_factor_date(None) is None
    with pytest.raises(TypeError):
        P.GroupPreparedDataBuilder(20240102, "20240131")
    with pytest.raises(TypeError):
        builder._read_normal_factor_batch(("Close",))
