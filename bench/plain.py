"""The plain pandas peer: each main operation written as the pandas code a user would write
for the same behaviour, without marvane.

Same files and results as the store: month files named <category>_YYYY-MM.parquet with text
date labels, rows without any value dropped, stored values winning a merge, every file written
through a temporary file that is flushed to disk (file and directory) before it replaces the
old one. Months are worked on a thread pool, as the store works them.
"""

from __future__ import annotations

import os
import pickle
from concurrent.futures import ThreadPoolExecutor

import pandas as pd

WORKERS = 10


def write_atomically(df: pd.DataFrame, path: str) -> None:
    tmp = path + ".tmp"
    df.to_parquet(tmp)
    fd = os.open(tmp, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(tmp, path)
    fd = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def month_path(root: str, category: str, month: pd.Period) -> str:
    return os.path.join(root, category, f"{category}_{month.strftime('%Y-%m')}.parquet")


def update_month(path: str, new: pd.DataFrame, fmt: str = "%Y-%m-%d") -> None:
    """One month into its file: new file, nothing to do, or merge (stored values win)."""
    new = new.dropna(how="all")
    if not os.path.exists(path):
        out = new.copy()
        out.columns = out.columns.strftime(fmt)
        write_atomically(out, path)
        print(f"{path}: Initializing: Shape {out.shape}")
        return
    stored = pd.read_parquet(path)
    stored.columns = pd.to_datetime(stored.columns, format=fmt)
    if stored.equals(new):
        print(f"{path}: Dataframes are identical.")
        return
    merged = stored.combine_first(new).dropna(how="all")
    merged.columns = merged.columns.strftime(fmt)
    write_atomically(merged, path)
    print(f"{path}: UpdatingDF Total Shape {merged.shape}")


def update_pivot_category(root: str, category: str, df: pd.DataFrame, fmt: str = "%Y-%m-%d") -> None:
    """A table of dates as columns, split by month, each month merged into its file."""
    os.makedirs(os.path.join(root, category), exist_ok=True)
    df.columns = pd.to_datetime(df.columns)
    months = df.columns.to_period("M")
    with ThreadPoolExecutor(WORKERS) as pool:
        jobs = [pool.submit(update_month, month_path(root, category, m), df.loc[:, months == m], fmt)
                for m in months.unique()]
    for job in jobs:
        job.result()


def sync(r, root: str, category: str, keys: list[str]) -> None:
    """Fetch every month from the service and merge it into the store."""
    df = pd.concat([pickle.loads(r.get(k)) for k in keys], axis=1)
    update_pivot_category(root, category, df)


def read_pivot_category(root: str, category: str, start, end) -> pd.DataFrame:
    """The stored months of start..end side by side, cut to the days of the range."""
    start, end = pd.Timestamp(start), pd.Timestamp(end)
    paths = [month_path(root, category, m) for m in pd.period_range(start, end, freq="M")]
    paths = [p for p in paths if os.path.exists(p)]
    with ThreadPoolExecutor(WORKERS) as pool:
        frames = list(pool.map(pd.read_parquet, paths))
    df = pd.concat(frames, axis=1)
    dates = pd.to_datetime(df.columns, format="%Y-%m-%d")
    return df.loc[:, (dates >= start.normalize()) & (dates <= end.normalize())]


def get_download_days(root: str, category: str, days) -> list:
    """The stored table over the days' span and the days it does not hold, ascending."""
    df = read_pivot_category(root, category, min(days), max(days))
    stored = set(pd.to_datetime(df.columns))
    return [df, sorted(d for d in set(days) if pd.Timestamp(d).normalize() not in stored)]


def update_unstack_category(root: str, category: str, batch: pd.DataFrame, keys: list[str]) -> None:
    """Records of the batch replace stored records with the same keys; new keys are added."""
    path = os.path.join(root, category, f"{category}.parquet")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not os.path.exists(path):
        write_atomically(batch, path)
        return
    stored = pd.read_parquet(path)
    if stored.equals(batch):
        return
    merged = pd.concat([stored, batch]).drop_duplicates(subset=keys, keep="last")
    write_atomically(merged, path)
