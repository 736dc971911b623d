"""A seeded synthetic A-share market on the Shanghai exchange's trading calendar.

:func:`generate_market` draws, with vectorised numpy, a market of 20 to 5000
stocks over any span of sessions up to today; the same arguments give the same
market. Prices follow market, sector and idiosyncratic factors, are quoted in
cents and stay inside the daily limit of their board (10 % on the main boards,
20 % for codes 300xxx and 688xxx) around the day's reference price: the
previous close, adjusted on an ex-date for the bonus shares and the cash
dividend, or the issue price on a listing day. Some days close at a limit, some
of them locked there all day; stocks are suspended for spells, some list
part-way through the span, and pay bonus shares and cash dividends.

Five indices pick their members by market value at the previous close, anew on
the first session of the span and of every June and December: the largest 6 %
of seasoned stocks for 000300, the next 10 % for 000905, the next 20 % for
000852, and two broad ones, 20-60 % for 399303 and 36-76 % for 932000. An index
holds its members weighted by market value at the previous close, counting only
members that trade that day, and its daily return is the weighted price return
of those members (a price index: a dividend lowers it).

What the factor service answers (:meth:`SandboxMarket.client`): one value per
stock and session, and no row where there is no value.

- ``Close``, ``Open``: close and open price (CNY), on trading days.
- ``limit_up``, ``limit_down``: the day's limit prices (CNY), on trading days.
- ``tick_vwap_price_925_1000``: volume-weighted price from 9:25 to 10:00
  (CNY), the price sells fill at; on trading days.
- ``tick_vwap_price_935_1005``: volume-weighted price from 9:35 to 10:05
  (CNY), the price buys fill at; on trading days.
- ``split_coefficient_to``: shares per 10 held after a bonus issue (13: ten
  shares become thirteen), on ex-dates.
- ``rq_get_dividend``: cash dividend before tax per 10 shares (CNY), on
  ex-dates.
- ``rq_is_suspended``: 1.0 on a day the stock trades and 0.0 on a day it is
  suspended, on listed days (the prepared data builder reads 1 as tradable).
- ``rq_industry_exposure_new``: the stock's industry, a number from 1 to 31,
  on listed days.
- ``rq_index_components_new_<suffixed index code>``: the member's weight in
  the index (positive, summing to 1 over the day's members), on the days it is
  a member and trades.

Index answers carry ``close`` (a level starting from 1000 before the first
session) and ``daily_return`` (a fraction) for the five suffixed codes in
:data:`INDEX_TIERS`.
"""

from __future__ import annotations

import functools
import hashlib
import warnings

import exchange_calendars
import numpy as np
import pandas as pd

from mirtaly.market import InMemoryMarketClient, exchange_ukey

MIN_STOCKS = 20
MAX_STOCKS = 5000

# Suffixed index code -> the band of size ranks (fractions of the seasoned stocks
# ranked by market value, largest first) that the index holds.
INDEX_TIERS: dict[str, tuple[float, float]] = {
    "000300.XSHG": (0.00, 0.06),
    "000905.XSHG": (0.06, 0.16),
    "000852.XSHG": (0.16, 0.36),
    "399303.XSHE": (0.20, 0.60),
    "932000.INDX": (0.36, 0.76),
}
COMPONENT_PREFIX = "rq_index_components_new_"

# Named sizes: stocks and sessions ending at the market's last day.
SIZES: dict[str, dict[str, int]] = {
    "tiny": {"n_stocks": 60, "sessions": 130},  # tests: a fraction of a second
    "small": {"n_stocks": 500, "sessions": 250},
    "demo": {"n_stocks": 1200, "sessions": 500},
    "full": {"n_stocks": 5000, "sessions": 2430},  # ten years
}

