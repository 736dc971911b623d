"""The market data client contract and the in-memory client that answers it."""

import numpy as np
import pandas as pd
import pytest

from mirtaly import singleton
from mirtaly.exceptions import MirtalyError, NetworkError
from mirtaly.market import (
    INDEX_RETURN_COLUMNS,
    InMemoryMarketClient,
    MarketCall,
    MarketDataClient,
    exchange_ukey,
)

DATES = ["20240102", "20240103", "20240104", "20240105"]


def _close():
    return pd.DataFrame(
        {
            "000001": [10.0, np.nan, 10.2, 10.3],
            "600000": [7.0, 7.1, 7.2, np.nan],
            "830001": [1.0, 2.0, 3.0, 4.0],
        },
        index=DATES,
    )


def _turnover():
    # Fewer dates and stocks than close: the wide answer must outer-join them.
    return pd.DataFrame({"600000": [0.5, 0.6], "300750": [1.5, 1.6]}, index=DATES[1:3])


def _index_daily():
    return {
        "000300.XSHG": pd.Series([0.01, -0.02, 0.003, 0.0], index=DATES),
        "000905.XSHG": pd.Series([0.02, 0.01, -0.01, 0.005], index=DATES),
    }


def _client(**options):
    return InMemoryMarketClient(
        {"close_price": _close(), "turnover": _turnover()}, _index_daily(), **options
    )


def _matrix(answer, value="value", date="date"):
    """The answer pivoted back to a date x code matrix, the way a reader would."""
    frame = answer.assign(code=answer["ukey"].str[:6], day=pd.to_datetime(answer[date]))
    matrix = frame.pivot(index="day", columns="code", values=value)
    matrix.index = matrix.index.strftime("%Y%m%d")
    return matrix


def _expected(matrix):
    """A matrix as the service knows it: sorted, and only dates that have data."""
    out = matrix.dropna(how="all").sort_index(axis=1).astype(float)
    out.columns.name = "code"
    return out


def _same_matrix(got, want):
    pd.testing.assert_frame_equal(
        got.astype(float), _expected(want), check_names=False, check_index_type=False
    )


class TestContract:
    def test_in_memory_client_satisfies_the_protocol(self):
        assert isinstance(_client(), MarketDataClient)

    def test_object_missing_a_call_does_not(self):
        class FactorsOnly:
            def get_factors(self, *, factor, start_date, end_date):
                return None

        assert not isinstance(FactorsOnly(), MarketDataClient)

    def test_installs_as_the_process_client(self):
        client = _client()
        previous = singleton.set_instance(client)
        try:
            answer = singleton.get_instance().get_factors(
                factor="close_price", start_date="2024-01-02", end_date="2024-01-02"
            )
        finally:
            singleton.set_instance(previous)
        assert sorted(answer["ukey"]) == ["000001.XSHE", "600000.XSHG", "830001.BJSE"]

    def test_return_column_names(self):
        assert INDEX_RETURN_COLUMNS[0] == "daily_return"
        assert set(INDEX_RETURN_COLUMNS) == {
            "daily_return",
            "return",
            "returns",
            "pct_change",
            "change_rate",
        }


