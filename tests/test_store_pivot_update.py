"""Writing a whole pivot table: split by calendar month, one merge per month."""

import contextlib
import datetime
import io
import os
import tempfile

import numpy as np
import pandas as pd
import pytest
from hypothesis import assume, given, settings, strategies as st

from marvane.FrameStore import ParquetDataManager as PDM
from frames import pivot


@pytest.fixture
def recorded(monkeypatch):
    """Replaces the month merge with a recorder of (file name, slice, date format)."""
    calls = []
    monkeypatch.setattr(PDM, "update_pivot_parquet", staticmethod(
        lambda file_path, sub_df, date_format: calls.append(
            (os.path.basename(file_path), sub_df, date_format))))
    return calls


@pytest.mark.parametrize("days, expected", [
    (["2024-01-30", "2024-01-31", "2024-02-01", "2024-03-01"],
     [("2024-01", ["2024-01-30", "2024-01-31"]), ("2024-02", ["2024-02-01"]),
      ("2024-03", ["2024-03-01"])]),
    (["2024-05-02", "2023-05-02"], [("2023-05", ["2023-05-02"]), ("2024-05", ["2024-05-02"])]),
    (["2024-02-02", "2024-01-31", "2024-02-01", "2024-01-02"],  # descending within a month stays
     [("2024-01", ["2024-01-31", "2024-01-02"]), ("2024-02", ["2024-02-02", "2024-02-01"])]),
])
def test_months_and_slices(store, recorded, days, expected):
    # Mixed dtypes must survive the split (no transpose through object).
    df = pd.DataFrame({d: pd.Series([i, i + 1], dtype="int64") for i, d in enumerate(days)},
                      index=["a", "b"])
    df[days[0]] = df[days[0]].astype(float)
    store.update_pivot_category(df, "close", "%d/%m/%Y")
    assert isinstance(df.columns, pd.DatetimeIndex)  # the caller's labels are converted
    got = sorted(recorded, key=lambda c: c[0])
    assert [c[0] for c in got] == [f"close_{m}.parquet" for m, _ in expected]
    for (_, sub, fmt), (_, cols) in zip(got, expected):
        assert fmt == "%d/%m/%Y"
        pd.testing.assert_frame_equal(sub, df.loc[:, pd.to_datetime(cols)])


def test_no_columns_no_tasks(store, recorded, capsys):
    assert store.update_pivot_category(pd.DataFrame(index=["a"]), "close") is None
    assert recorded == [] and "Updating close: 0it" in capsys.readouterr().err


@pytest.mark.parametrize("label", ["soon", None])  # unparseable; parses to a missing date
def test_bad_label_fails_before_any_merge(store, recorded, label):
    df = pivot([[1.0, 2.0]], ["a"], ["2024-01-02", label])
    with pytest.raises(ValueError):
        store.update_pivot_category(df, "close")
    assert recorded == []
    if label == "soon":
        assert list(df.columns) == ["2024-01-02", "soon"]


# pandas would read a number as nanoseconds since 1970, and a day of the year 999 would go to a
# file named y999_999-01.parquet that no read finds: refused, naming the label, before any write
@pytest.mark.parametrize("labels, named", [
    ([20240105], "20240105"),
    (["2024-01-02", np.int64(20240105)], "20240105"),
    (["2024-01-02", 20240105.0], "20240105.0"),
    ([datetime.date(999, 1, 5)], "999"),
])
def test_labels_that_are_not_stored_days_are_refused(store, labels, named):
    df = pivot([[1.0] * len(labels)], ["a"], labels)
    with pytest.raises(ValueError, match=named):
        store.update_pivot_category(df, "close")
    assert list(df.columns) == labels
    path = os.path.join(store.root_dir, "close", "close_2024-01.parquet")
    with pytest.raises(ValueError, match=named):
        PDM.update_pivot_parquet(path, df)
    assert not os.path.exists(os.path.join(store.root_dir, "close"))


# Day labels that are already dates: the earliest and latest day decide, the label named is the
# first one outside, and missing days pass.
@pytest.mark.parametrize("days, named, year", [
    (["2024-01-02", "0999-01-05", "2024-01-03"], "0?999-01-05", 999),  # pandas 2.2 shows 999-01-05
    (["2024-01-02", "NaT", "10000-01-05"], "10000-01-05", 10000),
    (["NaT", "2024-01-02"], None, None),
])
def test_day_labels_outside_the_stored_years(store, days, named, year):
    labels = pd.DatetimeIndex(np.array(days, dtype="datetime64[s]"))
    df = pd.DataFrame([[1.0] * len(days)], index=["a"], columns=labels)
    if named is None:
        with pytest.raises(Exception) as e:  # NaT has no month file
            store.update_pivot_category(df, "close")
        assert "falls in the year" not in str(e.value)
        return
    with pytest.raises(ValueError, match=f"{named}.* falls in the year {year}:"):
        store.update_pivot_category(df, "close")
    assert not os.path.exists(os.path.join(store.root_dir, "close"))


