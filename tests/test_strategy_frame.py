"""The strategy total frame and the statistics drawn from it."""

import math

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _ravelin
from mirtaly.backtest._core import safe_sharpe
from reference_strategy import EMPTY_STATS_KEYS, ref_stats, ref_total_frame

TRADING_DAYS_PER_YEAR = _ravelin.TRADING_DAYS_PER_YEAR
_build_total_backtesting_frame = _ravelin._build_total_backtesting_frame
calc_strategy_stats = _ravelin.calc_strategy_stats

DERIVED = [
    "extra_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
]
STATS_KEYS = [
    "annual_return",
    "long_sharp",
    "max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
]
# --- helpers ------------------------------------------------------------------------------


def assert_frames_match(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12, atol=1e-14)


def assert_stats_match(got, want):
    assert isinstance(got, dict)
    assert list(got) == list(want)
    for key, value in got.items():
        assert isinstance(value, float), key
        expected = want[key]
        if math.isnan(expected):
            assert math.isnan(value), key
        else:
            assert value == pytest.approx(expected, rel=1e-12, abs=1e-14), key


def market_frame(n=300, seed=0, with_close=True, nan_rows=()):
    rng = np.random.default_rng(seed)
    index = pd.Index(pd.bdate_range("2022-01-03", periods=n).strftime("%Y%m%d"), name="date")
    bench = rng.normal(0.0003, 0.012, n)
    frame = pd.DataFrame(
        {
            "daily_return": rng.normal(0.0006, 0.015, n),
            "index_daily_return": bench,
            "position_count": rng.integers(5, 30, n).astype(float),
        },
        index=index,
    )
    if with_close:
        frame["close"] = 3000.0 * np.cumprod(1 + bench)
    for row, column in nan_rows:
        frame.iloc[row, frame.columns.get_loc(column)] = np.nan
    return frame


def small_frame(daily, bench, **extra):
    index = pd.Index([f"202401{d:02d}" for d in range(2, 2 + len(daily))])
    return pd.DataFrame({"daily_return": daily, "index_daily_return": bench, **extra}, index=index)


# --- the total frame ----------------------------------------------------------------------


class TestTotalFrameAgainstReference:
    @pytest.mark.parametrize("seed", [0, 1, 2])
    @pytest.mark.parametrize("with_close", [True, False])
    def test_random_frames(self, seed, with_close):
        nan_rows = [(0, "daily_return"), (7, "position_count"), (40, "index_daily_return")]
        if with_close:
            nan_rows.append((120, "close"))
        frame = market_frame(seed=seed, with_close=with_close, nan_rows=nan_rows)
        before = frame.copy()
        out = _build_total_backtesting_frame(frame)
        assert_frames_match(out, ref_total_frame(frame))
        pd.testing.assert_frame_equal(frame, before)
        assert out is not frame

    def test_zero_first_close_after_dropping_rows(self):
        frame = market_frame(n=80, seed=5)
        frame.iloc[0, frame.columns.get_loc("position_count")] = np.nan
        frame.iloc[1, frame.columns.get_loc("close")] = 0.0
        out = _build_total_backtesting_frame(frame)
        assert_frames_match(out, ref_total_frame(frame))

    def test_datetime_index_with_shuffled_dates_keeps_its_row_order(self):
        frame = market_frame(n=60, seed=3)
        frame.index = pd.DatetimeIndex(pd.to_datetime(frame.index, format="%Y%m%d"))
        frame = frame.iloc[np.random.default_rng(9).permutation(len(frame))]
        out = _build_total_backtesting_frame(frame)
        assert out.index.equals(frame.index)
        assert_frames_match(out, ref_total_frame(frame))