class TestUkey:
    @pytest.mark.parametrize(
        "code, ukey",
        [
            ("600000", "600000.XSHG"),
            ("688981", "688981.XSHG"),
            ("000001", "000001.XSHE"),
            ("002594", "002594.XSHE"),
            ("300750", "300750.XSHE"),
            ("830001", "830001.BJSE"),
            ("430047", "430047.BJSE"),
            ("920002", "920002.BJSE"),
            ("900901", "900901.XSHG"),
        ],
    )
    def test_exchange_suffix(self, code, ukey):
        assert exchange_ukey(code) == ukey

    @pytest.mark.parametrize("bad", ["60000", "6000001", "SH6000", 600000, None])
    def test_rejects_what_is_not_a_six_digit_code(self, bad):
        with pytest.raises(ValueError):
            exchange_ukey(bad)

    def test_integer_matrix_columns_become_padded_codes(self):
        matrix = pd.DataFrame({1: [1.0], 600000: [2.0]}, index=["20240102"])
        answer = InMemoryMarketClient({"f": matrix}).get_factors(
            factor="f", start_date=None, end_date=None
        )
        assert list(answer["ukey"]) == ["000001.XSHE", "600000.XSHG"]

    def test_plain_and_custom_styles(self):
        plain = _client(ukey_style="plain").get_factors(
            factor="close_price", start_date="2024-01-02", end_date="2024-01-02"
        )
        assert sorted(plain["ukey"]) == ["000001", "600000", "830001"]
        custom = _client(ukey_style=lambda code: code + ".X").get_factors(
            factor="close_price", start_date="2024-01-02", end_date="2024-01-02"
        )
        assert sorted(custom["ukey"]) == ["000001.X", "600000.X", "830001.X"]


class TestNarrowLayout:
    def test_single_factor(self):
        answer = _client().get_factors(factor="close_price", start_date=None, end_date=None)
        assert list(answer.columns) == ["ukey", "date", "value", "factor"]
        assert set(answer["factor"]) == {"close_price"}
        # One row per cell with data: the two NaN holes are absent.
        assert len(answer) == 10
        assert answer["date"].iloc[0] == "2024-01-02"
        _same_matrix(_matrix(answer), _close())

    def test_batch_keeps_each_factor_apart(self):
        answer = _client().get_factors(
            factor=["turnover", "close_price"], start_date=None, end_date=None
        )
        # Factors appear in the order asked for.
        assert list(dict.fromkeys(answer["factor"])) == ["turnover", "close_price"]
        for name, want in (("close_price", _close()), ("turnover", _turnover())):
            _same_matrix(_matrix(answer[answer["factor"] == name]), want)

    def test_name_column_options(self):
        named = _client(name_column="factor_name").get_factors(
            factor=["close_price"], start_date=None, end_date=None
        )
        assert list(named.columns) == ["ukey", "date", "value", "factor_name"]
        bare = _client(name_column=None).get_factors(
            factor="close_price", start_date=None, end_date=None
        )
        assert list(bare.columns) == ["ukey", "date", "value"]

    def test_date_column_and_datetime_values(self):
        answer = _client(date_column="DataDate", date_format=None).get_factors(
            factor="close_price", start_date=None, end_date=None
        )
        assert "date" not in answer.columns
        assert pd.api.types.is_datetime64_dtype(answer["DataDate"])
        assert answer["DataDate"].min() == pd.Timestamp("2024-01-02")
        compact = _client(date_format="%Y%m%d").get_factors(
            factor="close_price", start_date=None, end_date=None
        )
        assert set(compact["date"]) == set(DATES)

    def test_ready_long_frame_is_answered_as_given(self):
        ready = pd.DataFrame(
            {
                "ukey": ["000001.SZ", "000001.SZ", "600000.SH", "600000.SH"],
                "DataDate": ["2024-01-02", "2024-01-02", "2024-01-02", "2024-01-03"],
                "value": ["1.5", "1.6", "bad", "2"],
                "factor": ["pe", "pe", "pe", "pb"],
            }
        )
        client = InMemoryMarketClient({"pe": ready})
        answer = client.get_factors(factor="pe", start_date=None, end_date=None)
        # Keys, text values and the duplicate row pass through; the pb row does not.
        assert list(answer["ukey"]) == ["000001.SZ", "000001.SZ", "600000.SH"]
        assert list(answer["value"]) == ["1.5", "1.6", "bad"]
        assert list(answer["date"]) == ["2024-01-02"] * 3

    def test_ready_frame_with_a_column_named_after_the_factor(self):
        ready = pd.DataFrame({"ukey": ["000001"], "date": [20240102], "pe": [8.5]})
        answer = InMemoryMarketClient({"pe": ready}).get_factors(
            factor="pe", start_date="20240102", end_date="20240102"
        )
        assert answer[["ukey", "date", "value"]].values.tolist() == [["000001", "2024-01-02", 8.5]]

    def test_ready_frame_without_dates_or_values_is_refused(self):
        with pytest.raises(ValueError, match="date"):
            InMemoryMarketClient({"pe": pd.DataFrame({"ukey": ["000001"], "value": [1.0]})})
        with pytest.raises(ValueError, match="value"):
            InMemoryMarketClient({"pe": pd.DataFrame({"ukey": ["000001"], "date": ["20240102"]})})


