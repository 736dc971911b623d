"""The market data client contract, and a client that answers it from memory.

The backtest builder reads all market data through the client installed with
:func:`mirtaly.singleton.set_instance`. Any object with the two calls of
:class:`MarketDataClient` will do; :class:`InMemoryMarketClient` answers them
from frames handed to it, for tests and for the offline sandbox market.
"""

from __future__ import annotations

import copy
import re
import threading
from collections.abc import Callable, Collection, Mapping, Sequence
from typing import Literal, NamedTuple, Protocol, runtime_checkable

import numpy as np
import pandas as pd

from mirtaly.backtest import _kernels
from mirtaly.exceptions import NetworkError

__all__ = [
    "INDEX_RETURN_COLUMNS",
    "InMemoryMarketClient",
    "MarketCall",
    "MarketDataClient",
    "exchange_ukey",
]

# Where an index-daily answer may carry its return, in the order a reader looks.
INDEX_RETURN_COLUMNS = ("daily_return", "return", "returns", "pct_change", "change_rate")


@runtime_checkable
class MarketDataClient(Protocol):
    """What the backtest builder asks of the factor service.

    Both calls take keyword arguments only.

    ``get_factors(factor=..., start_date=..., end_date=...)``
        ``factor`` is one factor name (``str``) or a list of names; the dates
        are ``YYYY-MM-DD`` strings. The answer is ``None``, an empty DataFrame,
        or a DataFrame in one of two layouts:

        - narrow: one row per (date, stock, factor) with columns ``ukey``,
          ``date`` or ``DataDate``, ``value``, and the factor's name in
          ``factor`` or ``factor_name`` (that column may be missing when one
          factor was asked for);
        - wide: columns ``ukey``, ``date`` or ``DataDate``, and one column per
          requested factor holding its values.

        ``ukey`` is any stock key whose text starts with the 6-digit code
        ("000001.XSHE"); dates are in any form the date rule reads (see
        ``mirtaly.backtest._store.normalize_yyyymmdd``); values may be
        text. Rows outside the range, duplicates and other securities may occur.

    ``get_index_daily(ukeys=..., start_date=..., end_date=...)``
        ``ukeys`` is a list of suffixed index codes ("000300.XSHG"); the dates
        are ``YYYYMMDD`` strings. The answer is ``None``, an empty DataFrame, or
        a DataFrame with a ``date`` or ``DataDate`` column, optionally ``ukey``
        (the index code of each row), and the daily return as a fraction in one
        of :data:`INDEX_RETURN_COLUMNS`, or else a ``close`` column.

    Transport failures are raised as :class:`mirtaly.exceptions.NetworkError`;
    the builder falls back to one query per factor when a batch query raises it.
    """

    def get_factors(
        self, *, factor: str | list[str], start_date: str, end_date: str
    ) -> pd.DataFrame | None: ...

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str, end_date: str
    ) -> pd.DataFrame | None: ...


class MarketCall(NamedTuple):
    """One call an :class:`InMemoryMarketClient` received, with its keyword arguments."""

    method: str
    kwargs: dict


def exchange_ukey(code: str) -> str:
    """The suffixed key of a 6-digit A-share code: "600000" -> "600000.XSHG".

    Shanghai codes (5, 6, 7, 9 first, except the Beijing 92 range) get
    ".XSHG", Shenzhen codes (0 to 3 first) ".XSHE", Beijing codes (4, 8 or 92
    first) ".BJSE".
    """
    if not isinstance(code, str) or not _SIX_DIGITS.fullmatch(code):
        raise ValueError(f"stock code must be 6 digits, got {code!r}")
    if code.startswith(("4", "8", "92")):
        return code + ".BJSE"
    if code[0] in "5679":
        return code + ".XSHG"
    return code + ".XSHE"


_SIX_DIGITS = re.compile(r"\d{6}")
_QUERY_DATE = re.compile(r"\d{8}|\d{4}-\d{2}-\d{2}")
# Working column of the stored long tables; never shown to a caller.
_DATE = "_date"

Layout = Literal["narrow", "wide"]


