"""The researcher's entry points: one process-wide backtest service over the
configured cloud client.

    import mirtaly
    mirtaly.configure("https://cloud.example", key="...", secret="...")
    mirtaly.prepare_backtest_data()
    data = mirtaly.load_backtest_data()
    result = mirtaly.backtest(factor, data, 20200101, 20241231, "out", "alpha1")

:func:`configure` sets the signed client the benchmark package is downloaded
with; the daily update reads the factor service installed with
:func:`mirtaly.singleton.set_instance`. Loading and backtests need neither.
"""

from __future__ import annotations

import threading

from mirtaly._http import HttpClient

__all__ = [
    "backtest",
    "backtest_strategy",
    "configure",
    "get_client",
    "get_service",
    "load_backtest_data",
    "prepare_backtest_data",
]

_lock = threading.Lock()
_client: HttpClient | None = None
_service = None


def configure(
    base_url: str | None = None,
    key: str | None = None,
    secret: str | None = None,
    *,
    client: HttpClient | None = None,
    timeout: float = 30.0,
    retries: int = 3,
) -> HttpClient:
    """Sets the process's cloud client: a ready ``client``, or one made from
    ``base_url``, ``key`` and ``secret``. The process-wide service is rebuilt
    over it; the client is returned."""
    if client is None:
        for name, value in (("base_url", base_url), ("key", key), ("secret", secret)):
            if not isinstance(value, str) or not value:
                raise TypeError(f"{name} must be a non-empty str, got {value!r}")
        client = HttpClient(base_url, key, secret, timeout=timeout, retries=retries)
    elif not isinstance(client, HttpClient):
        raise TypeError(f"client must be an HttpClient, got {type(client).__name__}")
    global _client, _service
    with _lock:
        _client, _service = client, None
    return client


def get_client() -> HttpClient | None:
    """The configured cloud client, or ``None``."""
    return _client


def get_service():
    """The process-wide ``BacktestService`` over the configured client."""
    global _service
    with _lock:
        if _service is None:
            from mirtaly.backtest._service import BacktestService

            _service = BacktestService(_client)
        return _service


def prepare_backtest_data() -> None:
    """Downloads, repairs and updates the local benchmark data up to today."""
    get_service().prepare_backtest_data()


def load_backtest_data():
    """The local benchmark data, read into memory once (``BacktestData``)."""
    return get_service().load_backtest_data()


def backtest(factor, data, start_date, end_date, output_dir, plot_filename, **options):
    """A factor group backtest (``BacktestResult``); options as ``BacktestService.backtest``."""
    return get_service().backtest(
        factor, data, start_date, end_date, output_dir, plot_filename, **options
    )


def backtest_strategy(strategy, data, start_date, end_date, output_dir, plot_filename, **options):
    """A strategy backtest of a target-weight matrix (``StrategyBacktestResult``);
    options as ``BacktestService.backtest_strategy``."""
    return get_service().backtest_strategy(
        strategy, data, start_date, end_date, output_dir, plot_filename, **options
    )
