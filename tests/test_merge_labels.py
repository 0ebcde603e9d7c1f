"""The float64 month merge decides its row and day labels once, in its own hash table.

The union it builds must be pandas' own (same labels, order, dtype and name), labels it cannot
read exactly must leave the month to pandas, and a merged file must be the one pandas' general
path writes for the same inputs.
"""

import numpy as np
import pandas as pd
import pytest

try:
    import pyarrow.parquet as pq
except ImportError:  # no pyarrow (32-bit Arm): the files are compared as pandas reads them
    pq = None

from marvane import _names
from marvane.FrameStore import ParquetDataManager

# Orders that differ by encoding: U+FF5E sorts before U+1F600 by code point and by UTF-8,
# after it by UTF-16; é (0xC3..) sorts after z as unsigned bytes, before it as signed ones.
NON_ASCII = ["z", "\U0001F600", "é", "a\x00b"]
UNIONS = {
    "new labels on both sides": (["b", "a", "c"], ["d", "a"]),
    "new side a subset": (["c", "a", "b"], ["b"]),
    "stored side a subset": (["b"], ["c", "b", "a"]),
    "same set other order": (["a", "c", "b"], ["b", "a", "c"]),
    "identical, not sorted": (["c", "a", "b"], ["c", "a", "b"]),
    "new side empty": (["c", "a"], []),
    "stored side empty": ([], ["c", "a"]),
    "non-ASCII": (NON_ASCII, ["\uff5e", "a", "ab", "Z"]),
    "prefixes": (["ab", "a", "abc"], ["a\x00", "b", "a"]),
    "alike in the first 8 bytes": (["600000.XSHG", "600000.XSH", "600000.XSHé"], ["600000.XSHE", "600000.XSH"]),
}
DTYPES = [None, object, "string[python]",
          pytest.param("string[pyarrow]", marks=pytest.mark.skipif(pq is None, reason="no pyarrow"))]


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
@pytest.mark.parametrize("stored,new", UNIONS.values(), ids=UNIONS.keys())
def test_union_is_pandas_own(stored, new, dtype):
    a, b = pd.Index(stored, dtype=dtype, name="code"), pd.Index(new, dtype=dtype, name="code")
    if dtype is None and not stored:  # an empty list makes an object Index; match the other side
        a = a.astype(b.dtype)
    if dtype is None and not new:
        b = b.astype(a.dtype)
    got, want = _names._label_union(a, b), a.union(b)
    assert got.equals(want) and list(got) == list(want)
    assert got.dtype == want.dtype and got.name == want.name


FALLBACKS = {
    "stored label twice": (["a", "b", "a"], ["c"], None),
    "new label twice": (["a", "b"], ["c", "a", "c"], None),
    "label not a str": (["a", "b"], ["c", 1], object),
    "missing label": (["a", "b"], ["c", np.nan], object),
    "lone surrogate": (["a", "\ud800"], ["b"], object),
    "str subclass": (["a", "b"], [type("Code", (str,), {})("c")], object),
}


@pytest.mark.parametrize("stored,new,dtype", FALLBACKS.values(), ids=FALLBACKS.keys())
def test_labels_it_cannot_read_exactly_are_left_to_pandas(stored, new, dtype):
    assert _names._label_union(pd.Index(stored, dtype=dtype), pd.Index(new, dtype=dtype)) is None


@pytest.mark.parametrize("raw", [b"ok\xff", b"\xc0\xaf", b"\xed\xa0\x80"], ids=["byte", "overlong", "surrogate"])
def test_arrow_text_that_is_not_utf8_is_left_to_pandas(raw):
    pa = pytest.importorskip("pyarrow")
    labels = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(np.array([0, 1, 1 + len(raw)], "int32")),
                                                    pa.py_buffer(b"a" + raw)])
    stored = pd.Index(pd.arrays.ArrowStringArray(labels))
    assert _names._label_union(stored, pd.Index(["b"], dtype=stored.dtype)) is None
    sliced = pd.Index(["x", "é", "z", "w"], dtype="string[pyarrow]")[1:3]  # offsets into shared buffers
    assert _names._label_union(sliced, sliced[:1]).equals(sliced.union(sliced[:1]))
    missing = pd.Index(["a", None], dtype="string[pyarrow]")
    assert _names._label_union(missing, pd.Index(["b"], dtype=missing.dtype)) is None


