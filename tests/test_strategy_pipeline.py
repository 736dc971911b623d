"""The strategy pipeline: alignment, smoothing, benchmarks, empty results and charts."""

import math
import pathlib

import numpy as np
import pandas as pd
import pytest

from conftest import random_market
from mirtaly.backtest import _ravelin
from reference_strategy import MARKET_KEYS, reference_smooth, reference_strategy_backtest


@pytest.fixture(scope="module")
def market():
    signal, market = random_market(5, n_days=90, n_stocks=30)
    rng = np.random.default_rng(5)
    dates = market["close_price"].index
    codes = ("000852", "000300", "000905")
    benchmarks = {c: pd.Series(rng.normal(0.0, 0.01, len(dates)), index=dates) for c in codes}
    return signal, market, benchmarks


def run(signal, market, **kwargs):
    return _ravelin.run_strategy_backtest_core(signal, *(market[k] for k in MARKET_KEYS), **kwargs)


@pytest.mark.parametrize("window", [0, 1, 5])
@pytest.mark.parametrize("primary", ["000852", "399303"])
@pytest.mark.parametrize("skewed", [False, True])
def test_matches_the_pandas_reading(market, window, primary, skewed):
    signal, mk, bms = market
    if skewed:  # each frame starts later, lacks a date, has its stocks reversed, one fewer
        dates, codes = mk["close_price"].index, mk["close_price"].columns[::-1]
        mk = {
            k: v.iloc[i % 3 :].drop(index=dates[10 + i]).reindex(columns=[*codes[i % 2 :], "9"])
            for i, (k, v) in enumerate(mk.items())
        }  # and one permission mask 1.0/0.0/NaN rather than boolean
        mk["can_buy_stock"] = mk["can_buy_stock"].astype(float).mask(mk["close_price"].isna())
    kwargs = {"benchmark_dict": bms, "benchmark_names": primary, "rolling_window": window}
    before = {k: v.copy() for k, v in mk.items()}
    got = run(signal.assign(**{"999999": 0.5}), mk, **kwargs)  # a stock outside the market
    daily, cumulative, stats, summary = reference_strategy_backtest(signal, mk, **kwargs)
    pd.testing.assert_series_equal(got.daily_return, daily, rtol=1e-12)
    pd.testing.assert_series_equal(got.cumulative_return, cumulative, rtol=1e-12)
    assert list(got.stats) == list(stats)
    np.testing.assert_allclose(list(got.stats.values()), list(stats.values()), rtol=1e-10)
    pd.testing.assert_frame_equal(got.benchmark_summary, summary, rtol=1e-10)
    assert all(before[k].equals(v) for k, v in mk.items())  # inputs are never written


class TestSmoothing:
    @pytest.mark.parametrize("window", [2, 3, 7, 40, 41])
    @pytest.mark.parametrize("order", ["C", "F"])
    def test_identical_to_pandas_rolling(self, window, order):
        rng = np.random.default_rng(3)
        values = np.asarray(rng.normal(0.0, 0.05, (40, 7)), order=order)
        values[rng.random(values.shape) < 0.3] = np.nan
        values[5:12, 1] = 0.1  # repeated values
        values[:, 2] = -np.abs(values[:, 2])  # one sign only
        values[3:20, 3] = [1e15, 1.0, -1e15] * 5 + [2.0, 3.0]  # cancelling magnitudes
        values[::7, 4] = np.inf
        values[10:13, 5] = [0.2, -0.2, 0.0]  # windows that average to exactly zero
        weights = pd.DataFrame(values, index=[f"d{i:02d}" for i in range(40)], copy=False)
        got = _ravelin._smooth_strategy_weights(weights, window)
        pd.testing.assert_frame_equal(got, reference_smooth(weights, window), check_exact=True)

    def test_rows_without_a_full_window_go_rows_of_zero_means_stay(self):
        frame = pd.DataFrame({"a": [1, np.inf, 2, -2, 4, -4.0], "b": [1, np.inf, 1, 2, -2, 2.0]})
        got = _ravelin._smooth_strategy_weights(frame, 2)
        pd.testing.assert_frame_equal(got, reference_smooth(frame, 2), check_exact=True)
        assert list(got.index) == [3, 4, 5] and got.loc[5].isna().all()
        assert _ravelin._smooth_strategy_weights(frame, 1.9) is frame