# Boards: first code, codes available, share of the stocks. Which limit a
# board has follows from its code (see _limit_of).
_BOARDS = ((1, 3999, 0.30), (300000, 1000, 0.20), (688000, 1000, 0.10))
_MAIN_SH = (600000, 6000)
_N_INDUSTRIES = 31
_NEW_LISTING_SHARE = 0.2
_SEASONING = 60  # sessions a new stock trades before an index may take it
_JUMP = 0.003  # chance a stock-day closes at its upper (and at its lower) limit
_LOCKED = 0.4  # share of those days locked at the limit from the open on
_SUSPEND = 0.0012  # chance a suspension spell starts on a stock-day
_DIVIDEND = 0.012  # chance of an ex-dividend date on a stock-day between May 15 and Jul 31
_SPLIT = 0.0003  # chance of a bonus issue on a stock-day
_SPLIT_RATIOS = np.array([1.2, 1.3, 1.5, 2.0])
_REVERSION = 0.003  # daily pull of the log price towards the stock's anchor
_CALENDAR_FIRST = pd.Timestamp("1999-01-04")  # the calendar's holidays are known from 1999


class SandboxMarket:
    """One generated market. Every matrix is a read-only (sessions x stocks)
    float64 array, rows in session order, columns in :attr:`codes` order, NaN
    where the stock has no value that day; :meth:`frame` wraps one in a
    DataFrame. See the module docstring for what the fields mean.

    Attributes: ``seed``, ``dates`` (DatetimeIndex of the sessions),
    ``date_labels`` (the same as ``YYYYMMDD`` text), ``codes`` (6-digit text),
    ``ukeys`` (suffixed keys, "600000.XSHG"), ``limit_pct``, ``industry``,
    ``listing`` (row of the first listed session, 0 also for stocks listed
    before the span), boolean matrices ``listed``, ``suspended``, ``locked_up``,
    ``locked_down``, price matrices ``close``, ``open``, ``prev_close`` (last
    close before the day, or the issue price on the listing day), ``reference``
    (``prev_close`` after the day's bonus shares and dividend: the base of the
    limits), ``limit_up``, ``limit_down``, ``vwap_925_1000``, ``vwap_935_1005``,
    ``split_ratio`` (shares per share held after a bonus issue), ``dividend``
    (cash per share before tax), ``shares`` (shares outstanding after the day),
    ``index_weights`` (suffixed index code -> weight matrix) and
    ``index_daily`` (DataFrame of ``daily_return`` per index code).
    """

    def __init__(self, seed: int, dates: pd.DatetimeIndex, codes: np.ndarray, **fields):
        self.seed = seed
        self.dates = dates
        self.date_labels = pd.Index(dates.strftime("%Y%m%d"), dtype=str)
        self.codes = pd.Index(codes, dtype=str)
        self.ukeys = [exchange_ukey(code) for code in self.codes]
        for name, value in fields.items():
            for array in value.values() if isinstance(value, dict) else [value]:
                if isinstance(array, np.ndarray):
                    array.flags.writeable = False
            setattr(self, name, value)

    def __repr__(self) -> str:
        return (
            f"SandboxMarket(seed={self.seed}, stocks={len(self.codes)}, "
            f"sessions={len(self.dates)}, {self.date_labels[0]}..{self.date_labels[-1]})"
        )

    def fingerprint(self) -> str:
        """SHA-256 over the market's dates, codes and every field: equal for equal markets."""
        digest = hashlib.sha256()
        digest.update("\n".join([*self.date_labels, *self.codes]).encode())
        for name, value in sorted(vars(self).items()):
            arrays = value.values() if isinstance(value, dict) else [value]
            for array in arrays:
                if isinstance(array, np.ndarray):
                    digest.update(name.encode())
                    digest.update(np.ascontiguousarray(array).view(np.uint8))
        digest.update(self.index_daily.to_numpy().tobytes())
        return digest.hexdigest()

    @property
    def shape(self) -> tuple[int, int]:
        return len(self.dates), len(self.codes)

    def frame(self, values: np.ndarray) -> pd.DataFrame:
        """A (sessions x stocks) array as a DataFrame indexed by ``YYYYMMDD`` text."""
        return pd.DataFrame(values, index=self.date_labels, columns=self.codes, copy=False)

    def factor_frames(self) -> dict[str, pd.DataFrame]:
        """The factor service's fields as date x stock matrices, in its units."""
        listed = np.where(self.listed, 1.0, np.nan)
        matrices = {
            "rq_industry_exposure_new": listed * self.industry,
            "limit_down": self.limit_down,
            "limit_up": self.limit_up,
            "Close": self.close,
            "Open": self.open,
            "tick_vwap_price_935_1005": self.vwap_935_1005,
            "tick_vwap_price_925_1000": self.vwap_925_1000,
            "split_coefficient_to": self.split_ratio * 10.0,
            "rq_get_dividend": self.dividend * 10.0,
            "rq_is_suspended": listed * np.where(self.suspended, 0.0, 1.0),
        }
        for code, weights in self.index_weights.items():
            matrices[COMPONENT_PREFIX + code] = weights
        return {name: self.frame(values) for name, values in matrices.items()}

    def index_frames(self) -> dict[str, pd.DataFrame]:
        """Suffixed index code -> daily ``close`` level and ``daily_return``."""
        out = {}
        for code in INDEX_TIERS:
            returns = self.index_daily[code].to_numpy()
            out[code] = pd.DataFrame(
                {"close": 1000.0 * np.cumprod(1.0 + returns), "daily_return": returns},
                index=self.date_labels,
            )
        return out

    def client(self, **options) -> InMemoryMarketClient:
        """A factor-service client answering from this market.

        ``options`` are those of :class:`mirtaly.market.InMemoryMarketClient`;
        dates are answered as datetime64 values unless ``date_format`` is given.
        """
        options.setdefault("date_format", None)
        client = InMemoryMarketClient(index_daily=self.index_frames(), **options)
        for name, frame in self.factor_frames().items():
            # The market's arrays are read-only: nothing can change them.
            client.add_factor(name, frame, copy=False)
        return client