class TestTotalFrameLayout:
    def test_columns_follow_the_input_columns(self):
        frame = small_frame([0.01, 0.02], [0.0, 0.01], close=[10.0, 11.0], note=["a", "b"])
        out = _build_total_backtesting_frame(frame)
        assert list(out.columns) == [
            "daily_return",
            "index_daily_return",
            "close",
            "note",
            *DERIVED,
        ]
        assert out["note"].tolist() == ["a", "b"]

    def test_missing_close_is_added_before_its_net_value(self):
        out = _build_total_backtesting_frame(small_frame([0.01, 0.02], [0.0, 0.01]))
        assert list(out.columns) == [
            "daily_return",
            "index_daily_return",
            "extra_daily_return",
            "long",
            "close",
            "close_net_value",
            "max_drowdown",
            "extra_return",
            "extra_max_drowdown",
        ]

    def test_carried_columns_keep_values_and_dtypes(self):
        frame = small_frame(
            [0.01, 0.02, 0.03],
            [0.0, 0.01, 0.0],
            close=[10.0, 11.0, 12.0],
            held=np.array([3, 4, 5], dtype=np.int64),
        )
        out = _build_total_backtesting_frame(frame)
        pd.testing.assert_frame_equal(out[frame.columns], frame)
        for column in DERIVED:
            assert out[column].dtype == np.float64, column


class TestTotalFrameValues:
    def test_one_row(self):
        out = _build_total_backtesting_frame(small_frame([0.03], [0.01], close=[5.0]))
        row = out.iloc[0]
        assert row["long"] == 1.0
        assert row["max_drowdown"] == 0.0
        assert row["extra_return"] == 0.0
        assert row["extra_max_drowdown"] == 0.0
        assert row["close_net_value"] == 1.0
        assert row["extra_daily_return"] == pytest.approx(0.02)

    def test_long_is_summed_returns_rebased_to_the_first_day(self):
        out = _build_total_backtesting_frame(small_frame([0.01, 0.02, -0.01], [0.0, 0.0, 0.0]))
        np.testing.assert_allclose(out["long"], [1.0, 1.03 / 1.01, 1.02 / 1.01], rtol=1e-14)
        np.testing.assert_allclose(
            out["max_drowdown"], [0.0, 0.0, (1.02 - 1.03) / 1.01], rtol=1e-12, atol=1e-15
        )
        assert out["max_drowdown"].iloc[-1] < 0

    def test_excess_return_starts_at_zero_and_tracks_its_drawdown(self):
        out = _build_total_backtesting_frame(
            small_frame([0.02, 0.01, -0.02, 0.01], [0.01, 0.0, 0.01, 0.0])
        )
        # excess: 0.01, 0.01, -0.03, 0.01 -> summed and rebased on the first day
        np.testing.assert_allclose(out["extra_return"], [0.0, 0.01, -0.02, -0.01], atol=1e-15)
        np.testing.assert_allclose(out["extra_max_drowdown"], [0.0, 0.0, -0.03, -0.02], atol=1e-15)

    def test_close_is_rebased_to_its_first_value(self):
        out = _build_total_backtesting_frame(
            small_frame([0.0, 0.0, 0.0], [0.5, 0.5, 0.5], close=[20.0, 25.0, 18.0])
        )
        np.testing.assert_allclose(out["close_net_value"], [1.0, 1.25, 0.9], rtol=1e-15)
        assert out["close"].tolist() == [20.0, 25.0, 18.0]

    def test_zero_first_close_falls_back_to_summed_benchmark_returns(self):
        out = _build_total_backtesting_frame(
            small_frame([0.0, 0.0, 0.0], [0.01, 0.02, -0.01], close=[0.0, 25.0, 18.0])
        )
        # Not rebased: the first row is 1 plus the first benchmark return.
        np.testing.assert_allclose(out["close_net_value"], [1.01, 1.03, 1.02], rtol=1e-14)
        assert out["close"].tolist() == [0.0, 25.0, 18.0]

    def test_without_close_a_proxy_close_is_added(self):
        out = _build_total_backtesting_frame(small_frame([0.0, 0.0, 0.0], [0.01, 0.02, -0.01]))
        np.testing.assert_allclose(out["close"], [1.01, 1.03, 1.02], rtol=1e-14)
        assert out["close_net_value"].iloc[0] == 1.0
        np.testing.assert_allclose(
            out["close_net_value"], [1.0, 1.03 / 1.01, 1.02 / 1.01], rtol=1e-14
        )

    def test_nan_in_any_column_drops_the_row_before_rebasing(self):
        frame = small_frame(
            [0.05, 0.01, 0.02], [0.0, 0.0, 0.01], close=[9.0, 10.0, 12.0], note=[1.0, 2.0, 3.0]
        )
        frame.loc["20240102", "note"] = np.nan
        out = _build_total_backtesting_frame(frame)
        assert list(out.index) == ["20240103", "20240104"]
        assert out["long"].iloc[0] == 1.0
        assert out["close_net_value"].tolist() == [1.0, 1.2]
        assert out["extra_return"].iloc[0] == 0.0


