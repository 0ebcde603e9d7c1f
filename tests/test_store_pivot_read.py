"""Reading a pivot category back over a date range."""

import os

import numpy as np
import pandas as pd
import pytest

from marvane.FrameStore import ParquetDataManager as PDM
from frames import pivot

JAN = ["2024-01-02", "2024-01-15", "2024-01-31"]
FEB = ["2024-02-01", "2024-02-15", "2024-02-29"]
MAR = ["2024-03-01", "2024-03-10", "2024-03-20", "2024-03-29"]


@pytest.fixture
def close(store):
    """Category close with January to March 2024; instrument c only in February."""
    store.update_pivot_category(pivot(np.arange(6.0).reshape(2, 3), ["b", "a"], JAN), "close")
    store.update_pivot_category(pivot(np.arange(6.0).reshape(2, 3), ["c", "a"], FEB), "close")
    # Written in reverse day order: the read must still sort the columns.
    store.update_pivot_category(pivot(np.ones((1, 4)), ["a"], MAR[::-1]), "close")
    return store


@pytest.mark.parametrize("start, end, days, months", [
    (None, None, MAR, ["2024-03"]),
    ("2024-02-01", "2024-02-15", FEB[:2], ["2024-02"]),
    ("2024-01-15", "2024-03-31", JAN[1:] + FEB + MAR, ["2024-01", "2024-02", "2024-03"]),
    ("2024-03-10", "2024-03-20", MAR[1:3], ["2024-03"]),
    ("2024-02-10", None, FEB[1:] + MAR, ["2024-02", "2024-03"]),
    (None, "2024-03-09", MAR[:1], ["2024-03"]),
    (pd.Timestamp("2024-01-31"), pd.Timestamp("2024-02-01 12:00"), ["2024-01-31", "2024-02-01"],
     ["2024-01", "2024-02"]),
])
def test_range_selects_months_with_any_day_in_range(close, monkeypatch, capsys, start, end,
                                                    days, months):
    read = []
    real = PDM.read_parquet
    monkeypatch.setattr(PDM, "read_parquet", staticmethod(lambda p: read.append(p) or real(p)))
    capsys.readouterr()
    got = close.read_pivot_category("close", start, end)
    assert list(got.columns) == days
    d = close._get_category_path("close")
    assert sorted(read) == [f"{d}/close_{m}.parquet" for m in months]
    s = start if start is not None else months[-1] + "-01"
    e = end if end is not None else "2024-03-31"
    assert f"Reading close From {s} To {e}: " in capsys.readouterr().err


@pytest.mark.parametrize("column_type, days", [("str", MAR[1:3]), ("datetime", MAR[2:3])])
def test_bounds_with_a_time_of_day(close, column_type, days):
    # Text labels are cut by calendar day; datetime labels by the bound itself.
    got = close.read_pivot_category("close", "2024-03-10 15:00", "2024-03-20 09:00", column_type)
    assert [str(c)[:10] for c in got.columns] == days


def test_rows_outer_join_and_datetime_columns(close):
    got = close.read_pivot_category("close", "2024-01-01", "2024-02-29", column_type="datetime")
    assert list(got.columns) == list(pd.to_datetime(JAN + FEB))
    assert sorted(got.index) == ["a", "b", "c"]
    assert got.loc["c", pd.Timestamp("2024-01-02")] != got.loc["c", pd.Timestamp("2024-01-02")]
    assert got.loc["c", pd.Timestamp("2024-02-01")] == 0.0
    # the same call gives the same row order every time, whichever read finishes first
    for _ in range(3):
        again = close.read_pivot_category("close", "2024-01-01", "2024-02-29", "datetime")
        assert list(again.index) == list(got.index)


@pytest.mark.parametrize("start, end, error", [
    ("2024-03-20", "2024-03-10", "读取失败"),  # start after end holds no day
    ("2023-12-01", "2024-01-31", None),  # December never stored
])
def test_unreadable_ranges(close, start, end, error):
    if error:
        with pytest.raises(ValueError, match=error):
            close.read_pivot_category("close", start, end)
    else:
        with pytest.raises(FileNotFoundError):
            close.read_pivot_category("close", start, end)


def test_other_date_format_is_ordered_and_cut_by_date(store):
    days = ["2024-01-29", "2023-12-04", "2024-01-03", "2023-12-30"]
    store.update_pivot_category(pivot([[1.0, 2.0, 3.0, 4.0]], ["a"], days), "c", "%m/%d/%Y")
    got = store.read_pivot_category("c", "2023-12-20", "2024-01-10")
    assert list(got.columns) == ["12/30/2023", "01/03/2024"]
    assert got.iloc[0].tolist() == [4.0, 3.0]


def test_months_written_with_different_formats(store):
    store.update_pivot_category(pivot([[1.0, 2.0]], ["a"], ["2024-01-30", "2024-01-02"]), "c")
    store.update_pivot_category(pivot([[3.0]], ["a"], ["2024-02-01"]), "c", "%Y%m%d")
    got = store.read_pivot_category("c", "2024-01-03", "2024-02-29", column_type="datetime")
    assert list(got.columns) == list(pd.to_datetime(["2024-01-30", "2024-02-01"]))
    assert got.iloc[0].tolist() == [1.0, 3.0]


