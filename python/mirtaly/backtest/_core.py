"""The group backtest core and the helpers the strategy core shares with it."""

import math
import os
from dataclasses import dataclass, field
from pathlib import Path

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


TRADING_DAYS_PER_YEAR = 252
# The benchmark indices of the prepared data; "all" and None mean these three.
BENCHMARK_CODES = ("000300", "000905", "000852")
_SUMMARY_COLUMNS = [
    "group",
    "benchmark_name",
    "annual_return",
    "benchmark_annual_return",
    "excess_annual_return",
    "excess_sharpe",
    "excess_max_dd",
]


@dataclass(eq=False)
class GroupBacktestCoreResult:
    """What ``run_alpha_vwap_backtest_core`` computed.

    ``group_daily_return``: trading dates x groups 1..N; ``group_cumulative_return``:
    1 plus the running sum of those returns; ``rank_ic``: by ranking date;
    ``best_group``: the group with the highest annualised excess return over the
    primary benchmark, NaN without data; ``plot_paths``: benchmark code ->
    {"primary": file path} of each figure drawn.
    """

    factor_name: str
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    best_group: float
    plot_paths: dict[str, dict[str, str]]
    summary: pd.DataFrame = field(repr=False)

    def benchmark_summary(self) -> pd.DataFrame:
        """One row per benchmark and group: the group's annual return, the benchmark's,
        the excess annual return, excess Sharpe ratio and excess maximum drawdown (annual
        figures as ratios: means of daily returns x 252; the drawdown is <= 0)."""
        return self.summary.copy()


def _benchmark_codes(benchmark_names, benchmark_dict) -> list[str]:
    if benchmark_names is None or (type(benchmark_names) is str and benchmark_names == "all"):
        return list(BENCHMARK_CODES)
    names = [benchmark_names] if type(benchmark_names) is str else benchmark_names
    if type(names) not in (list, tuple) or not all(type(n) is str for n in names):
        raise TypeError("benchmark_names must be a str, a list of str, 'all' or None")
    if not names:
        raise ValueError("benchmark_names 不能为空")
    for code in names:
        if code not in BENCHMARK_CODES and code not in benchmark_dict:
            raise ValueError(f"不支持的基准指数: {code}")
    return list(dict.fromkeys(names))


def _benchmark_returns(benchmark_dict, code, dates) -> pd.Series:
    # As the strategy pipeline joins its benchmark: gaps and infinities count as 0,
    # and a benchmark without data is flat.
    series = benchmark_dict.get(code)
    if series is None:
        return pd.Series(0.0, index=dates)
    values = pd.Series(series, dtype="float64").reindex(dates)
    return values.where(np.isfinite(values), 0.0)


def _summary_rows(daily: pd.DataFrame, benchmark: pd.Series, code: str) -> pd.DataFrame:
    excess = daily.sub(benchmark, axis=0)
    summed = excess.cumsum()
    return pd.DataFrame(
        {
            "group": daily.columns,
            "benchmark_name": code,
            "annual_return": daily.mean().to_numpy() * TRADING_DAYS_PER_YEAR,
            "benchmark_annual_return": benchmark.mean() * TRADING_DAYS_PER_YEAR,
            "excess_annual_return": excess.mean().to_numpy() * TRADING_DAYS_PER_YEAR,
            "excess_sharpe": [safe_sharpe(excess[g], periods=TRADING_DAYS_PER_YEAR) for g in daily],
            "excess_max_dd": (summed - summed.cummax()).min().to_numpy(),
        },
        columns=_SUMMARY_COLUMNS,
    )


def _best_group(rows: pd.DataFrame) -> float:
    excess = rows["excess_annual_return"]
    if excess.notna().any():
        return int(rows["group"].iloc[int(np.nanargmax(excess.to_numpy()))])
    return math.nan


def _figure_paths(plot_save_path, codes) -> dict[str, Path]:
    path = Path(plot_save_path)
    if len(codes) == 1:
        return {codes[0]: path}
    return {code: path.with_name(f"{path.stem}_{code}{path.suffix}") for code in codes}


def headline_stats(rank_ic: pd.Series, rows: pd.DataFrame) -> dict:
    """The figures a factor is judged by first, against one benchmark (``rows``: that
    benchmark's rows of the summary, groups in order): IC mean, IC IR (mean over
    standard deviation of the daily rank IC), the best group and the annual return of
    the top group minus that of the bottom one."""
    ic = rank_ic.dropna()
    ic_std = ic.std()
    annual = rows["annual_return"]
    return {
        "ic_mean": ic.mean(),
        "ic_ir": ic.mean() / ic_std if ic_std > 0 else math.nan,
        "best_group": _best_group(rows),
        "top_minus_bottom": annual.iloc[-1] - annual.iloc[0] if len(annual) else math.nan,
    }


