"""The strategy pipeline: alignment, smoothing, benchmarks, empty results and charts."""

import math
import pathlib

import numpy as np
import pandas as pd
import pytest

from conftest import random_market
from mirtaly.backtest import _ravelin
from reference_strategy import MARKET_KEYS, reference_smooth, reference_strategy_backtest

STATS_KEYS = 13


@pytest.fixture(scope="module")
def market():
    signal, market = random_market(5, n_days=90, n_stocks=30)
    rng = np.random.default_rng(5)
    dates = market["close_price"].index
    benchmarks = {
        code: pd.Series(rng.normal(0.0, 0.01, len(dates)), index=dates)
        for code in ("000852", "000300", "000905")
    }
    return signal, market, benchmarks


def run(signal, market, **kwargs):
    return _ravelin.run_strategy_backtest_core(signal, *(market[k] for k in MARKET_KEYS), **kwargs)


def assert_matches_reference(result, signal, market, **kwargs):
    want = reference_strategy_backtest(signal, market, **kwargs)
    daily, cumulative, stats, summary = want
    pd.testing.assert_series_equal(result.daily_return, daily, rtol=1e-12)
    pd.testing.assert_series_equal(result.cumulative_return, cumulative, rtol=1e-12)
    assert list(result.stats) == list(stats)
    np.testing.assert_allclose(list(result.stats.values()), list(stats.values()), rtol=1e-10)
    pd.testing.assert_frame_equal(result.benchmark_summary, summary, rtol=1e-10)


class TestAgainstThePandasReading:
    @pytest.mark.parametrize("window", [0, 1, 5])
    @pytest.mark.parametrize("primary", ["000852", "399303"])
    def test_random_market(self, market, window, primary):
        signal, mk, benchmarks = market
        kwargs = {
            "benchmark_dict": benchmarks,
            "benchmark_names": primary,
            "rolling_window": window,
        }
        before = {k: v.copy() for k, v in mk.items()}
        assert_matches_reference(run(signal, mk, **kwargs), signal, mk, **kwargs)
        for key, frame in mk.items():  # inputs are never written
            pd.testing.assert_frame_equal(frame, before[key])

    def test_weights_outside_the_market_are_ignored(self, market):
        signal, mk, benchmarks = market
        extra = signal.assign(**{"999999": 0.5, "000001": np.nan})
        extra.loc["20990101"] = 0.1
        kwargs = {"benchmark_dict": benchmarks}
        got = run(extra, mk, **kwargs)
        assert_matches_reference(got, signal, mk, **kwargs)
        pd.testing.assert_series_equal(got.daily_return, run(signal, mk, **kwargs).daily_return)


@pytest.fixture(scope="module")
def weights():
    rng = np.random.default_rng(3)
    values = rng.normal(0.0, 0.05, (40, 9))
    values[rng.random(values.shape) < 0.3] = np.nan
    values[5:12, 1] = 0.1  # repeated values
    values[:, 2] = -np.abs(values[:, 2])  # one sign only
    values[3:20, 3] = [1e15, 1.0, -1e15] * 5 + [2.0, 3.0]  # cancelling magnitudes
    values[::7, 4] = np.inf
    values[:, 5] = np.nan
    values[10:13, 6] = [0.2, -0.2, 0.0]  # windows that average to exactly zero
    return pd.DataFrame(values, index=[f"d{i:02d}" for i in range(40)])


class TestSmoothing:
    @pytest.mark.parametrize("window", [2, 3, 7, 40, 41])
    @pytest.mark.parametrize("order", ["C", "F"])
    def test_identical_to_pandas_rolling(self, weights, window, order):
        frame = pd.DataFrame(
            np.asarray(weights.to_numpy(), order=order), index=weights.index, copy=False
        )
        got = _ravelin._smooth_strategy_weights(frame, window)
        want = reference_smooth(weights, window)
        pd.testing.assert_frame_equal(got, want, check_exact=True)

    def test_rows_without_a_full_window_are_dropped_zero_means_are_kept(self):
        inf = np.inf
        frame = pd.DataFrame({"a": [1, inf, 2, -2, 4, -4.0], "b": [1, inf, 1, 2, -2, 2.0]})
        got = _ravelin._smooth_strategy_weights(frame, 2)
        pd.testing.assert_frame_equal(got, reference_smooth(frame, 2), check_exact=True)
        assert list(got.index) == [3, 4, 5] and got.loc[5].isna().all()

    @pytest.mark.parametrize("window", [0, 1, -3, 1.9])
    def test_short_windows_return_the_matrix_itself(self, weights, window):
        assert _ravelin._smooth_strategy_weights(weights, window) is weights


