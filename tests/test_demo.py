"""The main job end to end on a tiny sandbox market: prepared once, found current after."""

from mirtaly import api, demo
from mirtaly.backtest import _service


def test_demo_prepares_backtests_and_finds_the_data_current(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(api, "_client", None)  # the demo configures its sandbox client
    monkeypatch.setattr(api, "_service", None)
    home_dir = _service._DEFAULT_DATA_DIR
    outputs = []
    for _ in range(2):
        assert demo.main([str(tmp_path), "--size", "tiny"]) == 0
        outputs.append(capsys.readouterr().out)
    assert "prepared: downloaded the package and updated it to" in outputs[0]
    assert "data already current up to" in outputs[1] and "downloaded" not in outputs[1]
    figures = sorted((tmp_path / "tiny" / "figures").glob("*.png"))
    assert len(figures) == 3 and all(p.read_bytes()[:4] == b"\x89PNG" for p in figures)
    assert all(str(p) in outputs[0] for p in figures)
    assert "rank IC mean" in outputs[0] and "turnover" in outputs[0]
    # The same data gives the same statistics and tables.
    tables = [[line for line in out.splitlines() if line.startswith(" ")] for out in outputs]
    assert tables[0] == tables[1]
    assert _service._DEFAULT_DATA_DIR == home_dir
