"""The main job end to end on a tiny sandbox market: prepared once, found current after."""

from mirtaly import api, demo
from mirtaly.backtest import _service


def test_demo_prepares_backtests_and_finds_the_data_current(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(api, "_client", None)  # the demo configures its sandbox client
    monkeypatch.setattr(api, "_service", None)
    home_dir = _service._DEFAULT_DATA_DIR
    assert demo.main([str(tmp_path), "--size", "tiny"]) == 0
    first = capsys.readouterr().out
    assert "prepared: downloaded the package and updated it to" in first
    assert (tmp_path / "tiny" / "backtest_data" / "enviroment_data" / "metadata.pkl").exists()
    figures = sorted((tmp_path / "tiny" / "figures").glob("*.png"))
    assert [p.name for p in figures] == [
        "reversal_top_group.png",
        "reversal_top_group_weekly_net_value.png",
    ]
    assert all(p.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for p in figures)
    for path in figures:
        assert str(path) in first
    assert "annual_return" in first and "turnover" in first

    assert demo.main([str(tmp_path), "--size", "tiny"]) == 0
    second = capsys.readouterr().out
    assert "data already current up to" in second and "downloaded" not in second
    # The same data gives the same statistics.
    stats = [line for line in first.splitlines() if line.startswith("  ")]
    assert stats == [line for line in second.splitlines() if line.startswith("  ")]
    assert _service._DEFAULT_DATA_DIR == home_dir