class InMemoryMarketClient:
    """A market data client that answers from frames held in memory.

    ``factors`` maps a factor name to either a wide matrix (index: dates,
    columns: 6-digit stock codes; NaN cells are no data) or a ready long frame
    (columns ``ukey``, ``date`` or ``DataDate``, and ``value`` or a column
    named after the factor; when it has a ``factor``/``factor_name`` column,
    only the rows of this factor are kept). ``index_daily`` maps a suffixed
    index code to a Series indexed by date, or a frame with a date column (or
    date index) and value columns such as ``daily_return`` or ``close``.
    Dates may be ``YYYYMMDD`` text or integers, ISO text, or datetimes.

    Options shape the answers:

    - ``layout``: "narrow" or "wide" answers to ``get_factors``.
    - ``date_column``: "date" or "DataDate".
    - ``date_format``: ``strftime`` format of answered dates, or ``None`` for
      datetime64 values.
    - ``name_column``: "factor", "factor_name", or ``None`` to leave the name
      out of narrow answers (the contract allows that only for one factor).
    - ``ukey_style``: how a wide matrix's codes become ``ukey``: "suffix"
      ("000001.XSHE", see :func:`exchange_ukey`), "plain" ("000001"), or a
      function of the code. Ready long frames keep their ``ukey`` text.
    - ``index_value_column``: the column a Series of index data is answered
      under: one of :data:`INDEX_RETURN_COLUMNS`, or "close" for closes.
    - ``index_ukey_column``: whether index answers carry ``ukey``.
    - ``empty_as``: what a query without rows gets (unknown names, nothing in
      the range): "frame" (an empty DataFrame with the layout's columns) or
      "none".
    - ``fail_batch``: list queries to ``get_factors`` raise ``NetworkError``.
    - ``failing_factors``: names whose queries, single or batch, raise it.

    Query dates are ``YYYY-MM-DD`` or ``YYYYMMDD`` text in either call, or
    ``None`` for an open end; both ends are inclusive. Every call, failed ones
    included, is appended to :attr:`calls` before it is answered.
    """

    def __init__(
        self,
        factors: Mapping[str, pd.DataFrame] | None = None,
        index_daily: Mapping[str, pd.Series | pd.DataFrame] | None = None,
        *,
        layout: Layout = "narrow",
        date_column: Literal["date", "DataDate"] = "date",
        date_format: str | None = "%Y-%m-%d",
        name_column: Literal["factor", "factor_name"] | None = "factor",
        ukey_style: Literal["suffix", "plain"] | Callable[[str], str] = "suffix",
        index_value_column: str = "daily_return",
        index_ukey_column: bool = True,
        empty_as: Literal["frame", "none"] = "frame",
        fail_batch: bool = False,
        failing_factors: Collection[str] = (),
    ):
        _check_choice("layout", layout, ("narrow", "wide"))
        _check_choice("date_column", date_column, ("date", "DataDate"))
        _check_choice("name_column", name_column, ("factor", "factor_name", None))
        _check_choice("index_value_column", index_value_column, (*INDEX_RETURN_COLUMNS, "close"))
        _check_choice("empty_as", empty_as, ("frame", "none"))
        if date_format is not None and not isinstance(date_format, str):
            raise TypeError("date_format must be a strftime format or None")
        if callable(ukey_style):
            self._ukey = ukey_style
        elif ukey_style == "suffix":
            self._ukey = exchange_ukey
        elif ukey_style == "plain":
            self._ukey = _plain_code
        else:
            raise ValueError(
                f"ukey_style must be 'suffix', 'plain' or a function, got {ukey_style!r}"
            )
        if isinstance(failing_factors, str):
            failing_factors = (failing_factors,)

        self.layout = layout
        self.date_column = date_column
        self.date_format = date_format
        self.name_column = name_column
        self.index_value_column = index_value_column
        self.index_ukey_column = bool(index_ukey_column)
        self.empty_as = empty_as
        self.fail_batch = bool(fail_batch)
        self.failing_factors = frozenset(failing_factors)
        self.calls: list[MarketCall] = []
        self._calls_lock = threading.Lock()
        self._factors: dict[str, pd.DataFrame | _WideFactor] = {}
        self._index: dict[str, pd.DataFrame] = {}
        for name, frame in (factors or {}).items():
            self.add_factor(name, frame)
        for code, data in (index_daily or {}).items():
            self.add_index(code, data)

    # -- data ---------------------------------------------------------------

    def add_factor(self, name: str, data: pd.DataFrame, *, copy: bool = True) -> None:
        """Adds or replaces the data of factor ``name``.

        A wide matrix is copied unless ``copy`` is false, when the caller
        promises not to change it while the client answers from it.
        """
        if not isinstance(name, str):
            raise TypeError(f"factor name must be str, got {type(name).__name__}")
        if not isinstance(data, pd.DataFrame):
            raise TypeError(f"factor {name!r}: data must be a DataFrame")
        if "ukey" in data.columns:
            self._factors[name] = self._long_from_ready(name, data)
        else:
            self._factors[name] = self._wide_from_matrix(data, copy)

    def add_index(self, code: str, data: pd.Series | pd.DataFrame) -> None:
        """Adds or replaces the daily data of the index with suffixed ``code``."""
        if not isinstance(code, str):
            raise TypeError(f"index code must be str, got {type(code).__name__}")
        if isinstance(data, pd.Series):
            frame = pd.DataFrame(
                {_DATE: _parse_dates(data.index), self.index_value_column: data.to_numpy()}
            )
        elif isinstance(data, pd.DataFrame):
            date_col = _date_column_of(data)
            dates = data.index if date_col is None else data[date_col]
            values = data.drop(columns=[c for c in (date_col, "ukey") if c in data.columns])
            frame = values.reset_index(drop=True)
            frame.insert(0, _DATE, _parse_dates(dates))
        else:
            raise TypeError(f"index {code!r}: data must be a Series or DataFrame")
        self._index[code] = frame

    def _long_from_ready(self, name: str, data: pd.DataFrame) -> pd.DataFrame:
        date_col = _date_column_of(data)
        if date_col is None:
            raise ValueError(f"factor {name!r}: a long frame needs a 'date' or 'DataDate' column")
        value_col = "value" if "value" in data.columns else name
        if value_col not in data.columns:
            raise ValueError(f"factor {name!r}: a long frame needs a 'value' or {name!r} column")
        for name_col in ("factor", "factor_name"):
            if name_col in data.columns:
                data = data[data[name_col].astype(str) == name]
        return pd.DataFrame(
            {
                "ukey": data["ukey"].astype(str).to_numpy(),
                _DATE: _parse_dates(data[date_col]),
                "value": data[value_col].to_numpy(),
            }
        )

    def _wide_from_matrix(self, data: pd.DataFrame, copy: bool) -> _WideFactor:
        ukeys = np.asarray(
            [self._ukey(code) for code in _kernels.stock_codes(data.columns)], dtype=object
        )
        return _WideFactor(_parse_dates(data.index), ukeys, data.to_numpy(copy=copy))

    # -- the contract --------------------------------------------------------

    def get_factors(
        self, *, factor: str | list[str], start_date: str | None, end_date: str | None
    ) -> pd.DataFrame | None:
        """Answers a factor query; see :class:`MarketDataClient`."""
        self._record("get_factors", factor=factor, start_date=start_date, end_date=end_date)
        batch = not isinstance(factor, str)
        names = _name_list("factor", factor)
        start, end = _query_date("start_date", start_date), _query_date("end_date", end_date)
        if batch and self.fail_batch:
            raise NetworkError(f"batch factor query failed: {names}", status=503)
        failing = [n for n in names if n in self.failing_factors]
        if failing:
            raise NetworkError(f"factor query failed: {failing}", status=503)

        parts = {}
        for name in names:
            stored = self._factors.get(name)
            if stored is not None:
                if isinstance(stored, _WideFactor):
                    rows = stored.rows(start, end)
                else:
                    rows = stored[_in_range(stored[_DATE], start, end)]
                if len(rows):
                    parts[name] = rows
        if self.layout == "wide":
            columns = ["ukey", _DATE, *names]
            frame = _wide(parts) if parts else None
        else:
            columns = ["ukey", _DATE, "value"] + ([self.name_column] if self.name_column else [])
            frame = self._narrow(parts) if parts else None
        return self._answer(frame, columns)

    def get_index_daily(
        self, *, ukeys: list[str], start_date: str | None, end_date: str | None
    ) -> pd.DataFrame | None:
        """Answers an index-daily query; see :class:`MarketDataClient`."""
        self._record("get_index_daily", ukeys=ukeys, start_date=start_date, end_date=end_date)
        if isinstance(ukeys, str):
            raise TypeError("ukeys must be a list of index codes, not a single str")
        codes = _name_list("ukeys", ukeys)
        start, end = _query_date("start_date", start_date), _query_date("end_date", end_date)

        parts = []
        for code in codes:
            frame = self._index.get(code)
            if frame is None:
                continue
            rows = frame[_in_range(frame[_DATE], start, end)]
            if len(rows):
                if self.index_ukey_column:
                    rows = rows.copy()
                    rows.insert(0, "ukey", code)
                parts.append(rows)
        columns = (["ukey"] if self.index_ukey_column else []) + [_DATE, self.index_value_column]
        frame = pd.concat(parts, ignore_index=True) if parts else None
        return self._answer(frame, columns)

    def clear_calls(self) -> None:
        with self._calls_lock:
            self.calls.clear()

    # -- helpers ------------------------------------------------------------

    def _record(self, method: str, **kwargs) -> None:
        # Copies, so a caller that reuses its list cannot rewrite the history.
        with self._calls_lock:
            self.calls.append(MarketCall(method, {k: copy.copy(v) for k, v in kwargs.items()}))

    def _narrow(self, parts: dict[str, pd.DataFrame]) -> pd.DataFrame:
        frames = []
        for name, rows in parts.items():
            rows = rows.copy()
            if self.name_column:
                rows[self.name_column] = name
            frames.append(rows)
        return pd.concat(frames, ignore_index=True)

    def _answer(self, frame: pd.DataFrame | None, columns: list[str]) -> pd.DataFrame | None:
        if frame is None or frame.empty:
            if self.empty_as == "none":
                return None
            frame = pd.DataFrame({c: pd.Series(dtype=object) for c in columns})
            frame[_DATE] = pd.Series(dtype="datetime64[ns]")
        frame = frame.reset_index(drop=True)
        if self.date_format is not None:
            frame[_DATE] = frame[_DATE].dt.strftime(self.date_format)
        return frame.rename(columns={_DATE: self.date_column})


