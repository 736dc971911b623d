"""Backtesting for China A-share equities.

    import mirtaly
    mirtaly.configure(base_url, key, secret)   # the signed cloud client
    mirtaly.prepare_backtest_data()            # download or update the local data
    data = mirtaly.load_backtest_data()        # once; share it between backtests
    mirtaly.backtest(factor, data, start, end, output_dir, name)          # factor groups
    mirtaly.backtest_strategy(weights, data, start, end, output_dir, name)
    mirtaly.backtest_many({name: factor, ...}, data, start, end, output_dir)   # all cores
    mirtaly.backtest_strategy_many({name: weights, ...}, data, start, end, output_dir)

These run on one process-wide :class:`mirtaly.backtest._service.BacktestService`
(:mod:`mirtaly.api`); :mod:`mirtaly.many` spreads many backtests over processes or a
Dask cluster; the other modules here are the small SDK layer it runs on.
"""

# The subpackage is callable: mirtaly.backtest(...) is the factor group backtest.
from mirtaly import backtest
from mirtaly.api import (
    backtest_strategy,
    configure,
    load_backtest_data,
    prepare_backtest_data,
)
from mirtaly.many import ManyResults, backtest_many, backtest_strategy_many

__version__ = "0.1.0"

__all__ = [
    "ManyResults",
    "backtest",
    "backtest_many",
    "backtest_strategy",
    "backtest_strategy_many",
    "configure",
    "load_backtest_data",
    "prepare_backtest_data",
]