# ---------------------------------------------------------------------------
# calendar
# ---------------------------------------------------------------------------


@functools.cache
def _calendar():
    with warnings.catch_warnings():
        # The calendar package still reads pandas in ways newer pandas deprecates.
        warnings.simplefilter("ignore", DeprecationWarning)
        return exchange_calendars.get_calendar("XSHG", start=_CALENDAR_FIRST)


def _today() -> pd.Timestamp:
    return pd.Timestamp.today().normalize()


def _day(value, argument: str) -> pd.Timestamp:
    try:
        stamp = pd.Timestamp(str(value) if isinstance(value, int) else value)
    except (TypeError, ValueError):
        raise ValueError(f"{argument}: not a date: {value!r}") from None
    if pd.isna(stamp):
        raise ValueError(f"{argument}: not a date: {value!r}")
    return stamp.tz_localize(None).normalize() if stamp.tz else stamp.normalize()


def trading_sessions(start=None, end=None, *, sessions: int | None = None) -> pd.DatetimeIndex:
    """Sessions of the Shanghai exchange from ``start`` to ``end``, both inclusive.

    ``end`` defaults to today (or the calendar's last known session, should
    today lie beyond it) and may not be later than today. Instead of ``start``,
    ``sessions`` asks for that many sessions ending at ``end``.
    """
    cal = _calendar()
    last = min(_today(), cal.last_session)
    end_day = last if end is None else _day(end, "end")
    if end_day > _today():
        raise ValueError(f"end {end_day.date()} lies after today")
    if end_day > cal.last_session:
        raise ValueError(
            f"end {end_day.date()} lies after the calendar's last session {cal.last_session.date()}"
        )
    if (start is None) == (sessions is None):
        raise ValueError("give either start or sessions")
    if sessions is not None:
        if isinstance(sessions, bool) or int(sessions) != sessions or sessions < 1:
            raise ValueError(f"sessions must be a positive integer, got {sessions!r}")
        days = cal.sessions[cal.sessions <= end_day][-int(sessions) :]
        if len(days) < sessions:
            raise ValueError(f"the calendar has only {len(days)} sessions up to {end_day.date()}")
    else:
        start_day = _day(start, "start")
        if start_day < _CALENDAR_FIRST:
            raise ValueError(f"start {start_day.date()} lies before {_CALENDAR_FIRST.date()}")
        days = cal.sessions[(cal.sessions >= start_day) & (cal.sessions <= end_day)]
        if len(days) == 0:
            raise ValueError(f"no session from {start_day.date()} to {end_day.date()}")
    return pd.DatetimeIndex(days.tz_localize(None) if days.tz else days, freq=None)