class _WideFactor:
    """A factor kept as its date x stock matrix; the long rows of a date range
    are made when asked, so a large market is not held twice as long tables."""

    __slots__ = ("dates", "ukeys", "values")

    def __init__(self, dates: pd.DatetimeIndex, ukeys: np.ndarray, values: np.ndarray):
        self.dates = dates
        self.ukeys = ukeys
        self.values = values

    def rows(self, start: pd.Timestamp | None, end: pd.Timestamp | None) -> pd.DataFrame:
        keep = _in_range(self.dates, start, end)
        values = self.values[keep].ravel()  # row-major: date by date, stock by stock
        # A real service has no rows for cells without data.
        present = ~pd.isna(values)
        n_dates, n_stocks = int(keep.sum()), len(self.ukeys)
        return pd.DataFrame(
            {
                "ukey": np.tile(self.ukeys, n_dates)[present],
                _DATE: np.repeat(self.dates[keep].to_numpy(), n_stocks)[present],
                "value": values[present],
            }
        )


def _wide(parts: dict[str, pd.DataFrame]) -> pd.DataFrame:
    frame = None
    for name, rows in parts.items():
        rows = rows.rename(columns={"value": name})
        frame = rows if frame is None else frame.merge(rows, on=["ukey", _DATE], how="outer")
    return frame.sort_values([_DATE, "ukey"], kind="stable")


