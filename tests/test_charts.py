"""Report figures: number formatting, house style, the yearly table and both figures."""

import gc
import math
import threading
import types
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from PIL import Image  # noqa: E402

from conftest import PAGES, make_total, random_market  # noqa: E402
from mirtaly.backtest import _ravelin as rv  # noqa: E402
from reference_strategy import MARKET_KEYS  # noqa: E402

MISSING = [None, math.nan, np.float32("nan"), pd.NA, pd.NaT, np.datetime64("NaT")]
CARD_LABELS = (
    "Strategy Ann.,Strategy Sharpe,Strategy Max DD,Excess Ann.,Excess Sharpe,Excess Max DD,"
    "Strategy Win,Excess Win,Turnover"
).split(",")


def draw(figure, total, path, **kwargs):
    if figure == "main":
        kwargs.setdefault("stats", rv.calc_strategy_stats(total, None))
        return rv.plot_strategy_performance(total=total, save_path=path, **kwargs)
    return rv.plot_weekly_net_value(total=total, save_path=path, **kwargs)


@pytest.fixture
def drawn(monkeypatch):
    """Every figure the charts close, kept for inspection."""
    figures, close = [], plt.close

    def keep(fig=None):
        figures.append(fig)
        close(fig)

    monkeypatch.setattr(plt, "close", keep)
    return figures


def panel(fig, title):
    return next(ax for ax in fig.axes if ax.get_title() == title)


def table_texts(table):
    cells = table.get_celld()
    rows = 1 + max(r for r, _ in cells)
    cols = 1 + max(c for _, c in cells)
    return [[cells[r, c].get_text().get_text() for c in range(cols)] for r in range(rows)]


# --- formatting ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, value, digits, text",
    [
        (rv._format_num, 1.234, 2, "1.23"),
        (rv._format_num, 12.6, 0, "13"),
        (rv._format_num, 3, 0, "3"),
        (rv._format_num, -0.004, 2, "-0.00"),
        (rv._format_num, 2.5, 0, "2"),  # exact halves round to even
        (rv._format_num, 0.125, 2, "0.12"),
        (rv._format_num, 2.675, 2, "2.67"),  # 2.675 is stored just below
        (rv._format_num, "1.5", 2, "1.50"),  # float() semantics
        (rv._format_pct, 0.05, 2, "5.00%"),
        (rv._format_pct, 0.05, 1, "5.0%"),
        (rv._format_pct, -0.031, 2, "-3.10%"),
        (rv._format_pct, 1, 2, "100.00%"),
        (rv._format_pct_points, 5.0, 2, "5.00%"),
        (rv._format_pct_points, -0.001, 2, "-0.00%"),
    ],
)
def test_formatters_print_fixed_point(fn, value, digits, text):
    assert fn(value, digits) == text


def test_formatters_agree_with_fixed_point_conversion():
    rng = np.random.default_rng(3)
    for value in np.concatenate([rng.normal(0, 5, 300), rng.normal(0, 1e-3, 300)]):
        digits = int(rng.integers(0, 6))
        assert rv._format_num(value, digits) == f"{value:.{digits}f}"
        assert rv._format_pct(value, digits) == f"{value * 100:.{digits}f}%"


@pytest.mark.parametrize("fn", [rv._format_num, rv._format_pct, rv._format_pct_points])
def test_formatters_reject_bad_digits_and_print_missing_values(fn):
    for value in MISSING:
        assert fn(value) == "--"
    for digits in (2.0, "2", None):
        with pytest.raises(TypeError, match="digits"):
            fn(1.0, digits)
    with pytest.raises(ValueError):
        fn(1.0, -1)
    with pytest.raises(ValueError):
        fn("abc")
    with pytest.raises(TypeError):
        fn(object())


