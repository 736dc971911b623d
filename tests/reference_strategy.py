"""A plain numpy strategy simulation: the oracle for the compiled core and its benchmark baseline.

Kept deliberately literal, one vectorised step per trading day, so that it is easy to check
by eye against the algorithm it models.
"""

import math

import numpy as np
import pandas as pd
from mirtaly.backtest._ravelin import (
    TRADING_DAYS_PER_YEAR,
    _build_total_backtesting_frame,
    calc_strategy_stats,
)

from mirtaly.backtest._core import _build_market_arrays, safe_sharpe

# The market frames, in the order the simulation takes them after the weights.
MARKET_KEYS = (
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)
_FRAME_ARGS = ("signal_matrix", *MARKET_KEYS)


def _number(name, value, kind):
    # Text such as "1e6" is refused even though float() would parse it.
    if value is None or isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    return kind(value)


def reference_vwap_daily_return(
    signal_matrix,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    lot_size=200,
):
    frames = (
        signal_matrix,
        can_buy_stock,
        cant_sell_stock,
        split_factor,
        dividend_factor,
        close_price,
        prev_close,
        buy_price,
        sell_price,
    )
    for name, frame in zip(_FRAME_ARGS, frames, strict=True):
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"{name} must be a DataFrame, got {type(frame).__name__}")
    total_money = _number("total_money", total_money, float)
    fee = _number("fee", fee, float)
    rule_fee = _number("rule_fee", rule_fee, float)
    lot_size = _number("lot_size", lot_size, int)

    # Today's position comes from yesterday's signal.
    signal = signal_matrix.shift(1).dropna(how="all")
    if signal.empty:
        return pd.Series(dtype=np.float64)
    pnl_index = signal.index
    columns = signal.columns
    market = _build_market_arrays(
        pnl_index,
        columns,
        can_buy_stock,
        cant_sell_stock,
        split_factor,
        dividend_factor,
        close_price,
        prev_close,
        buy_price,
        sell_price,
    )
    prev_close_arr = market["prev_close_arr"]
    can_buy_arr = market["can_buy_arr"]
    cant_sell_arr = market["cant_sell_arr"]
    close_arr = market["close_arr"]
    buy_price_arr = market["buy_price_arr"]
    sell_price_arr = market["sell_price_arr"]
    split_arr = market["split_arr"]
    dividend_arr = market["dividend_arr"]

    signal_arr = signal.to_numpy(dtype=float, copy=False)
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = (total_money * signal_arr) / (prev_close_arr * lot_size)
        valid = np.isfinite(signal_arr) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
        target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)

    n_days, n_stocks = signal_arr.shape
    real_target = np.zeros(n_stocks)
    daily_cash = np.zeros(n_days)
    for i in range(n_days):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
        sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
        hold = real_target - sell
        real_target = hold + real_buy

        close_row = close_arr[i]
        prev_close_row = prev_close_arr[i]
        split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
        dividend_eff = np.nan_to_num(dividend_arr[i], nan=0.0)
        buy_coeff = np.nan_to_num(close_row - buy_price_arr[i] * (1 + fee), nan=0.0)
        hold_coeff = np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0)
        sell_coeff = np.nan_to_num(
            split_eff * sell_price_arr[i] * (1 - fee - rule_fee) - prev_close_row, nan=0.0
        )
        daily_cash[i] = (
            (real_buy @ buy_coeff)
            + (hold @ hold_coeff)
            + (hold @ dividend_eff)
            + (sell @ sell_coeff)
            + (sell @ dividend_eff)
        )
    return pd.Series(daily_cash / total_money, index=pnl_index)


# The plain-pandas total frame and statistics.
EMPTY_STATS_KEYS = [
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
]


def ref_total_frame(total_backtesting):
    total = total_backtesting.dropna()
    if total.empty:
        return total
    total = total.copy()
    total["extra_daily_return"] = total["daily_return"] - total["index_daily_return"]
    nav = total["daily_return"].cumsum() + 1
    total["long"] = nav / nav.iloc[0]
    if "close" in total.columns:
        first_close = total["close"].iloc[0]
        if first_close != 0:
            total["close_net_value"] = total["close"] / first_close
        else:
            total["close_net_value"] = total["index_daily_return"].cumsum() + 1
    else:
        proxy = total["index_daily_return"].cumsum() + 1
        total["close"] = proxy
        total["close_net_value"] = proxy / proxy.iloc[0]
    total["max_drowdown"] = total["long"] - total["long"].expanding().max()
    cum = total["extra_daily_return"].cumsum()
    total["extra_return"] = cum - cum.iloc[0]
    extra_nav = total["extra_return"] + 1
    total["extra_max_drowdown"] = extra_nav - extra_nav.expanding().max()
    return total


