"""Backtesting for China A-share equities.

The facade is :class:`mirtaly.backtest._service.BacktestService`; the modules
here are the small SDK layer it runs on.
"""

__version__ = "0.1.0"
