"""The strategy simulation: VWAP fills, lot sizing, trading permissions, splits and dividends."""

import threading

import numpy as np
import pandas as pd
import pytest
from mirtaly.backtest._ravelin import calc_strategy_vwap_daily_return

from conftest import random_market
from mirtaly.backtest import _core, _ravelin
from reference_strategy import MARKET_KEYS, reference_vwap_daily_return

DATES = ["20240102", "20240103", "20240104", "20240105", "20240108"]
A, B = "000001", "600000"
CODES = [A, B]
# Small books with no fees, so that every expected value is a few shares times a price step.
PLAIN = {"total_money": 1e6, "fee": 0.0, "rule_fee": 0.0, "lot_size": 200}


def flat_market(dates=DATES, codes=CODES, price=10.0):
    """Every price at ``price``, no splits or dividends, everything tradable."""
    shape = (len(dates), len(codes))

    def full(value):
        return pd.DataFrame(np.full(shape, value), index=list(dates), columns=list(codes))

    return {
        "can_buy_stock": full(True),
        "cant_sell_stock": full(False),
        "split_factor": full(np.nan),
        "dividend_factor": full(np.nan),
        "close_price": full(price),
        "prev_close": full(price),
        "buy_price": full(price),
        "sell_price": full(price),
    }


def weights(rows, dates=DATES, codes=CODES):
    return pd.DataFrame(rows, index=list(dates[: len(rows)]), columns=list(codes), dtype=float)


def run(signal, market, **scalars):
    kwargs = PLAIN | scalars
    return calc_strategy_vwap_daily_return(signal, *(market[k] for k in MARKET_KEYS), **kwargs)


def reference(signal, market, **scalars):
    kwargs = PLAIN | scalars
    return reference_vwap_daily_return(signal, *(market[k] for k in MARKET_KEYS), **kwargs)


def expect(result, dates, values):
    assert isinstance(result, pd.Series)
    assert result.dtype == np.float64
    assert result.name is None
    assert list(result.index) == list(dates)
    np.testing.assert_allclose(result.to_numpy(), values, rtol=1e-12, atol=1e-15)


def assert_matches(result, expected):
    assert isinstance(result, pd.Series)
    assert result.dtype == np.float64
    assert result.name is None
    pd.testing.assert_index_equal(result.index, expected.index)
    # The absolute floor only absorbs summation order on days whose terms nearly cancel;
    # a single share mis-traded moves a day by orders of magnitude more.
    np.testing.assert_allclose(
        result.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-15, equal_nan=True
    )


class TestResultIndex:
    def test_single_row_signal_gives_empty_float_series(self):
        out = run(weights([[0.5, 0.5]]), flat_market())
        assert isinstance(out, pd.Series)
        assert out.empty and out.dtype == np.float64

    def test_signal_nan_but_for_its_last_row_gives_empty_float_series(self):
        signal = weights([[np.nan, np.nan], [np.nan, np.nan], [0.5, 0.5]])
        out = run(signal, flat_market())
        assert out.empty and out.dtype == np.float64

    def test_first_date_is_never_in_the_result(self):
        out = run(weights([[0.5, 0.5]] * 3), flat_market())
        expect(out, DATES[1:3], [0.0, 0.0])

    def test_date_after_an_all_nan_signal_row_is_absent_and_holdings_carry_over(self):
        signal = weights([[0.25, np.nan], [np.nan, np.nan]] + [[0.25, np.nan]] * 3)
        m = flat_market()
        m["close_price"].loc[DATES[2], A] = 50.0  # a skipped date must not count
        m["close_price"].loc[DATES[3], A] = 12.0
        # Buying again at 12 would earn nothing: the 0.05 is the carried 25000 shares.
        m["buy_price"].loc[DATES[3], A] = 12.0
        expect(run(signal, m), [DATES[1], DATES[3], DATES[4]], [0.0, 0.05, 0.0])

    def test_result_is_indexed_by_the_signal_dates_even_outside_the_market(self):
        signal = weights([[0.25, 0.25]] * 3, dates=["20231229", *DATES[:2]])
        # 20240102 has no market data at all: nothing trades there.
        m = flat_market(dates=DATES[1:])
        m["close_price"].loc[DATES[1], A] = 11.0
        expect(run(signal, m), DATES[:2], [0.0, 0.025])


