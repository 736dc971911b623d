"""The sandbox market, its factor service and its package server."""

import hashlib
import tarfile

import exchange_calendars
import numpy as np
import pandas as pd
import pytest

from mirtaly._http import HttpClient
from mirtaly.backtest import _prepare, _service
from mirtaly.exceptions import NetworkError
from mirtaly.sandbox import INDEX_TIERS, generate_market, trading_sessions
from mirtaly.sandbox.package import build_benchmark_package, file_sha256
from mirtaly.sandbox.server import PACKAGE_INFO_PATH


def _cent(x):
    return np.floor(x * 100 + 0.5 + 1e-7) / 100


class TestMarket:
    def test_same_seed_same_market_other_seed_other_market(self, tiny_market):
        again = generate_market(60, sessions=130, seed=7, end=tiny_market.dates[-1])
        other = generate_market(60, sessions=130, seed=8, end=tiny_market.dates[-1])
        for name in ("close", "vwap_935_1005", "dividend", "suspended"):
            np.testing.assert_array_equal(getattr(again, name), getattr(tiny_market, name))
        pd.testing.assert_frame_equal(again.index_daily, tiny_market.index_daily)
        assert not np.array_equal(other.close, tiny_market.close, equal_nan=True)

    @pytest.mark.filterwarnings("ignore::DeprecationWarning")  # the calendar's, under pandas 3
    def test_sessions_are_the_exchange_calendar(self, tiny_market):
        calendar = exchange_calendars.get_calendar("XSHG")
        dates = tiny_market.dates
        expected = calendar.sessions_in_range(dates[0], dates[-1])
        assert list(dates) == list(expected.tz_localize(None))
        # By default a span ends on the last session up to today.
        sessions = calendar.sessions.tz_localize(None)
        assert trading_sessions(sessions=1)[0] == sessions[sessions <= pd.Timestamp.today()][-1]

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"sessions": 5, "end": pd.Timestamp.today() + pd.Timedelta(days=3)},
            {"start": "2024-01-02", "sessions": 5},
            {"start": "1990-12-19", "end": "1991-01-05"},
            {"start": "2024-02-10", "end": "2024-02-17"},  # the spring festival week
        ],
    )
    def test_spans_that_cannot_be_had(self, kwargs):
        with pytest.raises(ValueError):
            trading_sessions(**kwargs)

    def test_prices_exist_exactly_on_trading_days(self, tiny_market):
        m = tiny_market
        trading = m.listed & ~m.suspended
        for field in (
            "close",
            "open",
            "limit_up",
            "limit_down",
            "vwap_925_1000",
            "vwap_935_1005",
            "prev_close",
        ):
            np.testing.assert_array_equal(np.isfinite(getattr(m, field)), trading, err_msg=field)
        assert m.suspended.any() and (m.listing > 0).any()
        for column in np.flatnonzero(m.listing > 0):
            assert not m.listed[: m.listing[column], column].any()

    def test_limits_by_board_around_the_ex_rights_reference(self, tiny_market):
        m = tiny_market
        pct = np.where(m.codes.str[:3].isin(["300", "688"]), 0.2, 0.1)
        split = np.where(np.isnan(m.split_ratio), 1.0, m.split_ratio)
        reference = (m.prev_close - np.nan_to_num(m.dividend)) / split
        ok = np.isfinite(m.close)
        np.testing.assert_array_equal(_cent(reference * (1 + pct))[ok], m.limit_up[ok])
        np.testing.assert_array_equal(_cent(reference * (1 - pct))[ok], m.limit_down[ok])
        assert (m.limit_down[ok] <= m.close[ok]).all() and (m.close[ok] <= m.limit_up[ok]).all()
        assert (m.close[ok] == m.limit_up[ok]).any() and (m.close[ok] == m.limit_down[ok]).any()

    def test_trades_at_a_limit_only_when_locked_there(self, tiny_market):
        m = tiny_market
        assert m.locked_up.any() and m.locked_down.any()
        for vwap in (m.vwap_925_1000, m.vwap_935_1005, m.open):
            np.testing.assert_array_equal(vwap == m.limit_up, m.locked_up)
        for vwap in (m.vwap_925_1000, m.vwap_935_1005):
            np.testing.assert_array_equal(vwap == m.limit_down, m.locked_down)

    def test_index_members_trade_and_weigh_by_value_at_the_previous_close(self, tiny_market):
        m = tiny_market
        split = np.where(np.isnan(m.split_ratio), 1.0, m.split_ratio)
        value_before = m.prev_close * m.shares / split
        member_return = split * m.close / m.prev_close - 1
        for code, weights in m.index_weights.items():
            held = np.isfinite(weights)
            assert held.any(axis=1).all(), code
            assert np.isfinite(m.close[held]).all()
            expected = np.where(held, value_before, np.nan)
            expected /= np.nansum(expected, axis=1, keepdims=True)
            np.testing.assert_allclose(weights, expected, rtol=1e-12)
            np.testing.assert_allclose(
                m.index_daily[code], np.nansum(weights * member_return, axis=1), atol=1e-15
            )

    def test_larger_tiers_hold_larger_stocks(self, tiny_market):
        m = tiny_market
        value = m.prev_close[0] * m.shares[0]
        bands = [np.isfinite(m.index_weights[c][0]) for c in INDEX_TIERS]
        assert value[bands[0]].min() > value[bands[1]].max() > value[bands[2]].max()