# ---------------------------------------------------------------------------
# generation
# ---------------------------------------------------------------------------


def market_of_size(size: str = "tiny", *, seed: int = 0, end=None) -> SandboxMarket:
    """A market of one of the named :data:`SIZES`, ending at ``end`` (default today)."""
    if size not in SIZES:
        raise ValueError(f"size must be one of {list(SIZES)}, got {size!r}")
    return generate_market(**SIZES[size], seed=seed, end=end)


def generate_market(
    n_stocks: int = 500,
    *,
    start=None,
    end=None,
    sessions: int | None = None,
    seed: int = 0,
) -> SandboxMarket:
    """Draws a market of ``n_stocks`` stocks over the sessions from ``start``
    (or the last ``sessions`` sessions) to ``end`` (default today)."""
    if isinstance(n_stocks, bool) or not isinstance(n_stocks, (int, np.integer)):
        raise TypeError(f"n_stocks must be an int, got {type(n_stocks).__name__}")
    if not MIN_STOCKS <= n_stocks <= MAX_STOCKS:
        raise ValueError(f"n_stocks must lie in [{MIN_STOCKS}, {MAX_STOCKS}], got {n_stocks}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative int, got {seed!r}")
    dates = trading_sessions(start, end, sessions=sessions)
    rng = np.random.default_rng(int(seed))
    stocks = _draw_stocks(rng, int(n_stocks), len(dates))
    listed, suspended, first_day = _draw_status(rng, stocks, len(dates))
    fields = _walk(rng, dates, stocks, listed, suspended, first_day)
    return SandboxMarket(
        int(seed),
        dates,
        stocks["codes"],
        limit_pct=stocks["limit_pct"],
        industry=stocks["industry"].astype(np.float64),
        listing=stocks["listing"],
        listed=listed,
        suspended=suspended,
        **fields,
    )


def _limit_of(codes: np.ndarray) -> np.ndarray:
    prefix = codes // 1000
    return np.where((prefix == 300) | (prefix == 688), 0.20, 0.10)


def _draw_stocks(rng: np.random.Generator, n: int, t_count: int) -> dict[str, np.ndarray]:
    parts, left = [], n
    for first, available, share in _BOARDS:
        count = int(n * share)
        parts.append(first + rng.choice(available, count, replace=False))
        left -= count
    parts.append(_MAIN_SH[0] + rng.choice(_MAIN_SH[1], left, replace=False))
    numbers = np.sort(np.concatenate(parts))
    new = (rng.random(n) < _NEW_LISTING_SHARE) & (t_count > 1)
    price = np.clip(np.exp(rng.normal(np.log(15.0), 0.6, n)), 2.5, 300.0)
    value = np.exp(rng.normal(np.log(8e9), 1.1, n))
    return {
        "codes": np.array([f"{c:06d}" for c in numbers]),
        "limit_pct": _limit_of(numbers),
        "industry": rng.choice(_N_INDUSTRIES, n, p=rng.dirichlet(np.full(_N_INDUSTRIES, 2.0))) + 1,
        "new": new,
        "listing": np.where(new, rng.integers(1, max(t_count, 2), n), 0),
        "price": _cent(price),
        "shares": np.round(value / price, -4),
        "beta": np.clip(rng.normal(1.0, 0.2, n), 0.3, 1.8),
        "loading": rng.normal(1.0, 0.3, n),
        "sigma": 0.016 * np.exp(rng.normal(0.0, 0.25, n)) * (value / 8e9) ** -0.08,
    }


def _cells(rng: np.random.Generator, rows: np.ndarray, n: int, chance: float):
    """Stock-days drawn with ``chance`` each among ``rows`` x all stocks."""
    count = rng.poisson(chance * len(rows) * n)
    return rows[rng.integers(0, len(rows), count)], rng.integers(0, n, count)


