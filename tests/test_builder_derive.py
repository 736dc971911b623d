"""The derived base datasets and component masks, against plain pandas and by hand."""

import numpy as np
import pandas as pd
import pytest

from conftest import assert_frames
from mirtaly.backtest import _prepare as P
from mirtaly.market import InMemoryMarketClient
from reference_builder import reference_build_from_matrices

BUILDER = P.GroupPreparedDataBuilder("20240102", "20240131")
DATES = [f"202401{d:02d}" for d in range(2, 12)]
CODES = ["000001", "000002", "300750", "600000", "688001", "830001"]
NAN, INF = np.nan, np.inf


def random_source(seed):
    """Ten source matrices on overlapping, differing labels, with holes, ties and zeros."""
    rng = np.random.default_rng(seed)

    def matrix(values=(9.0, 10.0, 11.0, 0.0, NAN)):
        dates = sorted(rng.choice(DATES, rng.integers(4, len(DATES) + 1), replace=False))
        codes = sorted(rng.choice(CODES, rng.integers(3, len(CODES) + 1), replace=False))
        return pd.DataFrame(rng.choice(values, (len(dates), len(codes))), dates, codes)

    source = {name: matrix() for name in P.BUILD_INPUT_NAMES}
    source["Open"] = matrix((9.0, 10.0, 11.0, 0.0, NAN, INF))
    source["rq_is_suspended"] = matrix((1.0, 0.0, NAN))
    return source


@pytest.mark.parametrize("seed", range(8))
def test_derivations_match_plain_pandas_on_the_union_of_labels(seed):
    source = random_source(seed)
    got = BUILDER._build_from_matrices(source)
    want = reference_build_from_matrices(source)
    assert list(got) == list(P.BASE_MATRIX_DTYPE)
    for key in want:
        assert_frames(got[key], want[key])
    assert got["close_price"] is source["Close"]  # passed through, not copied


def hand_source(flag):
    close = pd.DataFrame([[12.5, NAN, 7.0]] * 2, ["d1", "d2"], ["A", "B", "C"])
    source = dict.fromkeys(P.BUILD_INPUT_NAMES, close)
    prices = pd.DataFrame([[10.0, 11.0], [12.0, 13.0]], ["d1", "d2"], ["A", "B"])
    limits = pd.DataFrame([[10.0, 99.0], [99.0, 99.0]], ["d1", "d2"], ["A", "B"])
    source.update(
        {name: prices for name in ("tick_vwap_price_935_1005", "tick_vwap_price_925_1000")}
    )
    source.update(limit_up=limits, limit_down=limits, rq_is_suspended=flag)
    source["split_coefficient_to"] = pd.DataFrame(13.0, ["d0", "d1", "d2"], ["A", "B", "C"])
    source["rq_get_dividend"] = pd.DataFrame(5.0, ["d1", "d2", "d3"], ["A", "B", "C"])
    return source


def test_masks_and_factors_by_hand():
    # Flag 1 trades normally, 0 or NaN does not, no flag counts as 1; C and d3 only flagged.
    flag = pd.DataFrame([[1.0, 0.0], [NAN, 1.0]], ["d1", "d3"], ["B", "C"])
    out = BUILDER._build_from_matrices(hand_source(flag))
    grid = dict(index=["d1", "d2", "d3"], columns=["A", "B", "C"])
    F, T = False, True
    assert_frames(out["can_buy_stock"], pd.DataFrame([[F, T, F], [T, T, F], [F, F, F]], **grid))
    assert_frames(out["cant_sell_stock"], pd.DataFrame([[T, F, T], [F, F, F], [F, T, F]], **grid))
    # Split rows before the first close and dividend rows after the last one go.
    for key, value in (("rq_get_split", 1.3), ("rq_get_dividend", 0.45)):
        want = pd.DataFrame([[value, NAN, value]] * 2, ["d1", "d2"], ["A", "B", "C"])
        assert_frames(out[key], want)

    out = BUILDER._build_from_matrices(hand_source(flag.reindex_like(out["can_buy_stock"]) * NAN))
    assert not out["can_buy_stock"].any().any() and out["cant_sell_stock"].all().all()
    source = hand_source(flag)
    del source["Close"], source["limit_down"]
    with pytest.raises(KeyError, match="limit_down"):  # the first missing, in lookup order
        BUILDER._build_from_matrices(source)
    with pytest.raises(TypeError):
        BUILDER._build_from_matrices(list(source.items()))


def test_forward_open_return_ranks_ties_and_infinities():
    opens = pd.DataFrame(
        {"A": [10, 11, 12.1, 13], "B": [10, 11, 12.1, 14], "C": [10, 10, 8, 8], "D": [5, 0, 5, 5]},
        index=DATES[:4],
    )
    source = {name: opens for name in P.BUILD_INPUT_NAMES}
    rank = BUILDER._build_from_matrices(source)["forward_return_rank_cache"]
    assert rank.iloc[0].tolist()[:3] == [2.5, 2.5, 1.0] and np.isnan(rank.iloc[0, 3])
    assert rank.iloc[1].tolist() == [3.0, 4.0, 1.5, 1.5]
    assert rank.iloc[2:].isna().all().all()


def test_component_masks(install_client):
    names = ["c_batch", "c_empty", "c_failing", "c_absent"]
    values = pd.DataFrame([[1, 0.25, -1, 0, NAN, INF]], ["20240103"], CODES)
    client = install_client(
        InMemoryMarketClient({"c_empty": values * 2}, failing_factors=["c_failing"])
    )
    batch = {
        "c_batch": pd.concat([values, values.rename(index={"20240103": "20240102"})]),
        "c_empty": pd.DataFrame(),
    }
    masks = BUILDER._component_matrices(names, batch)
    assert list(masks) == ["c_batch", "c_empty"]
    want = pd.DataFrame([[1.0, 1.0, 1.0, NAN, NAN, NAN]] * 2, ["20240102", "20240103"], CODES)
    assert_frames(masks["c_batch"], want)
    assert_frames(masks["c_empty"], want.iloc[1:].drop(columns="688001"))  # no row for NaN
    assert [c.kwargs["factor"] for c in client.calls] == ["c_empty", "c_failing", "c_absent"]
