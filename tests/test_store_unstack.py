"""Unstack tables: one file per category, merged by key columns."""

import os

import numpy as np
import pandas as pd
import pytest

from hostile_pickles import khash_colliding_days
from marvane.FrameStore import ParquetDataManager as PDM

KEYS = ["order_book_id", "start_date", "end_date"]


def table(ids, values, index=None):
    return pd.DataFrame({
        "order_book_id": np.array(ids, dtype=object),
        "start_date": pd.to_datetime(["2024-01-02"] * len(ids)).as_unit("ns"),
        "end_date": pd.to_datetime(["2024-12-31 09:30:00.000001"] * len(ids)).as_unit("ns"),
        "value": np.asarray(values, dtype=float),
    }, index=index)


@pytest.fixture
def info(store):
    store.update_unstack_category("info", table(["A", "B", "C"], [1, 2, 3], index=[10, 11, 12]))
    return store


def test_first_batch_is_written_unchanged(store, capsys):
    df = table(["A", "A"], [1, 2])
    store.update_unstack_category("info", df, KEYS)
    path = store._get_unstack_file_path("info")
    assert capsys.readouterr().out == f"{path}: 初始化 Unstack Parquet\n"
    got = store.read_unstack_category("info")
    assert got["value"].tolist() == [1.0, 2.0] and got["order_book_id"].tolist() == ["A", "A"]


@pytest.mark.parametrize("source", ["rebuilt", "read back"])
def test_equal_batch_is_not_written(info, capsys, source):
    # Rebuilt: object text and nanosecond datetimes, unlike what pandas 3 reads back.
    path = info._get_unstack_file_path("info")
    batch = (table(["A", "B", "C"], [1, 2, 3], index=[10, 11, 12]) if source == "rebuilt"
             else pd.read_parquet(path))
    mtime = os.stat(path).st_mtime_ns
    capsys.readouterr()
    info.update_unstack_category("info", batch, KEYS)
    assert capsys.readouterr().out == f"{path}: No need to combine, dataframes are identical.\n"
    assert os.stat(path).st_mtime_ns == mtime


@pytest.mark.parametrize("batch", [
    table(["A", "B", "C"], [1, 2, 4], index=[10, 11, 12]),  # one value
    table(["C", "B", "A"], [3, 2, 1], index=[12, 11, 10]),  # order
    table(["A", "B", "C"], [1, 2, 3], index=[10, 11, 13]),  # a row label
    table(["A", "B", "X"], [1, 2, 3], index=[10, 11, 12]),  # a text value
    table(["A", "B", "C"], [1, 2, np.nan], index=[10, 11, 12]),  # a null
    # the same values in another dtype: DataFrame.equals tells them apart
    table(["A", "B", "C"], [1, 2, 3], index=[10, 11, 12]).astype({"start_date": "datetime64[us]"}),
    table(["A", "B", "C"], [1, 2, 3], index=[10, 11, 12]).astype({"order_book_id": "category"}),
    table(["A", "B", "C"], [1, 2, 3], index=[10, 11, 12]).astype({"order_book_id": pd.StringDtype("python")}),
])
def test_any_difference_rewrites(info, capsys, batch):
    capsys.readouterr()
    info.update_unstack_category("info", batch, KEYS)
    path = info._get_unstack_file_path("info")
    assert capsys.readouterr().out == f"{path}: 更新 Unstack Parquet\n"


def test_merge_keeps_last_version_in_stacked_order(info):
    info.update_unstack_category(
        "info", table(["B", "D"], [20, 40], index=[21, 22]).assign(extra=["x", "y"]), KEYS)
    got = info.read_unstack_category("info")
    assert got["order_book_id"].tolist() == ["A", "C", "B", "D"]
    assert got.index.tolist() == [10, 12, 21, 22]
    assert got["value"].tolist() == [1.0, 3.0, 20.0, 40.0]
    assert got["extra"].isna().tolist() == [True, True, False, False]


