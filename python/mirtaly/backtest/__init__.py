"""Backtesting: prepared data, factor group backtests and strategy backtests.

The compiled modules (``_ravelin``, ``_prepare``, ``_service``) are imported on
demand, so importing this package loads none of them.
"""
