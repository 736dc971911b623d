"""The demo job: writes a store once, reuses it, and simulates on what it loaded."""

from mirtaly import demo


def test_demo_writes_once_then_reuses_the_store(tmp_path, capsys):
    store = tmp_path / "store"
    assert demo.main([str(store)]) == 0
    first = capsys.readouterr().out
    assert f"wrote a store to {store}" in first
    assert "equal-weight strategy over 59 days" in first
    assert "turnover" in first

    assert demo.main([str(store)]) == 0
    second = capsys.readouterr().out
    assert "wrote a store" not in second
    # The same stored data gives the same figures.
    assert second.splitlines()[1:] == first.splitlines()[2:]
