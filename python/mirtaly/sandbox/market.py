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

What the factor service answers (:meth:`SandboxMarket.client`), one value per
stock and session, no row where there is no value:

========================== =============================================================
``Close``, ``Open``         close and open price (CNY); trading days only
``limit_up``, ``limit_down`` the day's limit prices (CNY); trading days only
``tick_vwap_price_925_1000`` volume-weighted price 9:25-10:00 (CNY), the sell price
``tick_vwap_price_935_1005`` volume-weighted price 9:35-10:05 (CNY), the buy price
``split_coefficient_to``    shares per 10 held after a bonus issue (13 = 10 become 13);
                            ex-dates only
``rq_get_dividend``         cash dividend before tax per 10 shares (CNY); ex-dates only
``rq_is_suspended``         1.0 on a day the stock trades, 0.0 on a suspended day (the
                            reader's convention: 1 marks a tradable day); listed days only
``rq_industry_exposure_new`` industry number 1-31; listed days only
``rq_index_components_new_<index>`` the member's weight in the index that day
                            (positive, summing to 1); members trading that day only
========================== =============================================================

Index answers carry ``close`` (a level starting from 1000 before the first
session) and ``daily_return`` (a fraction) for the five suffixed codes in
:data:`INDEX_TIERS`.
"""

from __future__ import annotations

import functools
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
            if isinstance(value, np.ndarray):
                value.flags.writeable = False
            setattr(self, name, value)

    def __repr__(self) -> str:
        return (
            f"SandboxMarket(seed={self.seed}, stocks={len(self.codes)}, "
            f"sessions={len(self.dates)}, {self.date_labels[0]}..{self.date_labels[-1]})"
        )

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
    n, t_count = int(n_stocks), len(dates)

    stocks = _draw_stocks(rng, n, t_count)
    returns = _draw_returns(rng, stocks, t_count)
    listed, suspended, first_day = _draw_status(rng, stocks["listing"], stocks["new"], t_count)
    trading = listed & ~suspended
    jump = rng.random((t_count, n))
    jump_up, jump_down = jump < _JUMP, jump > 1.0 - _JUMP
    locked = rng.random((t_count, n)) < _LOCKED
    del jump
    split, dividend_yield = _draw_events(rng, dates, trading & ~first_day)

    prices = _walk_prices(
        stocks, returns, trading, first_day, jump_up, jump_down, split, dividend_yield
    )
    del returns
    locked_up = jump_up & locked & trading
    locked_down = jump_down & locked & trading
    prices.update(_intraday(rng, prices, locked_up, locked_down))
    weights, index_daily = _indices(dates, stocks, listed, trading, prices)

    return SandboxMarket(
        int(seed),
        dates,
        stocks["codes"],
        limit_pct=stocks["limit_pct"],
        industry=stocks["industry"].astype(np.float64),
        listing=stocks["listing"],
        listed=listed,
        suspended=suspended,
        locked_up=locked_up,
        locked_down=locked_down,
        close=prices["close"],
        open=prices["open"],
        prev_close=prices["prev_close"],
        reference=prices["reference"],
        limit_up=prices["limit_up"],
        limit_down=prices["limit_down"],
        vwap_925_1000=prices["vwap_925_1000"],
        vwap_935_1005=prices["vwap_935_1005"],
        split_ratio=prices["split_ratio"],
        dividend=prices["dividend"],
        shares=prices["shares"],
        index_weights=weights,
        index_daily=index_daily,
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
    listing = np.where(new, rng.integers(1, max(t_count, 2), n), 0)
    price = np.clip(np.exp(rng.normal(np.log(15.0), 0.6, n)), 2.5, 300.0)
    value = np.exp(rng.normal(np.log(8e9), 1.1, n))
    return {
        "codes": np.array([f"{c:06d}" for c in numbers]),
        "limit_pct": _limit_of(numbers),
        "industry": rng.choice(_N_INDUSTRIES, n, p=rng.dirichlet(np.full(_N_INDUSTRIES, 2.0))) + 1,
        "new": new,
        "listing": listing,
        "price": _cent(price),
        "shares": np.round(value / price, -4),
        "beta": np.clip(rng.normal(1.0, 0.2, n), 0.3, 1.8),
        "loading": rng.normal(1.0, 0.3, n),
        "sigma": 0.016 * np.exp(rng.normal(0.0, 0.25, n)) * (value / 8e9) ** -0.08,
    }


def _draw_returns(rng: np.random.Generator, stocks, t_count: int) -> np.ndarray:
    """Log returns: market and sector factors under a slowly varying volatility,
    plus each stock's own noise."""
    shocks = rng.normal(0.0, 0.12, t_count)
    level = np.empty(t_count)
    h = 0.0
    for t in range(t_count):  # one scalar per session: cheap
        h = 0.97 * h + shocks[t]
        level[t] = h
    vol = np.exp(level)
    market = 0.0002 + 0.011 * vol * rng.standard_normal(t_count)
    sector = 0.007 * vol[:, None] * rng.standard_normal((t_count, _N_INDUSTRIES))
    out = rng.standard_normal((t_count, len(stocks["beta"])))
    out *= stocks["sigma"]
    out += stocks["beta"] * market[:, None]
    out += stocks["loading"] * sector[:, stocks["industry"] - 1]
    return out


def _draw_status(rng: np.random.Generator, listing, new, t_count: int):
    n = len(listing)
    rows = np.arange(t_count)[:, None]
    listed = rows >= listing
    first_day = np.zeros((t_count, n), dtype=bool)
    first_day[listing[new], np.flatnonzero(new)] = True
    # Suspension spells: a start, then a geometric length, now and then a long one.
    t_start, stock = np.nonzero(rng.random((t_count, n)) < _SUSPEND)
    length = rng.geometric(0.25, len(t_start)) * np.where(rng.random(len(t_start)) < 0.1, 15, 1)
    edges = np.zeros((t_count + 1, n), dtype=np.int32)
    np.add.at(edges, (t_start, stock), 1)
    np.add.at(edges, (np.minimum(t_start + length, t_count), stock), -1)
    suspended = np.cumsum(edges[:t_count], axis=0) > 0
    suspended &= listed & ~first_day
    return listed, suspended, first_day


def _draw_events(rng: np.random.Generator, dates: pd.DatetimeIndex, allowed: np.ndarray):
    """Bonus issues (shares per share held) and dividend yields on the ex-dates."""
    t_count, n = allowed.shape
    split = np.ones((t_count, n))
    where = np.nonzero((rng.random((t_count, n)) < _SPLIT) & allowed)
    split[where] = rng.choice(_SPLIT_RATIOS, len(where[0]))
    month_day = np.asarray(dates.month * 100 + dates.day)
    season = (month_day >= 515) & (month_day <= 731)
    dividend_yield = np.zeros((t_count, n))
    where = np.nonzero((rng.random((t_count, n)) < _DIVIDEND) & allowed & season[:, None])
    dividend_yield[where] = rng.uniform(0.003, 0.03, len(where[0]))
    return split, dividend_yield


def _cent(values):
    """Rounded half up to the cent; the epsilon keeps 10.235 from reading 10.2349999."""
    return np.floor(values * 100.0 + 0.5 + 1e-7) / 100.0


def _walk_prices(stocks, returns, trading, first_day, jump_up, jump_down, split, dividend_yield):
    """Closes session by session: each day's limits depend on the last close."""
    t_count, n = returns.shape
    nan = np.full((t_count, n), np.nan)
    out = {
        k: nan.copy()
        for k in (
            "close",
            "prev_close",
            "reference",
            "limit_up",
            "limit_down",
            "split_ratio",
            "dividend",
            "shares",
            "value_before",
        )
    }
    del nan
    pct = stocks["limit_pct"]
    issue = stocks["price"]
    last = np.where(stocks["new"], np.nan, issue)
    anchor = issue.copy()
    shares = stocks["shares"].copy()
    listed_before = ~stocks["new"]
    with np.errstate(invalid="ignore", divide="ignore"):
        for t in range(t_count):
            trades = trading[t]
            base = np.where(first_day[t], issue, last)
            dividend = np.round(dividend_yield[t] * base, 3)
            ratio = split[t]
            reference = (base - dividend) / ratio
            anchor /= ratio
            up = _cent(reference * (1.0 + pct))
            down = _cent(reference * (1.0 - pct))
            raw = reference * np.exp(returns[t] - _REVERSION * np.log(reference / anchor))
            close = np.clip(_cent(raw), down, up)
            close = np.where(jump_up[t], up, np.where(jump_down[t], down, close))
            listed_now = listed_before | (stocks["listing"] <= t)
            out["value_before"][t] = np.where(listed_now, base * shares, np.nan)
            shares = shares * ratio
            for key, value in (
                ("close", close),
                ("prev_close", base),
                ("reference", reference),
                ("limit_up", up),
                ("limit_down", down),
            ):
                out[key][t] = np.where(trades, value, np.nan)
            out["split_ratio"][t] = np.where(ratio != 1.0, ratio, np.nan)
            out["dividend"][t] = np.where(dividend > 0.0, dividend, np.nan)
            out["shares"][t] = np.where(listed_now, shares, np.nan)
            last = np.where(trades, close, last)
    return out


def _intraday(rng: np.random.Generator, prices, locked_up, locked_down) -> dict[str, np.ndarray]:
    """Open and the two morning VWAPs: strictly inside the limits, except on a
    day locked at a limit, where every trade is at that limit."""
    reference, close = prices["reference"], prices["close"]
    up, down = prices["limit_up"], prices["limit_down"]
    t_count, n = close.shape
    with np.errstate(invalid="ignore", divide="ignore"):
        day_move = np.log(close / reference)
        opened = np.clip(
            _cent(reference * np.exp(0.4 * day_move + 0.006 * rng.standard_normal((t_count, n)))),
            down,
            up,
        )
        morning = np.log(close / opened)
        del day_move
        inside_low, inside_high = down + 0.01, up - 0.01
        vwaps = {}
        for key, share in (("vwap_925_1000", 0.2), ("vwap_935_1005", 0.3)):
            noise = 0.003 * rng.standard_normal((t_count, n))
            vwap = np.clip(
                np.round(opened * np.exp(share * morning + noise), 4), inside_low, inside_high
            )
            vwaps[key] = vwap
    for values in (opened, *vwaps.values()):
        np.copyto(values, up, where=locked_up)
        np.copyto(values, down, where=locked_down)
    return {"open": opened, **vwaps}


def _rebalance_rows(dates: pd.DatetimeIndex) -> np.ndarray:
    month = np.asarray(dates.month)
    starts = np.flatnonzero((month[1:] != month[:-1]) & np.isin(month[1:], (6, 12))) + 1
    return np.concatenate([[0], starts])


def _indices(dates, stocks, listed, trading, prices):
    """Members by size band at each rebalance; weights by market value at the
    previous close among members trading that day; weighted price returns."""
    t_count, n = listed.shape
    value_before = prices.pop("value_before")
    rebalances = _rebalance_rows(dates)
    seasoned_from = np.where(stocks["new"], stocks["listing"] + _SEASONING, 0)
    constituents = {code: np.zeros((len(rebalances), n), dtype=bool) for code in INDEX_TIERS}
    for k, row in enumerate(rebalances):
        size = value_before[row]
        eligible = np.flatnonzero(listed[row] & (seasoned_from <= row) & np.isfinite(size))
        ranked = eligible[np.argsort(-size[eligible], kind="stable")]
        count = len(ranked)
        for code, (low, high) in INDEX_TIERS.items():
            first = int(low * count)
            last = max(first + 1, int(high * count))
            constituents[code][k, ranked[first:last]] = True
    period = np.searchsorted(rebalances, np.arange(t_count), side="right") - 1
    split = np.where(np.isnan(prices["split_ratio"]), 1.0, prices["split_ratio"])
    with np.errstate(invalid="ignore", divide="ignore"):
        member_return = split * prices["close"] / prices["prev_close"] - 1.0
    weights, daily = {}, {}
    for code, members in constituents.items():
        held = members[period] & trading
        w = np.where(held, value_before, np.nan)
        total = np.nansum(w, axis=1, keepdims=True)
        with np.errstate(invalid="ignore", divide="ignore"):
            w /= total
        weights[code] = w
        daily[code] = np.nansum(w * member_return, axis=1)
    return weights, pd.DataFrame(daily, index=pd.Index(dates.strftime("%Y%m%d"), dtype=str))