class TestLotSizing:
    def test_whole_lots_from_previous_close(self):
        m = flat_market()
        m["close_price"].loc[DATES[1], A] = 11.0
        expect(run(weights([[0.25, 0.0]] * 3), m), DATES[1:3], [0.025, 0.0])

    def test_lots_round_down(self):
        m = flat_market()
        m["prev_close"].loc[DATES[1], A] = 10.5
        m["buy_price"].loc[DATES[1], A] = 10.5
        m["close_price"].loc[DATES[1], A] = 11.5
        # 250000 / 10.5 = 23809.5 shares -> 119 lots = 23800
        expect(run(weights([[0.25, 0.0]] * 2), m), DATES[1:2], [0.0238])

    def test_lot_size_one(self):
        m = flat_market()
        m["prev_close"].loc[DATES[1], A] = 10.5
        m["buy_price"].loc[DATES[1], A] = 10.5
        m["close_price"].loc[DATES[1], A] = 11.5
        out = run(weights([[0.25, 0.0]] * 2), m, lot_size=1)
        expect(out, DATES[1:2], [0.023809])

    def test_negative_weights_round_away_from_zero(self):
        m = flat_market()
        m["close_price"].loc[DATES[1]] = 9.0
        m["sell_price"].loc[DATES[1]] = 10.5
        m["prev_close"].loc[DATES[2]] = 9.0
        m["close_price"].loc[DATES[2]] = 8.0
        # A: -0.5 lot -> -1 lot (-200 shares); B: +0.5 lot -> nothing.
        signal = weights([[-0.001, 0.001]] * 3)
        # Day 1: short 200 sold at 10.5 and marked at 9: 200 * 1.5; day 2: 200 * 1.
        expect(run(signal, m), DATES[1:3], [0.0003, 0.0002])

    def test_negative_weight_lot_count(self):
        m = flat_market()
        m["prev_close"].loc[DATES[1], A] = 10.5
        m["sell_price"].loc[DATES[1], A] = 10.5
        # -250000 / 10.5 = -119.05 lots -> -120 lots = -24000 shares, earning 24000 * 0.5.
        expect(run(weights([[-0.25, 0.0]] * 2), m), DATES[1:2], [0.012])

    @pytest.mark.parametrize("prev", [np.nan, 0.0, -1.0])
    def test_unusable_previous_close_targets_nothing(self, prev):
        m = flat_market()
        m["prev_close"].loc[DATES[2], A] = prev
        m["can_buy_stock"].loc[DATES[3], A] = False
        m["close_price"].loc[DATES[3], A] = 11.0
        # The 25000 shares are sold on day 2 at 10 (a NaN previous close zeroes the term);
        # day 3 cannot buy, so its price rise earns nothing.
        sold = 0.0 if np.isnan(prev) else 25000 * (10.0 - prev) / 1e6
        expect(run(weights([[0.25, 0.0]] * 4), m), DATES[1:4], [0.0, sold, 0.0])

    def test_unusable_previous_close_with_selling_blocked_keeps_the_holding(self):
        m = flat_market()
        m["prev_close"].loc[DATES[2], A] = np.nan
        m["cant_sell_stock"].loc[DATES[2], A] = True
        m["can_buy_stock"].loc[DATES[3], A] = False
        m["close_price"].loc[DATES[3], A] = 11.0
        expect(run(weights([[0.25, 0.0]] * 4), m), DATES[1:4], [0.0, 0.0, 0.025])


