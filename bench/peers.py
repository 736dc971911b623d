"""Our strategy simulation side by side with vectorbt's Portfolio.from_orders.

vectorbt is a peer, not a dependency: it is installed in this benchmark's own virtual
environment (bench/.venv-peers, made on first use) and runs there, in a child process,
on the same arrays the parent hands it. It compiles its engine with numba on first use:
that first call, on a tiny market, is reported apart (numba caches on disk, so a later
run mostly loads it).

The nearest equivalent job: daily target weights (a row applied on the next day) on the
tests' random market, traded at the day's buy price in lots of 200 shares, commission
on both sides, cash shared by every stock and sells before buys, valued at the close.
What vectorbt's job lacks against ours, so that its figures are a floor for an equal job:
- stamp duty: one fee rate for both sides (ours adds a levy on sells only);
- per-side permissions: every stock can be bought and sold every day with a price (ours
  blocks buys on limit-up days and sells on limit-down and suspended days, per stock);
- corporate actions: no splits or cash dividends (ours adjusts held and sold shares);
- fixed sizing: targets are a share of the running portfolio value (ours sizes every day
  from the initial capital, at the previous close) and sells price at the same fill.
Its inputs are also cleaned for it outside the timing (forward-filled prices, NaN
weights as 0), which ours does not need.

Target at 5000 stocks x 2500 days: ours at least 100x faster. Run from the repository
root: python -m bench.peers [--quick].
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
import venv
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
PEERS = ROOT / "bench" / ".venv-peers"
PEER_PYTHON = PEERS / "bin" / "python"
SIZES = [(3000, 1250), (5000, 2500)]  # stocks x days
LOT = 200
FEE = 0.0001
MONEY = 1e8


def peer_environment() -> None:
    """bench/.venv-peers with vectorbt in it, made on first use."""
    if PEER_PYTHON.exists():
        return
    print(f"making {PEERS} with vectorbt (once)")
    venv.create(PEERS, with_pip=True)
    subprocess.run([PEER_PYTHON, "-m", "pip", "install", "--quiet", "vectorbt"], check=True)


# ---- the child, in the peers' environment ----------------------------------------------


def peer(folder: Path) -> None:
    import pandas as pd
    import vectorbt as vbt

    def run(close, price, size):
        index = pd.date_range("2014-01-02", periods=close.shape[0], freq="B")
        frame = lambda a: pd.DataFrame(a, index=index)  # noqa: E731
        pf = vbt.Portfolio.from_orders(
            frame(close),
            frame(size),
            size_type="targetpercent",
            direction="longonly",
            price=frame(price),
            fees=FEE,
            size_granularity=LOT,
            init_cash=MONEY,
            cash_sharing=True,
            group_by=True,
            call_seq="auto",
            freq="1D",
        )
        return pf.value().to_numpy()

    rng = np.random.default_rng(0)
    tiny = rng.uniform(5.0, 6.0, (12, 5))
    start = time.perf_counter()
    run(tiny, tiny, np.full((12, 5), 0.2))
    compile_time = time.perf_counter() - start

    close, price, size = (np.load(folder / f"{name}.npy") for name in ("close", "price", "size"))
    value = run(close, price, size)
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        run(close, price, size)
        best = min(best, time.perf_counter() - start)
    print(
        json.dumps(
            {
                "compile": compile_time,
                "time": best,
                "final_value": float(value[-1]),
                "version": vbt.__version__,
            }
        )
    )


# ---- the parent, in ours ---------------------------------------------------------------


def peer_inputs(signal, market, folder: Path) -> None:
    """vectorbt's arrays: prices forward-filled (it cannot value a NaN close), weights of
    a row applied on the next day with NaN as 0 (NaN means no order to it)."""
    close = market["close_price"].ffill().bfill().to_numpy()
    price = market["buy_price"].ffill().bfill().to_numpy()
    size = signal.shift(1).fillna(0.0).to_numpy()
    for name, values in (("close", close), ("price", price), ("size", size)):
        np.save(folder / f"{name}.npy", np.ascontiguousarray(values))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="300 stocks x 250 days only")
    parser.add_argument("--peer", metavar="FOLDER", help="internal: run vectorbt on FOLDER")
    args = parser.parse_args()
    if args.peer:
        peer(Path(args.peer))
        return 0

    from bench.strategy_sim import best_of, build
    from mirtaly.backtest._ravelin import calc_strategy_vwap_daily_return
    from tests.reference_strategy import MARKET_KEYS

    peer_environment()
    scalars = {"total_money": MONEY, "fee": FEE, "rule_fee": 0.0005, "lot_size": LOT}
    ratio = None
    for n_stocks, n_days in [(300, 250)] if args.quick else SIZES:
        print(f"\n== {n_stocks} stocks x {n_days} days")
        signal, frames = build(n_stocks, n_days)
        market = dict(zip(MARKET_KEYS, frames, strict=True))
        t_ours = best_of(
            lambda s=signal, f=frames: calc_strategy_vwap_daily_return(s, *f, **scalars), 5
        )
        with tempfile.TemporaryDirectory(prefix="mirtaly-peers-") as tmp:
            peer_inputs(signal, market, Path(tmp))
            cmd = [PEER_PYTHON, "-m", "bench.peers", "--peer", tmp]
            proc = subprocess.run(cmd, capture_output=True, text=True, check=True, cwd=ROOT)
        got = json.loads(proc.stdout.strip().splitlines()[-1])
        ratio = got["time"] / t_ours
        print(
            f"vectorbt {got['version']}, first call (numba compile or cache load) "
            f"{got['compile'] * 1e3:10.1f} ms"
        )
        print(
            f"vectorbt from_orders + value        {got['time'] * 1e3:10.1f} ms "
            f"(final value {got['final_value']:.4g})"
        )
        print(f"ours, calc_strategy_vwap_daily_return {t_ours * 1e3:8.1f} ms")
        print(f"ratio vectorbt/ours                 {ratio:10.1f}x")
    if not args.quick:
        print(
            f"-- target: ours at least 100x faster at the largest size: "
            f"{'met' if ratio >= 100 else 'NOT MET'}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
