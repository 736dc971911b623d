"""Generating the sandbox market and answering one factor query from it.

Generation of 5000 stocks x 10 years (2430 sessions) is timed against its
floor: drawing and keeping the same number of (sessions x stocks) float64
matrices of normal numbers, which is what the market holds when done. Target:
under 30 s.

One ``get_factors`` call for the 15 factors the benchmark data builder reads,
over the last 250 sessions, is timed against the straightforward pandas way of
making the same narrow answer (each factor's window frame melted, its empty
cells dropped, then concatenated); the answers are checked equal first.
"""

import argparse
import time

import numpy as np
import pandas as pd

from mirtaly.market import exchange_ukey
from mirtaly.sandbox import generate_market

# The market's (sessions x stocks) float64 matrices: 11 price and event fields
# and 5 index weights.
HELD_MATRICES = 16
TARGET_SECONDS = 30.0


def floor(days: int, stocks: int) -> list[np.ndarray]:
    rng = np.random.default_rng(0)
    return [rng.standard_normal((days, stocks)) for _ in range(HELD_MATRICES)]


def pandas_answer(frames: dict[str, pd.DataFrame], names, start, end) -> pd.DataFrame:
    parts = []
    for name in names:
        window = frames[name]
        window = window[(window.index >= start) & (window.index <= end)]
        long = window.rename_axis("date").reset_index().melt(id_vars="date", var_name="ukey")
        long = long.dropna(subset=["value"])
        long["factor"] = name
        parts.append(long)
    out = pd.concat(parts, ignore_index=True)
    suffixed = {code: exchange_ukey(code) for code in frames[names[0]].columns}
    out["ukey"] = out["ukey"].map(suffixed)
    out["date"] = pd.to_datetime(out["date"], format="%Y%m%d")
    return out[["ukey", "date", "value", "factor"]]


def timed(fn, *args, **kwargs):
    start = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--sessions", type=int, default=2430)
    parser.add_argument("--query-sessions", type=int, default=250)
    args = parser.parse_args()

    market, generation = timed(generate_market, args.stocks, sessions=args.sessions, seed=1)
    held, floor_time = timed(floor, *market.shape)
    del held
    print(f"market {market}")
    print(
        f"generate: ours {generation:.2f} s, floor {floor_time:.2f} s, "
        f"ratio {generation / floor_time:.2f} (target under {TARGET_SECONDS:.0f} s: "
        f"{'met' if generation < TARGET_SECONDS else 'NOT met'})"
    )

    client = market.client()
    frames = market.factor_frames()
    names = list(frames)
    first = market.date_labels[-args.query_sessions]
    last = market.date_labels[-1]
    iso = [f"{d[:4]}-{d[4:6]}-{d[6:]}" for d in (first, last)]
    ours, ours_time = timed(client.get_factors, factor=names, start_date=iso[0], end_date=iso[1])
    theirs, theirs_time = timed(pandas_answer, frames, names, first, last)
    key = ["factor", "date", "ukey"]
    pd.testing.assert_frame_equal(
        ours.sort_values(key).reset_index(drop=True)[theirs.columns],
        theirs.sort_values(key).reset_index(drop=True),
        check_dtype=False,
    )
    print(
        f"get_factors: {len(names)} factors x {args.query_sessions} sessions, {len(ours)} rows: "
        f"ours {ours_time:.2f} s, pandas {theirs_time:.2f} s, ratio {theirs_time / ours_time:.2f}x"
    )


if __name__ == "__main__":
    main()
