"""The SDK's logger: named "mirtaly", shows info lines by default."""

import logging
import sys


class _DefaultHandler(logging.StreamHandler):
    """Prints to stderr unless the application configured the root logger.

    Once the root logger has handlers, records reach them by propagation, so
    printing here as well would show every line twice.
    """

    def emit(self, record: logging.LogRecord) -> None:
        if logging.getLogger().handlers:
            return
        super().emit(record)


logger = logging.getLogger("mirtaly")
# Found by marker, not by class: reloading this module makes a new class, and
# an isinstance test would then add a second handler and print every line twice.
if not any(getattr(h, "_mirtaly_default", False) for h in logger.handlers):
    _handler = _DefaultHandler(sys.stderr)
    _handler._mirtaly_default = True
    _handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    logger.addHandler(_handler)
if logger.level == logging.NOTSET:
    logger.setLevel(logging.INFO)

__all__ = ["logger"]
