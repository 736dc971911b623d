"""Backtesting: prepared data, factor group backtests and strategy backtests.

The compiled modules (``_ravelin``, ``_prepare``, ``_service``) are imported on
demand, so importing this package loads none of them.

The package is also callable: ``mirtaly.backtest(factor, data, ...)`` runs a
factor group backtest on the process-wide service (see :mod:`mirtaly.api`).
Importing a submodule binds this package as ``mirtaly.backtest``, so a plain
function of that name could not stay there.
"""

import sys
import types


class _CallablePackage(types.ModuleType):
    def __call__(self, factor, data, start_date, end_date, output_dir, plot_filename, **options):
        from mirtaly.api import backtest

        return backtest(factor, data, start_date, end_date, output_dir, plot_filename, **options)


sys.modules[__name__].__class__ = _CallablePackage
