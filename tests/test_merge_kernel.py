"""The cell loops of the float64 month merge agree with numpy, and refuse what they cannot read."""

import numpy as np
import pytest

from marvane import _names

nan, inf = np.nan, np.inf


def reference(stored, incoming):
    s_nan, n_nan = np.isnan(stored), np.isnan(incoming)
    differ = bool((s_nan != n_nan).any() or ((stored != incoming) & ~s_nan).any())
    values = np.where(s_nan, incoming, stored)
    keep = ~np.isnan(values).all(axis=1)
    return differ, values, keep


def table(rows, cols, seed, holes):
    rng = np.random.default_rng(seed)
    t = rng.random((rows, cols))
    t[rng.random((rows, cols)) < holes] = nan
    return t


big = table(301, 21, 1, 0.2)  # odd number of cells: the pairwise loop and its tail both run
PAIRS = {
    "equal": (big, big.copy()),
    "NaN on both sides only": (np.array([[nan, 1.0], [2.0, nan]]), np.array([[nan, 1.0], [2.0, nan]])),
    "NaN stored, value new": (np.array([[nan, 1.0], [2.0, 3.0]]), np.array([[5.0, 1.0], [2.0, 3.0]])),
    "value stored, NaN new": (np.array([[1.0, 2.0, 3.0]]), np.array([[1.0, 2.0, nan]])),
    "one value differs, last cell": (big, np.where(np.arange(big.size).reshape(big.shape) == big.size - 1, 9.0, big)),
    "zero signs and infinities": (np.array([[0.0, inf, -inf]]), np.array([[-0.0, inf, -inf]])),
    "infinity against NaN": (np.array([[inf, nan]]), np.array([[nan, nan]])),
    "a row left empty": (np.array([[nan, nan], [1.0, nan], [nan, nan]]), np.array([[nan, nan], [nan, nan], [nan, 4.0]])),
    "empty": (np.empty((0, 3)), np.empty((0, 3))),
    "no columns": (np.empty((2, 0)), np.empty((2, 0))),
    "random holes": (big, table(301, 21, 2, 0.5)),
}


@pytest.mark.parametrize("order", ["CC", "FF", "CF", "FC"])  # stored's, then incoming's
@pytest.mark.parametrize("stored,incoming", PAIRS.values(), ids=PAIRS.keys())
def test_kernel_matches_numpy(stored, incoming, order):
    stored, incoming = np.asarray(stored, order=order[0]), np.asarray(incoming, order=order[1])
    before = stored.copy(), incoming.copy()
    differ, values, keep = reference(stored, incoming)
    assert _names._cells_differ(stored, incoming) is differ
    got, got_keep = _names._fill_cells(stored, incoming)
    np.testing.assert_array_equal(got, values)  # NaN at the same places, signs of zero aside
    assert np.array_equal(np.signbit(got), np.signbit(values))
    assert got.flags[f"{order[0]}_CONTIGUOUS"]  # in the stored table's order
    if keep.all():
        assert got_keep is None
    else:
        np.testing.assert_array_equal(got_keep, keep)
    np.testing.assert_array_equal(stored, before[0])  # the inputs are left as they were
    np.testing.assert_array_equal(incoming, before[1])


a = np.ones((4, 6))
REFUSED = {
    "non-contiguous stored": (a[:, ::2], a[:, ::2].copy(), ValueError, "contiguous"),
    "non-contiguous incoming": (a[::2].copy(), a[::2, ::-1], ValueError, "contiguous"),
    "shapes differ": (np.ones((2, 3)), np.ones((3, 2)), ValueError, "shape"),
    "one dimension": (np.ones(4), np.ones(4), ValueError, "2 dimensions"),
    "float32": (a.astype("float32"), a, TypeError, "float64"),
    "big-endian": (a.astype(">f8"), a, TypeError, "float64"),
    "a list": (a, a.tolist(), TypeError, "list"),
}


@pytest.mark.parametrize("stored,incoming,error,words", REFUSED.values(), ids=REFUSED.keys())
@pytest.mark.parametrize("kernel", [_names._cells_differ, _names._fill_cells], ids=["differ", "fill"])
def test_kernel_refuses(kernel, stored, incoming, error, words):
    with pytest.raises(error, match=words):
        kernel(stored, incoming)
