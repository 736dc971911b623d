"""Per-period metrics of a strategy: return, drawdown and calmar by year, net values by week."""

import math

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _ravelin
from mirtaly.backtest._core import _with_datetime_index, safe_sharpe

_period_return_drawdown_calmar = _ravelin._period_return_drawdown_calmar
_calc_yearly_performance_metrics = _ravelin._calc_yearly_performance_metrics
_build_weekly_net_value_frame = _ravelin._build_weekly_net_value_frame

NAN3 = (math.nan, math.nan, math.nan)
YEARLY_COLUMNS = [
    "strategy_return",
    "strategy_sharpe",
    "strategy_max_dd",
    "strategy_calmar",
    "excess_return",
    "excess_sharpe",
    "excess_max_dd",
    "excess_calmar",
]
WEEKLY_COLUMNS = ["long", "close_net_value", "extra_return", "extra_net_value"]


# --- plain-pandas references -------------------------------------------------------------


def ref_period(daily_return):
    if daily_return is None or len(daily_return) == 0:
        return NAN3
    annualized = daily_return.mean() * 252
    cumulative = daily_return.cumsum()
    peak = cumulative.cummax().clip(lower=0.0)
    max_dd = abs((cumulative - peak).min())
    calmar = annualized / max_dd if not math.isnan(max_dd) and max_dd > 1e-12 else math.nan
    return (float(daily_return.sum()), float(max_dd), float(calmar))


def _finite(series):
    return series.replace([np.inf, -np.inf], np.nan).dropna()


def ref_yearly(daily):
    rows = []
    for year, group in daily.groupby(daily.index.year):
        strategy = _finite(group["daily_return"])
        excess = _finite(group["extra_daily_return"])
        if strategy.empty and excess.empty:
            continue
        s_ret, s_dd, s_calmar = ref_period(strategy)
        e_ret, e_dd, e_calmar = ref_period(excess)
        rows.append(
            {
                "year": int(year),
                "strategy_return": s_ret,
                "strategy_sharpe": safe_sharpe(strategy),
                "strategy_max_dd": s_dd,
                "strategy_calmar": s_calmar,
                "excess_return": e_ret,
                "excess_sharpe": safe_sharpe(excess),
                "excess_max_dd": e_dd,
                "excess_calmar": e_calmar,
            }
        )
    if not rows:
        return pd.DataFrame()
    return pd.DataFrame(rows).set_index("year").sort_index()


def ref_weekly(total):
    plot_df = _with_datetime_index(total)
    if plot_df.empty:
        return pd.DataFrame()
    weekly = (
        plot_df[["long", "close_net_value", "extra_return"]]
        .replace([np.inf, -np.inf], np.nan)
        .resample("W-FRI")
        .last()
        .dropna(how="all")
    )
    if weekly.empty:
        return weekly
    weekly["extra_net_value"] = weekly["extra_return"] + 1
    return weekly.dropna(how="all", subset=["long", "close_net_value", "extra_net_value"])


# --- helpers ------------------------------------------------------------------------------


def assert_triple(got, want):
    assert type(got) is tuple and len(got) == 3
    for g, w in zip(got, want, strict=True):
        assert isinstance(g, float)
        if math.isnan(w):
            assert math.isnan(g), (got, want)
        else:
            assert g == pytest.approx(w, rel=1e-12, abs=1e-15), (got, want)


def assert_frames_match(got, want, **kwargs):
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12, atol=1e-15, **kwargs)


def sprinkle(rng, values, share, fill):
    values = values.copy()
    values[rng.random(len(values)) < share] = fill
    return values


def daily_frame(start="2021-11-01", end="2024-03-29", seed=0):
    rng = np.random.default_rng(seed)
    index = pd.bdate_range(start, end, name="date")
    n = len(index)
    strategy = sprinkle(rng, rng.normal(0.0005, 0.015, n), 0.02, np.nan)
    strategy = sprinkle(rng, strategy, 0.01, np.inf)
    excess = sprinkle(rng, rng.normal(0.0002, 0.008, n), 0.02, -np.inf)
    return pd.DataFrame(
        {"daily_return": strategy, "extra_daily_return": excess, "turnover": rng.random(n)},
        index=index,
    )


def net_value_frame(dates, long, close_net_value, extra_return, index_as_text=True):
    dates = pd.DatetimeIndex(dates, name="date")
    index = pd.Index(dates.strftime("%Y%m%d"), name="date") if index_as_text else dates
    return pd.DataFrame(
        {
            "long": long,
            "close_net_value": close_net_value,
            "extra_return": extra_return,
            "daily_return": np.zeros(len(dates)),
        },
        index=index,
    )


