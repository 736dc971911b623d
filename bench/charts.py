"""The two report figures of a strategy backtest, for 10 years of daily data.

Baseline: the floor of any figure of the same page, an empty figure of the same size
saved as PNG at the same resolution (rasterising and compressing that many pixels).
First both are drawn once and checked: the same pixel size (inches x dpi), valid PNGs.
Then, per layout, best-of times of each figure beside its floor, their ratio, and the
share of each figure's time spent in savefig (rendering and PNG compression).

Target: both figures together at most 2.5 s per layout.
"""

import argparse
import tempfile
import time
from functools import partial
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.figure  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from PIL import Image  # noqa: E402
from tests.conftest import PAGES, make_total  # noqa: E402

from mirtaly.backtest import _ravelin as rv  # noqa: E402

# Run from the repository root as a module (python -m bench.charts), so that the tests'
# total frame imports as the tests package's module.

DAYS = 2520  # 10 years of trading days
TARGET = 2.5  # seconds, both figures of one layout
_savefig = matplotlib.figure.Figure.savefig
_saving = [0.0]


def _timed_savefig(self, *args, **kwargs):
    start = time.perf_counter()
    try:
        return _savefig(self, *args, **kwargs)
    finally:
        _saving[0] += time.perf_counter() - start


def build(days: int = DAYS, seed: int = 20240102):
    total = make_total(days, seed, start="2014-01-02")
    weights = pd.DataFrame(np.random.default_rng(seed).random((days, 50)), index=total.index)
    return total, rv.calc_strategy_stats(total, weights)


def ours(figure, kind, total, stats, path):
    if figure == "main":
        rv.plot_strategy_performance(
            total, stats, strategy_name="动量策略", save_path=path, image_kind=kind
        )
    else:
        rv.plot_weekly_net_value(total, strategy_name="动量策略", save_path=path, image_kind=kind)


def floor(figure, kind, path):
    (w, h), dpi = PAGES[figure, kind]
    fig = plt.figure(figsize=(w, h))
    fig.add_subplot()
    fig.savefig(path, dpi=dpi)
    plt.close(fig)


def best_of(repeat, fn):
    """The best wall time, with that run's CPU time and time in savefig."""
    best = (float("inf"), 0.0, 0.0)
    for _ in range(repeat):
        _saving[0] = 0.0
        start, cpu = time.perf_counter(), time.process_time()
        fn()
        run = (time.perf_counter() - start, time.process_time() - cpu, _saving[0])
        best = min(best, run)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    total, stats = build()
    matplotlib.figure.Figure.savefig = _timed_savefig

    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        for figure, kind in PAGES:  # checks first (and warms imports and the font up)
            mine, base = out / f"{figure}-{kind}.png", out / f"floor-{figure}-{kind}.png"
            ours(figure, kind, total, stats, mine)
            floor(figure, kind, base)
            (w, h), dpi = PAGES[figure, kind]
            with Image.open(mine) as a, Image.open(base) as b:
                if not (a.format == b.format == "PNG" and a.size == b.size):
                    raise SystemExit(f"{figure}/{kind}: {a.size} vs floor {b.size}")
                assert a.size == (int(w * dpi), int(h * dpi))

        # CPU time is shown beside wall time: on a busy machine it is the better
        # estimate of what the figure costs (drawing is single-threaded).
        print(f"{DAYS} days, best of {args.repeat}; times in seconds")
        print(f"{'figure':<14}{'ours':>8}{'cpu':>8}{'saving':>9}{'floor':>8}{'ratio':>8}")
        for kind in ("large", "long"):
            both = both_cpu = 0.0
            for figure in ("main", "weekly"):
                path = out / f"{figure}-{kind}.png"
                t, cpu, saving = best_of(
                    args.repeat, partial(ours, figure, kind, total, stats, path)
                )
                f = best_of(args.repeat, partial(floor, figure, kind, out / "floor.png"))[0]
                both, both_cpu = both + t, both_cpu + cpu
                name = f"{figure}/{kind}"
                print(f"{name:<14}{t:8.3f}{cpu:8.3f}{saving / t:8.0%} {f:8.3f}{t / f:7.1f}x")
            verdict = "met" if both <= TARGET else "NOT MET"
            print(
                f"{'both/' + kind:<14}{both:8.3f}{both_cpu:8.3f}   target {TARGET:.1f} s: {verdict}"
            )


if __name__ == "__main__":
    main()