def _draw_figures(result, benchmarks, rows, paths, plot_image_kind, plot_title):
    from mirtaly.backtest._ravelin import plot_group_backtest  # loads the plotting library

    daily = result.group_daily_return
    for code, path in paths.items():
        summary = rows[code]
        annual = pd.Series(summary["annual_return"].to_numpy(), index=daily.columns)
        plot_group_backtest(
            excess_cumulative=daily.sub(benchmarks[code], axis=0).cumsum(),
            annual_return=annual,
            benchmark_annual_return=float(summary["benchmark_annual_return"].iloc[0]),
            rank_ic=result.rank_ic,
            stats=headline_stats(result.rank_ic, summary),
            factor_name=result.factor_name,
            plot_title=plot_title,
            save_path=path,
            image_kind=plot_image_kind,
            benchmark_name=code,
        )
        result.plot_paths[code] = {"primary": str(path)}


def run_alpha_vwap_backtest_core(
    factor_matrix,
    *,
    industry_matrix=None,
    close_price_valid=None,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    benchmark_dict=None,
    forward_return_rank_cache=None,
    open_price=None,
    benchmark_names="000852",
    rolling_window=0,
    ascending=False,
    group_num=20,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    plot_image_kind="long",
    plot_save_path=None,
    factor_name="factor",
    plot_title=None,
) -> GroupBacktestCoreResult:
    """Factor group backtest with the A-share trading rules of the strategy simulation.

    Each date of ``factor_matrix`` that ``close_price`` also has, the stocks with a
    finite factor value (its rolling mean over ``rolling_window`` rows when that is
    above 1) and a ``close_price_valid`` of 1 are ranked, ties by their average rank,
    and cut into ``group_num`` groups of equal count: without ``ascending`` a larger
    value gives a larger group number. Each group holds its stocks at equal weight
    with ``total_money`` of its own and trades them on the next date at the VWAP
    prices, in lots of 200 shares, with the buy and sell permissions, splits,
    dividends, ``fee`` on both sides and ``rule_fee`` on sales: exactly the strategy
    simulation's rules, all groups in one pass. The rank IC of a date correlates the
    factor's rank with ``forward_return_rank_cache`` (derived from ``open_price``
    when there is no cache; NaN when there is neither).

    ``benchmark_names``: a code, a list of codes, "all" or None (all three); the first
    is the primary one, which picks ``best_group``. A benchmark's gaps count as 0 and
    a code missing from ``benchmark_dict`` as a flat benchmark. With
    ``plot_image_kind`` ("long" or "large") and ``plot_save_path`` given, one figure
    per benchmark is drawn (the code is added to the file name when there are
    several); ``plot_image_kind`` None computes numbers only.

    ``industry_matrix`` is accepted for the caller's convenience and not used: the
    groups are cut across the whole market, not within industries.
    """
    del industry_matrix  # accepted, not used by the grouping
    if benchmark_dict is None:
        benchmark_dict = {}
    elif type(benchmark_dict) is not dict:
        raise TypeError("benchmark_dict must be a dict or None")
    for name, value in (("factor_name", factor_name), ("plot_title", plot_title)):
        if type(value) is not str and not (name == "plot_title" and value is None):
            raise TypeError(f"{name} must be a str")
    if plot_image_kind is not None and type(plot_image_kind) is not str:
        raise TypeError("plot_image_kind must be a str or None")
    if plot_save_path is not None and not isinstance(plot_save_path, (str, os.PathLike)):
        raise TypeError("plot_save_path must be a str, a path or None")
    codes = _benchmark_codes(benchmark_names, benchmark_dict)

    daily, rank_ic = _kernels.group_backtest(
        factor_matrix,
        close_price_valid,
        forward_return_rank_cache,
        open_price,
        can_buy_stock,
        cant_sell_stock,
        split_factor,
        dividend_factor,
        close_price,
        prev_close,
        buy_price,
        sell_price,
        rolling_window=rolling_window,
        ascending=ascending,
        group_num=group_num,
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
    )
    benchmarks = {code: _benchmark_returns(benchmark_dict, code, daily.index) for code in codes}
    rows = {code: _summary_rows(daily, benchmarks[code], code) for code in codes}
    traded = len(daily) > 0
    result = GroupBacktestCoreResult(
        factor_name=factor_name,
        group_daily_return=daily,
        group_cumulative_return=daily.cumsum() + 1.0,
        rank_ic=rank_ic,
        best_group=_best_group(rows[codes[0]]) if traded else math.nan,
        plot_paths={},
        summary=(
            pd.concat(rows.values(), ignore_index=True)
            if traded
            else pd.DataFrame(columns=_SUMMARY_COLUMNS)
        ),
    )
    if plot_image_kind is not None and plot_save_path is not None and traded:
        paths = _figure_paths(plot_save_path, codes)
        _draw_figures(result, benchmarks, rows, paths, plot_image_kind, plot_title)
    return result
