"""Properties of the two merges over random tables.

Pivot month: the merged file holds the union of dates, every instrument that has a value,
every stored non-null value unchanged, new values only where the file had none, and no row
without a value. Unstack: one row per key, the batch's version winning, stored-only rows
first in stored order."""

import contextlib
import io
import os
import tempfile

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from marvane.FrameStore import ParquetDataManager

IDS = ["a", "b", "c", "d", "e", "f"]
VALUES = st.one_of(st.none(), st.sampled_from([0.0, -1.5, 1.0, 2.25, 1e9]))


@st.composite
def month_tables(draw):
    days = draw(st.lists(st.integers(1, 31), min_size=1, max_size=6, unique=True))
    ids = draw(st.lists(st.sampled_from(IDS), min_size=1, max_size=5, unique=True))
    cells = draw(st.lists(st.lists(VALUES, min_size=len(days), max_size=len(days)),
                          min_size=len(ids), max_size=len(ids)))
    values = np.array([[np.nan if v is None else v for v in row] for row in cells], dtype="float64")
    labels = pd.DatetimeIndex([pd.Timestamp(2024, 3, d) for d in days])
    if draw(st.booleans()):
        labels = labels.strftime("%Y-%m-%d")
    return pd.DataFrame(values, index=ids, columns=labels)


def cell(table, row, col):
    if row in table.index and col in table.columns:
        v = table.at[row, col]
        return None if pd.isna(v) else float(v)
    return None


def settings_for(long_run, default, long):
    return settings(max_examples=long if long_run else default, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


def quietly(call):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return call()


def test_pivot_month_merge(long_run):
    @settings_for(long_run, 40, 400)
    @given(stored=month_tables(), new=month_tables())
    def check(stored, new):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "c_2024-03.parquet")
            quietly(lambda: ParquetDataManager.update_pivot_parquet(path, stored.copy()))
            before = pd.read_parquet(path)
            new_text = new.copy()
            new_text.columns = pd.to_datetime(new.columns).strftime("%Y-%m-%d")
            quietly(lambda: ParquetDataManager.update_pivot_parquet(path, new.copy()))
            after = pd.read_parquet(path)

        assert set(after.columns) == set(before.columns) | set(new_text.columns)
        if set(after.columns) != set(before.columns):
            assert list(after.columns) == sorted(after.columns)  # a merge of new dates sorts them
        with_value = {r for t in (before, new_text) for r in t.index if t.loc[r].notna().any()}
        assert set(after.index) == with_value
        assert after.notna().any(axis=1).all()
        for row in after.index:
            for col in after.columns:
                old, incoming, got = cell(before, row, col), cell(new_text, row, col), cell(after, row, col)
                if old is not None:
                    assert got == old, (row, col, old, got)  # stored values win
                else:
                    assert got == incoming, (row, col, incoming, got)  # gaps filled, nothing invented

    check()


KEYS = st.tuples(st.integers(0, 3), st.sampled_from(["x", "y", "z"]))


@st.composite
def unstack_cases(draw):
    stored_keys = draw(st.lists(KEYS, min_size=1, max_size=8, unique=True))
    batch_keys = draw(st.lists(st.one_of(st.sampled_from(stored_keys), KEYS), min_size=1, max_size=8))
    values = st.sampled_from([0.0, 1.0, -2.5, 7.0])

    def table(keys, first_label):
        return pd.DataFrame({"k1": [k[0] for k in keys], "k2": [k[1] for k in keys],
                             "v": [draw(values) for _ in keys]},
                            index=pd.Index(range(first_label, first_label + len(keys))))

    return table(stored_keys, 100), table(batch_keys, 200)


def rows(table):
    return [(label, r.k1, r.k2, r.v) for label, r in zip(table.index, table.itertuples(index=False))]


def test_unstack_merge(long_run):
    @settings_for(long_run, 40, 400)
    @given(case=unstack_cases())
    def check(case):
        stored, batch = case
        merged = ParquetDataManager.update_unstack_df(stored, batch, ["k1", "k2"])
        keys = list(zip(merged.k1, merged.k2))
        assert len(keys) == len(set(keys))  # one row per key
        batch_keys = list(zip(batch.k1, batch.k2))
        last_of = {k: row for k, row in zip(batch_keys, rows(batch))}
        stored_only = [row for row in rows(stored) if (row[1], row[2]) not in last_of]
        batch_last = [row for i, row in enumerate(rows(batch)) if batch_keys[i] not in batch_keys[i + 1:]]
        assert rows(merged) == stored_only + batch_last

        # The same merge through the file.
        with tempfile.TemporaryDirectory() as d:
            store = ParquetDataManager(d)
            quietly(lambda: store.update_unstack_category("u", stored, ["k1", "k2"]))
            quietly(lambda: store.update_unstack_category("u", batch, ["k1", "k2"]))
            assert rows(store.read_unstack_category("u")) == stored_only + batch_last

    check()
