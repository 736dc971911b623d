"""The group backtest core's helpers shared with the strategy core."""

import math
import pickle

import numpy as np
import pandas as pd
import pytest

from mirtaly.backtest._core import _build_market_arrays, _with_datetime_index, safe_sharpe
from mirtaly.backtest.result import BacktestData, StrategyBacktestResult

DATES = ["20240102", "20240103", "20240104"]
CODES = ["000001", "600000"]


def frame(values, index=DATES, columns=CODES):
    return pd.DataFrame(values, index=index, columns=columns)


class TestMarketArrays:
    def market(self):
        prices = frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
        flags = frame([[True, False], [True, True], [False, True]])
        return dict(
            can_buy_stock=flags,
            cant_sell_stock=~flags,
            split_factor=prices,
            dividend_factor=prices,
            close_price=prices,
            prev_close=prices,
            buy_price=prices,
            sell_price=prices,
        )

    def call(self, index, columns, m):
        return _build_market_arrays(
            index,
            columns,
            m["can_buy_stock"],
            m["cant_sell_stock"],
            m["split_factor"],
            m["dividend_factor"],
            m["close_price"],
            m["prev_close"],
            m["buy_price"],
            m["sell_price"],
        )

    def test_keys_shapes_dtypes(self):
        out = self.call(pd.Index(DATES), pd.Index(CODES), self.market())
        assert set(out) == {
            "prev_close_arr",
            "can_buy_arr",
            "cant_sell_arr",
            "close_arr",
            "buy_price_arr",
            "sell_price_arr",
            "split_arr",
            "dividend_arr",
        }
        for key, arr in out.items():
            assert arr.shape == (3, 2)
            assert arr.dtype == (bool if key in ("can_buy_arr", "cant_sell_arr") else np.float64)

    def test_missing_dates_and_stocks_cannot_trade(self):
        index = pd.Index(["20240103", "20240105"])  # 20240105 is unknown
        columns = pd.Index(["600000", "000002", "000001"])  # 000002 is unknown, order differs
        out = self.call(index, columns, self.market())
        np.testing.assert_array_equal(
            out["close_arr"], [[4.0, np.nan, 3.0], [np.nan, np.nan, np.nan]]
        )
        np.testing.assert_array_equal(
            out["can_buy_arr"], [[True, False, True], [False, False, False]]
        )
        np.testing.assert_array_equal(
            out["cant_sell_arr"], [[False, True, False], [True, True, True]]
        )

    def test_float_masks_with_nan_mean_no_data(self):
        m = self.market()
        m["can_buy_stock"] = frame([[1.0, np.nan], [0.0, 1.0], [1.0, 1.0]])
        m["cant_sell_stock"] = frame([[0.0, np.nan], [1.0, 0.0], [0.0, 0.0]])
        out = self.call(pd.Index(DATES), pd.Index(CODES), m)
        assert out["can_buy_arr"].tolist()[0] == [True, False]
        assert out["cant_sell_arr"].tolist()[0] == [False, True]

    def test_aligned_frames_are_not_copied_nor_modified(self):
        m = self.market()
        before = {k: v.copy() for k, v in m.items()}
        out = self.call(m["close_price"].index, m["close_price"].columns, m)
        assert np.shares_memory(out["close_arr"], m["close_price"].to_numpy())
        for k, v in m.items():
            pd.testing.assert_frame_equal(v, before[k])

    def test_contiguous_window_is_a_view_with_the_right_cells(self):
        m = self.market()
        out = self.call(pd.Index(DATES[1:]), pd.Index(CODES[1:]), m)
        assert np.shares_memory(out["close_arr"], m["close_price"].to_numpy())
        np.testing.assert_array_equal(out["close_arr"], [[4.0], [6.0]])
        np.testing.assert_array_equal(out["can_buy_arr"], [[True], [True]])
        np.testing.assert_array_equal(out["cant_sell_arr"], [[False], [False]])

    @pytest.mark.parametrize(
        "index",
        [
            ["20240102", "20240104"],  # a gap
            ["20240103", "20240102"],  # out of order
            ["20240104", "20240105"],  # runs past the end
        ],
    )
    def test_non_contiguous_windows_follow_the_labels(self, index):
        m = self.market()
        out = self.call(pd.Index(index), pd.Index(CODES), m)
        expected = m["close_price"].reindex(index=index).to_numpy()
        np.testing.assert_array_equal(out["close_arr"], expected)
        flags = m["can_buy_stock"].reindex(index=index, fill_value=False).to_numpy()
        np.testing.assert_array_equal(out["can_buy_arr"], flags)

    def test_duplicate_labels_are_refused_unless_the_axis_matches_exactly(self):
        m = self.market()
        dup = frame([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], index=[DATES[0], DATES[0], DATES[1]])
        m["close_price"] = dup
        same = self.call(dup.index, pd.Index(CODES), m)
        np.testing.assert_array_equal(same["close_arr"], dup.to_numpy())
        with pytest.raises(ValueError, match="duplicate labels"):
            self.call(pd.Index(DATES[:2]), pd.Index(CODES), m)


class TestSafeSharpe:
    def test_known_value(self):
        r = pd.Series([0.01, 0.02, -0.01, 0.03])
        expected = r.mean() / r.std(ddof=1) * math.sqrt(252)
        assert safe_sharpe(r, periods=252) == pytest.approx(expected, rel=1e-12)
        assert safe_sharpe(r) == pytest.approx(expected, rel=1e-12)
        assert safe_sharpe(r, periods=52) == pytest.approx(r.mean() / r.std() * math.sqrt(52))

    def test_non_finite_values_are_ignored(self):
        r = pd.Series([0.01, np.inf, 0.02, np.nan, -0.01])
        assert safe_sharpe(r) == pytest.approx(safe_sharpe(pd.Series([0.01, 0.02, -0.01])))

    @pytest.mark.parametrize(
        "bad",
        [
            pd.Series([], dtype=float),
            pd.Series([0.01]),
            pd.Series([0.01] * 30),
            pd.Series([np.nan, np.inf]),
            pd.Series(["a", "b"]),
            None,
        ],
    )
    def test_degenerate_inputs_give_nan_without_raising(self, bad):
        assert math.isnan(safe_sharpe(bad))


def test_with_datetime_index_keeps_rows_and_leaves_input_alone():
    df = pd.DataFrame({"a": [1.0, 2.0]}, index=pd.Index(["20240105", "20240108"]))
    out = _with_datetime_index(df)
    assert isinstance(out.index, pd.DatetimeIndex)
    assert list(out.index) == [pd.Timestamp("2024-01-05"), pd.Timestamp("2024-01-08")]
    assert out["a"].tolist() == [1.0, 2.0]
    assert list(df.index) == ["20240105", "20240108"]
    assert isinstance(_with_datetime_index(df.iloc[:0]).index, pd.DatetimeIndex)


def test_result_records_pickle():
    data = BacktestData(data={"close_price": frame([[1.0, 2.0]] * 3), "benchmark_dict": {}})
    again = pickle.loads(pickle.dumps(data))
    pd.testing.assert_frame_equal(again.data["close_price"], data.data["close_price"])
    res = StrategyBacktestResult(
        strategy_name="s",
        daily_return=pd.Series([0.1]),
        cumulative_return=pd.Series([1.0]),
        stats={"win_rate": 1.0},
        benchmark_summary=pd.DataFrame(),
        plot_paths={},
    )
    assert pickle.loads(pickle.dumps(res)).stats == {"win_rate": 1.0}