@pytest.mark.parametrize(
    "annual, text",
    [
        (None, "--"),
        (pd.Series(dtype=float), "--"),
        (pd.Series([np.nan, np.nan], index=[2021, 2022]), "--"),
        (pd.Series([0.1], index=[2024]), "2024: 10.00%"),
        (
            pd.Series([-0.031, np.nan, 0.0512], index=[2023, 2022, 2021]),
            "2023: -3.10% | 2021: 5.12%",
        ),
        ({2021: 0.0512, 2022: pd.NA, 2023: -0.031}, "2021: 5.12% | 2023: -3.10%"),
    ],
)
def test_annual_excess_in_stored_order(annual, text):
    assert rv._format_annual_excess(annual) == text


def test_style_survives_a_missing_style_sheet():
    def use(name):
        raise OSError(f"{name} is not a valid style")

    fake = types.SimpleNamespace(style=types.SimpleNamespace(use=use), rcParams={})
    rv._configure_strategy_plot_style(fake)
    assert fake.rcParams == {
        "font.sans-serif": (
            "Helvetica Neue,Arial,PingFang SC,Noto Sans CJK SC,Source Han Sans SC,"
            "WenQuanYi Micro Hei,SimHei,Arial Unicode MS,DejaVu Sans"
        ).split(","),
        "axes.unicode_minus": False,
        "axes.titleweight": "bold",
        "figure.facecolor": "white",
        "axes.facecolor": "#fbfbfd",
    }


# --- yearly table --------------------------------------------------------------------


SHORT = "Year Ret Sharpe MaxDD Calmar ExRet ExSh ExDD ExCal".split()
FULL = ["Year"] + [
    f"{a} {b}" for a in ("Strategy", "Excess") for b in ("Return", "Sharpe", "Max DD", "Calmar")
]


@pytest.mark.parametrize("compact, labels, size", [(True, SHORT, 7.8), (False, FULL, 8.4)])
def test_yearly_table_labels_colours_and_faces(compact, labels, size):
    metrics = rv._calc_yearly_performance_metrics(
        rv._with_datetime_index(make_total(600))[["daily_return", "extra_daily_return"]]
    )
    metrics.loc[metrics.index[1], "strategy_sharpe"] = np.nan
    fig, ax = plt.subplots()
    try:
        rv._draw_yearly_metrics_table(ax, metrics, compact)
        (table,) = ax.tables
        texts = table_texts(table)
        cells = table.get_celld()
        assert texts[0] == labels and cells[0, 0].get_fontsize() == size
        assert [row[0] for row in texts[1:]] == ["2021", "2022", "2023"]
        assert texts[2][2] == "--"
        assert texts[1][1] == rv._format_pct(metrics["strategy_return"].iloc[0])
        colours = [
            [matplotlib.colors.to_hex(cells[r, c].get_text().get_color()) for c in (0, 2, 5)]
            for r in range(4)
        ]
        assert colours[0] == ["#0f172a"] * 3  # the label row is not coloured
        assert colours[2][1:] == ["#1d4ed8", "#b91c1c"]
        assert colours[2][0] not in colours[2][1:]
        faces = [matplotlib.colors.to_hex(cells[r, 3].get_facecolor()) for r in range(4)]
        assert faces == ["#eef2ff", "#ffffff", "#f8fafc", "#ffffff"]
        assert cells[0, 4].get_text().get_fontweight() == "bold"
        assert not ax.axison
    finally:
        plt.close(fig)


def test_empty_yearly_table_is_a_note():
    fig, ax = plt.subplots()
    rv._draw_yearly_metrics_table(ax, pd.DataFrame())
    assert [t.get_text() for t in ax.texts] == ["No yearly metric data"]
    assert not ax.tables and not ax.axison and ax.get_title() == ""
    plt.close(fig)


# --- figures ---------------------------------------------------------------------------


@pytest.mark.parametrize("figure, kind", list(PAGES))
def test_png_size_is_inches_times_dpi(tmp_path, figure, kind):
    path = tmp_path / f"{figure}-{kind}.png"
    out = draw(figure, make_total(300), path, image_kind=kind)
    assert out == {"main" if figure == "main" else "weekly_net_value": str(path)}
    (w, h), dpi = PAGES[figure, kind]
    with Image.open(path) as image:
        assert image.format == "PNG" and image.size == (int(w * dpi), int(h * dpi))