class TestTotalFrameDegenerateInputs:
    def test_all_rows_dropped_gives_the_empty_frame_without_derived_columns(self):
        frame = small_frame([np.nan, 0.01], [0.01, np.nan], close=[1.0, 2.0])
        before = frame.copy()
        out = _build_total_backtesting_frame(frame)
        assert len(out) == 0
        assert list(out.columns) == list(frame.columns)
        pd.testing.assert_frame_equal(frame, before)

    @pytest.mark.parametrize(
        "frame",
        [
            pd.DataFrame(),
            pd.DataFrame({"daily_return": [], "index_daily_return": []}, dtype=float),
            pd.DataFrame({"other": [np.nan, np.nan]}),
        ],
        ids=["no-columns", "no-rows", "only-nan"],
    )
    def test_empty_inputs_do_not_raise(self, frame):
        out = _build_total_backtesting_frame(frame)
        assert len(out) == 0
        assert list(out.columns) == list(frame.columns)

    @pytest.mark.parametrize("missing", ["daily_return", "index_daily_return"])
    def test_missing_return_column_raises_key_error(self, missing):
        frame = small_frame([0.01, 0.02], [0.0, 0.01], close=[1.0, 2.0]).drop(columns=missing)
        with pytest.raises(KeyError):
            _build_total_backtesting_frame(frame)


# --- statistics ---------------------------------------------------------------------------


def weights_frame(n=120, m=8, seed=0):
    rng = np.random.default_rng(seed)
    values = rng.random((n, m))
    values[rng.random((n, m)) < 0.4] = np.nan
    values[5] = np.nan  # a day without any holding
    return pd.DataFrame(values, columns=[f"{600000 + i}" for i in range(m)])


class TestStatsAgainstReference:
    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_random_frames(self, seed):
        total = ref_total_frame(market_frame(seed=seed))
        signal = weights_frame(seed=seed)
        before_total, before_signal = total.copy(), signal.copy()
        got = calc_strategy_stats(total, signal)
        assert_stats_match(got, ref_stats(total, signal))
        assert list(got) == STATS_KEYS
        pd.testing.assert_frame_equal(total, before_total)
        pd.testing.assert_frame_equal(signal, before_signal)

    def test_on_the_built_total_frame(self):
        frame = market_frame(seed=4, with_close=False, nan_rows=[(3, "position_count")])
        signal = weights_frame(seed=4)
        got = calc_strategy_stats(_build_total_backtesting_frame(frame), signal)
        assert_stats_match(got, ref_stats(ref_total_frame(frame), signal))

    def test_rows_with_nan_are_left_out_everywhere(self):
        total = ref_total_frame(market_frame(n=100, seed=6))
        holed = total.copy()
        holed.iloc[10, holed.columns.get_loc("position_count")] = np.nan
        holed.iloc[50, holed.columns.get_loc("long")] = np.nan
        got = calc_strategy_stats(holed, None)
        assert_stats_match(got, ref_stats(total.drop(index=total.index[[10, 50]]), None))

    def test_non_finite_returns_are_left_out_of_sharpe_and_win_rates(self):
        total = ref_total_frame(market_frame(n=100, seed=7))
        total.iloc[[3, 9], total.columns.get_loc("daily_return")] = [np.inf, -np.inf]
        total.iloc[20, total.columns.get_loc("extra_daily_return")] = np.inf
        got = calc_strategy_stats(total, None)
        strategy = total["daily_return"].drop(index=total.index[[3, 9]])
        excess = total["extra_daily_return"].drop(index=total.index[20])
        assert got["long_sharp"] == pytest.approx(safe_sharpe(strategy), rel=1e-12)
        assert got["extra_sharp"] == pytest.approx(safe_sharpe(excess), rel=1e-12)
        assert got["win_rate"] == pytest.approx((strategy > 0).sum() / 98, rel=1e-14)
        assert got["excess_win_rate"] == pytest.approx((excess > 0).sum() / 99, rel=1e-14)