def _clean(series):
    return series.replace([np.inf, -np.inf], np.nan).dropna()


def _win_rate(series):
    return float((series > 0).mean()) if len(series) else math.nan


def ref_stats(total_frame, signal_df):
    total = total_frame.dropna()
    if total.empty:
        return dict.fromkeys(EMPTY_STATS_KEYS, math.nan)
    years = len(total) / TRADING_DAYS_PER_YEAR
    strategy = _clean(total["daily_return"])
    benchmark = _clean(total["index_daily_return"])
    excess = _clean(total["extra_daily_return"])
    holding_count = turnover = math.nan
    if signal_df is not None and len(signal_df) >= 1:
        values = signal_df.to_numpy(dtype=float)
        holding_count = float(np.isfinite(values).sum(axis=1).mean())
        if len(values) > 1:
            filled = np.where(np.isnan(values), 0.0, values)
            turnover = float((np.abs(np.diff(filled, axis=0)).sum(axis=1) / 2).mean())
    return {
        "annual_return": (total["long"].iloc[-1] - 1) / years * 100,
        "long_sharp": safe_sharpe(strategy, periods=TRADING_DAYS_PER_YEAR),
        "max_dd": abs(total["max_drowdown"].min()),
        "benchmark_annual_return": (total["close_net_value"].iloc[-1] - 1) / years * 100,
        "benchmark_sharp": safe_sharpe(benchmark, periods=TRADING_DAYS_PER_YEAR),
        "extra_annual_return": total["extra_return"].iloc[-1] / years * 100,
        "extra_sharp": safe_sharpe(excess, periods=TRADING_DAYS_PER_YEAR),
        "extra_max_dd": abs(total["extra_max_drowdown"].min()),
        "return_corr": total["daily_return"].corr(total["index_daily_return"]),
        "win_rate": _win_rate(strategy),
        "excess_win_rate": _win_rate(excess),
        "holding_count": holding_count,
        "turnover": turnover,
    }


def reference_smooth(weights, window):
    """Rolling mean of the weights over full windows, through pandas' own machinery."""
    if window <= 1:
        return weights
    smoothed = weights.fillna(0.0).rolling(window).mean().dropna(how="all")
    return smoothed.where(smoothed != 0)


def reference_strategy_backtest(
    strategy_matrix,
    market,
    benchmark_dict=None,
    benchmark_names="000852",
    rolling_window=0,
    simulate=reference_vwap_daily_return,
    total_frame=_build_total_backtesting_frame,
    strategy_stats=calc_strategy_stats,
):
    """The strategy pipeline read step by step in pandas: (daily return, net value, stats,
    benchmark summary), or None for the empty result. The benchmark is summed from the
    first return date on."""
    close = market["close_price"]
    work = strategy_matrix.loc[strategy_matrix.index.intersection(close.index)]
    work = work.loc[:, work.columns.intersection(close.columns)].dropna(axis=1, how="all")
    work = reference_smooth(work, rolling_window)
    valid = work.dropna(how="all")
    if valid.empty:
        return None
    daily = simulate(work, *(market[k] for k in MARKET_KEYS))
    daily = daily[daily.index <= valid.index.max()]
    if daily.empty:
        return None
    df = pd.DataFrame({"daily_return": daily})
    if benchmark_dict is not None and benchmark_names in benchmark_dict:
        bm = benchmark_dict[benchmark_names].astype(float).replace([np.inf, -np.inf], np.nan)
        bm = bm.fillna(0.0)
        bm = bm[(bm.index >= df.index[0]) & (bm.index <= df.index[-1])]
        bench = pd.DataFrame({"close": bm.cumsum() + 1.0, "index_daily_return": bm})
        joined = pd.concat([df, bench], axis=1, join="inner")
    else:
        joined = df.assign(index_daily_return=0.0, close=1.0)
    if joined.empty:
        return None
    total = total_frame(joined)
    stats = strategy_stats(total, work)
    rows = []
    for name, series in (benchmark_dict or {}).items():
        aligned = series.reindex(total.index).dropna()
        common = total.index.intersection(aligned.index)
        if common.empty:
            continue
        excess = total.loc[common, "daily_return"] - aligned.loc[common]
        summed = excess.cumsum()
        rows.append(
            {
                "benchmark_name": name,
                "benchmark_annual_return": aligned.loc[common].mean() * TRADING_DAYS_PER_YEAR,
                "excess_annual_return": excess.mean() * TRADING_DAYS_PER_YEAR,
                "excess_sharpe": safe_sharpe(excess, periods=TRADING_DAYS_PER_YEAR),
                "excess_max_dd": (summed - summed.cummax()).min(),
            }
        )
    return total["daily_return"], total["long"], stats, pd.DataFrame(rows)
