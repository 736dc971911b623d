"""Benchmark series, payload assembly, the incremental write window and the store round trip."""

import pandas as pd
import pytest

from conftest import MARKET_DATES as D
from conftest import FixedAnswer, assert_frames, small_market
from mirtaly.backtest import _prepare as P
from mirtaly.market import InMemoryMarketClient

BUILDER = P.GroupPreparedDataBuilder("20240103", "20240104")
COMPONENT_KEYS = [P.component_dataset_key(n) for n in P.COMPONENT_FACTOR_NAMES]
META = "start_date end_date ddb_start ddb_end component_names component_dataset_keys".split()
WINDOW_META = "write_start_date read_start_date requested_write_start_date write_end_date".split()


def series(want):
    index = pd.Index(list(want), name="DataDate")
    return pd.Series(list(want.values()), index, float, "index_daily_return")


DAYS = ["2024-01-02", "2024-01-03"]
CLOSES = {  # unsorted, a day twice (the later row wins), another index's row
    "ukey": ["000300.XSHG"] * 4 + ["000905.XSHG"],
    "DataDate": ["2024-01-04", "2024-01-02", "2024-01-03", "2024-01-03", "2024-01-03"],
    "close": [99.99, 100, 80, 101, 5],
}


@pytest.mark.parametrize(
    "columns, code, want",
    [
        ({"date": DAYS, "daily_return": [0.01, 0.02], "close": [1, 2]}, "000300", [0.01, 0.02]),
        (
            {"date": DAYS, "returns": ["0.01", "x"], "pct_change": [0.5, 0.5]},
            "000300",
            [0.01, None],
        ),
        ({"date": DAYS, "change_rate": [0.03, 0.04]}, "000300", [0.03, 0.04]),
        (CLOSES, "000300", [None, 0.01, -0.01]),
        (CLOSES, "000852", [None]),
    ],
)
def test_benchmark_returns(columns, code, want):
    got = BUILDER._format_benchmark_daily_return(pd.DataFrame(columns), code, code + ".XSHG")
    want = series(dict(zip(["20240102", "20240103", "20240104"], want, strict=False)))
    pd.testing.assert_series_equal(got, want.dropna(), check_index_type=False)


@pytest.mark.parametrize(
    "frame, message",
    [
        (None, r"基准日频数据为空: 000852 \(000852.XSHG\)"),
        (pd.DataFrame({"day": [1], "close": [1.0]}), "000852 基准缺少 DataDate 列"),
        (pd.DataFrame({"date": DAYS}), "000852 基准缺少 daily_return/close 列"),
    ],
)
def test_benchmark_errors(frame, message):
    with pytest.raises(KeyError, match=message):
        BUILDER._format_benchmark_daily_return(frame, "000852", "000852.XSHG")


def test_benchmark_dict_is_cut_to_the_window_after_returns_are_derived(install_client):
    dates = ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"]
    install_client(FixedAnswer(pd.DataFrame({"date": dates, "close": [100, 101, 99.99, 50]})))
    got = BUILDER._read_benchmark_dict()
    assert list(got) == ["000852", "000300", "000905"]
    want = series({"20240103": 0.01, "20240104": -0.01})
    pd.testing.assert_series_equal(got["000300"], want, check_index_type=False)


@pytest.mark.parametrize("incremental", [False, True])
def test_payload_layout_and_reads(market_client, incremental):
    builder = P.GroupPreparedDataBuilder(D[0], D[5])
    payload = builder.build_incremental() if incremental else builder.build()
    assert list(payload) == ["version", "meta", "data"] and payload["version"] == 1
    assert list(payload["data"]) == [*P.BASE_MATRIX_DTYPE, *COMPONENT_KEYS, "benchmark_dict"]
    meta = payload["meta"]
    assert list(meta) == [*META, "updated_at" if incremental else "created_at"]
    assert list(meta["component_dataset_keys"].values()) == COMPONENT_KEYS
    names = P.BUILD_INPUT_NAMES + P.COMPONENT_FACTOR_NAMES
    factors = [c.kwargs["factor"] for c in market_client.calls if c.method == "get_factors"]
    assert factors == ([names] if incremental else names)  # one batch, or one query each
    assert market_client.calls[-1].method == "get_index_daily"


