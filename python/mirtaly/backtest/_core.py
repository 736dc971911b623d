"""The group backtest core and the helpers the strategy core shares with it."""

import math

import numpy as np
import pandas as pd

from mirtaly.backtest import _kernels

# _build_market_arrays(pnl_index, columns, can_buy_stock, cant_sell_stock, split_factor,
# dividend_factor, close_price, prev_close, buy_price, sell_price) -> dict of the eight
# aligned arrays: prices float64 with NaN where a date or stock is missing, permissions
# boolean (no data: no trading); views, not copies, where the labels form one contiguous
# run of a frame's. The alignment is native, shared with the group backtest core.
_build_market_arrays = _kernels.align_market


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

    Dates are read by the one date rule (``YYYYMMDD`` text or integers, ISO
    text, date objects). The argument is not modified.
    """
    out = frame.copy(deep=False)
    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        text = _kernels.yyyymmdd_labels(index)
        out.index = pd.DatetimeIndex(pd.to_datetime(text, format="%Y%m%d"), name=index.name)
    return out
