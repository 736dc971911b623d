"""The group backtest core and the helpers the strategy core shares with it."""

import math

import numpy as np
import pandas as pd

_FLOAT_KEYS = (
    ("split_arr", "split_factor"),
    ("dividend_arr", "dividend_factor"),
    ("close_arr", "close_price"),
    ("prev_close_arr", "prev_close"),
    ("buy_price_arr", "buy_price"),
    ("sell_price_arr", "sell_price"),
)


def _span(labels, wanted):
    """The slice of ``labels`` that equals ``wanted``, if there is one."""
    if labels.equals(wanted):
        return slice(None)
    if len(wanted) == 0 or not labels.is_unique:
        return None
    positions = labels.get_indexer(wanted)
    start = int(positions[0])
    if start < 0 or not np.array_equal(positions, np.arange(start, start + len(wanted))):
        return None
    return slice(start, start + len(wanted))


def _window(frame, index, columns):
    """Row and column slices that cut ``frame`` to ``index`` x ``columns``, or None.

    The usual call asks for the frame's own dates minus the first one: a view
    serves, where a reindex would copy every matrix.
    """
    rows = _span(frame.index, index)
    cols = _span(frame.columns, columns) if rows is not None else None
    return None if cols is None else (rows, cols)


def _aligned_float(frame, index, columns):
    if frame is None:
        return np.full((len(index), len(columns)), np.nan)
    window = _window(frame, index, columns)
    if window is not None:
        return frame.to_numpy(dtype=np.float64, copy=False)[window]
    return frame.reindex(index=index, columns=columns).to_numpy(dtype=np.float64, copy=False)


def _aligned_flag(frame, index, columns, missing: bool):
    """A permission mask; dates, stocks and cells without data get ``missing``."""
    if frame is None:
        return np.full((len(index), len(columns)), missing)
    window = _window(frame, index, columns)
    if all(dtype == np.bool_ for dtype in frame.dtypes):
        if window is not None:
            return frame.to_numpy(dtype=bool, copy=False)[window]
        frame = frame.reindex(index=index, columns=columns, fill_value=missing)
        return frame.to_numpy(dtype=bool, copy=False)
    # Float or object masks (1.0/0.0/NaN, True/False/None): NaN means no data.
    if window is None:
        frame = frame.reindex(index=index, columns=columns)
    values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    if window is not None:
        values = values[window]
    return np.where(np.isnan(values), missing, values != 0.0)


def _build_market_arrays(
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
):
    """Aligns the market frames to ``pnl_index`` x ``columns``.

    Prices are float64 with NaN where a date or stock is missing; a stock
    without data can neither be bought nor sold on that date. Frames that are
    already aligned come back as views, not copies.
    """
    pnl_index = pd.Index(pnl_index)
    columns = pd.Index(columns)
    frames = {
        "split_factor": split_factor,
        "dividend_factor": dividend_factor,
        "close_price": close_price,
        "prev_close": prev_close,
        "buy_price": buy_price,
        "sell_price": sell_price,
    }
    arrays = {
        "can_buy_arr": _aligned_flag(can_buy_stock, pnl_index, columns, missing=False),
        "cant_sell_arr": _aligned_flag(cant_sell_stock, pnl_index, columns, missing=True),
    }
    for key, name in _FLOAT_KEYS:
        arrays[key] = _aligned_float(frames[name], pnl_index, columns)
    return arrays


def safe_sharpe(returns, periods: int = 252) -> float:
    """Annualised Sharpe ratio (mean / sample std * sqrt(periods)) of the finite values.

    Never raises: fewer than two finite values, a zero deviation or anything
    that is not a series of numbers gives NaN.
    """
    try:
        values = np.asarray(returns, dtype=np.float64).ravel()
        values = values[np.isfinite(values)]
        if values.size < 2:
            return math.nan
        mean = float(values.mean())
        std = float(values.std(ddof=1))
        # A constant series can leave a rounding residue instead of an exact 0.
        if not math.isfinite(std) or std <= 1e-14 * max(1.0, abs(mean)):
            return math.nan
        return float(mean / std * math.sqrt(float(periods)))
    except Exception:
        return math.nan


def _with_datetime_index(frame):
    """A shallow copy of ``frame`` whose index is a DatetimeIndex.

    ``YYYYMMDD`` text (or integers) are read as such; other forms go through
    pandas' parser. The argument is not modified.
    """
    out = frame.copy(deep=False)
    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        text = index.astype(str)
        if len(text) and text.str.fullmatch(r"\d{8}").all():
            out.index = pd.DatetimeIndex(pd.to_datetime(text, format="%Y%m%d"), name=index.name)
        else:
            out.index = pd.DatetimeIndex(pd.to_datetime(text), name=index.name)
    return out
