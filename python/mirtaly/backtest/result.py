"""Public data and result records of the backtest service."""

from dataclasses import dataclass, field
from typing import Any

import pandas as pd


# eq=False: field-wise == on DataFrames has no single truth value.
@dataclass(eq=False)
class BacktestData:
    """Prepared data loaded once and shared by many backtests.

    ``data`` maps each dataset key to a date x stock DataFrame and holds
    ``benchmark_dict`` (benchmark code -> daily return Series).
    """

    data: dict[str, Any]


@dataclass(eq=False)
class BacktestResult:
    """Result of a factor group backtest."""

    factor_name: str
    best_group: int
    group_daily_return: pd.DataFrame
    group_cumulative_return: pd.DataFrame
    rank_ic: pd.Series
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)


@dataclass(eq=False)
class StrategyBacktestResult:
    """Result of a strategy backtest."""

    strategy_name: str
    daily_return: pd.Series
    cumulative_return: pd.Series
    stats: dict[str, float]
    benchmark_summary: pd.DataFrame
    plot_paths: dict[str, str] = field(default_factory=dict)