class TestStatsValues:
    def test_one_trading_year_gives_plain_percentages(self):
        total = ref_total_frame(market_frame(n=TRADING_DAYS_PER_YEAR, seed=8))
        got = calc_strategy_stats(total, None)
        assert got["annual_return"] == pytest.approx((total["long"].iloc[-1] - 1) * 100, rel=1e-12)
        assert got["benchmark_annual_return"] == pytest.approx(
            (total["close_net_value"].iloc[-1] - 1) * 100, rel=1e-12
        )
        assert got["extra_annual_return"] == pytest.approx(
            total["extra_return"].iloc[-1] * 100, rel=1e-12
        )

    def test_small_frame_literal_values(self):
        total = ref_total_frame(small_frame([0.01, 0.02, -0.01, 0.0], [0.0, 0.01, 0.01, -0.01]))
        got = calc_strategy_stats(total, None)
        years = 4 / 252
        assert got["annual_return"] == pytest.approx((1.02 / 1.01 - 1) / years * 100, rel=1e-12)
        assert got["max_dd"] == pytest.approx(0.01 / 1.01, rel=1e-12)
        # excess 0.01, 0.01, -0.02, 0.01: rebased 0, 0.01, -0.01, 0
        assert got["extra_annual_return"] == pytest.approx(0.0, abs=1e-12)
        assert got["extra_max_dd"] == pytest.approx(0.02, rel=1e-12)
        assert got["win_rate"] == 0.5
        assert got["excess_win_rate"] == 0.75
        assert math.isnan(got["holding_count"]) and math.isnan(got["turnover"])

    def test_never_falling_strategy_has_no_drawdown(self):
        total = ref_total_frame(small_frame([0.01, 0.0, 0.02], [0.0, 0.01, -0.01]))
        got = calc_strategy_stats(total, None)
        assert got["max_dd"] == 0.0
        assert got["win_rate"] == pytest.approx(2 / 3)

    def test_one_row(self):
        got = calc_strategy_stats(ref_total_frame(small_frame([0.01], [0.02])), None)
        assert list(got) == STATS_KEYS
        assert got["annual_return"] == 0.0
        assert got["max_dd"] == 0.0
        assert got["win_rate"] == 1.0
        assert got["excess_win_rate"] == 0.0
        for key in ("long_sharp", "benchmark_sharp", "extra_sharp", "return_corr"):
            assert math.isnan(got[key]), key

    def test_perfectly_tracking_benchmark_has_unit_correlation(self):
        daily = [0.01, -0.02, 0.03, 0.005]
        got = calc_strategy_stats(ref_total_frame(small_frame(daily, daily)), None)
        assert got["return_corr"] == pytest.approx(1.0, rel=1e-12)
        assert got["extra_max_dd"] == 0.0
        assert got["excess_win_rate"] == 0.0


