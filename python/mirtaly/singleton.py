"""The process's factor-service client.

The backtest builder asks for the client anew on every read, so a caller
installs it once (``set_instance``) and may swap it later.
"""

import threading

from mirtaly.exceptions import MirtalyError

_lock = threading.Lock()
_instance = None


def set_instance(client):
    """Installs ``client`` as the process's factor-service client; returns the previous one."""
    global _instance
    if client is not None:
        for name in ("get_factors", "get_index_daily"):
            if not callable(getattr(client, name, None)):
                raise TypeError(f"factor-service client lacks a callable {name}()")
    with _lock:
        previous, _instance = _instance, client
    return previous


def reset_instance():
    """Removes the installed client; returns it."""
    return set_instance(None)


def get_instance():
    """Returns the installed factor-service client."""
    client = _instance
    if client is None:
        raise MirtalyError(
            "mirtaly 因子服务客户端未初始化,请先调用 mirtaly.singleton.set_instance(client)"
        )
    return client
