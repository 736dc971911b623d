"""Benchmark series, payload assembly, the incremental write window and the store round trip."""

import pandas as pd
import pytest

from conftest import FixedAnswer, assert_frames
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
def test_payload_layout_and_reads(sandbox_service, incremental):
    market_client = sandbox_service
    builder = P.GroupPreparedDataBuilder("20240201", "20240301")
    payload = builder.build_incremental() if incremental else builder.build()
    assert list(payload) == ["version", "meta", "data"] and payload["version"] == 1
    assert list(payload["data"]) == [*P.BASE_MATRIX_DTYPE, *COMPONENT_KEYS, "benchmark_dict"]
    meta = payload["meta"]
    assert list(meta) == [*META, "updated_at" if incremental else "created_at"]
    assert list(meta["component_dataset_keys"].values()) == COMPONENT_KEYS
    names = P.BUILD_INPUT_NAMES + P.COMPONENT_FACTOR_NAMES
    factors = [c.kwargs["factor"] for c in market_client.calls if c.method == "get_factors"]
    # One batch (then singly what it lacked: no splits or dividends in February), or one each.
    assert factors == ([names, *names[7:9]] if incremental else names)
    assert market_client.calls[-1].method == "get_index_daily"


def test_missing_component_is_refused(install_client, tiny_market):
    factors = tiny_market.factor_frames()
    del factors["rq_index_components_new_399303.XSHE"]
    install_client(InMemoryMarketClient(factors, tiny_market.index_frames()))
    message = r"成分股矩阵缺失，无法精确生成二进制缓存: \['rq_index_components_new_399303.XSHE'\]"
    with pytest.raises(ValueError, match=message):
        P.GroupPreparedDataBuilder("20240201", "20240301").build_incremental()


def assert_same_store(got, want):
    assert list(got["data"]) == list(want["data"])
    for key, frame in want["data"].items():
        if key == "benchmark_dict":
            for code, s in frame.items():
                pd.testing.assert_series_equal(got["data"][key][code], s, check_names=False)
        else:
            assert_frames(got["data"][key], frame.rename_axis(index=None, columns=None))


def test_incremental_window_over_a_full_build_equals_a_longer_full_build(
    sandbox_service, tiny_market, tmp_path
):
    dates = tiny_market.date_labels
    short, long = (P.BinaryPreparedDataStore(tmp_path / name) for name in "ab")
    payload = P.GroupPreparedDataBuilder(dates[0], dates[-1]).build()
    long.write(payload)
    assert_same_store(long.load(mmap=False), payload)  # every matrix round-trips
    short.write(P.GroupPreparedDataBuilder(dates[0], dates[-5]).build())
    base = short.load_metadata()["datasets"]["close_price"]["index"]
    tail = P.build_incremental_write_window(base, base[-P.TAIL_RELOAD_ROWS], dates[-1])
    assert short.update_tail(tail)
    assert_same_store(short.load(mmap=False), long.load(mmap=False))


@pytest.mark.parametrize(
    "base, window, write_start, read_start",  # positions in the market's dates
    [
        ([0, 1, 2], (1, 6), 1, 0),
        ([0, 1, 2], (5, 8), 5, 2),
        ([10, 11, 12], (0, 5), 0, 0),  # all before the local days
        ([0, 1, 3, 4], (2, 8), 3, 1),  # the requested start is no local day
    ],
)
def test_write_window_rules(sandbox_service, tiny_market, base, window, write_start, read_start):
    d = tiny_market.date_labels
    payload = P.build_incremental_write_window([d[i] for i in base], d[window[0]], d[window[1]])
    query = sandbox_service.calls[0].kwargs
    assert (query["start_date"], query["end_date"]) == tuple(
        f"{x[:4]}-{x[4:6]}-{x[6:]}" for x in (d[read_start], d[window[1]])
    )
    meta = payload["meta"]
    assert list(meta) == [*META, "updated_at", *WINDOW_META]
    assert meta["start_date"] == meta["write_start_date"] == d[write_start]
    assert (meta["read_start_date"], meta["requested_write_start_date"]) == (
        d[read_start],
        d[window[0]],
    )
    assert meta["write_end_date"] == d[window[1]]
    assert payload["data"]["close_price"].index[0] == d[write_start]


def test_slicing_and_argument_errors(sandbox_service):
    payload = P.GroupPreparedDataBuilder("20240201", "20240207").build()
    payload["data"]["extra"] = "kept"
    cut = P.payload_slice_from_date(payload, "2030-01-01")
    assert cut["version"] == 1 and cut["data"]["extra"] == "kept"
    assert list(cut["data"]["benchmark_dict"]) == list(P.BENCHMARK_INDEX_CODES)
    assert all(s.empty for s in cut["data"]["benchmark_dict"].values())
    assert len(payload["data"]["close_price"]) == 5
    assert payload["meta"]["start_date"] == "20240201" and "write_start_date" not in payload["meta"]
    with pytest.raises(TypeError):
        P.payload_slice_from_date({**payload, "meta": None}, "20240102")
    with pytest.raises(KeyError):
        P.payload_slice_from_date({"meta": {}}, "20240102")
    with pytest.raises(ValueError, match="本地准备数据 close_price 日期索引为空,无法增量更新。"):
        P.build_incremental_write_window([], "20240102", "20240103")
    with pytest.raises(TypeError):
        P.build_incremental_write_window(("20240102",), "20240102", "20240103")
    with pytest.raises(ValueError):
        P.build_incremental_write_window(["20240102"], "garbage", "20240103")