def test_stray_files_are_not_months(store):
    store.update_pivot_category(pivot([[1.0]], ["a"], ["2024-01-02"]), "c")
    d = store._get_category_path("c")
    for stray in ["other_2025-01.parquet", "c_2025-02.parquet.bak", ".c_2025-03.parquet.tmp"]:
        open(f"{d}/{stray}", "w").close()
    assert list(store.read_pivot_category("c").columns) == ["2024-01-02"]


@pytest.mark.parametrize("start, end, line", [
    ("2024-01-01", "2024-02-29", "数据不存在 close: ['2024-01', '2024-02'] 数据不存在\n"),
    ("2024-01-02", "2024-01-03", "数据不存在 close: ['2024-01'] 数据不存在\n"),
    ("2023-11-30", "2025-01-01", "数据不存在 close: [" + ", ".join(
        f"'{m}'" for m in pd.period_range("2023-11", "2025-01", freq="M").strftime("%Y-%m")) + "] 数据不存在\n"),
    ("2024-03-01", "2024-02-29", "数据不存在 close: [] 数据不存在\n"),
    (pd.Timestamp("2023-12-31 23:00"), "2024-01-01", "数据不存在 close: ['2023-12', '2024-01'] 数据不存在\n"),
])
def test_category_without_months(store, capsys, start, end, line):
    got = store.read_pivot_category("close", start, end)
    assert got.empty and capsys.readouterr().out == line
    assert os.path.isdir(os.path.join(store.root_dir, "close"))


@pytest.mark.parametrize("start, end", [("2023-02-29", "2023-03-01"), ("2024-01-01", "2024-13-01")])
def test_bounds_that_are_no_days(store, start, end):
    with pytest.raises(ValueError):
        store.read_pivot_category("close", start, end)


def test_category_without_months_and_bounds(store, capsys):
    with pytest.raises(ValueError):
        store.read_pivot_category("close")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("labels", [["2024-03-01", "2024-03-04"], ["2024-03-04", "2024-03-01"],
                                    ["2024-03-01", "2024-03-32"], ["2024-03-01", "20240304"]])
def test_stored_labels_read_as_to_datetime_reads_them(store, labels):
    table = pd.DataFrame([[1.0, 2.0]], index=["a"], columns=labels)
    table.to_parquet(os.path.join(store._get_category_path("close"), "close_2024-03.parquet"))
    try:
        expected = pd.to_datetime(pd.Index(labels), format="%Y-%m-%d")
    except ValueError:
        with pytest.raises(ValueError):
            store.read_pivot_category("close", "2024-03-01", "2024-03-31", column_type="datetime")
        return
    got = store.read_pivot_category("close", "2024-03-01", "2024-03-31", column_type="datetime")
    pd.testing.assert_index_equal(got.columns, expected.sort_values())
    assert list(got.iloc[0]) == ([1.0, 2.0] if labels[0] < labels[1] else [2.0, 1.0])


def _month(ids, days, values=None, name="order_book_id"):
    values = np.arange(len(ids) * len(days), dtype="float64").reshape(len(ids), len(days)) \
        if values is None else values
    return pd.DataFrame(values, index=pd.Index(ids, name=name), columns=days)


@pytest.mark.parametrize("months", [
    # rows in other orders, instruments listing and delisting
    [_month(["b", "a"], JAN), _month(["c", "a", "d"], FEB), _month(["d", "e"], MAR)],
    # one month already on every row of the join
    [_month(["a", "b", "c"], JAN), _month(["c", "a"], FEB), _month(["b"], MAR)],
    # integer labels, and text labels with a missing one (which go to the join as read)
    [_month([3, 1], JAN), _month([2, 1, 4], FEB), _month([4], MAR)],
    [_month(["b", None], JAN), _month(["c", "b"], FEB), _month(["b"], MAR)],
    # index names that differ between months
    [_month(["b", "a"], JAN), _month(["c", "a"], FEB, name="id"), _month(["a"], MAR)],
    # a month of integers and a month without rows go to the join as read
    [_month(["b", "a"], JAN), _month(["c", "a"], FEB, np.arange(6).reshape(2, 3)), _month(["a"], MAR)],
    [_month(["b", "a"], JAN), _month([], FEB), _month(["c"], MAR)],
])
def test_join_of_months_is_pandas_join_of_files(store, months):
    directory = store._get_category_path("px")
    paths = [f"{directory}/px_2024-0{i + 1}.parquet" for i in range(len(months))]
    for month, path in zip(months, paths):
        month.to_parquet(path)
    expected = pd.concat([pd.read_parquet(p) for p in paths], axis=1)
    for _ in range(2):  # reads finish in any order
        got = store.read_pivot_category("px", "2024-01-01", "2024-03-31")
        pd.testing.assert_frame_equal(got, expected)