class TestEmptyResults:
    @pytest.mark.parametrize(
        "case", ["no common dates", "all NaN", "NaN columns only in market", "one weight row"]
    )
    def test_empty_result(self, market, case, monkeypatch):
        signal, mk, benchmarks = market
        if case == "no common dates":
            signal = signal.set_axis([f"2099{i:04d}" for i in range(len(signal))])
        elif case == "all NaN":
            signal = signal * np.nan
        elif case == "NaN columns only in market":
            signal = signal.set_axis([f"9{c}" for c in signal.columns], axis=1)
        else:
            signal = signal * np.nan
            signal.iloc[40, :5] = 0.1
        monkeypatch.setattr(_ravelin, "plot_strategy_performance", None, raising=False)
        result = run(signal, mk, benchmark_dict=benchmarks, plot_save_path="never.png")
        assert result.strategy_name == "strategy"
        assert result.daily_return.empty and result.daily_return.dtype == np.float64
        assert result.cumulative_return is result.daily_return
        assert len(result.stats) == STATS_KEYS
        assert all(math.isnan(v) for v in result.stats.values())
        assert result.benchmark_summary.empty and result.plot_paths == {}


class TestBenchmarks:
    def test_unknown_primary_is_flat_and_every_benchmark_is_summarised(self, market):
        signal, mk, benchmarks = market
        result = run(signal, mk, benchmark_dict=benchmarks, benchmark_names="000001")
        assert result.stats["benchmark_annual_return"] == 0.0
        assert result.stats["extra_sharp"] == result.stats["long_sharp"]
        assert list(result.benchmark_summary["benchmark_name"]) == list(benchmarks)
        assert list(result.benchmark_summary.columns) == [
            "benchmark_name",
            "benchmark_annual_return",
            "excess_annual_return",
            "excess_sharpe",
            "excess_max_dd",
        ]
        assert (result.benchmark_summary["excess_max_dd"] <= 0).all()

    def test_inf_is_zero_in_the_frame_but_kept_in_the_summary(self, market):
        signal, mk, benchmarks = market
        daily = run(signal, mk).daily_return
        bm = benchmarks["000852"].copy()
        bm[daily.index[3]] = np.inf
        result = run(signal, mk, benchmark_dict={"000852": bm})
        zeroed = run(signal, mk, benchmark_dict={"000852": bm.replace(np.inf, 0.0)})
        assert result.stats == zeroed.stats
        assert result.benchmark_summary["benchmark_annual_return"].iloc[0] == np.inf

    def test_benchmark_without_common_dates_has_no_row(self, market):
        signal, mk, benchmarks = market
        far = pd.Series([0.01, 0.02], index=["20990101", "20990102"])
        result = run(signal, mk, benchmark_dict={"000852": benchmarks["000852"], "x": far})
        assert list(result.benchmark_summary["benchmark_name"]) == ["000852"]
        alone = run(signal, mk, benchmark_dict={"x": far}, benchmark_names="x")
        assert alone.benchmark_summary.shape == (0, 0)
        assert alone.daily_return.empty

    def test_benchmark_history_before_the_first_return_does_not_rescale_it(self, market):
        signal, mk, benchmarks = market
        bm = benchmarks["000852"]
        first = run(signal, mk).daily_return.index[0]
        lossy = bm.where(bm.index >= first, -0.05)  # sums to about -0.5 before the window
        results = [run(signal, mk, benchmark_dict={"000852": s}) for s in (bm, lossy)]
        assert results[0].stats == results[1].stats

    def test_returns_cover_only_dates_the_primary_benchmark_has(self, market):
        signal, mk, benchmarks = market
        bm = benchmarks["000852"].iloc[::2]
        result = run(signal, mk, benchmark_dict={"000852": bm})
        assert set(result.daily_return.index) <= set(bm.index)
        assert result.cumulative_return.iloc[0] == 1.0