class TestFactorService:
    def test_answers_in_the_services_units(self, tiny_market, sandbox_service):
        m = tiny_market
        names = ["Close", "split_coefficient_to", "rq_get_dividend", "rq_is_suspended"]
        answer = sandbox_service.get_factors(factor=names, start_date=None, end_date=None)
        assert answer["ukey"].str.fullmatch(r"\d{6}\.XSH[GE]").all()
        values = {name: rows["value"] for name, rows in answer.groupby("factor")}
        close = answer[answer["factor"] == "Close"]
        row = m.dates.get_indexer(close["date"])
        col = pd.Index(m.ukeys).get_indexer(close["ukey"])
        np.testing.assert_array_equal(close["value"], m.close[row, col])
        assert len(close) == np.isfinite(m.close).sum()
        assert set(values["split_coefficient_to"]) <= {12.0, 13.0, 15.0, 20.0}
        assert len(values["rq_get_dividend"]) == np.isfinite(m.dividend).sum()
        assert values["rq_get_dividend"].sum() == pytest.approx(10 * np.nansum(m.dividend))
        suspended = values["rq_is_suspended"]
        assert (suspended == 0).sum() == m.suspended.sum()
        assert len(suspended) == m.listed.sum()

    def test_same_question_same_answer_and_windows(self, tiny_market, sandbox_service):
        start, end = tiny_market.dates[[10, 19]].strftime("%Y-%m-%d")
        ask = {"factor": "Open", "start_date": start, "end_date": end}
        first = sandbox_service.get_factors(**ask)
        pd.testing.assert_frame_equal(first, sandbox_service.get_factors(**ask))
        assert first["date"].nunique() == 10
        index = sandbox_service.get_index_daily(
            ukeys=["000300.XSHG"], start_date=start.replace("-", ""), end_date=end.replace("-", "")
        )
        expected = tiny_market.index_daily["000300.XSHG"].iloc[10:20].to_numpy()
        np.testing.assert_array_equal(index["daily_return"], expected)