@pytest.mark.parametrize("keys, codes, values", [
    ("code", ["y", "x"], [2, 4]),  # one name stands for a list of it
    (["code", "day"], ["x", "y", "x"], [1, 2, 4]),
])
def test_update_unstack_df(keys, codes, values):
    old = pd.DataFrame({"code": ["x", "y"], "day": [1, 1], "v": [1, 2]})
    new = pd.DataFrame({"code": ["x", "x"], "day": [2, 2], "v": [3, 4]})
    before = old.copy()
    got = PDM.update_unstack_df(original_df=old, new_data=new, key_columns=keys)
    assert got["code"].tolist() == codes and got["v"].tolist() == values
    pd.testing.assert_frame_equal(old, before)


KEY_POOLS = {
    "dates made to collide": lambda: khash_colliding_days(200),
    "dates and missing dates": lambda: pd.DatetimeIndex([pd.NaT, "2024-01-02", "2024-01-03"]),
    "durations and missing ones": lambda: pd.to_timedelta(["1D", None, "2h"]),
    "int8": lambda: np.array([-3, 0, 5], dtype=np.int8),
    "uint64 past int64": lambda: np.array([0, 2**63, 2**64 - 1], dtype=np.uint64),
}


@pytest.mark.parametrize("kind", KEY_POOLS)
def test_update_unstack_df_keeps_what_drop_duplicates_keeps(kind):
    """Keys of integers, dates and durations are matched through a seeded mix of their values."""
    pool, rng = KEY_POOLS[kind](), np.random.default_rng(5)

    def batch(n, first):
        return pd.DataFrame({"code": rng.choice(["x", "y"], n), "k": pool[rng.integers(0, len(pool), n)],
                             "v": np.arange(first, first + n, dtype=float)}, index=rng.integers(0, 9, n))

    old, new = batch(300, 0), batch(150, 300)
    want = pd.concat([old, new]).drop_duplicates(subset=["code", "k"], keep="last")
    got = PDM.update_unstack_df(original_df=old, new_data=new, key_columns=["code", "k"])
    pd.testing.assert_frame_equal(got, want)


def test_empty_key_list_is_refused_before_writing(info, capsys):
    path = info._get_unstack_file_path("info")
    before = pd.read_parquet(path)
    capsys.readouterr()
    with pytest.raises(ValueError, match="key_columns names no column"):
        info.update_unstack_category("info", table(["D"], [4]))
    with pytest.raises(ValueError, match="key_columns names no column"):
        PDM.update_unstack_df(before, before, [])
    assert capsys.readouterr().out == ""
    pd.testing.assert_frame_equal(pd.read_parquet(path), before)


def test_reading_a_category_never_written(store):
    with pytest.raises(FileNotFoundError):
        store.read_unstack_category("none")
    assert os.listdir(store._get_category_path("none")) == []


def test_round_trip_of_market_data_dtypes(store, capsys):
    df = pd.DataFrame({
        "price": [1.5, np.nan, -0.0],
        "volume": np.array([1, 2**40, -3], dtype="int64"),
        "halted": [True, False, True],
        "name": np.array(["甲", "b", None], dtype=object),
        "listed": [pd.Timestamp("2020-01-02"), pd.NaT, pd.Timestamp("2024-03-01 09:30:00.123456")],
    }, index=pd.Index(["000001.XSHE", "600000.XSHG", "AAPL"], name="order_book_id"))
    store.update_unstack_category("dtypes", df, ["name"])
    got = store.read_unstack_category("dtypes")
    pd.testing.assert_frame_equal(got.drop(columns="name"), df.drop(columns="name"),
                                  check_dtype=False, check_index_type=False)
    assert got["name"].iloc[:2].tolist() == ["甲", "b"] and pd.isna(got["name"].iloc[2])
    assert got["volume"].dtype == np.int64 and got["halted"].dtype == bool
    assert got["listed"].iloc[2] == pd.Timestamp("2024-03-01 09:30:00.123456")
    # the read-back table (str dtype on pandas 3) still equals the object-dtype original
    capsys.readouterr()
    store.update_unstack_category("dtypes", df, ["name"])
    assert capsys.readouterr().out.endswith(": No need to combine, dataframes are identical.\n")
