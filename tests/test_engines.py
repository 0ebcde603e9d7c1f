"""The store is plain Parquet: other engines read the same values as the library's readers."""

import glob
import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest

from store_samples import KEYS, basic_info, close_table, fill_pivot


@pytest.fixture
def synced(store, capsys):
    """close over three months (instruments entering and leaving, gaps, a later merge of new
    days into the last month) and basic_info merged from two batches."""
    fill_pivot(store, "close", [
        close_table(pd.bdate_range("2024-01-02", "2024-02-29"), ["A", "B", "C"], seed=1),
        close_table(pd.bdate_range("2024-03-01", "2024-03-15"), ["B", "C", "D"], seed=2),
        close_table(pd.bdate_range("2024-03-18", "2024-03-29"), ["C", "D", "E"], seed=3),
    ])
    store.update_unstack_category("basic_info", basic_info(["A", "B", "C"]), KEYS)
    store.update_unstack_category("basic_info", basic_info(["A", "B", "C", "D"], " Ltd"), KEYS)
    capsys.readouterr()
    return store


def library_long(store):
    """The library's own read of all of close, as (instrument, day) -> value, nulls dropped."""
    wide = store.read_pivot_category("close", "2024-01-01", "2024-03-31", column_type="datetime")
    long = wide.stack().dropna().rename("close")
    long.index = long.index.set_names(["order_book_id", "date"])
    return long.sort_index()


def month_files(store, category):
    return sorted(glob.glob(os.path.join(store.root_dir, category, f"{category}_*.parquet")))


def test_pivot_category_through_pyarrow_dataset(synced, capsys):
    files = month_files(synced, "close")
    assert len(files) == 3
    # each month file has its own date columns: one dataset over the union of the schemas
    schema = pa.unify_schemas([pq.read_schema(f) for f in files]).remove_metadata()
    table = ds.dataset(files, format="parquet", schema=schema).to_table()
    frame = table.to_pandas()
    long = (frame.melt(id_vars="order_book_id", var_name="date", value_name="close")
            .dropna(subset=["close"]))
    long["date"] = pd.to_datetime(long["date"])
    got = long.set_index(["order_book_id", "date"])["close"].sort_index()
    expected = library_long(synced)
    capsys.readouterr()
    pd.testing.assert_series_equal(got, expected, check_index_type=False)
    assert len(got) > 50 and got.index.get_level_values(0).nunique() == 5


def test_unstack_category_through_pyarrow_dataset(synced):
    path = os.path.join(synced.root_dir, "basic_info", "basic_info.parquet")
    got = ds.dataset(path, format="parquet").to_table().to_pandas()
    expected = synced.read_unstack_category("basic_info")
    pd.testing.assert_frame_equal(got, expected)
    assert list(expected["symbol"]).count("Company 0 Ltd") == 1   # the merge is in the file


def test_both_categories_through_duckdb(synced, capsys):
    duckdb = pytest.importorskip("duckdb")
    root = synced.root_dir
    con = duckdb.connect()
    pattern = os.path.join(root, "close", "close_*.parquet")
    long = con.execute(f"""
        UNPIVOT (SELECT * FROM read_parquet('{pattern}', union_by_name = true))
        ON COLUMNS(* EXCLUDE (order_book_id)) INTO NAME date VALUE close
    """).df()
    long["date"] = pd.to_datetime(long["date"])
    got = long.set_index(["order_book_id", "date"])["close"].sort_index()
    expected = library_long(synced)
    capsys.readouterr()
    pd.testing.assert_series_equal(got, expected, check_index_type=False, check_dtype=False)

    info_path = os.path.join(root, "basic_info", "basic_info.parquet")
    info = con.execute(f"SELECT * FROM read_parquet('{info_path}')").df()
    stored = synced.read_unstack_category("basic_info")
    cols = [c for c in stored.columns]                      # the index column is pandas' own
    got_info = info[cols].reset_index(drop=True)
    want = stored.reset_index(drop=True)
    for col in cols:
        if pd.api.types.is_datetime64_any_dtype(want[col]):
            assert (pd.to_datetime(got_info[col]).to_numpy("datetime64[us]")
                    == want[col].to_numpy("datetime64[us]")).all(), col
        else:
            assert [x.item() if isinstance(x, np.generic) else x for x in got_info[col]] \
                == [x.item() if isinstance(x, np.generic) else x for x in want[col]], col