def test_performance_figure_content(tmp_path, drawn):
    total = make_total(30)
    stats = rv.calc_strategy_stats(total, None)
    del stats["turnover"]
    draw(
        "main",
        total,
        tmp_path / "a.png",
        stats=stats,
        strategy_name="动量策略",
        plot_title="",
        image_kind="Large",
        benchmark_name="000300",
        rolling_window=5.7,
    )
    (fig,) = drawn
    assert fig.get_size_inches().tolist() == [15.5, 34.0]  # only "large" is wide
    assert fig.get_suptitle() == "动量策略 | Benchmark 000300 | Strategy Performance"

    cards = [t.get_text() for t in fig.axes[0].texts]
    assert cards[1::2] == CARD_LABELS
    formats = {"n": rv._format_num, "p": rv._format_pct, "pp": rv._format_pct_points}
    keys = "pp annual_return,n long_sharp,p max_dd,pp extra_annual_return,n extra_sharp,"
    keys += "p extra_max_dd,p win_rate,p excess_win_rate"
    expected = [formats[f](stats[k]) for f, k in map(str.split, keys.split(","))]
    assert cards[0::2] == expected + ["--"]  # no turnover in the statistics

    (summary,) = next(ax for ax in fig.axes if ax.tables and not ax.get_title()).tables
    rows = dict(table_texts(summary)[1:])
    first, last = pd.to_datetime(total.index[[0, -1]], format="%Y%m%d")
    assert rows["Date Range"] == f"{first:%Y-%m-%d} ~ {last:%Y-%m-%d}"
    assert (rows["Trading Days"], rows["Rolling Window"]) == ("30", "5")
    assert rows["Benchmark"] == "000300"
    assert rows["Turnover"] == "--" and rows["Avg Holding"] == "--"
    yearly_excess = rv._with_datetime_index(total)["extra_daily_return"].sum()
    assert rows["Annual Excess"] == "2021: " + rv._format_pct(yearly_excess)

    rolling = panel(fig, "Rolling Excess Stability")
    labels = [line.get_label() for line in rolling.get_legend().get_lines()]
    assert labels == ["10D Excess Sharpe", "10D Win Rate"]
    excess = total["extra_daily_return"]
    expected = excess.rolling(10).mean() / excess.rolling(10).std() * math.sqrt(252)
    np.testing.assert_allclose(rolling.lines[0].get_ydata(), expected, rtol=1e-9)
    drawdown = panel(fig, "Drawdown")
    np.testing.assert_array_equal(drawdown.lines[0].get_ydata(), total["extra_max_drowdown"])


def test_short_run_has_no_rolling_panel_and_empty_frames_draw_nothing(tmp_path, drawn):
    draw("main", make_total(4), tmp_path / "short.png")
    notes = [t.get_text() for t in panel(drawn[0], "Rolling Excess Stability").texts]
    assert notes == ["Not enough data"]
    for figure in ("main", "weekly"):
        path = tmp_path / f"{figure}-empty.png"
        key = "main" if figure == "main" else "weekly_net_value"
        assert draw(figure, make_total(0), str(path)) == {key: str(path)}
        assert not path.exists()
    assert len(drawn) == 1 and plt.get_fignums() == []


def test_weekly_figure_content(tmp_path, drawn):
    total = make_total(120)
    draw(
        "weekly",
        total,
        tmp_path / "w.png",
        strategy_name="s",
        plot_title="周报",
        image_kind="long",
        benchmark_name="000905",
    )
    (fig,) = drawn
    assert fig.get_suptitle() == "周报 | Benchmark 000905 | Weekly Net Value"
    weekly = rv._build_weekly_net_value_frame(total)
    nav, dd = panel(fig, "Weekly Net Value"), panel(fig, "Weekly Drawdown")
    np.testing.assert_array_equal(nav.lines[1].get_ydata(), weekly["close_net_value"])
    bench_dd = weekly["close_net_value"] - weekly["close_net_value"].cummax()
    np.testing.assert_allclose(dd.lines[0].get_ydata(), bench_dd, atol=1e-15)
    labels = [t.get_text() for t in dd.get_legend().get_texts()]
    assert labels == ["Strategy Drawdown", "000905 Drawdown", "Excess Drawdown"]
    assert dd.get_shared_x_axes().joined(dd, nav)