class TestPackageServer:
    def test_serves_the_signed_archive_under_one_folder(self, served_archive, tmp_path):
        client = served_archive.client()
        info = client.get_json(PACKAGE_INFO_PATH)
        assert info["root"] == "benchmark_data_20240105" and info["end_date"] == "20240105"
        got = client.download(info["url"], tmp_path / "got.tar.gz")
        assert hashlib.sha256(got.read_bytes()).hexdigest() == info["sha256"]
        assert got.stat().st_size == info["size"]
        with tarfile.open(got) as tar:
            assert {name.split("/")[0] for name in tar.getnames()} == {info["root"]}

    @pytest.mark.parametrize("key, secret", [("sandbox", "wrong"), ("other", "sandbox-secret")])
    def test_refuses_a_bad_signature(self, served_archive, key, secret):
        client = HttpClient(served_archive.base_url, key, secret, retries=0)
        with pytest.raises(NetworkError) as failure:
            client.get_json(PACKAGE_INFO_PATH)
        assert failure.value.status == 401

    def test_server_errors_until_it_recovers(self, served_archive):
        served_archive.fail("status", status=502)
        with pytest.raises(NetworkError) as failure:
            served_archive.client().get_json(PACKAGE_INFO_PATH)
        assert failure.value.status == 502
        served_archive.fail("status", times=1)  # the client's one retry gets through
        assert served_archive.client().get_json(PACKAGE_INFO_PATH)["size"] > 0
        assert [r.status for r in served_archive.requests[-2:]] == [503, 200]

    def test_dropped_body_leaves_no_file(self, served_archive, tmp_path):
        client = served_archive.client(retries=0)
        url = client.get_json(PACKAGE_INFO_PATH)["url"]
        served_archive.fail("drop", times=1)
        with pytest.raises(NetworkError, match="incomplete"):
            client.download(url, tmp_path / "got.tar.gz")
        assert list(tmp_path.glob("got*")) == []

    def test_wrong_checksum_and_foreign_address(self, served_archive):
        client = served_archive.client()
        served_archive.fail("checksum", times=1)
        assert client.get_json(PACKAGE_INFO_PATH)["sha256"] != served_archive.package.sha256
        served_archive.fail("address", times=1)
        assert not client.get_json(PACKAGE_INFO_PATH)["url"].startswith("/")
        info = client.get_json(PACKAGE_INFO_PATH)
        assert info["sha256"] == served_archive.package.sha256 and info["url"].startswith("/")


@pytest.fixture(scope="session")
def tiny_package(tiny_market, tmp_path_factory):
    return build_benchmark_package(tiny_market, tmp_path_factory.mktemp("package"))


class TestBenchmarkPackage:
    def test_full_build_unpacks_loads_and_backtests(
        self, tiny_package, tiny_market, tmp_path, monkeypatch
    ):
        m, package = tiny_market, tiny_package
        assert package.end_date == m.date_labels[-6]
        assert file_sha256(package.path) == package.sha256
        with tarfile.open(package.path) as tar:
            assert {name.split("/")[0] for name in tar.getnames()} == {package.root}
            tar.extractall(tmp_path, filter="data")
        monkeypatch.setattr(_service, "_DEFAULT_DATA_DIR", tmp_path / package.root)
        service = _service.BacktestService(None)
        loaded = service.load_backtest_data()
        data = loaded.data

        close = data["close_price"]
        assert list(close.index) == list(m.date_labels[:-5])
        cells = np.ix_(m.date_labels.get_indexer(close.index), m.codes.get_indexer(close.columns))
        assert not data["can_buy_stock"].to_numpy()[m.locked_up[cells]].any()
        assert data["cant_sell_stock"].to_numpy()[m.locked_down[cells]].all()
        for code in ("000300", "000905", "000852"):
            expected = m.index_daily[code + ".XSHG"].iloc[:-5]
            pd.testing.assert_series_equal(
                data["benchmark_dict"][code], expected, check_names=False
            )
        members = data["component__rq_index_components_new_000300_xshg"]
        held = m.frame(m.index_weights["000300.XSHG"]).loc[close.index].notna()
        pd.testing.assert_frame_equal(members.notna(), held[members.columns])
        assert held.any().sum() == members.shape[1]

        weights = members.div(members.sum(axis=1), axis=0)
        window = (close.index[0], close.index[-1])
        result = service.backtest_strategy(weights, loaded, *window, None, "", plot=None)
        assert len(result.daily_return) == len(close) - 1
        assert result.daily_return.notna().all() and result.daily_return.std() > 0

    def test_reused_for_the_same_market_only(self, tiny_package, tiny_market, monkeypatch):
        def no_build(*args, **kwargs):
            raise AssertionError("built again")

        monkeypatch.setattr(_prepare, "GroupPreparedDataBuilder", no_build)
        directory = tiny_package.path.parent
        assert build_benchmark_package(tiny_market, directory) == tiny_package
        other = generate_market(60, sessions=130, seed=8, end=tiny_market.dates[-1])
        with pytest.raises(AssertionError, match="built again"):
            build_benchmark_package(other, directory)