def test_day_union_is_pandas_own():
    a = pd.to_datetime(["2024-03-05", "2024-03-01"])
    b = pd.to_datetime(["2024-03-04", "2024-03-01", "2024-03-06"])
    assert _names._label_union(a, b).equals(a.union(b))
    assert _names._label_union(a, a[::-1]).equals(a.union(a[::-1]))
    assert _names._label_union(a, pd.DatetimeIndex(["2024-03-01", pd.NaT])) is None


def month(values, index, days):
    return pd.DataFrame(np.array(values, dtype="float64"), index=pd.Index(index, name="code"),
                        columns=pd.to_datetime(days))


nan = np.nan
D2, D3 = ["2024-03-01", "2024-03-04"], ["2024-03-01", "2024-03-04", "2024-03-05"]
MERGES = {
    "new rows on both sides, new day": (
        month([[1, nan], [nan, 4], [5, 6]], ["b", "a", "c"], D2),
        month([[9, 2, 5], [3, 8, nan]], ["d", "a"], D3)),
    "stored rows missing from the new data": (
        month([[1, nan], [2, 3], [nan, 7]], ["c", "a", "b"], D2),
        month([[1.5, 5]], ["c"], D2)),
    "same rows other order, a gap filled": (
        month([[1, nan], [2, 3], [4, 5]], ["a", "c", "b"], D2),
        month([[4, 5], [1, 7], [2, 3]], ["b", "a", "c"], D2)),
    "same rows other order, nothing new": (
        month([[1, nan], [2, 3]], ["a", "c"], D2),
        month([[2, 3], [1, nan]], ["c", "a"], D2)),
    "same rows and days in other orders, a value differs": (
        month([[1, 2], [3, 4]], ["a", "c"], D2),
        month([[4, 3.5], [2, 1]], ["c", "a"], D2[::-1])),
    "identical rows, new day": (
        month([[1, nan], [2, 3]], ["c", "a"], D2),
        month([[1, nan, 6], [2, 3, nan]], ["c", "a"], D3)),
    "a row empty on both sides is dropped": (
        month([[nan, nan], [1, nan]], ["a", "b"], D2),
        month([[nan, nan], [nan, 2], [1, nan]], ["a", "é", "b"], D2)),
    "non-ASCII rows": (
        month([[1, 2], [3, 4]], ["z", "é"], D2),
        month([[5, 6], [7, 8], [9, 1]], ["\U0001F600", "\uff5e", "a"], D2)),
}


def merge_once(path, stored, new):
    stored = stored.copy()
    stored.columns = stored.columns.strftime("%Y-%m-%d")
    stored.to_parquet(path)  # as it is, an empty row included
    ParquetDataManager.update_pivot_parquet(str(path), new.copy(), "%Y-%m-%d")
    return pq.read_table(path) if pq else pd.read_parquet(path)


@pytest.mark.parametrize("order", ["C", "F"])  # the new cells row after row, or column after column
@pytest.mark.parametrize("stored,new", MERGES.values(), ids=MERGES.keys())
def test_merged_file_is_the_one_pandas_path_writes(tmp_path, monkeypatch, capsys, stored, new, order):
    new = pd.DataFrame(np.array(new.to_numpy(), order=order), index=new.index, columns=new.columns)
    (tmp_path / "plan").mkdir()
    (tmp_path / "pandas").mkdir()
    unions = []
    real_union = pd.Index.union
    monkeypatch.setattr(pd.Index, "union", lambda self, *a, **k: unions.append(1) or real_union(self, *a, **k))
    planned = merge_once(tmp_path / "plan" / "close_2024-03.parquet", stored, new)
    assert unions == []  # the plan took the month
    planned_out = capsys.readouterr().out.replace("/plan/", "/")

    real = pd.DataFrame.combine_first  # replaced on the class: the general path is taken
    monkeypatch.setattr(pd.DataFrame, "combine_first", lambda self, other: real(self, other))
    general = merge_once(tmp_path / "pandas" / "close_2024-03.parquet", stored, new)
    assert planned_out == capsys.readouterr().out.replace("/pandas/", "/")
    if pq is None:
        pd.testing.assert_frame_equal(planned, general, check_exact=True)
        return
    assert planned.schema.equals(general.schema, check_metadata=True)
    assert planned.equals(general)
