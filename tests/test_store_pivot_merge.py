"""Merging one month into its partition file (update_pivot_parquet)."""

import os

import numpy as np
import pandas as pd
import pytest

from marvane.FrameStore import ParquetDataManager as PDM
from frames import pivot

NAN = np.nan
DAYS = ["2024-03-01", "2024-03-04", "2024-03-05"]


@pytest.fixture
def month(store):
    """Path of a March 2024 partition file holding a and b (b has a gap on 03-05)."""
    path = store._get_pivot_file_path("close", 2024, 3)
    PDM.update_pivot_parquet(path, pivot([[1.0, 2.0, 3.0], [4.0, 5.0, NAN], [NAN] * 3],
                                         ["a", "b", "z"], DAYS))
    return path


def stored(path):
    return pd.read_parquet(path)


def test_new_file_drops_empty_rows_and_formats_labels(store, capsys):
    path = store._get_pivot_file_path("close", 2024, 3)
    df = pivot([[1.0, NAN], [NAN, NAN], [0.0, 2.0]], ["a", "z", "c"],
               [pd.Timestamp("2024-03-01"), pd.Timestamp("2024-03-04")])
    before = df.copy()
    PDM.update_pivot_parquet(path, df)
    assert capsys.readouterr().out == (
        f"{path}: Initializing: Shape (2, 2) From 2024-03-01 To 2024-03-04\n")
    got = stored(path)
    assert list(got.columns) == ["2024-03-01", "2024-03-04"] and list(got.index) == ["a", "c"]
    pd.testing.assert_frame_equal(df, before)  # the caller's table is left alone
    assert os.listdir(os.path.dirname(path)) == ["close_2024-03.parquet"]


# The rows kept are pandas' own dropna(how="all"), whatever the layout of the float64 values:
# one block in row or column order, or one block per column.
@pytest.mark.parametrize("layout", ["rows", "columns", "blocks"])
def test_empty_rows_are_found_in_every_value_layout(store, layout):
    values = np.array([[NAN, NAN, NAN], [np.inf, NAN, NAN], [NAN, NAN, -0.0], [NAN] * 3, [1.0, 2.0, 3.0]])
    ids, days = ["a", "b", "c", "d", "e"], pd.to_datetime(DAYS)
    if layout == "blocks":
        df = pd.DataFrame({day: values[:, j] for j, day in enumerate(days)}, index=ids)
    else:
        df = pd.DataFrame(values if layout == "rows" else np.asfortranarray(values), index=ids, columns=days)
    path = store._get_pivot_file_path("close", 2024, 3)
    PDM.update_pivot_parquet(path, df)
    assert list(stored(path).index) == list(df.dropna(how="all").index) == ["b", "c", "e"]
    # the same rows again, merged into the stored month: found identical, nothing dropped anew
    PDM.update_pivot_parquet(path, df)
    assert list(stored(path).index) == ["b", "c", "e"]


def test_identical_data_leave_the_file_alone(month, capsys):
    capsys.readouterr()
    mtime = os.stat(month).st_mtime_ns
    incoming = pivot([[4.0, 5.0, NAN], [1.0, 2.0, 3.0]], ["b", "a"], DAYS)  # rows reordered
    PDM.update_pivot_parquet(month, incoming)
    assert capsys.readouterr().out == (
        f"{month}: Dataframes are identical. From 2024-03-01 00:00:00 To 2024-03-05 00:00:00"
        " Total Shape (2, 3)\n")
    assert os.stat(month).st_mtime_ns == mtime
    assert isinstance(incoming.columns, pd.DatetimeIndex)  # the caller sees converted labels


@pytest.mark.parametrize("incoming, expected", [
    # a changed stored value is noticed but the stored value wins
    (pivot([[9.0, 2.0, 3.0], [4.0, 5.0, NAN]], ["a", "b"], DAYS),
     pivot([[1.0, 2.0, 3.0], [4.0, 5.0, NAN]], ["a", "b"], DAYS)),
    # a value for a stored gap fills it
    (pivot([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], ["a", "b"], DAYS),
     pivot([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], ["a", "b"], DAYS)),
    # null against 0 is a difference: 0 fills the gap
    (pivot([[1.0, 2.0, 3.0], [4.0, 5.0, 0.0]], ["a", "b"], DAYS),
     pivot([[1.0, 2.0, 3.0], [4.0, 5.0, 0.0]], ["a", "b"], DAYS)),
    # a stored instrument missing from the new data keeps its row
    (pivot([[1.0, 2.0, 3.0]], ["a"], DAYS),
     pivot([[1.0, 2.0, 3.0], [4.0, 5.0, NAN]], ["a", "b"], DAYS)),
    # only later days: stored days stay, new days are added after them
    (pivot([[7.0], [8.0]], ["a", "b"], ["2024-03-29"]),
     pivot([[1.0, 2.0, 3.0, 7.0], [4.0, 5.0, NAN, 8.0]], ["a", "b"], DAYS + ["2024-03-29"])),
    # every stored day plus new ones, and a new instrument sorting before the others
    (pivot([[1.0, 2.0, 3.0, 7.0], [4.0, 5.0, NAN, 8.0], [0.5] * 4], ["a", "b", "Z"],
           DAYS + ["2024-03-29"]),
     pivot([[0.5] * 4, [1.0, 2.0, 3.0, 7.0], [4.0, 5.0, NAN, 8.0]], ["Z", "a", "b"],
           DAYS + ["2024-03-29"])),
    # new data back-fill an earlier day (pandas 3 combine_first would append it last)
    (pivot([[0.5], [0.6]], ["a", "b"], ["2024-03-02"]),
     pivot([[1.0, 0.5, 2.0, 3.0], [4.0, 0.6, 5.0, NAN]], ["a", "b"],
           ["2024-03-01", "2024-03-02", "2024-03-04", "2024-03-05"])),
])
def test_merge(month, capsys, incoming, expected):
    capsys.readouterr()
    PDM.update_pivot_parquet(month, incoming)
    got = stored(month)
    pd.testing.assert_frame_equal(got, expected, check_index_type=False, check_column_type=False)
    assert capsys.readouterr().out == (
        f"{month}: UpdatingDF  From {expected.columns[0]} To {expected.columns[-1]}"
        f" Total Shape {expected.shape}\n\n")


