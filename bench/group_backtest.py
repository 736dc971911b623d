"""The factor group backtest core against one strategy simulation and against alphalens.

The tests' seeded A-share-like market (column-major frames, 5000 stocks x 2500 days) with
a persistent factor (an AR(1) series per stock, NaN where the close is missing) and the
forward-return ranks of an open price derived from it. Our core runs with 20 groups, rank
IC, the summary and no charts (plot_image_kind=None).

Checked first, or the script exits 1:
- groups 1 and 20 against calc_strategy_vwap_daily_return on the equal-weight signal of
  their members (as the plain pandas reading of the rules cuts them): 1e-12;
- the rank IC against alphalens' information coefficient: alphalens ranks the forward
  return over the stocks that also have a factor, the cache over the whole market, so the
  two agree to within a small tolerance rather than to rounding.

Then, in one run: the core, one strategy simulation of the same size (equal weights on
every valid stock each day: the cells a group backtest trades), and alphalens-reloaded's
frictionless quantile returns and information coefficient on the same factor and prices.
alphalens runs in an environment of its own (build/venv-alphalens, created on first use
from the package registry), never as a dependency of the package; its inputs go there as
.npy files.

Run from the repository root: python -m bench.group_backtest [--quick] [--no-alphalens].

Targets at 5000 x 2500: the core at most 3x one simulation; at least 10x faster than
alphalens.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
ALPHALENS_VENV = ROOT / "build" / "venv-alphalens"
GROUPS = 20
SIZES = {"full": (5000, 2500), "quick": (600, 300)}


def make_inputs(n_stocks: int, n_days: int, seed: int = 11):
    import pandas as pd
    from bench.strategy_sim import build
    from tests.reference_strategy import MARKET_KEYS

    _, frames = build(n_stocks, n_days)
    market = dict(zip(MARKET_KEYS, frames, strict=True))
    close = market["close_price"]
    rng = np.random.default_rng(seed)
    values = np.empty(close.shape, order="F")
    values[0] = rng.normal(size=n_stocks)
    for t in range(1, n_days):  # persistent, as most factors are
        values[t] = 0.97 * values[t - 1] + 0.243 * rng.normal(size=n_stocks)
    values[close.isna().to_numpy()] = np.nan

    def frame(array):
        return pd.DataFrame(np.asfortranarray(array), close.index, close.columns, copy=False)

    opens = close.to_numpy() * (1.0 + rng.normal(0.0, 0.004, close.shape))
    forward = frame(opens).shift(-2) / frame(opens).shift(-1) - 1.0
    return {
        "factor": frame(values),
        "valid": frame(np.where(close.notna(), 1.0, np.nan)),
        "market": market,
        "open": frame(opens),
        "forward_rank": frame(forward.rank(axis=1).to_numpy()),
    }


def ours(inputs):
    from mirtaly.backtest._core import run_alpha_vwap_backtest_core

    return run_alpha_vwap_backtest_core(
        inputs["factor"],
        close_price_valid=inputs["valid"],
        **inputs["market"],
        forward_return_rank_cache=inputs["forward_rank"],
        group_num=GROUPS,
        plot_image_kind=None,
    )


def equal_weight_signal(members):
    import pandas as pd

    weights = members.astype(float).where(members)
    weights = weights.div(weights.count(axis=1), axis=0)
    return pd.DataFrame(np.asfortranarray(weights.to_numpy()), weights.index, weights.columns)


def simulate(inputs, signal):
    from mirtaly.backtest._ravelin import calc_strategy_vwap_daily_return

    return calc_strategy_vwap_daily_return(signal, **inputs["market"])


def timed(fn, repeats: int) -> tuple[float, float]:
    """Best wall and best CPU seconds of ``repeats`` calls."""
    wall = cpu = float("inf")
    for _ in range(repeats):
        w, c = time.perf_counter(), time.process_time()
        fn()
        wall, cpu = min(wall, time.perf_counter() - w), min(cpu, time.process_time() - c)
    return wall, cpu


# ---- alphalens, in its own environment ---------------------------------------------------


def alphalens_python() -> Path:
    python = ALPHALENS_VENV / "bin" / "python"
    if not python.exists():
        print(f"creating {ALPHALENS_VENV} (alphalens-reloaded from the package registry)")
        subprocess.run([sys.executable, "-m", "venv", str(ALPHALENS_VENV)], check=True)
        subprocess.run(
            [str(python), "-m", "pip", "install", "--quiet", "alphalens-reloaded"], check=True
        )
    return python


def alphalens_child(folder: str) -> None:
    """Runs in the alphalens environment: quantile returns and IC, timed; JSON out."""
    import alphalens as al
    import pandas as pd

    path = Path(folder)
    labels = json.loads((path / "labels.json").read_text())
    dates = pd.to_datetime(labels["dates"], format="%Y%m%d")
    factor = pd.DataFrame(np.load(path / "factor.npy"), index=dates, columns=labels["codes"])
    # Prices dated by the open they trade at: the forward return of date t runs from
    # the open of t + 1 to the open of t + 2, as the cache's.
    prices = pd.DataFrame(np.load(path / "prices.npy"), index=dates, columns=labels["codes"])
    start, cpu = time.perf_counter(), time.process_time()
    stacked = factor.stack().rename_axis(["date", "asset"])
    clean = al.utils.get_clean_factor_and_forward_returns(
        stacked, prices, quantiles=GROUPS, periods=(1,), max_loss=1.0
    )
    quantile_returns, _ = al.performance.mean_return_by_quantile(clean, by_date=True)
    ic = al.performance.factor_information_coefficient(clean)
    seconds = [time.perf_counter() - start, time.process_time() - cpu]
    ic_by_date = {d.strftime("%Y%m%d"): float(v) for d, v in ic.iloc[:, 0].items()}
    print(json.dumps({"seconds": seconds, "quantiles": len(quantile_returns), "ic": ic_by_date}))


def run_alphalens(inputs) -> dict:
    python = alphalens_python()
    factor, opens = inputs["factor"], inputs["open"]
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder)
        np.save(path / "factor.npy", np.ascontiguousarray(factor.to_numpy()))
        np.save(path / "prices.npy", np.ascontiguousarray(opens.shift(-1).to_numpy()))
        labels = {"dates": list(factor.index), "codes": list(factor.columns)}
        (path / "labels.json").write_text(json.dumps(labels))
        cmd = [str(python), "-m", "bench.group_backtest", "--alphalens-child", folder]
        proc = subprocess.run(cmd, capture_output=True, text=True, cwd=ROOT)
        if proc.returncode:
            raise RuntimeError(f"alphalens failed:\n{proc.stderr[-3000:]}")
        return json.loads(proc.stdout.strip().splitlines()[-1])


# ---- the run ---------------------------------------------------------------------------


def check_groups(inputs, result) -> bool:
    from tests.reference_group import reference_groups

    groups, _ = reference_groups(inputs["factor"], inputs["valid"], GROUPS)
    worst = 0.0
    for g in (1, GROUPS):
        want = simulate(inputs, equal_weight_signal(groups == g))
        got = result.group_daily_return[g]
        if not got.index.equals(want.index):
            print(f"group {g}: dates differ from the strategy simulation's")
            return False
        worst = max(worst, float(np.max(np.abs(got - want)) / np.max(np.abs(want))))
    ok = worst <= 1e-12
    verdict = "ok" if ok else "FAILED"
    print(f"groups 1 and {GROUPS} = equal-weight strategies   {worst:.2e}  ({verdict})")
    return ok


def check_ic(ours_ic, theirs: dict) -> bool:
    import pandas as pd

    theirs = pd.Series(theirs).reindex(ours_ic.index)
    both = ours_ic.notna() & theirs.notna()
    diff = (ours_ic[both] - theirs[both]).abs()
    ok = both.sum() > 0.9 * ours_ic.notna().sum() and diff.max() < 0.02 and diff.mean() < 2e-3
    print(
        f"rank IC against alphalens' IC           mean |diff| {diff.mean():.1e}, "
        f"max {diff.max():.1e} over {both.sum()} dates  ({'ok' if ok else 'FAILED'})"
    )
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small market")
    parser.add_argument("--no-alphalens", action="store_true", help="skip the peer")
    parser.add_argument("--alphalens-child", metavar="DIR", help="internal")
    args = parser.parse_args()
    if args.alphalens_child:
        alphalens_child(args.alphalens_child)
        return 0

    n_stocks, n_days = SIZES["quick" if args.quick else "full"]
    print(f"== {n_stocks} stocks x {n_days} days, {GROUPS} groups")
    inputs = make_inputs(n_stocks, n_days)
    result = ours(inputs)
    if not check_groups(inputs, result):
        return 1
    dense = equal_weight_signal(inputs["valid"].notna())
    peer = None if args.no_alphalens else run_alphalens(inputs)
    if peer is not None and not check_ic(result.rank_ic, peer["ic"]):
        return 1

    t_core = timed(lambda: ours(inputs), 3)
    t_sim = timed(lambda: simulate(inputs, dense), 3)
    print("                                          wall          cpu")
    print(f"group backtest (20 groups, IC)      {t_core[0]:9.3f} s  {t_core[1]:9.3f} s")
    print(f"one equal-weight simulation         {t_sim[0]:9.3f} s  {t_sim[1]:9.3f} s")
    ratio = [a / b for a, b in zip(t_core, t_sim, strict=True)]
    print(f"ratio group / simulation            {ratio[0]:9.2f} x  {ratio[1]:9.2f} x")
    verdict = "met" if ratio[1] <= 3.0 else "NOT MET"
    print(f"target: at most 3x one simulation (cpu)  {verdict}")
    if peer is not None:
        wall, cpu = peer["seconds"]
        speedup = [wall / t_core[0], cpu / t_core[1]]
        print(f"alphalens (frictionless, one run)   {wall:9.3f} s  {cpu:9.3f} s")
        print(f"ratio alphalens / ours              {speedup[0]:9.1f} x  {speedup[1]:9.1f} x")
        verdict = "met" if speedup[1] >= 10 else "NOT MET"
        print(f"target: at least 10x faster than alphalens (cpu)  {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