class TestWideLayout:
    def test_batch_has_one_column_per_factor(self):
        answer = _client(layout="wide").get_factors(
            factor=["close_price", "turnover", "unknown"], start_date=None, end_date=None
        )
        assert list(answer.columns) == ["ukey", "date", "close_price", "turnover"]
        # Outer join on (ukey, date): no duplicate keys, every cell of both matrices present.
        assert not answer.duplicated(["ukey", "date"]).any()
        _same_matrix(_matrix(answer, "close_price").dropna(axis=1, how="all"), _close())
        _same_matrix(
            _matrix(answer, "turnover").dropna(how="all").dropna(axis=1, how="all"), _turnover()
        )
        only_close = answer[(answer["ukey"] == "830001.BJSE") & (answer["date"] == "2024-01-03")]
        assert only_close["close_price"].item() == 2.0
        assert np.isnan(only_close["turnover"].item())

    def test_single_factor(self):
        answer = _client(layout="wide", date_column="DataDate").get_factors(
            factor="turnover", start_date=None, end_date=None
        )
        assert list(answer.columns) == ["ukey", "DataDate", "turnover"]
        _same_matrix(_matrix(answer, "turnover", "DataDate"), _turnover())


class TestDateRange:
    @pytest.mark.parametrize("layout", ["narrow", "wide"])
    def test_inclusive_range_in_either_date_form(self, layout):
        client = _client(layout=layout)
        value = "value" if layout == "narrow" else "close_price"
        for start, end in (("2024-01-03", "2024-01-04"), ("20240103", "20240104")):
            answer = client.get_factors(factor="close_price", start_date=start, end_date=end)
            assert sorted(set(answer["date"])) == ["2024-01-03", "2024-01-04"]
            _same_matrix(_matrix(answer, value), _close().loc["20240103":"20240104"])

    def test_open_ends(self):
        client = _client()
        after = client.get_factors(factor="close_price", start_date="2024-01-04", end_date=None)
        before = client.get_factors(factor="close_price", start_date=None, end_date="2024-01-02")
        assert sorted(set(after["date"])) == ["2024-01-04", "2024-01-05"]
        assert sorted(set(before["date"])) == ["2024-01-02"]

    def test_index_daily_range(self):
        answer = _client().get_index_daily(
            ukeys=["000300.XSHG"], start_date="20240103", end_date="20240104"
        )
        assert list(answer["date"]) == ["2024-01-03", "2024-01-04"]
        assert list(answer["daily_return"]) == [-0.02, 0.003]

    def test_reversed_range_is_empty(self):
        answer = _client().get_factors(
            factor="close_price", start_date="2024-01-05", end_date="2024-01-02"
        )
        assert answer.empty

    @pytest.mark.parametrize("bad", ["2024/01/02", "02-01-2024", "2024-1-2", "20241301"])
    def test_unparseable_date_is_a_value_error(self, bad):
        with pytest.raises(ValueError):
            _client().get_factors(factor="close_price", start_date=bad, end_date=None)
        with pytest.raises(ValueError):
            _client().get_index_daily(ukeys=["000300.XSHG"], start_date=None, end_date=bad)

    def test_non_text_date_is_a_type_error(self):
        with pytest.raises(TypeError):
            _client().get_factors(factor="close_price", start_date=20240102, end_date=None)

    def test_matrix_dates_in_other_forms(self):
        matrix = pd.DataFrame(
            {"000001": [1.0, 2.0]}, index=pd.to_datetime(["2024-01-02", "2024-01-03"])
        )
        client = InMemoryMarketClient({"f": matrix}, date_format="%Y%m%d")
        answer = client.get_factors(factor="f", start_date="20240103", end_date="20240103")
        assert answer[["date", "value"]].values.tolist() == [["20240103", 2.0]]