def _check_choice(option: str, value, choices) -> None:
    if value not in choices:
        raise ValueError(f"{option} must be one of {list(choices)}, got {value!r}")


def _plain_code(code: str) -> str:
    return code


def _date_column_of(frame: pd.DataFrame) -> str | None:
    for name in ("date", "DataDate"):
        if name in frame.columns:
            return name
    return None


def _parse_dates(values) -> pd.DatetimeIndex:
    """Dates by the one date rule, at midnight."""
    text = _kernels.yyyymmdd_labels(values)
    return pd.DatetimeIndex(pd.to_datetime(text, format="%Y%m%d")).as_unit("ns")


def _query_date(argument: str, value) -> pd.Timestamp | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{argument} must be str or None, got {type(value).__name__}")
    # The service's two spellings only; the date itself is read by the one rule.
    if not _QUERY_DATE.fullmatch(value):
        raise ValueError(f"{argument} must be YYYY-MM-DD or YYYYMMDD, got {value!r}")
    return pd.Timestamp(_parse_dates([value])[0])


def _name_list(argument: str, value: str | Sequence[str]) -> list[str]:
    """The names of a query, each once, in the order given."""
    if isinstance(value, str):
        return [value]
    if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
        raise TypeError(f"{argument} must be a str or a list of str, got {value!r}")
    return list(dict.fromkeys(value))


def _in_range(dates: pd.Series | pd.Index, start: pd.Timestamp | None, end: pd.Timestamp | None):
    mask = np.ones(len(dates), dtype=bool)
    if start is not None:
        mask &= np.asarray(dates >= start)
    if end is not None:
        mask &= np.asarray(dates <= end)
    return mask