# --- return, drawdown and calmar of one period --------------------------------------------


class TestPeriodReturnDrawdownCalmar:
    def test_known_values(self):
        assert_triple(
            _period_return_drawdown_calmar(pd.Series([0.01, -0.02, 0.005])), (-0.005, 0.02, -21.0)
        )

    def test_losses_from_the_start_count_from_zero(self):
        assert_triple(
            _period_return_drawdown_calmar(pd.Series([-0.01, -0.01])), (-0.02, 0.02, -126.0)
        )
        # The peak never sits below the starting level, so the first loss is a drawdown too.
        got = _period_return_drawdown_calmar(pd.Series([-0.01, 0.02, -0.005]))
        assert got[1] == pytest.approx(0.01, rel=1e-12)

    def test_never_falling_has_no_drawdown_nor_calmar(self):
        period_return, max_dd, calmar = _period_return_drawdown_calmar(pd.Series([0.01, 0.0, 0.02]))
        assert period_return == pytest.approx(0.03, rel=1e-14)
        assert max_dd == 0.0
        assert math.isnan(calmar)

    def test_calmar_needs_a_drawdown_above_rounding_noise(self):
        tiny = _period_return_drawdown_calmar(pd.Series([0.01, -1e-13]))
        assert 0.0 < tiny[1] < 1e-12
        assert math.isnan(tiny[2])
        small = _period_return_drawdown_calmar(pd.Series([0.01, -1e-11]))
        assert small[2] == pytest.approx((0.01 - 1e-11) / 2 * 252 / 1e-11, rel=1e-4)

    def test_single_day(self):
        assert_triple(_period_return_drawdown_calmar(pd.Series([-0.03])), (-0.03, 0.03, -252.0))
        assert_triple(_period_return_drawdown_calmar(pd.Series([0.03])), (0.03, 0.0, math.nan))

    @pytest.mark.parametrize("seed", [0, 1, 2, 3])
    def test_random_series(self, seed):
        rng = np.random.default_rng(seed)
        daily = pd.Series(
            rng.normal(0.0003, 0.02, 250), index=pd.bdate_range("2023-01-02", periods=250)
        )
        before = daily.copy()
        assert_triple(_period_return_drawdown_calmar(daily), ref_period(daily))
        pd.testing.assert_series_equal(daily, before)

    def test_missing_values_are_skipped(self):
        rng = np.random.default_rng(11)
        daily = pd.Series(sprinkle(rng, rng.normal(0.0, 0.02, 120), 0.1, np.nan))
        assert_triple(_period_return_drawdown_calmar(daily), ref_period(daily))

    @pytest.mark.parametrize("daily", [None, pd.Series([], dtype=float)], ids=["none", "empty"])
    def test_nothing_to_measure(self, daily):
        assert_triple(_period_return_drawdown_calmar(daily), NAN3)


# --- yearly metrics -----------------------------------------------------------------------


def yearly_input(dates, daily_return, extra_daily_return):
    return pd.DataFrame(
        {"daily_return": daily_return, "extra_daily_return": extra_daily_return},
        index=pd.DatetimeIndex(dates),
    )


class TestYearlyMetricsAgainstReference:
    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_random_years(self, seed):
        daily = daily_frame(seed=seed)
        before = daily.copy()
        out = _calc_yearly_performance_metrics(daily)
        want = ref_yearly(daily)
        assert_frames_match(out, want)
        assert list(out.columns) == YEARLY_COLUMNS
        assert out.index.name == "year"
        assert out.index.tolist() == [2021, 2022, 2023, 2024]
        pd.testing.assert_frame_equal(daily, before)

    def test_a_year_without_any_valid_return_is_left_out(self):
        daily = daily_frame(seed=4)
        in_2022 = daily.index.year == 2022
        daily.loc[in_2022, "daily_return"] = np.nan
        daily.loc[in_2022, "extra_daily_return"] = np.inf
        out = _calc_yearly_performance_metrics(daily)
        assert out.index.tolist() == [2021, 2023, 2024]
        assert_frames_match(out, ref_yearly(daily))


