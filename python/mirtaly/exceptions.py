"""Exception types of the SDK."""


class MirtalyError(Exception):
    """Broken or unusable prepared data, failed updates and other SDK failures."""


class NetworkError(MirtalyError):
    """A transport failure: connection refused, timeout, HTTP error status."""

    def __init__(self, message: str, *, status: int | None = None, url: str | None = None):
        super().__init__(message)
        self.status = status
        self.url = url

    def __reduce__(self):
        # The instance dict goes along as state so notes and any attributes a
        # caller attached survive the trip to a worker process.
        return (_rebuild_network_error, (str(self), self.status, self.url), self.__dict__ or None)


def _rebuild_network_error(message, status, url):
    return NetworkError(message, status=status, url=url)


class BacktestManyError(MirtalyError):
    """Some backtests of a many-backtest call failed; raised after all of them ran.

    ``errors`` maps each failed name to its exception; ``results`` and
    ``summary`` are what the call would have returned, failed entries holding
    their exception.
    """

    def __init__(self, message: str, *, errors: dict, results: dict, summary):
        super().__init__(message)
        self.errors = errors
        self.results = results
        self.summary = summary