class TestTradingPermissions:
    def test_blocked_buy_waits_until_buying_is_allowed(self):
        m = flat_market()
        m["can_buy_stock"].loc[DATES[1:3], A] = False
        m["close_price"].loc[DATES[1:3], A] = 11.0
        m["close_price"].loc[DATES[3], A] = 10.4
        m["close_price"].loc[DATES[4], A] = 10.8
        expect(run(weights([[0.25, 0.0]] * 5), m), DATES[1:], [0.0, 0.0, 0.01, 0.02])

    def test_blocked_buy_keeps_the_previous_holding(self):
        m = flat_market()
        m["can_buy_stock"].loc[DATES[2], A] = False
        m["close_price"].loc[DATES[2], A] = 10.5
        m["buy_price"].loc[DATES[3], A] = 10.2
        m["close_price"].loc[DATES[3], A] = 10.2
        # Target doubles on day 2 but only day 3 may buy the extra 25000 (at 10.2).
        signal = weights([[0.25, 0.0], [0.5, 0.0], [0.5, 0.0], [0.5, 0.0]])
        expect(run(signal, m), DATES[1:4], [0.0, 0.0125, 0.005])

    def test_blocked_sell_keeps_the_whole_holding(self):
        m = flat_market()
        m["cant_sell_stock"].loc[DATES[2:4], A] = True
        m["close_price"].loc[DATES[2], A] = 10.2
        m["close_price"].loc[DATES[3], A] = 9.8
        m["sell_price"].loc[DATES[4], A] = 10.1
        signal = weights([[0.25, 0.0], [0.0, 0.0], [np.nan, 0.0], [0.0, 0.0], [0.0, 0.0]])
        expect(run(signal, m), DATES[1:], [0.0, 0.005, -0.005, 0.0025])

    def test_partial_sell_blocked_then_allowed(self):
        m = flat_market()
        m["cant_sell_stock"].loc[DATES[2], A] = True
        m["close_price"].loc[DATES[2], A] = 10.4
        m["sell_price"].loc[DATES[3], A] = 10.5
        m["close_price"].loc[DATES[3], A] = 11.0
        # Day 2 wants 12400 shares but may not sell; day 3 wants 12600, so it sells 12400
        # of the 25000 at 10.5 and marks the other 12600 at 11.
        signal = weights([[0.25, 0.0], [0.125, 0.0], [0.126, 0.0], [0.126, 0.0]])
        expect(run(signal, m), DATES[1:4], [0.0, 0.01, 0.0188])

    def test_fees_on_both_sides(self):
        m = flat_market()
        m["close_price"].loc[DATES[1], A] = 11.0
        m["sell_price"].loc[DATES[2], A] = 10.2
        out = run(weights([[0.25, 0.0], [0.0, 0.0], [0.0, 0.0]]), m, fee=1e-4, rule_fee=5e-4)
        # Buy: 25000 * (11 - 10 * 1.0001); sell: 25000 * (10.2 * (1 - 0.0006) - 10).
        expect(out, DATES[1:3], [0.024975, 0.004847])


class TestCorporateActions:
    def test_split_leaves_carried_shares_flat_and_nan_split_counts_as_one(self):
        m = flat_market()
        m["split_factor"].loc[DATES[2], A] = 2.0
        m["close_price"].loc[DATES[2], A] = 5.0
        m["prev_close"].loc[DATES[3], A] = 5.0
        m["buy_price"].loc[DATES[3], A] = 5.0
        m["close_price"].loc[DATES[3], A] = 5.25
        # Day 3 targets 50000 at 5: buys 25000 (+0.25 each) and holds 25000 (+0.25 each).
        expect(run(weights([[0.25, 0.0]] * 4), m), DATES[1:4], [0.0, 0.0, 0.0125])

    def test_split_applies_to_shares_sold_that_day(self):
        m = flat_market()
        m["split_factor"].loc[DATES[2], A] = 2.0
        m["sell_price"].loc[DATES[2], A] = 5.5
        m["close_price"].loc[DATES[2], A] = 5.0
        signal = weights([[0.25, 0.0], [0.0, 0.0], [0.0, 0.0]])
        expect(run(signal, m), DATES[1:3], [0.0, 0.025])

    def test_dividends_for_held_and_sold_shares_only(self):
        m = flat_market()
        m["split_factor"].loc[DATES[1], A] = 2.0  # bought today: neither split...
        m["dividend_factor"].loc[DATES[1:3], A] = 0.3  # ...nor dividend
        m["close_price"].loc[DATES[1], A] = 10.2
        m["dividend_factor"].loc[DATES[4], A] = 0.3
        signal = weights([[0.25, 0.0], [0.5, 0.0], [0.5, 0.0], [0.0, 0.0], [0.0, 0.0]])
        # Day 2: 25000 held get 0.3, the 25000 bought that day nothing; day 3 NaN dividend;
        # day 4: the 50000 sold get 0.3.
        expect(run(signal, m), DATES[1:], [0.005, 0.0075, 0.0, 0.015])

    def test_zero_dividend_and_nan_split_change_nothing(self):
        m = flat_market()
        m["close_price"].loc[DATES[2], A] = 10.5
        m["dividend_factor"].loc[DATES[2], A] = 0.0
        m["split_factor"].loc[DATES[2], A] = np.nan
        expect(run(weights([[0.25, 0.0]] * 3), m), DATES[1:3], [0.0, 0.0125])


