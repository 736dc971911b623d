"""Vocabulary of the prepared data: names, schema, date conversion."""

import os
import typing

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _prepare as P
from mirtaly.backtest._store import component_dataset_key

COMPONENTS = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]
BASE = [
    ("industry_matrix", "float64"),
    ("close_price", "float64"),
    ("open_price", "float64"),
    ("close_price_valid", "float64"),
    ("prev_close", "float64"),
    ("buy_price", "float64"),
    ("sell_price", "float64"),
    ("rq_get_split", "float64"),
    ("rq_get_dividend", "float64"),
    ("can_buy_stock", "bool"),
    ("cant_sell_stock", "bool"),
    ("forward_return_rank_cache", "float64"),
]


class TestConstants:
    def test_names_values_and_order(self):
        assert P.COMPONENT_FACTOR_NAMES == COMPONENTS
        assert list(P.BENCHMARK_INDEX_CODES.items()) == [
            ("000852", "000852.XSHG"),
            ("000300", "000300.XSHG"),
            ("000905", "000905.XSHG"),
        ]
        assert P.REQUIRED_FACTOR_NAMES == [
            "rq_industry_exposure_new",
            "limit_down",
            "limit_up",
            "Close",
            "Open",
            "tick_vwap_price_935_1005",
            "tick_vwap_price_925_1000",
        ]
        assert P.OPTIONAL_FACTOR_NAMES == [
            "split_coefficient_to",
            "rq_get_dividend",
            "rq_is_suspended",
        ]
        assert P.BUILD_INPUT_NAMES == P.REQUIRED_FACTOR_NAMES + P.OPTIONAL_FACTOR_NAMES
        assert P.BUILD_INPUT_NAMES is not P.REQUIRED_FACTOR_NAMES
        assert list(P.BASE_MATRIX_DTYPE.items()) == BASE
        assert (P.FLOAT_STORAGE_DTYPE, P.BOOL_STORAGE_DTYPE) == ("float64", "bool")
        assert (P.TAIL_RELOAD_ROWS, P.PREPARED_DATA_VERSION) == (2, 1)
        assert P.PathLike == typing.Union[str, os.PathLike]  # noqa: UP007

    def test_types_and_module_order(self):
        for name in (
            "COMPONENT_FACTOR_NAMES",
            "REQUIRED_FACTOR_NAMES",
            "OPTIONAL_FACTOR_NAMES",
            "BUILD_INPUT_NAMES",
        ):
            assert type(getattr(P, name)) is list
        assert type(P.BENCHMARK_INDEX_CODES) is dict and type(P.BASE_MATRIX_DTYPE) is dict
        assert all(type(v) is str for v in P.BASE_MATRIX_DTYPE.values())
        assert type(P.TAIL_RELOAD_ROWS) is int and type(P.PREPARED_DATA_VERSION) is int
        order = [n for n in vars(P) if n.isupper() or n == "PathLike"]
        assert order == [
            "COMPONENT_FACTOR_NAMES",
            "BENCHMARK_INDEX_CODES",
            "REQUIRED_FACTOR_NAMES",
            "OPTIONAL_FACTOR_NAMES",
            "BUILD_INPUT_NAMES",
            "FLOAT_STORAGE_DTYPE",
            "BOOL_STORAGE_DTYPE",
            "TAIL_RELOAD_ROWS",
            "PREPARED_DATA_VERSION",
            "BASE_MATRIX_DTYPE",
            "PathLike",
        ]


class TestParseNameList:
    @pytest.mark.parametrize("raw", [None, "", " ,，;；\n  , "])
    def test_nothing_gives_an_empty_list(self, raw):
        assert P.parse_name_list(raw) == []

    def test_all_five_separators(self):
        assert P.parse_name_list("a,b，c;d；e\nf") == ["a", "b", "c", "d", "e", "f"]
        assert P.parse_name_list("a, b；c") == ["a", "b", "c"]

    def test_iterables_keep_order_and_duplicates(self):
        assert P.parse_name_list(("x", " x ", "", "y")) == ["x", "x", "y"]
        assert P.parse_name_list([1, None, " b "]) == ["1", "None", "b"]
        assert P.parse_name_list(iter(["a"])) == ["a"]

    def test_non_iterable_raises(self):
        with pytest.raises(TypeError):
            P.parse_name_list(5)


def test_component_names_are_a_fresh_copy():
    names = P.get_component_factor_names()
    assert names == COMPONENTS
    names.append("x")
    assert P.COMPONENT_FACTOR_NAMES == COMPONENTS


class TestBuildMatrixDtype:
    def test_default_adds_the_five_components(self):
        mapping = P.build_matrix_dtype()
        assert len(mapping) == 17
        assert list(mapping.items())[:12] == BASE
        assert list(mapping)[12:] == [component_dataset_key(n) for n in COMPONENTS]
        assert set(list(mapping.values())[12:]) == {"float64"}
        assert P.build_matrix_dtype(None) == mapping

    def test_empty_list_gives_only_the_base(self):
        assert list(P.build_matrix_dtype([]).items()) == BASE

    def test_given_names_are_trimmed_and_keyed(self):
        mapping = P.build_matrix_dtype([" idx_a.X ", "idx_a.X"])
        assert list(mapping)[12:] == ["component__idx_a_x"]
        assert P.BASE_MATRIX_DTYPE is not mapping and len(P.BASE_MATRIX_DTYPE) == 12

    @pytest.mark.parametrize("bad", ["a,b", ("a",), {"a": 1}])
    def test_other_types_are_rejected(self, bad):
        with pytest.raises(TypeError):
            P.build_matrix_dtype(bad)


class TestSeriesToYyyymmdd:
    def test_series_keeps_its_index(self):
        out = P.series_to_yyyymmdd(pd.Series(["2024-01-02", "not a date"], index=[5, 7]))
        assert list(out.index) == [5, 7]
        assert out[5] == "20240102" and pd.isna(out[7])

    def test_plain_list_gets_a_positional_index(self):
        out = P.series_to_yyyymmdd(["2024-01-02"])
        assert list(out.index) == [0] and out.tolist() == ["20240102"]

    def test_integer_dates_are_yyyymmdd_not_nanoseconds(self):
        ints = pd.Series([20240102, 20240103, 20240102], index=list("abc"))
        assert P.series_to_yyyymmdd(ints).tolist() == ["20240102", "20240103", "20240102"]
        floats = pd.Series([20240102.0, np.nan, 20240104.0])
        out = P.series_to_yyyymmdd(floats)
        assert out[0] == "20240102" and pd.isna(out[1]) and out[2] == "20240104"
        mixed = P.series_to_yyyymmdd(
            pd.Series([20240102, "2024-01-05", np.int64(20240108)], dtype=object)
        )
        assert mixed.tolist() == ["20240102", "20240105", "20240108"]
        # Not a calendar date: missing, like any other unparseable value.
        assert pd.isna(P.series_to_yyyymmdd([20241399])[0])

    def test_timestamps_and_timezones(self):
        stamps = pd.Series(pd.to_datetime(["2024-01-02 15:00", "2024-01-03 00:00"]))
        assert P.series_to_yyyymmdd(stamps).tolist() == ["20240102", "20240103"]
        aware = pd.Series(pd.to_datetime(["2024-01-02 23:00"]).tz_localize("Asia/Shanghai"))
        assert P.series_to_yyyymmdd(aware).tolist() == ["20240102"]

    def test_input_is_not_modified(self):
        raw = pd.Series([20240102, 20240103])
        P.series_to_yyyymmdd(raw)
        assert raw.tolist() == [20240102, 20240103]