@pytest.mark.parametrize("case", ["no common dates", "all NaN", "unknown stocks", "one weight row"])
def test_empty_result(market, case, monkeypatch):
    signal, mk, bms = market
    if case == "no common dates":
        signal = signal.set_axis([f"2099{i:04d}" for i in range(len(signal))])
    elif case == "unknown stocks":
        signal = signal.set_axis([f"9{c}" for c in signal.columns], axis=1)
    else:
        signal = signal * np.nan
    if case == "one weight row":  # its trades would fall on the next day
        signal.iloc[40, :5] = 0.1
    monkeypatch.setattr(_ravelin, "plot_strategy_performance", None)
    result = run(signal, mk, benchmark_dict=bms, plot_save_path="never.png")
    assert result.daily_return.empty and result.daily_return.dtype == np.float64
    assert result.cumulative_return is result.daily_return
    assert len(result.stats) == 13 and all(math.isnan(v) for v in result.stats.values())
    assert result.benchmark_summary.empty and result.plot_paths == {}


class TestBenchmarks:
    def test_unknown_primary_is_flat_and_every_benchmark_is_summarised(self, market):
        signal, mk, bms = market
        far = pd.Series([0.01], index=["20990101"])  # no date in common: no row
        result = run(signal, mk, benchmark_dict=bms | {"far": far}, benchmark_names="000001")
        assert result.stats["benchmark_annual_return"] == 0.0
        assert result.stats["extra_sharp"] == result.stats["long_sharp"]
        assert list(result.benchmark_summary["benchmark_name"]) == list(bms)

    def test_inf_is_zero_in_the_frame_but_kept_in_the_summary(self, market):
        signal, mk, bms = market
        bm = bms["000852"].copy()
        bm[run(signal, mk).daily_return.index[3]] = np.inf
        result = run(signal, mk, benchmark_dict={"000852": bm})
        zeroed = run(signal, mk, benchmark_dict={"000852": bm.replace(np.inf, 0.0)})
        assert result.stats == zeroed.stats
        assert result.benchmark_summary["benchmark_annual_return"].iloc[0] == np.inf

    def test_history_before_the_first_return_does_not_rescale_the_benchmark(self, market):
        signal, mk, bms = market
        bm, first = bms["000852"], run(signal, mk).daily_return.index[0]
        lossy = bm.where(bm.index >= first, -0.05)  # about -0.5 summed before the returns
        got = [run(signal, mk, benchmark_dict={"000852": s}).stats for s in (bm, lossy)]
        assert got[0] == got[1]


class Text(str):
    pass


BAD_ARGUMENTS = {
    "benchmark_dict": [type("Mapping", (dict,), {})(), []],
    "benchmark_names": [None, Text("000852")],
    "total_money": ["1e8"],
    "plot_image_kind": [1],
    "plot_save_path": [3],
    "strategy_name": [None, Text("s")],
}


@pytest.mark.parametrize("name, value", [(k, v) for k, vs in BAD_ARGUMENTS.items() for v in vs])
def test_wrong_types_raise_type_error_before_any_work(market, name, value, monkeypatch):
    monkeypatch.setattr(_ravelin, "_build_market_arrays", None)  # any work would fail
    signal, mk, _ = market
    with pytest.raises(TypeError, match=name):
        run(signal, mk, **{name: value})


@pytest.mark.parametrize(
    "kind, path, weekly",
    [
        ("long", "out/run.png", "out/run_weekly_net_value.png"),
        ("large", pathlib.Path("a.b/c"), "a.b/c_weekly_net_value"),
        ("large", None, None),
        (None, "out/run.png", None),
    ],
)
def test_chart_calls(market, monkeypatch, kind, path, weekly):
    calls = []
    for name in ("plot_strategy_performance", "plot_weekly_net_value"):
        monkeypatch.setattr(_ravelin, name, lambda name=name, **kw: calls.append((name, kw)))
    signal, mk, bms = market
    kw = {"strategy_name": "s", "plot_title": "T", "rolling_window": 3}
    result = run(signal, mk, benchmark_dict=bms, plot_image_kind=kind, plot_save_path=path, **kw)
    if weekly is None:
        assert calls == [] and result.plot_paths == {}
        return
    assert result.plot_paths == {"main": str(pathlib.Path(path)), "weekly_net_value": weekly}
    (main_name, main), (weekly_name, week) = calls
    assert (main_name, weekly_name) == ("plot_strategy_performance", "plot_weekly_net_value")
    assert main.pop("stats") == result.stats and main.pop("rolling_window") == 3
    assert (main.pop("save_path"), str(week.pop("save_path"))) == (pathlib.Path(path), weekly)
    for call in (main, week):
        pd.testing.assert_series_equal(call.pop("total")["long"], result.cumulative_return)
        assert call == {
            "strategy_name": "s",
            "plot_title": "T",
            "image_kind": kind,
            "benchmark_name": "000852",
        }