class TestMissingPrices:
    def test_nan_buy_price_earns_nothing_but_the_shares_are_held(self):
        m = flat_market()
        m["buy_price"].loc[DATES[1], A] = np.nan
        m["close_price"].loc[DATES[1:3], A] = 11.0
        m["buy_price"].loc[DATES[2], A] = 11.0  # buying again would earn nothing
        expect(run(weights([[0.25, 0.0]] * 3), m), DATES[1:3], [0.0, 0.025])

    def test_nan_close_zeroes_the_hold_term(self):
        m = flat_market()
        m["close_price"].loc[DATES[2], A] = np.nan
        m["close_price"].loc[DATES[2], B] = 10.1
        expect(run(weights([[0.25, 0.25]] * 3), m), DATES[1:3], [0.0, 0.0025])


class TestScalars:
    def test_defaults(self):
        m = flat_market()
        m["prev_close"].loc[DATES[1], A] = 10.5
        m["buy_price"].loc[DATES[1], A] = 10.5
        m["close_price"].loc[DATES[1], A] = 11.5
        signal = weights([[0.25, 0.0]] * 2)
        out = calc_strategy_vwap_daily_return(signal, *(m[k] for k in MARKET_KEYS))
        # 1e8 * 0.25 / 10.5 / 200 = 11904.76 lots; a buy fee of 1e-4 and no rule fee on buys.
        expect(out, DATES[1:2], [2380800 * (11.5 - 10.5 * 1.0001) / 1e8])

    @pytest.mark.parametrize(
        "scalars",
        [
            {"total_money": 1_000_000, "lot_size": 200.0},
            {"total_money": np.float64(1e6), "lot_size": np.int64(200)},
            {"total_money": np.int32(1_000_000), "fee": np.float32(0.0)},
        ],
    )
    def test_numeric_scalars_of_any_kind(self, scalars):
        signal, m = random_market(3, n_days=30, n_stocks=12)
        assert_matches(run(signal, m, **scalars), reference(signal, m))

    @pytest.mark.parametrize(
        "scalars",
        [
            {"total_money": "1e6"},
            {"total_money": None},
            {"total_money": [1e6]},
            {"fee": "0.0001"},
            {"fee": None},
            {"rule_fee": "x"},
            {"lot_size": "200"},
            {"lot_size": None},
        ],
    )
    def test_non_numeric_scalars_raise_type_error(self, scalars):
        with pytest.raises(TypeError):
            run(weights([[0.25, 0.0]] * 3), flat_market(), **scalars)

    @pytest.mark.parametrize(
        "position, value",
        [
            (0, np.full((3, 2), 0.25)),
            (0, None),
            (1, None),
            (2, {"000001": [False] * 5}),
            (5, pd.Series(10.0, index=DATES)),
            (6, np.full((5, 2), 10.0)),
            (8, None),
        ],
    )
    def test_frames_that_are_not_dataframes_raise_type_error(self, position, value):
        m = flat_market()
        args = [weights([[0.25, 0.0]] * 3), *(m[k] for k in MARKET_KEYS)]
        args[position] = value
        with pytest.raises(TypeError):
            calc_strategy_vwap_daily_return(*args, **PLAIN)


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(6))
    def test_random_long_only_markets(self, seed):
        signal, m = random_market(seed)
        assert_matches(run(signal, m), reference(signal, m))

    @pytest.mark.parametrize("seed", range(4))
    def test_random_long_short_markets_with_fees(self, seed):
        signal, m = random_market(100 + seed, long_short=True)
        scalars = {"total_money": 3e7, "fee": 3e-4, "rule_fee": 1e-3, "lot_size": 100}
        assert_matches(run(signal, m, **scalars), reference(signal, m, **scalars))

    def test_default_scalars(self):
        signal, m = random_market(7, n_days=120, n_stocks=60)
        frames = [m[k] for k in MARKET_KEYS]
        assert_matches(
            calc_strategy_vwap_daily_return(signal, *frames),
            reference_vwap_daily_return(signal, *frames),
        )

    def test_inputs_are_left_unchanged(self):
        signal, m = random_market(8)
        before = {k: v.copy(deep=True) for k, v in m.items()}
        signal_before = signal.copy(deep=True)
        run(signal, m)
        pd.testing.assert_frame_equal(signal, signal_before)
        for k in MARKET_KEYS:
            pd.testing.assert_frame_equal(m[k], before[k])