class TestArguments:
    class Text(str):
        pass

    class Mapping(dict):
        pass

    @pytest.mark.parametrize(
        "name, value",
        [
            ("benchmark_dict", Mapping()),
            ("benchmark_dict", []),
            ("benchmark_names", None),
            ("benchmark_names", Text("000852")),
            ("rolling_window", "5"),
            ("total_money", "1e8"),
            ("fee", None),
            ("plot_image_kind", 1),
            ("plot_save_path", 3),
            ("strategy_name", None),
            ("strategy_name", Text("s")),
            ("plot_title", b"t"),
        ],
    )
    def test_wrong_types_raise_type_error_before_any_work(self, market, name, value, monkeypatch):
        def no_work(*args, **kwargs):
            raise AssertionError("simulated despite a bad argument")

        monkeypatch.setattr(_ravelin, "_build_market_arrays", no_work)
        signal, mk, _ = market
        with pytest.raises(TypeError, match=name):
            run(signal, mk, **{name: value})

    def test_frames_are_required(self, market):
        signal, mk, _ = market
        with pytest.raises(TypeError, match="close_price"):
            run(signal, {**mk, "close_price": mk["close_price"].to_numpy()})

    def test_numbers_are_converted(self, market):
        signal, mk, benchmarks = market
        got = run(signal, mk, rolling_window=5.7, total_money=10**8, fee=0, rule_fee=0)
        want = run(signal, mk, rolling_window=5, total_money=1e8, fee=0.0, rule_fee=0.0)
        pd.testing.assert_series_equal(got.daily_return, want.daily_return)

    def test_result_record_is_a_plain_data_class(self):
        cls = _ravelin._RavelinResult
        fields = [f.name for f in __import__("dataclasses").fields(cls)]
        assert fields == [
            "strategy_name",
            "daily_return",
            "cumulative_return",
            "stats",
            "benchmark_summary",
            "plot_paths",
        ]
        record = cls("s", None, None, {}, None, {})
        assert record == cls("s", None, None, {}, None, {})
        record.strategy_name = "t"
        with pytest.raises(TypeError):
            cls("s")


class TestCharts:
    @pytest.fixture
    def drawn(self, monkeypatch):
        calls = []

        def recorder(kind):
            def draw(**kwargs):
                calls.append((kind, kwargs))
                return {"path": str(kwargs["save_path"])}

            return draw

        for kind in ("plot_strategy_performance", "plot_weekly_net_value"):
            monkeypatch.setattr(_ravelin, kind, recorder(kind), raising=False)
        return calls

    @pytest.mark.parametrize(
        "path, weekly",
        [
            ("out/run.png", "out/run_weekly_net_value.png"),
            ("out/run", "out/run_weekly_net_value"),
            (pathlib.Path("a.b/c.d.png"), "a.b/c.d_weekly_net_value.png"),
        ],
    )
    def test_weekly_path_is_derived_from_the_main_one(self, market, drawn, path, weekly):
        signal, mk, benchmarks = market
        result = run(
            signal,
            mk,
            benchmark_dict=benchmarks,
            plot_image_kind="long",
            plot_save_path=path,
            strategy_name="s",
            plot_title="T",
            rolling_window=3,
        )
        assert result.plot_paths == {"main": str(pathlib.Path(path)), "weekly_net_value": weekly}
        (main_kind, main), (weekly_kind, week) = drawn
        assert (main_kind, weekly_kind) == ("plot_strategy_performance", "plot_weekly_net_value")
        assert main["save_path"] == pathlib.Path(path) and str(week["save_path"]) == weekly
        assert main["stats"] == result.stats and main["rolling_window"] == 3
        for kw in (main, week):
            assert (kw["image_kind"], kw["strategy_name"], kw["plot_title"]) == ("long", "s", "T")
            assert kw["benchmark_name"] == "000852"
            pd.testing.assert_series_equal(kw["total"]["long"], result.cumulative_return)

    @pytest.mark.parametrize("kind, path", [("large", None), (None, "out/run.png")])
    def test_nothing_is_drawn_without_kind_and_path(self, market, drawn, kind, path):
        signal, mk, _ = market
        result = run(signal, mk, plot_image_kind=kind, plot_save_path=path)
        assert drawn == [] and result.plot_paths == {}
