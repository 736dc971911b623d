"""The compiled modules load on their own and bind what they promise."""

import subprocess
import sys
import threading

import pytest


def run_fresh(code: str) -> str:
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


@pytest.mark.parametrize("module", ["_ravelin", "_prepare", "_service"])
def test_each_module_imports_in_a_fresh_interpreter(module):
    out = run_fresh(
        f"import mirtaly.backtest.{module} as m, sys; "
        "print(sorted(n for n in sys.modules if n.startswith('mirtaly.backtest._')))"
    )
    assert f"mirtaly.backtest.{module}" in out


def test_service_and_prepare_leave_the_strategy_core_unloaded():
    out = run_fresh(
        "import sys, mirtaly.backtest._service, mirtaly.backtest._prepare; "
        "print('mirtaly.backtest._ravelin' in sys.modules, 'matplotlib' in sys.modules)"
    )
    assert out == "False False"


def test_ravelin_binds_core_helpers_and_constants():
    from mirtaly.backtest import _core, _ravelin

    assert _ravelin._build_market_arrays is _core._build_market_arrays
    assert _ravelin._with_datetime_index is _core._with_datetime_index
    assert _ravelin.safe_sharpe is _core.safe_sharpe
    assert (
        _ravelin.TRADING_DAYS_PER_YEAR,
        _ravelin.ROLLING_STABILITY_DAYS,
        _ravelin.MIN_ROLLING_STABILITY_DAYS,
    ) == (252, 60, 5)
    assert all(
        type(v) is int for v in (_ravelin.TRADING_DAYS_PER_YEAR, _ravelin.ROLLING_STABILITY_DAYS)
    )


def test_plot_lock_is_one_reentrant_lock():
    from mirtaly.backtest import _ravelin

    lock = _ravelin._MATPLOTLIB_PLOT_LOCK
    assert isinstance(lock, type(threading.RLock()))
    with lock, lock:  # re-entrant in the owning thread
        got = []
        t = threading.Thread(target=lambda: got.append(lock.acquire(timeout=0.05)))
        t.start()
        t.join()
        assert got == [False]  # and exclusive across threads
    # Loaded once: a second import gives the very same lock.
    import importlib

    assert importlib.import_module("mirtaly.backtest._ravelin")._MATPLOTLIB_PLOT_LOCK is lock


def test_prepare_and_service_bind_sdk_names():
    from mirtaly import exceptions, singleton
    from mirtaly.backtest import _prepare, _service, _store, result

    for name in (
        "BinaryPreparedDataStoreBase",
        "clean_matrix",
        "component_dataset_key",
        "normalize_yyyymmdd",
    ):
        assert getattr(_prepare, name) is getattr(_store, name)
    assert _prepare.NetworkError is exceptions.NetworkError
    assert _prepare.get_instance is singleton.get_instance
    assert _service.StrategyBacktestResult is result.StrategyBacktestResult
    assert _service.MirtalyError is exceptions.MirtalyError