def test_chinese_title_has_every_glyph(tmp_path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for figure in ("main", "weekly"):
            draw(figure, make_total(60), tmp_path / f"{figure}.png", strategy_name="动量策略")
    assert not [w for w in caught if "missing from" in str(w.message)]


@pytest.mark.parametrize(
    "kwargs",
    [
        {"stats": []},
        {"strategy_name": None},
        {"plot_title": 1},
        {"image_kind": None},
        {"benchmark_name": 852},
        {"rolling_window": "5"},
        {"save_path": 1},
    ],
)
def test_bad_arguments_raise_type_error(tmp_path, kwargs):
    with pytest.raises(TypeError):
        draw("main", make_total(10), kwargs.pop("save_path", tmp_path / "x.png"), **kwargs)


def test_threads_draw_one_at_a_time_and_failures_release_everything(tmp_path, monkeypatch):
    lock = rv._MATPLOTLIB_PLOT_LOCK
    held, save = [], matplotlib.figure.Figure.savefig

    def savefig(self, *args, **kwargs):  # another thread cannot take the lock mid-draw
        probe = threading.Thread(target=lambda: held.append(not lock.acquire(timeout=0)))
        probe.start()
        probe.join()
        return save(self, *args, **kwargs)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    total, results = make_total(200), {}

    def run(figure):
        results[figure] = draw(figure, total, tmp_path / f"{figure}.png")

    threads = [threading.Thread(target=run, args=(f,)) for f in ("main", "weekly")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert held == [True, True]
    for figure, key in (("main", "main"), ("weekly", "weekly_net_value")):
        (w, h), dpi = PAGES[figure, "large"]
        with Image.open(results[figure][key]) as image:
            assert image.size == (int(w * dpi), int(h * dpi))

    for figure in ("main", "weekly"):
        with pytest.raises(OSError):
            draw(figure, total, tmp_path / "missing" / "x.png")
    assert plt.get_fignums() == []
    free = []

    def take():
        free.append(lock.acquire(timeout=1))
        lock.release()

    t = threading.Thread(target=take)
    t.start()
    t.join()
    assert free == [True]


@pytest.mark.parametrize("caller_froze", [False, True])
def test_a_drawing_leaves_no_figure_to_the_collector(tmp_path, caller_froze):
    # A closed figure's reference cycles hold its pixel buffer until collected.
    gc.collect()
    if caller_froze:
        gc.freeze()
    try:
        draw("main", make_total(200), tmp_path / "x.png")
        left = [o for o in gc.get_objects() if isinstance(o, matplotlib.figure.Figure)]
        assert (gc.get_freeze_count() > 0) == caller_froze
    finally:
        gc.unfreeze()
    assert bool(left) == caller_froze  # a caller's frozen objects are never thawed


def test_a_strategy_backtest_writes_both_figures(tmp_path):
    signal, market = random_market(5, n_days=90, n_stocks=30)
    result = rv.run_strategy_backtest_core(
        signal,
        *(market[k] for k in MARKET_KEYS),
        plot_image_kind="long",
        plot_save_path=tmp_path / "run.png",
        strategy_name="动量策略",
    )
    assert result.plot_paths == {
        "main": str(tmp_path / "run.png"),
        "weekly_net_value": str(tmp_path / "run_weekly_net_value.png"),
    }
    for figure, key in (("main", "main"), ("weekly", "weekly_net_value")):
        (w, h), dpi = PAGES[figure, "long"]
        with Image.open(result.plot_paths[key]) as image:
            assert image.size == (int(w * dpi), int(h * dpi))