def test_missing_component_is_refused(install_client):
    factors, index_close = small_market()
    del factors["rq_index_components_new_399303.XSHE"]
    install_client(InMemoryMarketClient(factors, index_close, index_value_column="close"))
    message = r"成分股矩阵缺失，无法精确生成二进制缓存: \['rq_index_components_new_399303.XSHE'\]"
    with pytest.raises(ValueError, match=message):
        P.GroupPreparedDataBuilder(D[0], D[5]).build_incremental()


def assert_same_store(got, want):
    assert list(got["data"]) == list(want["data"])
    for key, frame in want["data"].items():
        if key == "benchmark_dict":
            for code, s in frame.items():
                pd.testing.assert_series_equal(got["data"][key][code], s, check_names=False)
        else:
            assert_frames(got["data"][key], frame.rename_axis(index=None, columns=None))


def test_incremental_window_over_a_full_build_equals_a_longer_full_build(market_client, tmp_path):
    short, long = (P.BinaryPreparedDataStore(tmp_path / name) for name in "ab")
    payload = P.GroupPreparedDataBuilder(D[0], D[-1]).build()
    long.write(payload)
    assert_same_store(long.load(mmap=False), payload)  # every matrix round-trips
    short.write(P.GroupPreparedDataBuilder(D[0], D[7]).build())
    base = short.load_metadata()["datasets"]["close_price"]["index"]
    tail = P.build_incremental_write_window(base, base[-P.TAIL_RELOAD_ROWS], D[-1])
    assert short.update_tail(tail)
    assert_same_store(short.load(mmap=False), long.load(mmap=False))


@pytest.mark.parametrize(
    "base, window, write_start, read_start",
    [
        (D[:3], ("20240103", "20240110"), "20240103", "20240102"),
        (D[:3], ("20240108", "20240110"), "20240108", "20240104"),
        (D[:3], ("20231201", "20231231"), "20231201", "20231201"),
        (D[:5], ("20240106", "20240110"), "20240108", "20240105"),  # a Saturday
    ],
)
def test_write_window_rules(install_client, base, window, write_start, read_start):
    dates = list(pd.bdate_range("2023-11-27", D[-1]).strftime("%Y%m%d"))
    factors, index_close = small_market(dates=dates)
    client = install_client(InMemoryMarketClient(factors, index_close, index_value_column="close"))
    payload = P.build_incremental_write_window(list(base), *window)
    query = client.calls[0].kwargs
    assert (query["start_date"], query["end_date"]) == tuple(
        f"{d[:4]}-{d[4:6]}-{d[6:]}" for d in (read_start, window[1])
    )
    meta = payload["meta"]
    assert list(meta) == [*META, "updated_at", *WINDOW_META]
    assert (meta["start_date"], meta["write_start_date"]) == (write_start, write_start)
    assert (meta["read_start_date"], meta["requested_write_start_date"]) == (read_start, window[0])
    assert meta["write_end_date"] == window[1]
    assert payload["data"]["close_price"].index[0] == write_start


def test_slicing_and_argument_errors(market_client):
    payload = P.GroupPreparedDataBuilder(D[0], D[3]).build()
    payload["data"]["extra"] = "kept"
    cut = P.payload_slice_from_date(payload, "2030-01-01")
    assert cut["version"] == 1 and cut["data"]["extra"] == "kept"
    assert list(cut["data"]["benchmark_dict"]) == list(P.BENCHMARK_INDEX_CODES)
    assert all(s.empty for s in cut["data"]["benchmark_dict"].values())
    assert len(payload["data"]["close_price"]) == 4
    assert payload["meta"]["start_date"] == D[0] and "write_start_date" not in payload["meta"]
    with pytest.raises(TypeError):
        P.payload_slice_from_date({**payload, "meta": None}, "20240102")
    with pytest.raises(KeyError):
        P.payload_slice_from_date({"meta": {}}, "20240102")
    with pytest.raises(ValueError, match="本地准备数据 close_price 日期索引为空,无法增量更新。"):
        P.build_incremental_write_window([], "20240102", "20240103")
    with pytest.raises(TypeError):
        P.build_incremental_write_window(tuple(D), "20240102", "20240103")
    with pytest.raises(ValueError):
        P.build_incremental_write_window(D, "garbage", "20240103")