class TestYearlyMetricsValues:
    def test_single_day_year(self):
        out = _calc_yearly_performance_metrics(
            yearly_input(
                ["2023-12-29", "2024-01-02", "2024-01-03"], [0.02, 0.01, -0.03], [-0.01, 0.0, 0.0]
            )
        )
        first = out.loc[2023]
        assert first["strategy_return"] == 0.02
        assert first["strategy_max_dd"] == 0.0
        assert math.isnan(first["strategy_calmar"])
        assert math.isnan(first["strategy_sharpe"])
        assert first["excess_return"] == -0.01
        assert first["excess_max_dd"] == 0.01
        assert first["excess_calmar"] == pytest.approx(-252.0, rel=1e-14)
        second = out.loc[2024]
        assert second["strategy_return"] == pytest.approx(-0.02, rel=1e-14)
        assert second["strategy_max_dd"] == pytest.approx(0.03, rel=1e-14)
        assert second["strategy_sharpe"] == pytest.approx(
            safe_sharpe(pd.Series([0.01, -0.03])), rel=1e-12
        )
        assert math.isnan(second["excess_sharpe"])  # constant excess

    def test_years_are_ascending_integers_whatever_the_row_order(self):
        out = _calc_yearly_performance_metrics(
            yearly_input(
                ["2024-03-01", "2024-03-04", "2023-05-05", "2023-05-08"],
                [0.01, 0.02, -0.01, 0.03],
                [0.0, 0.01, 0.01, 0.0],
            )
        )
        assert out.index.tolist() == [2023, 2024]
        assert out.index.dtype == np.int64
        assert all(type(year) is int for year in out.index.tolist())
        assert out.loc[2023, "strategy_return"] == pytest.approx(0.02, rel=1e-14)
        assert out.loc[2024, "strategy_return"] == pytest.approx(0.03, rel=1e-14)
        assert out.loc[2023, "strategy_max_dd"] == pytest.approx(0.01, rel=1e-14)

    def test_a_year_with_only_excess_returns_keeps_its_row(self):
        out = _calc_yearly_performance_metrics(
            yearly_input(
                ["2023-06-01", "2023-06-02", "2024-01-02", "2024-01-03"],
                [np.inf, np.nan, 0.01, 0.02],
                [0.01, -0.02, 0.0, 0.01],
            )
        )
        assert out.index.tolist() == [2023, 2024]
        for column in YEARLY_COLUMNS[:4]:
            assert math.isnan(out.loc[2023, column]), column
        assert out.loc[2023, "excess_return"] == pytest.approx(-0.01, rel=1e-14)
        assert out.loc[2023, "excess_max_dd"] == pytest.approx(0.02, rel=1e-14)
        assert not math.isnan(out.loc[2023, "excess_sharpe"])

    def test_other_columns_are_ignored(self):
        daily = yearly_input(["2024-01-02", "2024-01-03"], [0.01, -0.01], [0.0, 0.02])
        daily["close"] = [3000.0, 3100.0]
        out = _calc_yearly_performance_metrics(daily)
        assert list(out.columns) == YEARLY_COLUMNS
        assert_frames_match(out, ref_yearly(daily))


class TestYearlyMetricsDegenerateInputs:
    @pytest.mark.parametrize(
        "daily",
        [
            yearly_input([], np.array([], dtype=float), np.array([], dtype=float)),
            yearly_input(["2024-01-02", "2024-01-03"], [np.nan, np.inf], [-np.inf, np.nan]),
        ],
        ids=["no-rows", "nothing-finite"],
    )
    def test_nothing_to_report_gives_an_empty_frame(self, daily):
        before = daily.copy()
        out = _calc_yearly_performance_metrics(daily)
        assert isinstance(out, pd.DataFrame)
        assert out.shape == (0, 0)
        pd.testing.assert_frame_equal(daily, before)

    @pytest.mark.parametrize("missing", ["daily_return", "extra_daily_return"])
    def test_missing_column_raises_key_error(self, missing):
        daily = yearly_input(["2024-01-02", "2024-01-03"], [0.01, 0.02], [0.0, 0.01])
        with pytest.raises(KeyError):
            _calc_yearly_performance_metrics(daily.drop(columns=missing))

    def test_index_of_text_dates_raises_attribute_error(self):
        daily = pd.DataFrame(
            {"daily_return": [0.01, 0.02], "extra_daily_return": [0.0, 0.01]},
            index=["20240102", "20240103"],
        )
        with pytest.raises(AttributeError):
            _calc_yearly_performance_metrics(daily)


# --- weekly net values --------------------------------------------------------------------