def _draw_status(rng: np.random.Generator, stocks, t_count: int):
    """Listed days, suspended days and listing days as (sessions x stocks)
    masks. Suspensions come in spells of a geometric length, now and then a
    long one; a stock trades on its listing day."""
    listing, new = stocks["listing"], stocks["new"]
    n = len(listing)
    listed = np.arange(t_count)[:, None] >= listing
    first_day = np.zeros((t_count, n), dtype=bool)
    first_day[listing[new], np.flatnonzero(new)] = True
    t_start, stock = _cells(rng, np.arange(t_count), n, _SUSPEND)
    length = rng.geometric(0.25, len(t_start)) * np.where(rng.random(len(t_start)) < 0.1, 15, 1)
    edges = np.zeros((t_count + 1, n), dtype=np.int16)
    np.add.at(edges, (t_start, stock), 1)
    np.add.at(edges, (np.minimum(t_start + length, t_count), stock), -1)
    suspended = np.cumsum(edges[:t_count], axis=0, dtype=np.int16) > 0
    suspended &= listed & ~first_day
    return listed, suspended, first_day


def _market_paths(rng: np.random.Generator, t_count: int):
    """Daily market and sector returns under a slowly varying volatility."""
    shocks = rng.normal(0.0, 0.12, t_count)
    level = np.empty(t_count)
    h = 0.0
    for t in range(t_count):  # one scalar per session: cheap
        h = 0.97 * h + shocks[t]
        level[t] = h
    vol = np.exp(level)
    market = 0.0002 + 0.011 * vol * rng.standard_normal(t_count)
    sector = 0.007 * vol[:, None] * rng.standard_normal((t_count, _N_INDUSTRIES))
    return market, sector


def _cent(values):
    """Rounded half up to the cent; the epsilon keeps 10.235 from reading 10.2349999."""
    return np.floor(values * 100.0 + 0.5 + 1e-7) / 100.0


def _rebalance_rows(dates: pd.DatetimeIndex) -> np.ndarray:
    month = np.asarray(dates.month)
    starts = np.flatnonzero((month[1:] != month[:-1]) & np.isin(month[1:], (6, 12))) + 1
    return np.concatenate([[0], starts])


def _constituents(value: np.ndarray, eligible: np.ndarray) -> dict[str, np.ndarray]:
    """Each index's members: its band of the eligible stocks ranked by ``value``."""
    candidates = np.flatnonzero(eligible & np.isfinite(value))
    ranked = candidates[np.argsort(-value[candidates], kind="stable")]
    out = {}
    for code, (low, high) in INDEX_TIERS.items():
        first = int(low * len(ranked))
        members = np.zeros(len(value), dtype=bool)
        members[ranked[first : max(first + 1, int(high * len(ranked)))]] = True
        out[code] = members
    return out


