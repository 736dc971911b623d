"""Backtesting for China A-share equities.

    import mirtaly
    mirtaly.configure(base_url, key, secret)   # the signed cloud client
    mirtaly.prepare_backtest_data()            # download or update the local data
    data = mirtaly.load_backtest_data()        # once; share it between backtests
    mirtaly.backtest(factor, data, start, end, output_dir, name)          # factor groups
    mirtaly.backtest_strategy(weights, data, start, end, output_dir, name)

These run on one process-wide :class:`mirtaly.backtest._service.BacktestService`
(:mod:`mirtaly.api`); the other modules here are the small SDK layer it runs on.
"""

# The subpackage is callable: mirtaly.backtest(...) is the factor group backtest.
from mirtaly import backtest
from mirtaly.api import (
    backtest_strategy,
    configure,
    load_backtest_data,
    prepare_backtest_data,
)

__version__ = "0.1.0"

__all__ = [
    "backtest",
    "backtest_strategy",
    "configure",
    "load_backtest_data",
    "prepare_backtest_data",
]