class TestWeeklyNetValues:
    def test_weeks_end_on_friday_with_the_last_values(self):
        dates = pd.bdate_range("2024-01-01", "2024-01-10")  # Mon .. Wed of the next week
        n = len(dates)
        total = net_value_frame(
            dates, 1 + np.arange(n) / 100, 1 - np.arange(n) / 200, np.arange(n) / 50
        )
        before = total.copy()
        out = _build_weekly_net_value_frame(total)
        assert list(out.index) == [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-12")]
        assert list(out.columns) == WEEKLY_COLUMNS
        np.testing.assert_allclose(out["long"], [1.04, 1.07])
        np.testing.assert_allclose(out["close_net_value"], [0.98, 0.965])
        np.testing.assert_allclose(out["extra_return"], [0.08, 0.14])
        np.testing.assert_allclose(out["extra_net_value"], [1.08, 1.14])
        pd.testing.assert_frame_equal(total, before)

    def test_weeks_without_trading_are_absent(self):
        total = net_value_frame(
            ["2024-01-03", "2024-01-04", "2024-01-24"],
            [1.0, 1.1, 1.2],
            [1.0, 1.0, 0.9],
            [0.0, 0.1, 0.3],
        )
        out = _build_weekly_net_value_frame(total)
        assert list(out.index) == [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-26")]
        assert out["long"].tolist() == [1.1, 1.2]

    def test_each_column_keeps_its_last_finite_value(self):
        total = net_value_frame(
            ["2024-01-03", "2024-01-04", "2024-01-05"],
            [1.0, 1.1, np.inf],
            [0.9, np.nan, -np.inf],
            [0.01, 0.02, 0.03],
        )
        out = _build_weekly_net_value_frame(total)
        assert out.loc["2024-01-05", "long"] == 1.1
        assert out.loc["2024-01-05", "close_net_value"] == 0.9
        assert out.loc["2024-01-05", "extra_net_value"] == pytest.approx(1.03, rel=1e-15)

    def test_a_saturday_belongs_to_the_following_friday(self):
        total = net_value_frame(
            ["2024-01-05", "2024-01-06"], [1.0, 1.1], [1.0, 1.0], [0.0, 0.1], index_as_text=False
        )
        out = _build_weekly_net_value_frame(total)
        assert list(out.index) == [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-12")]
        assert out["long"].tolist() == [1.0, 1.1]

    def test_a_week_with_only_some_values_is_kept(self):
        total = net_value_frame(
            ["2024-01-03", "2024-01-10"], [1.0, np.nan], [1.0, np.nan], [0.0, 0.05]
        )
        out = _build_weekly_net_value_frame(total)
        assert len(out) == 2
        assert math.isnan(out["long"].iloc[1])
        assert out["extra_net_value"].iloc[1] == pytest.approx(1.05, rel=1e-15)

    @pytest.mark.parametrize("as_text", [True, False])
    @pytest.mark.parametrize("seed", [0, 1])
    def test_random_frames(self, seed, as_text):
        rng = np.random.default_rng(seed)
        dates = pd.bdate_range("2023-01-02", "2024-06-28")
        dates = dates[rng.random(len(dates)) > 0.3]
        dates = dates[(dates < "2023-08-05") | (dates > "2023-08-25")]  # a closed fortnight
        n = len(dates)
        long = 1 + np.cumsum(rng.normal(0.0005, 0.01, n))
        close_net_value = 1 + np.cumsum(rng.normal(0.0003, 0.01, n))
        extra_return = long - close_net_value
        total = net_value_frame(
            dates,
            sprinkle(rng, long, 0.1, np.nan),
            sprinkle(rng, close_net_value, 0.05, np.inf),
            sprinkle(rng, extra_return, 0.1, np.nan),
            index_as_text=as_text,
        )
        before = total.copy()
        out = _build_weekly_net_value_frame(total)
        # Which frequency the index remembers after weeks are dropped does not matter.
        assert_frames_match(out, ref_weekly(total), check_freq=False)
        pd.testing.assert_frame_equal(total, before)


class TestWeeklyNetValuesDegenerateInputs:
    @pytest.mark.parametrize(
        "total",
        [
            pd.DataFrame(),
            net_value_frame([], [], [], []),
            net_value_frame([], [], [], [], index_as_text=False),
        ],
        ids=["no-columns", "no-rows-text-index", "no-rows-datetime-index"],
    )
    def test_empty_input_gives_an_empty_frame(self, total):
        out = _build_weekly_net_value_frame(total)
        assert isinstance(out, pd.DataFrame)
        assert out.shape == (0, 0)

    def test_no_value_at_all_leaves_the_three_columns(self):
        total = net_value_frame(
            ["2024-01-03", "2024-01-04"], [np.nan, np.inf], [np.nan, np.nan], [-np.inf, np.nan]
        )
        out = _build_weekly_net_value_frame(total)
        assert len(out) == 0
        assert list(out.columns) == ["long", "close_net_value", "extra_return"]

    @pytest.mark.parametrize("missing", ["long", "close_net_value", "extra_return"])
    def test_missing_column_raises_key_error(self, missing):
        total = net_value_frame(["2024-01-03"], [1.0], [1.0], [0.0]).drop(columns=missing)
        with pytest.raises(KeyError):
            _build_weekly_net_value_frame(total)
