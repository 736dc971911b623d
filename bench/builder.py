"""The prepared-data builder: one batch answer pivoted and derived, compiled versus pandas.

The batch answer of a seeded sandbox market in the narrow layout (15 factors x 5000
stocks x 250 days, about 19M rows of ukey, date, value and factor name) is turned into
the payload's matrices by ``build_incremental()`` of the compiled builder, and by a
straightforward pandas reading of the same steps (rename, cut the keys, convert dates,
group by factor, drop missing rows and duplicates, pivot, clean; then whole-frame
arithmetic, rank and masks). The results must be equal, or the script exits 1. Then
both are timed in this process, with the peak growth of resident memory during each
call (VmHWM after a reset).

Targets: at least 3x faster than pandas, and a peak growth below 3x the answer's size.
Run from the repository root: python -m bench.builder
"""

import argparse
import sys
import time

import numpy as np
import pandas as pd
from bench.strategy_sim import MIB, rss_growth
from tests.reference_builder import reference_build_from_matrices

from mirtaly import singleton
from mirtaly.backtest import _prepare as P
from mirtaly.sandbox import generate_market

NAMES = P.BUILD_INPUT_NAMES + P.COMPONENT_FACTOR_NAMES


def make_answer(n_stocks: int, n_days: int):
    """A sandbox market's batch answer (narrow layout, a row for every cell, NaN
    where the stock has no value) and its index-daily answer."""
    market = generate_market(n_stocks, sessions=n_days, seed=3, end="2024-12-31")
    frames = market.factor_frames()
    dates = market.dates.strftime("%Y-%m-%d").to_numpy(object)
    answer = pd.DataFrame(
        {
            "ukey": np.tile(np.array(market.ukeys, dtype=object), n_days * len(NAMES)),
            "date": np.tile(np.repeat(dates, n_stocks), len(NAMES)),
            "value": np.concatenate([frames[n].to_numpy().ravel() for n in NAMES]),
            "factor": np.repeat(np.array(NAMES, dtype=object), n_days * n_stocks),
        }
    )
    index = pd.concat(
        f.assign(ukey=code, date=f.index) for code, f in market.index_frames().items()
    )
    return answer, index, market.date_labels


class BatchAnswer:
    """Answers the batch query with the prepared frame, as one real service round trip."""

    def __init__(self, answer, index):
        self.answer, self.index = answer, index

    def get_factors(self, *, factor, start_date, end_date):
        return self.answer if isinstance(factor, list) else None

    def get_index_daily(self, *, ukeys, start_date, end_date):
        return self.index


def pandas_reading(answer: pd.DataFrame) -> dict[str, pd.DataFrame]:
    """The same steps in plain pandas: pivot per factor, derive, component masks."""
    df = answer.rename(columns={"date": "DataDate", "value": "x", "factor": "factorname"})
    df["ukey"] = df["ukey"].astype(str).str[:6]
    df["DataDate"] = P.series_to_yyyymmdd(df["DataDate"])
    df["x"] = pd.to_numeric(df["x"], errors="coerce")
    matrices = {}
    for name, part in df.groupby(df["factorname"].astype(str), sort=False, observed=True):
        part = part[["DataDate", "ukey", "x"]].dropna()
        part = part.drop_duplicates(["ukey", "DataDate"], keep="last")
        matrices[name] = P.clean_matrix(part.pivot(index="DataDate", columns="ukey", values="x"))
    data = reference_build_from_matrices({n: matrices[n] for n in P.BUILD_INPUT_NAMES})
    for name in P.COMPONENT_FACTOR_NAMES:
        m = matrices[name].replace([np.inf, -np.inf], np.nan).where(matrices[name] != 0)
        data[P.component_dataset_key(name)] = m.notna().astype(float).where(m.notna())
    return data


def timed(fn) -> dict:
    """The result of ``fn()``, its seconds and the peak resident growth during it."""
    out = {}

    def call():
        start = time.perf_counter()
        out["result"] = fn()
        out["seconds"] = time.perf_counter() - start

    out["peak"] = rss_growth(call)
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--days", type=int, default=250)
    args = parser.parse_args()

    answer, index, dates = make_answer(args.stocks, args.days)
    # The column buffers: the key, date and name texts are a few thousand shared objects.
    answer_bytes = answer.memory_usage(deep=False).sum()
    print(f"answer: {len(answer):,} rows x {answer.shape[1]} columns, {answer_bytes / MIB:.1f} MiB")
    singleton.set_instance(BatchAnswer(answer, index))
    builder = P.GroupPreparedDataBuilder(dates[0], dates[-1])

    base = timed(lambda: pandas_reading(answer))
    ours = timed(lambda: builder.build_incremental()["data"])
    want, got = base.pop("result"), ours.pop("result")
    for key, frame in want.items():
        try:
            pd.testing.assert_frame_equal(
                got[key], frame, check_index_type=False, check_column_type=False
            )
        except AssertionError as exc:
            print(f"{key}: results differ (FAILED)\n{exc}")
            return 1
    print(f"all {len(want)} matrices equal to the pandas reading")
    del got, want
    again = timed(lambda: builder.build_incremental())
    t_ours = min(ours["seconds"], again["seconds"])

    ratio = base["seconds"] / t_ours
    for name, m, t in (("pandas reading", base, base["seconds"]), ("ours", ours, t_ours)):
        print(f"{name:<25} {t:10.2f} s   peak growth {m['peak'] / MIB:8.1f} MiB")
    print(f"ratio pandas/ours         {ratio:10.1f}x")
    print(f"peak growth / answer size {ours['peak'] / answer_bytes:10.2f}")
    print(f"ratio >= 3x               {'met' if ratio >= 3 else 'NOT MET'}")
    print(f"peak < 3x answer size     {'met' if ours['peak'] < 3 * answer_bytes else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
