"""The group backtest core: the compiled kernel against the plain reading of its rules,
one group against the strategy simulation, the result record and the figures."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from mirtaly.backtest._ravelin import calc_strategy_vwap_daily_return
from PIL import Image

from conftest import random_market
from mirtaly.backtest._core import run_alpha_vwap_backtest_core
from reference_group import reference_group_backtest, reference_groups

CODES = ("000300", "000905", "000852")


@pytest.fixture(scope="module")
def market():
    """A random market with a factor holding ties, NaN, inf, a validity mask with holes,
    forward-return ranks and benchmarks."""
    _, frames = random_market(5, n_days=70, n_stocks=36)
    close = frames["close_price"]
    rng = np.random.default_rng(5)
    factor = pd.DataFrame(
        np.round(rng.normal(size=close.shape), 1), index=close.index, columns=close.columns
    )
    factor[rng.random(close.shape) < 0.08] = np.nan
    factor.iloc[3, 4] = np.inf
    factor.iloc[7] = np.nan  # a date that ranks nothing
    valid = close.notna().astype(float).where(close.notna())
    valid[rng.random(close.shape) < 0.1] = np.nan
    opens = close * (1.0 + rng.normal(0.0, 0.01, close.shape))
    forward = (opens.shift(-2) / opens.shift(-1) - 1).rank(axis=1)
    bench = {c: pd.Series(rng.normal(3e-4, 0.01, len(close)), index=close.index) for c in CODES}
    return dict(factor=factor, valid=valid, frames=frames, open=opens, forward=forward, bench=bench)


def run(m, **kwargs):
    options = dict(close_price_valid=m["valid"], forward_return_rank_cache=m["forward"])
    options |= dict(benchmark_dict=m["bench"], plot_image_kind=None)
    return run_alpha_vwap_backtest_core(m["factor"], **m["frames"], **(options | kwargs))


@pytest.mark.parametrize(
    "options",
    [
        {"group_num": 5},
        {"group_num": 4, "ascending": True, "rolling_window": 3, "fee": 0.001},
        {"group_num": 50},  # more groups than stocks: some stay empty
    ],
)
@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray])
def test_core_matches_the_plain_reading_of_the_rules(market, options, layout):
    # Both walks of the kernel: stock by stock over column-major data, day by day otherwise.
    frames = {
        k: pd.DataFrame(layout(v.to_numpy()), v.index, v.columns, copy=False)
        for k, v in market["frames"].items()
    }
    result = run(market | {"frames": frames}, **options)
    want_daily, want_ic = reference_group_backtest(
        market["factor"], market["valid"], market["frames"], market["forward"], **options
    )
    got = result.group_daily_return
    assert list(got.columns) == list(range(1, options["group_num"] + 1))
    assert got.columns.name == "group"
    np.testing.assert_allclose(got.to_numpy(), want_daily.to_numpy(), rtol=1e-12, atol=1e-15)
    assert list(got.index) == list(want_daily.index)
    assert market["factor"].index[8] not in got.index  # the day after a date without ranks
    np.testing.assert_allclose(result.rank_ic, want_ic, rtol=1e-12, atol=1e-15)
    pd.testing.assert_frame_equal(result.group_cumulative_return, got.cumsum() + 1.0)


def test_each_group_is_an_equal_weight_strategy_over_its_stocks(market):
    result = run(market, group_num=3)
    groups, _ = reference_groups(market["factor"], market["valid"], 3)
    for g in range(1, 4):
        members = (groups == g).astype(float).where(groups == g)
        weights = members.div(members.count(axis=1), axis=0)
        strategy = calc_strategy_vwap_daily_return(weights, **market["frames"])
        got = result.group_daily_return[g]
        assert list(got.index) == list(strategy.index)
        np.testing.assert_allclose(got.to_numpy(), strategy.to_numpy(), rtol=1e-12, atol=0)


def test_forward_ranks_come_from_open_prices_without_a_cache(market):
    derived = run(market, forward_return_rank_cache=None, open_price=market["open"]).rank_ic
    pd.testing.assert_series_equal(derived, run(market).rank_ic)
    neither = run(market, forward_return_rank_cache=None).rank_ic
    assert neither.isna().all() and list(neither.index) == list(market["factor"].index)
    # A correlation does not see the scale of its values, however large or small.
    for scale in (1e-300, 1e300):
        scaled = run(market, forward_return_rank_cache=market["forward"] * scale).rank_ic
        np.testing.assert_allclose(scaled, run(market).rank_ic, rtol=1e-12, atol=1e-15)


def test_summary_best_group_and_benchmark_choice(market):
    result = run(market, group_num=4, benchmark_names=["000905", "000300"], industry_matrix=1)
    summary = result.benchmark_summary()
    assert list(summary.columns) == [
        "group",
        "benchmark_name",
        "annual_return",
        "benchmark_annual_return",
        "excess_annual_return",
        "excess_sharpe",
        "excess_max_dd",
    ]
    assert list(summary["benchmark_name"]) == ["000905"] * 4 + ["000300"] * 4
    daily = result.group_daily_return
    bench = market["bench"]["000905"].reindex(daily.index)
    excess = daily[2] - bench
    row = summary.iloc[1]
    assert row["annual_return"] == pytest.approx(daily[2].mean() * 252)
    assert row["excess_annual_return"] == pytest.approx(excess.mean() * 252)
    drawdown = (excess.cumsum() - excess.cumsum().cummax()).min()
    assert row["excess_max_dd"] == pytest.approx(drawdown)
    primary = summary[summary["benchmark_name"] == "000905"]
    assert result.best_group == primary["group"][primary["excess_annual_return"].idxmax()]
    for names in (None, "all"):
        summary = run(market, benchmark_names=names).benchmark_summary()
        assert set(summary["benchmark_name"]) == set(CODES)
    with pytest.raises(ValueError, match="399006"):
        run(market, benchmark_names=["000300", "399006"])


def test_empty_input_gives_empty_frames(market):
    result = run(market | {"factor": market["factor"].iloc[:0]}, group_num=5)
    daily = result.group_daily_return
    assert daily.empty and list(daily.columns) == [1, 2, 3, 4, 5]
    assert result.rank_ic.empty and result.benchmark_summary().empty
    assert math.isnan(result.best_group) and result.plot_paths == {}


@pytest.mark.parametrize("kind, size", [("long", (15.5, 20.0, 145)), ("large", (21.5, 12.6, 165))])
@pytest.mark.parametrize("names", [["000852"], list(CODES)])
def test_figures_per_benchmark(market, tmp_path, kind, size, names):
    path = tmp_path / "momentum.png"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = run(
            market,
            group_num=5,
            benchmark_names=names,
            plot_image_kind=kind,
            plot_save_path=path,
            factor_name="动量因子",
        )
    assert not [w for w in caught if "missing from" in str(w.message)]
    want = {c: str(tmp_path / f"momentum_{c}.png") for c in names}
    want = {names[0]: str(path)} if len(names) == 1 else want
    assert {k: v["primary"] for k, v in result.plot_paths.items()} == want
    w, h, dpi = size
    for file in want.values():
        with Image.open(file) as image:
            assert image.format == "PNG" and image.size == (int(w * dpi), int(h * dpi))