class TestEmptyAnswers:
    @pytest.mark.parametrize("layout", ["narrow", "wide"])
    def test_unknown_factor_gives_an_empty_frame(self, layout):
        answer = _client(layout=layout).get_factors(
            factor="no_such_factor", start_date=None, end_date=None
        )
        assert isinstance(answer, pd.DataFrame) and answer.empty
        assert {"ukey", "date"} <= set(answer.columns)

    def test_or_none_when_configured(self):
        client = _client(empty_as="none")
        assert client.get_factors(factor=["nope"], start_date=None, end_date=None) is None
        # A known factor with nothing in the range is no different.
        assert (
            client.get_factors(factor="close_price", start_date="2025-01-01", end_date=None) is None
        )
        assert client.get_index_daily(ukeys=["399303.XSHE"], start_date=None, end_date=None) is None

    def test_unknown_names_in_a_batch_are_left_out(self):
        answer = _client().get_factors(factor=["nope", "turnover"], start_date=None, end_date=None)
        assert set(answer["factor"]) == {"turnover"}

    def test_empty_batch(self):
        assert _client().get_factors(factor=[], start_date=None, end_date=None).empty


class TestIndexDaily:
    def test_rows_per_code_in_the_order_asked(self):
        answer = _client().get_index_daily(
            ukeys=["000905.XSHG", "000852.XSHG", "000300.XSHG"],
            start_date="20240102",
            end_date="20240105",
        )
        assert list(answer.columns) == ["ukey", "date", "daily_return"]
        assert list(dict.fromkeys(answer["ukey"])) == ["000905.XSHG", "000300.XSHG"]
        by_code = answer.set_index(["ukey", "date"])["daily_return"]
        assert by_code[("000905.XSHG", "2024-01-04")] == -0.01
        assert by_code[("000300.XSHG", "2024-01-03")] == -0.02

    def test_close_values_without_ukey(self):
        closes = pd.Series([3500.0, 3535.0], index=DATES[:2])
        client = InMemoryMarketClient(
            index_daily={"000300.XSHG": closes},
            index_value_column="close",
            index_ukey_column=False,
            date_column="DataDate",
        )
        answer = client.get_index_daily(ukeys=["000300.XSHG"], start_date=None, end_date=None)
        assert list(answer.columns) == ["DataDate", "close"]
        assert list(answer["close"]) == [3500.0, 3535.0]

    def test_frames_pass_their_columns_through(self):
        with_date_column = pd.DataFrame(
            {
                "DataDate": ["2024-01-02", "2024-01-03"],
                "daily_return": [0.01, 0.02],
                "close": [100.0, 102.0],
                "ukey": ["ignored", "ignored"],
            }
        )
        with_date_index = pd.DataFrame({"pct_change": [0.5]}, index=[20240102])
        client = InMemoryMarketClient(
            index_daily={"000852.XSHG": with_date_column, "000905.XSHG": with_date_index}
        )
        answer = client.get_index_daily(
            ukeys=["000852.XSHG", "000905.XSHG"], start_date=None, end_date=None
        )
        assert list(answer.columns) == ["ukey", "date", "daily_return", "close", "pct_change"]
        assert list(answer["ukey"]) == ["000852.XSHG", "000852.XSHG", "000905.XSHG"]
        assert answer["close"].iloc[1] == 102.0
        assert answer["pct_change"].iloc[2] == 0.5

    def test_single_code_text_is_refused(self):
        with pytest.raises(TypeError):
            _client().get_index_daily(ukeys="000300.XSHG", start_date=None, end_date=None)


