"""The factor group backtest request: checks, the keywords handed to the group core, the
universe, and the core's result as BacktestResult."""

import math
import pathlib
import types

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest import _core, _service
from mirtaly.backtest.result import BacktestData, BacktestResult

KEYWORDS = [
    *["factor_matrix", "industry_matrix", "close_price_valid", "can_buy_stock"],
    *["cant_sell_stock", "split_factor", "dividend_factor", "close_price", "prev_close"],
    *["buy_price", "sell_price", "benchmark_dict", "forward_return_rank_cache", "open_price"],
    *["benchmark_names", "rolling_window", "ascending", "group_num", "total_money", "fee"],
    *["rule_fee", "plot_image_kind", "plot_save_path", "factor_name", "plot_title"],
]


@pytest.fixture
def factor(loaded):
    close = loaded.data["close_price"]
    rng = np.random.default_rng(3)
    values = rng.normal(size=close.shape)
    return pd.DataFrame(values, index=close.index, columns=pd.Index(close.columns, name="alpha1"))


@pytest.fixture
def core_calls(monkeypatch):
    """Records what the service hands the group core, which still runs (without charts)."""
    calls, real = [], _core.run_alpha_vwap_backtest_core

    def spy(factor_matrix, **kwargs):
        calls.append({"factor_matrix": factor_matrix, **kwargs})
        return real(factor_matrix, **(kwargs | {"plot_image_kind": None}))

    monkeypatch.setattr(_core, "run_alpha_vwap_backtest_core", spy)
    return calls


def test_keywords_in_order_and_the_universe_on_validity_only(service, loaded, factor, core_calls):
    valid_before = loaded.data["close_price_valid"]
    kept = valid_before.copy()
    dates = factor.index
    result = service.backtest(
        factor, loaded, int(dates[3]), dates[40], "out", "mom",
        group_num=20.7, universe=" 000300 ", ascending=1, fee=0, rolling_window=2.5,
    )  # fmt: skip
    (kw,) = core_calls
    assert list(kw) == KEYWORDS
    assert list(kw["factor_matrix"].index) == list(dates[3:41])
    assert (kw["group_num"], kw["ascending"], kw["fee"], kw["rolling_window"]) == (20, True, 0.0, 2)
    assert type(kw["fee"]) is float and kw["benchmark_names"] == "000852"
    assert kw["industry_matrix"] is None and kw["forward_return_rank_cache"] is None
    assert kw["open_price"] is None
    assert kw["plot_save_path"] == str(pathlib.Path("out/mom.png"))
    assert (kw["plot_image_kind"], kw["factor_name"], kw["plot_title"]) == ("long", "alpha1", "mom")
    # Only validity is narrowed to the first half of the stocks (000300's members).
    members = kw["close_price_valid"].notna().to_numpy()
    half = members.shape[1] // 2
    assert not members[:, half:].any() and members[:, :half].any()
    window = service._slice_data(loaded.data, dates[3], dates[40])
    pd.testing.assert_frame_equal(kw["close_price"], window["close_price"])
    assert loaded.data["close_price_valid"] is valid_before
    pd.testing.assert_frame_equal(valid_before, kept)

    assert isinstance(result, BacktestResult) and result.factor_name == "alpha1"
    assert result.group_daily_return.shape[1] == 20 and result.plot_paths == {}
    assert isinstance(result.best_group, int)


@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"factor": None}, ValueError, "^因子宽表为空$"),
        ({"factor": "empty", "group_num": 1}, ValueError, "^因子宽表为空$"),
        ({"group_num": 1}, ValueError, r"^group_num 取值范围 \[2, 100\]$"),
        ({"group_num": 101}, ValueError, r"^group_num 取值范围 \[2, 100\]$"),
        ({"universe": "000300,000905"}, ValueError, "^不支持的选股范围: 000300,000905$"),
        ({"plot": None}, TypeError, "plot"),
        ({"plot_filename": 3}, TypeError, "plot_filename"),
        ({"output_dir": None}, TypeError, "output_dir"),
        ({"group_num": "20"}, TypeError, "group_num"),
        ({"total_money": None}, TypeError, "total_money"),
    ],
)
def test_checks(service, loaded, factor, core_calls, change, error, message):
    args = {"factor": factor, "output_dir": "out", "plot_filename": "f"} | change
    if isinstance(args["factor"], str):
        args["factor"] = factor.iloc[:0]
    with pytest.raises(error, match=message):
        service.backtest(data=loaded, start_date="20000101", end_date="20991231", **args)
    assert core_calls == []


@pytest.mark.parametrize("group_num", [2, 100])
def test_group_range_is_inclusive(service, loaded, factor, core_calls, group_num):
    service.backtest(factor, loaded, "20000101", "20991231", "o", "f", group_num=group_num)
    assert core_calls[0]["group_num"] == group_num


def test_missing_dataset_is_a_key_error(service, loaded, factor):
    data = BacktestData(data={k: v for k, v in loaded.data.items() if k != "sell_price"})
    with pytest.raises(KeyError, match="sell_price"):
        service.backtest(factor, data, "20000101", "20991231", "o", "f")


@pytest.mark.parametrize("name, want", [("alpha1", "alpha1"), (None, "factor"), (0, "factor")])
def test_factor_name(name, want):
    frame = pd.DataFrame([[1.0]], columns=pd.Index(["000001"], name=name))
    assert _service.BacktestService._factor_name(frame) == want


@pytest.mark.parametrize(
    "best, paths, want_best, want_paths",
    [
        (math.nan, None, -1, {}),
        (None, {}, -1, {}),
        (3.0, {"000852": {"primary": "a.png"}, "x": {}}, 3, {"000852": "a.png", "x": ""}),
    ],
)
def test_public_result(best, paths, want_best, want_paths):
    frame = pd.DataFrame({1: [0.1]})
    core = types.SimpleNamespace(
        best_group=best,
        plot_paths=paths,
        group_daily_return=frame,
        group_cumulative_return=frame,
        rank_ic=pd.Series([0.2]),
        benchmark_summary=lambda: pd.DataFrame({"group": [1]}),
    )
    result = _service.BacktestService._to_public_result(core, "f")
    assert (result.best_group, result.plot_paths, result.factor_name) == (
        want_best,
        want_paths,
        "f",
    )
    assert type(result.best_group) is int and result.group_daily_return is frame
    assert list(result.benchmark_summary["group"]) == [1]
    with pytest.raises(TypeError, match="factor_name"):
        _service.BacktestService._to_public_result(core, 1)
