"""Small stores built with the store's own writers, shared by the inventory and engine tests."""

import pickle

import numpy as np
import pandas as pd

from marvane._market import price_table

KEYS = ["order_book_id", "start_date", "end_date"]


def close_table(days, instruments, seed=1, gaps=True):
    """A wide close table: instruments as rows (index named order_book_id), days as columns;
    with ``gaps`` about a tenth of the cells is missing."""
    return price_table(days, instruments, seed=seed, missing=0.1 if gaps else 0.0)


def month_keys(table, category="close"):
    """The service's month keys of a wide table: ts1-<category>-YYYYMM, each month pickled."""
    days = pd.DatetimeIndex(table.columns)
    return {f"ts1-{category}-{p.strftime('%Y%m')}": pickle.dumps(table.loc[:, days.to_period("M") == p])
            for p in days.to_period("M").unique()}


def basic_info(ids, symbol_suffix=""):
    n = len(ids)
    return pd.DataFrame({
        "order_book_id": list(ids),
        "symbol": [f"Company {i}{symbol_suffix}" for i in range(n)],
        "round_lot": np.full(n, 100, dtype="int64"),
        "listed": [True] * n,
        "start_date": pd.to_datetime(["2020-01-02"] * n) + pd.to_timedelta(np.arange(n), "D"),
        "end_date": pd.to_datetime(["2099-12-31"] * (n - 1) + ["2024-06-28"]),
    })


def fill_pivot(store, category, frames, strf="%Y-%m-%d"):
    for frame in frames:
        store.update_pivot_category(frame.copy(), category, strf)