class TestCallRecording:
    def test_calls_are_recorded_in_order(self):
        client = _client()
        names = ["close_price", "turnover"]
        client.get_factors(factor=names, start_date="2024-01-02", end_date="2024-01-05")
        client.get_index_daily(ukeys=["000300.XSHG"], start_date="20240102", end_date="20240105")
        names.append("changed later")
        assert client.calls == [
            MarketCall(
                "get_factors",
                {
                    "factor": ["close_price", "turnover"],
                    "start_date": "2024-01-02",
                    "end_date": "2024-01-05",
                },
            ),
            MarketCall(
                "get_index_daily",
                {"ukeys": ["000300.XSHG"], "start_date": "20240102", "end_date": "20240105"},
            ),
        ]
        assert type(client.calls[0].kwargs["factor"]) is list
        client.clear_calls()
        assert client.calls == []

    def test_failed_calls_are_recorded_too(self):
        client = _client()
        with pytest.raises(ValueError):
            client.get_factors(factor="close_price", start_date="bad", end_date=None)
        assert [c.kwargs["start_date"] for c in client.calls] == ["bad"]

    def test_keyword_arguments_only(self):
        with pytest.raises(TypeError):
            _client().get_factors("close_price", "2024-01-02", "2024-01-05")


class TestFailures:
    def test_batch_queries_raise_network_error_when_configured(self):
        client = _client(fail_batch=True)
        with pytest.raises(NetworkError) as info:
            client.get_factors(factor=["close_price", "turnover"], start_date=None, end_date=None)
        assert isinstance(info.value, MirtalyError)
        # The fallback a caller takes, one query per factor, still answers.
        single = client.get_factors(factor="turnover", start_date=None, end_date=None)
        _same_matrix(_matrix(single), _turnover())
        assert [type(c.kwargs["factor"]) for c in client.calls] == [list, str]

    def test_failing_factor_fails_single_and_batch_queries(self):
        client = _client(failing_factors=["turnover"])
        with pytest.raises(NetworkError):
            client.get_factors(factor="turnover", start_date=None, end_date=None)
        with pytest.raises(NetworkError):
            client.get_factors(factor=["close_price", "turnover"], start_date=None, end_date=None)
        assert not client.get_factors(factor="close_price", start_date=None, end_date=None).empty

    @pytest.mark.parametrize("factor", [None, 3, ["a", 3], {"a"}])
    def test_bad_factor_argument(self, factor):
        with pytest.raises(TypeError):
            _client().get_factors(factor=factor, start_date=None, end_date=None)

    @pytest.mark.parametrize(
        "option",
        [
            {"layout": "long"},
            {"date_column": "day"},
            {"name_column": "name"},
            {"ukey_style": "suffixed"},
            {"index_value_column": "ret"},
            {"empty_as": "nan"},
        ],
    )
    def test_bad_options(self, option):
        with pytest.raises(ValueError):
            InMemoryMarketClient(**option)

    def test_matrix_with_a_column_that_is_no_code(self):
        with pytest.raises(ValueError):
            InMemoryMarketClient({"f": pd.DataFrame({"abc": [1.0]}, index=["20240102"])})


class TestIsolation:
    def test_inputs_are_not_modified_and_answers_are_independent(self):
        close = _close()
        client = InMemoryMarketClient({"close_price": close}, _index_daily())
        first = client.get_factors(factor="close_price", start_date=None, end_date=None)
        first.loc[:, "value"] = -1.0
        index = client.get_index_daily(ukeys=["000300.XSHG"], start_date=None, end_date=None)
        index.loc[:, "daily_return"] = 9.0
        pd.testing.assert_frame_equal(close, _close())
        second = client.get_factors(factor="close_price", start_date=None, end_date=None)
        _same_matrix(_matrix(second), _close())
        again = client.get_index_daily(ukeys=["000300.XSHG"], start_date=None, end_date=None)
        assert list(again["daily_return"]) == [0.01, -0.02, 0.003, 0.0]