def c_order(frame):
    values = np.ascontiguousarray(frame.to_numpy())
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def strided(frame):
    """The frame as a date window of a longer column-major frame: a strided view."""
    pad = 3
    values = frame.to_numpy()
    filler = np.zeros((pad, values.shape[1]), dtype=values.dtype)
    taller = np.asfortranarray(np.vstack([filler, values]))
    dates = [f"2022{k:04d}" for k in range(pad)] + list(frame.index)
    return pd.DataFrame(taller, index=dates, columns=frame.columns, copy=False).iloc[pad:]


def superset(frame, rng):
    """The frame inside a larger one: extra dates between its own, its stocks shuffled
    among extra ones. Every label of the frame is there, so it is read in place."""
    dates = sorted([*frame.index, "20221230", "20991231", *(d + "b" for d in frame.index[::9])])
    codes = list(rng.permutation([*frame.columns, "688001", "300750"]))
    bogus = True if frame.dtypes.iloc[0].kind == "b" else 1e4
    wide = frame.reindex(index=dates, columns=codes)
    wide.loc[~wide.index.isin(frame.index), :] = bogus
    wide.loc[:, ["688001", "300750"]] = bogus
    return wide.astype(frame.dtypes.iloc[0])


LAYOUTS = {
    "row-major": lambda signal, m, rng: (c_order(signal), {k: c_order(v) for k, v in m.items()}),
    "weights over a row-major market": lambda signal, m, rng: (
        signal,
        {k: c_order(v) for k, v in m.items()},
    ),
    "strided windows": lambda signal, m, rng: (
        strided(signal),
        {k: strided(v) for k, v in m.items()},
    ),
    "read in place": lambda signal, m, rng: (signal, {k: superset(v, rng) for k, v in m.items()}),
}


# Days x stocks: band and group edges crossed, partial last tiles, one stock, one day.
SHAPES = {"90x70": (90, 70, 0), "600x13": (600, 13, 0), "one stock": (300, 4, 1)}
SHAPES |= {"one day": (40, 17, 2)}


@pytest.fixture(params=list(SHAPES), scope="module")
def shaped_case(request):
    """Weights and market over column-major arrays, and their simulated returns."""
    n_days, n_stocks, kind = SHAPES[request.param]
    signal, m = random_market(9, n_days=n_days, n_stocks=n_stocks, long_short=True)
    if kind == 1:
        signal, m = signal.iloc[:, 1:2], {k: v.iloc[:, 1:2] for k, v in m.items()}
    elif kind == 2:  # two weight rows: one day is simulated
        signal = signal.iloc[:2]
    signal.iloc[1::7] = np.nan  # days without weights, dropped in any layout
    frames = [
        pd.DataFrame(np.asfortranarray(f.to_numpy()), index=f.index, columns=f.columns)
        for f in (signal, *m.values())
    ]
    signal, m = frames[0], dict(zip(m, frames[1:], strict=True))
    want = run(signal, m, fee=3e-4)
    assert_matches(want, reference(signal, m, fee=3e-4))
    return signal, m, want


