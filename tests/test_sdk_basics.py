"""The small SDK modules: the client singleton, the logger and the exception types."""

import contextlib
import copy
import importlib
import io
import logging
import pickle

import pytest

import mirtaly.logger as logger_module
from mirtaly import singleton
from mirtaly.exceptions import MirtalyError, NetworkError
from mirtaly.logger import logger


class _Client:
    def __init__(self, name):
        self.name = name

    def get_factors(self, *, factor, start_date, end_date):
        return None

    def get_index_daily(self, *, ukeys, start_date, end_date):
        return None


@pytest.fixture
def no_client():
    """Starts without a client and puts back whatever was installed before."""
    previous = singleton.reset_instance()
    try:
        yield
    finally:
        singleton.set_instance(previous)


# --- singleton -------------------------------------------------------------------


class TestSingleton:
    def test_missing_client_is_a_clear_error(self, no_client):
        with pytest.raises(MirtalyError, match="set_instance"):
            singleton.get_instance()

    def test_install_swap_and_reset(self, no_client):
        first, second = _Client("first"), _Client("second")
        assert singleton.set_instance(first) is None
        assert singleton.get_instance() is first
        assert singleton.set_instance(second) is first
        assert singleton.get_instance() is second
        assert singleton.reset_instance() is second
        with pytest.raises(MirtalyError):
            singleton.get_instance()

    @pytest.mark.parametrize("missing", ["get_factors", "get_index_daily"])
    def test_rejects_a_client_without_both_calls(self, no_client, missing):
        class Partial(_Client):
            pass

        setattr(Partial, missing, None)
        with pytest.raises(TypeError, match=missing):
            singleton.set_instance(Partial("partial"))
        # The rejected object was not installed.
        with pytest.raises(MirtalyError):
            singleton.get_instance()

    def test_rejected_client_keeps_the_installed_one(self, no_client):
        good = _Client("good")
        singleton.set_instance(good)
        with pytest.raises(TypeError):
            singleton.set_instance(object())
        assert singleton.get_instance() is good


# --- logger ------------------------------------------------------------------------


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def collected():
    handler = _Collect()
    logger.addHandler(handler)
    try:
        yield handler.records
    finally:
        logger.removeHandler(handler)


@contextlib.contextmanager
def bare_root():
    """A root logger without handlers, as in a script that configured nothing.

    Used inside the test body: pytest puts its capture handlers on the root
    logger for the call phase, after fixtures ran.
    """
    root = logging.getLogger()
    saved = root.handlers[:]
    root.handlers.clear()
    try:
        yield root
    finally:
        root.handlers[:] = saved


class TestLogger:
    def test_named_mirtaly_and_shows_info(self):
        assert logger.name == "mirtaly"
        assert logger is logging.getLogger("mirtaly")
        assert logger.isEnabledFor(logging.INFO)
        assert not logger.isEnabledFor(logging.DEBUG)

    def test_format_arguments_reach_handlers_separately(self, collected):
        logger.info("数据集 %s: %d 行", "close_price", 250)
        (record,) = collected
        assert record.levelno == logging.INFO
        assert record.msg == "数据集 %s: %d 行"
        assert record.args == ("close_price", 250)
        assert record.getMessage() == "数据集 close_price: 250 行"

    def _default_handler(self):
        (handler,) = [h for h in logger.handlers if getattr(h, "_mirtaly_default", False)]
        return handler

    def test_default_handler_prints_when_nothing_is_configured(self):
        handler = self._default_handler()
        stream = io.StringIO()
        old = handler.setStream(stream)
        try:
            with bare_root():
                logger.info("loaded %d days", 3)
        finally:
            handler.setStream(old)
        assert stream.getvalue().rstrip().endswith("INFO mirtaly: loaded 3 days")

    def test_default_handler_is_quiet_once_the_root_logger_has_handlers(self):
        handler = self._default_handler()
        stream = io.StringIO()
        old = handler.setStream(stream)
        root_stream = io.StringIO()
        try:
            with bare_root() as root:
                root.addHandler(logging.StreamHandler(root_stream))
                logger.info("loaded %d days", 3)
        finally:
            handler.setStream(old)
        assert stream.getvalue() == ""
        assert root_stream.getvalue() == "loaded 3 days\n"

    def test_reload_does_not_add_a_second_handler(self):
        before = len(logger.handlers)
        importlib.reload(logger_module)
        assert logger_module.logger is logger
        assert len(logger.handlers) == before


# --- exceptions ----------------------------------------------------------------------


class TestExceptions:
    def test_hierarchy(self):
        assert issubclass(NetworkError, MirtalyError)
        assert issubclass(MirtalyError, Exception)
        error = NetworkError("HTTP 503", status=503, url="http://127.0.0.1/x")
        with pytest.raises(MirtalyError):
            raise error

    @pytest.mark.parametrize("clone", [lambda e: pickle.loads(pickle.dumps(e)), copy.copy])
    def test_network_error_round_trip(self, clone):
        error = NetworkError("HTTP 503 GET /v1/factors", status=503, url="http://127.0.0.1/v1")
        error.add_note("while reading close_price")
        again = clone(error)
        assert type(again) is NetworkError
        assert str(again) == "HTTP 503 GET /v1/factors"
        assert (again.status, again.url) == (503, "http://127.0.0.1/v1")
        assert again.__notes__ == ["while reading close_price"]

    def test_network_error_defaults(self):
        again = pickle.loads(pickle.dumps(NetworkError("refused")))
        assert (again.status, again.url) == (None, None)

    def test_mirtaly_error_pickles(self):
        again = pickle.loads(pickle.dumps(MirtalyError("本地数据损坏")))
        assert type(again) is MirtalyError and str(again) == "本地数据损坏"