def _walk(rng: np.random.Generator, dates, stocks, listed, suspended, first_day) -> dict:
    """The market session by session, each step over all stocks at once: a
    day's limits depend on the last close, so days cannot be drawn apart.
    Only the market's own (sessions x stocks) matrices are allocated."""
    t_count, n = listed.shape
    trading = listed & ~suspended
    out = {
        key: np.full((t_count, n), np.nan)
        for key in (
            "close", "open", "prev_close", "reference", "limit_up", "limit_down",
            "vwap_925_1000", "vwap_935_1005", "split_ratio", "dividend", "shares",
        )
    }  # fmt: skip
    out["locked_up"] = np.zeros((t_count, n), dtype=bool)
    out["locked_down"] = np.zeros((t_count, n), dtype=bool)
    weights = {code: np.full((t_count, n), np.nan) for code in INDEX_TIERS}
    daily = {code: np.zeros(t_count) for code in INDEX_TIERS}

    # Ex-dates: bonus issues any time, dividends between May 15 and July 31.
    # Their ratio and yield sit in the output matrices until the walk turns the
    # yield into cash per share.
    allowed = trading & ~first_day
    t_at, i_at = _cells(rng, np.arange(t_count), n, _SPLIT)
    keep = allowed[t_at, i_at]
    out["split_ratio"][t_at[keep], i_at[keep]] = rng.choice(_SPLIT_RATIOS, int(keep.sum()))
    month_day = np.asarray(dates.month * 100 + dates.day)
    t_at, i_at = _cells(rng, np.flatnonzero((month_day >= 515) & (month_day <= 731)), n, _DIVIDEND)
    keep = allowed[t_at, i_at]
    out["dividend"][t_at[keep], i_at[keep]] = rng.uniform(0.003, 0.03, int(keep.sum()))

    market, sector = _market_paths(rng, t_count)
    pct, issue = stocks["limit_pct"], stocks["price"]
    exposure = stocks["industry"] - 1
    seasoned_from = np.where(stocks["new"], stocks["listing"] + _SEASONING, 0)
    rebalances = set(_rebalance_rows(dates).tolist())
    last = np.where(stocks["new"], np.nan, issue)
    anchor = issue.copy()
    shares = stocks["shares"].copy()
    members: dict[str, np.ndarray] = {}
    with np.errstate(invalid="ignore", divide="ignore"):
        for t in range(t_count):
            noise = rng.standard_normal((4, n))
            draws = rng.random((2, n))
            trades = trading[t]
            base = np.where(first_day[t], issue, last)
            ratio = np.where(np.isnan(out["split_ratio"][t]), 1.0, out["split_ratio"][t])
            dividend = np.round(np.nan_to_num(out["dividend"][t]) * base, 3)
            reference = (base - dividend) / ratio
            anchor /= ratio
            up = _cent(reference * (1.0 + pct))
            down = _cent(reference * (1.0 - pct))

            # Close: factors, own noise and a pull towards the anchor; at a
            # limit on a jump day.
            move = (
                stocks["beta"] * market[t]
                + stocks["loading"] * sector[t, exposure]
                + stocks["sigma"] * noise[0]
                - _REVERSION * np.log(reference / anchor)
            )
            close = np.clip(_cent(reference * np.exp(move)), down, up)
            jump_up, jump_down = draws[0] < _JUMP, draws[0] > 1.0 - _JUMP
            close = np.where(jump_up, up, np.where(jump_down, down, close))

            # Open and the morning VWAPs, strictly inside the limits unless the
            # day is locked at one, when every trade is at that limit.
            day_move = np.log(close / reference)
            opened = np.clip(_cent(reference * np.exp(0.4 * day_move + 0.006 * noise[1])), down, up)
            morning = np.log(close / opened)
            sell = np.round(opened * np.exp(0.2 * morning + 0.003 * noise[2]), 4)
            buy = np.round(opened * np.exp(0.3 * morning + 0.003 * noise[3]), 4)
            sell = np.clip(sell, down + 0.01, up - 0.01)
            buy = np.clip(buy, down + 0.01, up - 0.01)
            locked = draws[1] < _LOCKED
            locked_up, locked_down = jump_up & locked & trades, jump_down & locked & trades
            for values in (opened, sell, buy):
                np.copyto(values, up, where=locked_up)
                np.copyto(values, down, where=locked_down)

            # Indices: members by value at the previous close, taken anew at
            # each rebalance; weights among the members trading today.
            listed_now = listed[t]
            value_before = np.where(listed_now, base * shares, np.nan)
            if t in rebalances:
                members = _constituents(value_before, listed_now & (seasoned_from <= t))
            member_return = np.where(trades, ratio * close / base - 1.0, 0.0)
            for code, held in members.items():
                held = held & trades
                w = np.where(held, value_before, 0.0)
                total = w.sum()
                if total > 0:
                    w /= total
                    weights[code][t] = np.where(held, w, np.nan)
                    daily[code][t] = w @ member_return

            shares = shares * ratio
            for key, values in (
                ("close", close), ("open", opened), ("prev_close", base),
                ("reference", reference), ("limit_up", up), ("limit_down", down),
                ("vwap_925_1000", sell), ("vwap_935_1005", buy),
            ):  # fmt: skip
                out[key][t] = np.where(trades, values, np.nan)
            out["dividend"][t] = np.where(dividend > 0.0, dividend, np.nan)
            out["shares"][t] = np.where(listed_now, shares, np.nan)
            out["locked_up"][t] = locked_up
            out["locked_down"][t] = locked_down
            last = np.where(trades, close, last)

    out["index_weights"] = weights
    out["index_daily"] = pd.DataFrame(daily, index=pd.Index(dates.strftime("%Y%m%d"), dtype=str))
    return out