class TestLayoutsAndTileEdges:
    @pytest.mark.parametrize("layout", list(LAYOUTS))
    def test_layout_does_not_change_a_single_bit(self, shaped_case, layout):
        signal, m, want = shaped_case
        moved_signal, moved = LAYOUTS[layout](signal, m, np.random.default_rng(1))
        got = run(moved_signal, moved, fee=3e-4)
        pd.testing.assert_series_equal(got, want, rtol=0, atol=0)

    def test_a_replaced_market_builder_gives_the_same_bits(self, shaped_case, monkeypatch):
        # Frames are read in place only behind the native builder; a replacement is
        # called and its arrays used.
        signal, m, want = shaped_case
        calls = []

        def builder(*args):
            calls.append(args[0])
            return _core._build_market_arrays(*args)

        monkeypatch.setattr(_ravelin, "_build_market_arrays", builder)
        pd.testing.assert_series_equal(run(signal, m, fee=3e-4), want, rtol=0, atol=0)
        assert len(calls) == 1 and list(calls[0]) == list(want.index)


class TestLabelAlignment:
    def messy(self, m, rng):
        """The same market with shuffled columns, extra and missing dates and stocks.

        Extra dates and stocks carry tradable, wildly priced data: only labels may decide
        what lines up with the signal.
        """
        dates, codes = list(m["close_price"].index), list(m["close_price"].columns)
        all_dates = sorted({*dates, "20221229", "20221230", "20991231"} - set(dates[10:13]))
        all_codes = list(rng.permutation([c for c in codes if c not in codes[3:5]]))
        all_codes += ["688001", "300750"]
        out = {}
        for k, frame in m.items():
            bogus = {"can_buy_stock": True, "cant_sell_stock": False}.get(k, 1e4)
            wide = frame.reindex(index=all_dates, columns=all_codes)
            extra = ~wide.index.isin(dates)
            wide.loc[extra, :] = bogus
            wide.loc[:, ["688001", "300750"]] = bogus
            out[k] = wide.astype(frame.dtypes.iloc[0])
        return out

    @pytest.mark.parametrize("seed", range(3))
    def test_misaligned_frames_equal_aligned_ones(self, seed):
        signal, m = random_market(200 + seed)
        messy = self.messy(m, np.random.default_rng(seed))
        # What label alignment must produce: messy frames brought onto the signal's grid.
        aligned = {
            k: v.reindex(
                index=signal.index,
                columns=signal.columns,
                fill_value={"can_buy_stock": False, "cant_sell_stock": True}.get(k, np.nan),
            )
            for k, v in messy.items()
        }
        got = run(signal, messy)
        assert_matches(got, run(signal, aligned))
        assert_matches(got, reference(signal, messy))

    def test_missing_stock_cannot_be_bought_or_sold(self):
        m = flat_market()
        m = {k: v.drop(columns=[B]) for k, v in m.items()}
        m["close_price"].loc[DATES[1], A] = 11.0
        # B has no market data: no target (prev close NaN), no trades, no profit.
        expect(run(weights([[0.25, 0.5]] * 3), m), DATES[1:3], [0.025, 0.0])

    def test_column_order_of_market_frames_does_not_matter(self):
        signal, m = random_market(9)
        flipped = {k: v[v.columns[::-1]] for k, v in m.items()}
        assert_matches(run(signal, flipped), run(signal, m))


class TestConcurrency:
    def test_two_threads_at_once_give_correct_results(self):
        cases = [random_market(300 + k, n_days=250, n_stocks=300) for k in range(2)]
        expected = [reference(signal, m) for signal, m in cases]
        barrier = threading.Barrier(len(cases))
        results = [[] for _ in cases]
        errors = []

        def work(k):
            try:
                barrier.wait()
                for _ in range(5):
                    results[k].append(run(*cases[k]))
            except Exception as exc:  # surfaced below: a thread cannot fail the test itself
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(len(cases))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        for got, want in zip(results, expected, strict=True):
            assert len(got) == 5
            for out in got:
                assert_matches(out, want)