class TestHoldingsAndTurnover:
    def total(self):
        return ref_total_frame(small_frame([0.01, 0.02, -0.01], [0.0, 0.01, 0.0]))

    def test_swapping_half_the_book(self):
        signal = pd.DataFrame([[0.5, 0.5, np.nan], [0.5, np.nan, 0.5]], columns=["a", "b", "c"])
        got = calc_strategy_stats(self.total(), signal)
        assert got["holding_count"] == 2.0
        assert got["turnover"] == 0.5

    def test_empty_signal_rows_count_no_holdings(self):
        signal = pd.DataFrame([[1.0, 1.0], [np.nan, np.nan], [np.nan, 1.0]])
        got = calc_strategy_stats(self.total(), signal)
        assert got["holding_count"] == 1.0
        # |0-1|+|0-1| = 2, then |0-0|+|1-0| = 1: halves averaged over two steps
        assert got["turnover"] == 0.75

    def test_non_finite_weights_are_not_holdings(self):
        signal = pd.DataFrame([[np.inf, 1.0, np.nan]])
        assert calc_strategy_stats(self.total(), signal)["holding_count"] == 1.0

    def test_integer_weights(self):
        signal = pd.DataFrame([[1, 0], [0, 1]], dtype=np.int64)
        got = calc_strategy_stats(self.total(), signal)
        assert got["holding_count"] == 2.0
        assert got["turnover"] == 1.0

    def test_single_signal_row_has_no_turnover(self):
        got = calc_strategy_stats(self.total(), pd.DataFrame([[0.2, 0.3, np.nan]]))
        assert got["holding_count"] == 2.0
        assert math.isnan(got["turnover"])

    @pytest.mark.parametrize(
        "signal",
        [None, pd.DataFrame(columns=["a", "b"], dtype=float)],
        ids=["none", "no-rows"],
    )
    def test_no_signal_gives_nan(self, signal):
        got = calc_strategy_stats(self.total(), signal)
        assert math.isnan(got["holding_count"]) and math.isnan(got["turnover"])
        assert not math.isnan(got["annual_return"])

    @pytest.mark.parametrize("m", [1, 7, 9])  # stocks beyond a multiple of the four lanes
    def test_layout_does_not_change_a_single_bit(self, m):
        signal = weights_frame(n=300, m=m, seed=m)
        want = calc_strategy_stats(self.total(), signal)
        assert want["turnover"] == pytest.approx(
            ref_stats(self.total(), signal)["turnover"], rel=1e-12
        )
        values = signal.to_numpy()
        taller = np.asfortranarray(np.vstack([values[:3], values]))
        for moved in (
            pd.DataFrame(np.ascontiguousarray(values), columns=signal.columns, copy=False),
            pd.DataFrame(taller, columns=signal.columns, copy=False).iloc[3:],  # strided
        ):
            got = calc_strategy_stats(self.total(), moved)
            assert (got["holding_count"], got["turnover"]) == (
                want["holding_count"],
                want["turnover"],
            )

    def test_signal_rows_need_not_match_the_frame(self):
        signal = weights_frame(n=17, seed=3)
        got = calc_strategy_stats(self.total(), signal)
        want = ref_stats(self.total(), signal)
        assert got["holding_count"] == pytest.approx(want["holding_count"], rel=1e-12)
        assert got["turnover"] == pytest.approx(want["turnover"], rel=1e-12)


class TestStatsDegenerateInputs:
    @pytest.mark.parametrize(
        "total",
        [
            pd.DataFrame(),
            ref_total_frame(small_frame([0.01], [0.0])).iloc[:0],
            ref_total_frame(small_frame([0.01, 0.02], [0.0, 0.01])).assign(position_count=np.nan),
        ],
        ids=["no-columns", "no-rows", "every-row-has-nan"],
    )
    @pytest.mark.parametrize("signal", [None, pd.DataFrame([[0.5, 0.5], [1.0, np.nan]])])
    def test_no_rows_give_every_statistic_as_nan(self, total, signal):
        before = total.copy()
        got = calc_strategy_stats(total, signal)
        assert list(got) == EMPTY_STATS_KEYS
        assert all(isinstance(v, float) and math.isnan(v) for v in got.values())
        pd.testing.assert_frame_equal(total, before)

    @pytest.mark.parametrize(
        "missing",
        [
            "daily_return",
            "index_daily_return",
            "extra_daily_return",
            "long",
            "close_net_value",
            "max_drowdown",
            "extra_return",
            "extra_max_drowdown",
        ],
    )
    def test_missing_column_raises_key_error(self, missing):
        total = ref_total_frame(small_frame([0.01, 0.02], [0.0, 0.01])).drop(columns=missing)
        with pytest.raises(KeyError):
            calc_strategy_stats(total, None)

    def test_total_frame_must_be_a_frame(self):
        with pytest.raises(TypeError):
            calc_strategy_stats({"daily_return": [0.01, 0.02]}, None)

    def test_signal_must_be_a_frame_or_none(self):
        total = ref_total_frame(small_frame([0.01, 0.02], [0.0, 0.01]))
        with pytest.raises(TypeError):
            calc_strategy_stats(total, [[0.5, 0.5], [0.5, 0.5]])