def test_null_against_false_is_a_difference(store):
    path = store._get_pivot_file_path("flag", 2024, 3)
    PDM.update_pivot_parquet(path, pivot([[True, None]], ["a"], DAYS[:2]).astype(object))
    PDM.update_pivot_parquet(path, pivot([[True, False]], ["a"], DAYS[:2]))
    assert stored(path).loc["a"].tolist() == [True, False]


def test_rows_left_empty_are_dropped_after_a_merge(store):
    path = store._get_pivot_file_path("c", 2024, 3)
    PDM.update_pivot_parquet(path, pivot([[1.0], [NAN]], ["a", "b"], ["2024-03-01"]))
    PDM.update_pivot_parquet(path, pivot([[2.0], [NAN]], ["a", "b"], ["2024-03-02"]))
    assert list(stored(path).index) == ["a"]


def test_compact_date_format_round_trips(store, capsys):
    path = store._get_pivot_file_path("c", 2024, 3)
    df = pivot([[1.0, 2.0]], ["a"], DAYS[:2])
    PDM.update_pivot_parquet(path, df.copy(), "%Y%m%d")
    assert list(stored(path).columns) == ["20240301", "20240304"]
    PDM.update_pivot_parquet(path, df, "%Y%m%d")
    assert capsys.readouterr().out.splitlines()[-1] == (
        f"{path}: Dataframes are identical. From 2024-03-01 00:00:00 To 2024-03-04 00:00:00"
        " Total Shape (1, 2)")


def test_merge_error_propagates_and_keeps_the_file(month, monkeypatch, capsys):
    before = stored(month)
    capsys.readouterr()

    def broken(self, *a, **k):
        raise RuntimeError("combine failed")
    monkeypatch.setattr(pd.DataFrame, "combine_first", broken)
    with pytest.raises(RuntimeError, match="combine failed"):
        PDM.update_pivot_parquet(month, pivot([[1.0]], ["new"], ["2024-03-29"]))
    assert capsys.readouterr().out == ""
    pd.testing.assert_frame_equal(stored(month), before)


def test_empty_column_set_writes_then_raises_index_error(store):
    path = store._get_pivot_file_path("c", 2024, 3)
    with pytest.raises(IndexError):
        PDM.update_pivot_parquet(path, pd.DataFrame(index=["a"]))
    assert os.path.exists(path)


@pytest.mark.parametrize("attrs", [{}, {"source": "service", "codes": [1, 2]}])
@pytest.mark.parametrize("index_name", [None, "order_book_id"])
@pytest.mark.parametrize("merged", [False, True])
def test_float_month_file_is_the_one_to_parquet_writes(store, tmp_path, index_name, merged, attrs):
    # Float months are turned into Arrow tables by the store itself; the file must still be
    # pandas' own, to the byte (values, nulls, schema and pandas metadata).
    pytest.importorskip("pyarrow")
    path = store._get_pivot_file_path("close", 2024, 3)
    rng = np.random.default_rng(7)
    values = rng.normal(size=(40, 3))
    values[rng.random(values.shape) < 0.2] = NAN
    values[:, 2] = NAN  # a day without any value yet
    labels = [f"{i:06d}.XSHE" for i in range(39)] + ["指数"]
    df = pivot(values, labels, DAYS).rename_axis(index_name)
    expected = df.dropna(how="all")  # the table the month file holds
    expected.attrs = attrs
    if merged:  # the stored table's attrs outlive the merge, as combine_first keeps them
        first = df.iloc[:25, :2].copy()
        first.attrs = attrs
        PDM.update_pivot_parquet(path, first)
    else:
        df.attrs = attrs
    PDM.update_pivot_parquet(path, df)
    reference = tmp_path / "reference.parquet"
    expected.to_parquet(reference)
    with open(path, "rb") as a, open(reference, "rb") as b:
        assert a.read() == b.read()