def test_round_trip_through_months(store, capsys):
    days = pd.date_range("2024-01-29", "2024-02-02")
    df = pd.DataFrame(np.arange(10.0).reshape(2, 5), index=["a", "b"], columns=days)
    df.iloc[1, 3] = np.nan
    store.update_pivot_category(df.copy(), "close")
    d = store._get_category_path("close")
    assert sorted(os.listdir(d)) == ["close_2024-01.parquet", "close_2024-02.parquet"]
    out = capsys.readouterr()
    assert sorted(out.out.splitlines()) == [
        f"{d}/close_2024-01.parquet: Initializing: Shape (2, 3) From 2024-01-29 To 2024-01-31",
        f"{d}/close_2024-02.parquet: Initializing: Shape (2, 2) From 2024-02-01 To 2024-02-02"]
    assert "Updating close: 100%" in out.err
    back = store.read_pivot_category("close", "2024-01-01", "2024-02-29", column_type="datetime")
    pd.testing.assert_frame_equal(back, df, check_index_type=False, check_freq=False,
                                  check_column_type=False)


def test_failing_month_is_raised_after_the_others(store, capsys):
    feb = store._get_pivot_file_path("close", 2024, 2)
    with open(feb, "wb") as f:
        f.write(b"not parquet")
    df = pivot([[1.0, 2.0, 3.0]], ["a"], ["2024-01-02", "2024-02-02", "2024-03-04"])
    with pytest.raises(ValueError, match="(?i)parquet"):
        store.update_pivot_category(df, "close")
    assert sorted(os.listdir(store._get_category_path("close"))) == [
        "close_2024-01.parquet", "close_2024-02.parquet", "close_2024-03.parquet"]
    with open(feb, "rb") as f:
        assert f.read() == b"not parquet"
    assert len(capsys.readouterr().out.splitlines()) == 2  # the two months that were written


def test_pool_size_comes_from_the_store(tmp_path, monkeypatch):
    seen = []
    real = PDM.run_concurrently
    monkeypatch.setattr(PDM, "run_concurrently", staticmethod(
        lambda tasks, fn, max_workers=5, task_desc="": seen.append((max_workers, task_desc))
        or real(tasks, fn, max_workers, task_desc)))
    PDM(str(tmp_path), max_workers=2).update_pivot_category(
        pivot([[1.0]], ["a"], ["2024-01-02"]), "close")
    assert seen == [(2, "Updating close")]


@pytest.mark.parametrize("values", [
    [[1.5, np.nan, 2.5], [np.nan, np.nan, -1.0]],
    [[1, 2, 3], [2**40, 0, -7]],
    [[True, False, True], [False, False, False]],
    np.array([["x", "甲", "z"], ["", "b", "c"]], dtype=object),
    [[pd.Timestamp("2024-01-02 09:30:00.000001")] * 3, [pd.NaT, pd.Timestamp("2020-01-01"), pd.NaT]],
], ids=["float", "int", "bool", "text", "datetime"])
def test_dtypes_round_trip_and_resend_is_identical(store, capsys, values):
    df = pd.DataFrame(values, index=["a", "b"], columns=["2024-01-02", "2024-01-03", "2024-01-04"])
    store.update_pivot_category(df.copy(), "x")
    back = store.read_pivot_category("x", "2024-01-01", "2024-01-31")
    assert back.index.tolist() == ["a", "b"] and list(back.columns) == list(df.columns)
    for got, want in zip(back.to_numpy().ravel(), df.to_numpy().ravel()):
        assert (pd.isna(got) and pd.isna(want)) or got == want
    mtime = os.stat(store._get_pivot_file_path("x", 2024, 1)).st_mtime_ns
    capsys.readouterr()
    store.update_pivot_category(df.copy(), "x")  # the same data sent again, as built in memory
    assert ": Dataframes are identical. From " in capsys.readouterr().out
    assert os.stat(store._get_pivot_file_path("x", 2024, 1)).st_mtime_ns == mtime


DAY_POOL = ["2024-01-30", "2024-01-31", "2024-02-01", "2024-02-15", "2024-02-29", "2024-03-01"]
update = st.tuples(
    st.lists(st.sampled_from("abc"), min_size=1, max_size=3, unique=True),
    st.lists(st.sampled_from(DAY_POOL), min_size=1, max_size=4, unique=True),
    st.lists(st.sampled_from([np.nan, 0.0, 1.0, 2.5]), min_size=12, max_size=12))


@settings(max_examples=25, deadline=None)
@given(st.lists(update, min_size=1, max_size=3))
def test_updates_then_read_match_first_value_wins(updates):
    sent = {d for _, days, _ in updates for d in days}
    months = sorted({d[:7] for d in sent})
    assume(months == sorted({d[:7] for d in DAY_POOL if months[0] <= d[:7] <= months[-1]}))
    model = {}
    for rows, days, values in updates:
        for k, (r, d) in enumerate((r, d) for r in rows for d in days):
            if not np.isnan(values[k]):
                model.setdefault((r, d), values[k])
    with tempfile.TemporaryDirectory() as root, contextlib.redirect_stdout(io.StringIO()), \
            contextlib.redirect_stderr(io.StringIO()):
        store = PDM(root)
        for rows, days, values in updates:
            cells = np.array(values[:len(rows) * len(days)]).reshape(len(rows), len(days))
            store.update_pivot_category(pivot(cells, rows, days), "p")
        got = store.read_pivot_category("p", min(sent), max(sent)).sort_index()
    assert list(got.columns) == sorted(sent)
    assert list(got.index) == sorted({r for r, _ in model})
    for r in got.index:
        for d in got.columns:
            v = got.loc[r, d]
            assert model.get((r, d)) == v or (np.isnan(v) and (r, d) not in model)
