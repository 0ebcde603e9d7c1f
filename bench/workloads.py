"""The timed workloads: ours, their floors and the peers.

Each workload is a pair of functions: ``setup(ctx)`` runs untimed before every run and
returns the state, ``run(state)`` is the timed part and returns its result, which
``check(state, result)`` (untimed) reduces to a few numbers so that the report can show that
ours and the floor produced the same thing. The code paths timed as "ours" are the package's
real ones; progress bars and printed lines are silenced by the child runner, not bypassed.
"""

from __future__ import annotations

import os
import pickle
import shutil
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import pandas as pd

from . import plain
from .data import KEY_COLUMNS

CATEGORY = "close"
UNSTACK = "basic_info"


@dataclass
class Ctx:
    workdir: str
    host: str
    account: str
    token: str
    months: list[str]          # YYYYMM of every month on the server
    start: str                 # first day of the first month
    end: str                   # last day of the last month
    data_bytes: int = 0        # in-memory size of all month tables
    unstack_bytes: int = 0
    extra: dict = field(default_factory=dict)
    _run: int = 0

    @property
    def password(self) -> str:
        return f"{self.account}:{self.token}"

    def template(self, name: str) -> str:
        return os.path.join(self.workdir, "templates", name)

    def fresh_dir(self, tag: str) -> str:
        self._run += 1
        path = os.path.join(self.workdir, "runs", f"{tag}-{os.getpid()}-{self._run}")
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    def copy_template(self, name: str, tag: str) -> str:
        path = self.fresh_dir(tag)
        shutil.copytree(self.template(name), path)
        return path

    def keys(self) -> list[str]:
        return [f"ts1-{CATEGORY}-{ym}" for ym in self.months]

    def redis(self):
        import redis

        return redis.Redis(host=self.host, port=6379, password=self.password)

    def month_path(self, root: str, ym: str) -> str:
        return os.path.join(root, CATEGORY, f"{CATEGORY}_{ym[:4]}-{ym[4:]}.parquet")

    def last_month(self) -> tuple[str, str]:
        """First and last calendar day of the latest month."""
        first = pd.Timestamp(self.months[-1] + "01")
        return first.strftime("%Y-%m-%d"), (first + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d")


@dataclass
class Workload:
    setup: Callable[[Ctx], Any]
    run: Callable[[Any], Any]
    check: Callable[[Any, Any], dict] = lambda state, result: {}
    cleanup: Callable[[Any], None] = lambda state: None


def frame_check(df: pd.DataFrame) -> dict:
    values = df.to_numpy(dtype="float64", na_value=np.nan)
    return {"shape": list(df.shape), "index": str(df.index.dtype), "columns": str(df.columns.dtype),
            "nonnull": int(np.count_nonzero(~np.isnan(values))),
            "sum": round(float(np.nansum(values)), 3), "bytes": int(df.memory_usage(deep=True).sum())}


def store_check(root: str) -> dict:
    import pyarrow.parquet as pq

    files = sorted(f for f in os.listdir(os.path.join(root, CATEGORY)) if f.endswith(".parquet"))
    rows = cols = 0
    for f in files:
        meta = pq.read_metadata(os.path.join(root, CATEGORY, f))
        rows += meta.num_rows
        cols += meta.num_columns - 1  # the index column
    return {"files": len(files), "rows": rows, "date_columns": cols}


def remove(path: str) -> None:
    shutil.rmtree(path, ignore_errors=True)


# --- pivot synchronisation through the client (B1-B3) --------------------------------------

def make_client(ctx: Ctx, save_path: str):
    """A client that knows only the benchmark's local server, logged in."""
    from marvane._localserver import LOCAL_LABEL, client_class

    return client_class({LOCAL_LABEL: ctx.host})(ctx.account, ctx.token, save_path)


def sync_setup(template: str | None):
    def setup(ctx: Ctx):
        root = ctx.copy_template(template, "sync") if template else ctx.fresh_dir("sync")
        return {"root": root, "client": make_client(ctx, root), "ctx": ctx}
    return setup


def sync_run(state):
    ctx = state["ctx"]
    return state["client"].UpdatePivotParquet(CATEGORY, ctx.start, ctx.end)


def sync_check(state, result):
    return store_check(state["root"])


def sync_cleanup(state):
    remove(state["root"])


def sync_workload(template: str | None) -> Workload:
    return Workload(sync_setup(template), sync_run, sync_check, sync_cleanup)


# --- floors of B1-B3: the I/O each sync cannot avoid -----------------------------------------

def write_month(df: pd.DataFrame, path: str) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    out = df.dropna(how="all")  # the store keeps no row without a value
    out.columns = out.columns.strftime("%Y-%m-%d")
    pq.write_table(pa.Table.from_pandas(out), path)


def read_month(path: str) -> pd.DataFrame:
    import pyarrow.parquet as pq

    return pq.read_table(path).to_pandas()


def floor_setup(template: str | None):
    def setup(ctx: Ctx):
        root = ctx.copy_template(template, "floor") if template else ctx.fresh_dir("floor")
        os.makedirs(os.path.join(root, CATEGORY), exist_ok=True)
        return {"root": root, "r": ctx.redis(), "ctx": ctx}
    return setup


# The floors overlap the fetches on this thread with the file work on two threads (the
# machine's cores), as the store overlaps its months; pyarrow releases the GIL while it works.
FLOOR_THREADS = 2


def fetch_each_month_into(state, work) -> None:
    """GET and unpickle every month on this thread, `work(table, path)` on the floor's pool."""
    ctx, r = state["ctx"], state["r"]
    with ThreadPoolExecutor(FLOOR_THREADS) as pool:
        jobs = [pool.submit(work, pickle.loads(r.get(key)), ctx.month_path(state["root"], ym))
                for ym, key in zip(ctx.months, ctx.keys())]
    for j in jobs:
        j.result()


def floor_b1(state):
    fetch_each_month_into(state, write_month)


def floor_b2(state):
    ctx, r = state["ctx"], state["r"]
    with ThreadPoolExecutor(FLOOR_THREADS) as pool:
        jobs = [pool.submit(read_month, ctx.month_path(state["root"], ym)) for ym in ctx.months]
        for key in ctx.keys():
            pickle.loads(r.get(key))
    for j in jobs:
        j.result()


def read_then_write(new: pd.DataFrame, path: str) -> None:
    read_month(path)
    write_month(new, path)


def floor_b3(state):
    fetch_each_month_into(state, read_then_write)


# --- peer: ArcticDB on local LMDB, dates as rows ---------------------------------------------

def arctic_panel(ctx: Ctx) -> pd.DataFrame:
    r = ctx.redis()
    df = pd.concat([pickle.loads(r.get(k)) for k in ctx.keys()], axis=1)
    # Dates as rows, instruments as columns; like the store, no instrument without any value.
    return df.dropna(how="all").T


def arctic_write_setup(ctx: Ctx):
    from arcticdb import Arctic

    root = ctx.fresh_dir("arctic")
    lib = Arctic(f"lmdb://{root}").get_library("bench", create_if_missing=True)
    return {"root": root, "lib": lib, "panel": arctic_panel(ctx)}


def arctic_read_setup(ctx: Ctx):
    state = arctic_write_setup(ctx)
    state["lib"].write(CATEGORY, state.pop("panel"))
    state["ctx"] = ctx
    return state


def arctic_read(state):
    ctx = state["ctx"]
    return state["lib"].read(CATEGORY, date_range=(pd.Timestamp(ctx.start), pd.Timestamp(ctx.end))).data


def arctic_cleanup(state):
    state.pop("lib", None)
    remove(state["root"])


# --- B4: reading a pivot category ------------------------------------------------------------

def store_setup(template: str):
    def setup(ctx: Ctx):
        from marvane.FrameStore import ParquetDataManager

        return {"store": ParquetDataManager(ctx.template(template)), "ctx": ctx,
                "root": ctx.template(template)}
    return setup


def ours_b4(state):
    ctx = state["ctx"]
    return state["store"].read_pivot_category(CATEGORY, ctx.start, ctx.end)


def floor_b4_frames(state) -> pd.DataFrame:
    """The fastest plain pyarrow read of the month files, joined on the instruments."""
    import pyarrow.parquet as pq

    ctx = state["ctx"]
    paths = [ctx.month_path(state["root"], ym) for ym in ctx.months]
    # Each read decodes its columns in parallel too; two files at a time keep both cores busy.
    with ThreadPoolExecutor(2) as pool:
        tables = list(pool.map(lambda p: pq.read_table(p, use_threads=False), paths))
    frames = [t.to_pandas() for t in tables]
    joined = pd.concat(frames, axis=1)
    # pandas reads text labels as its text dtype (str from pandas 3 on, object before); plain
    # pyarrow gives object. The join is cheaper on object labels, and one conversion at the
    # end gives the same table (astype(str) is that dtype in either version).
    joined.index = joined.index.astype(str) if len(joined.index) else joined.index
    return joined


def duckdb_b4(state):
    import duckdb

    ctx = state["ctx"]
    con = state.setdefault("duck", duckdb.connect())
    frames = []
    for ym in ctx.months:
        path = ctx.month_path(state["root"], ym)
        df = con.sql(f"SELECT * FROM read_parquet('{path}')").df()
        frames.append(df.set_index(df.columns[-1]).rename_axis(None))
    return pd.concat(frames, axis=1)


def check_frame(state, result):
    return frame_check(result)


# --- B5: unstack update -----------------------------------------------------------------------

def unstack_setup(ctx: Ctx):
    from marvane.FrameStore import ParquetDataManager

    root = ctx.copy_template("unstack", "unstack")
    with open(os.path.join(ctx.workdir, "batch.pkl"), "rb") as f:
        batch = pickle.load(f)
    return {"root": root, "store": ParquetDataManager(root), "batch": batch}


def ours_b5(state):
    state["store"].update_unstack_category(category=UNSTACK, sub_df=state["batch"],
                                           key_columns=list(KEY_COLUMNS))


def floor_b5(state):
    path = os.path.join(state["root"], UNSTACK, f"{UNSTACK}.parquet")
    stored = pd.read_parquet(path)
    merged = pd.concat([stored, state["batch"]]).drop_duplicates(subset=KEY_COLUMNS, keep="last")
    merged.to_parquet(path)


def unstack_check(state, result):
    import pyarrow.parquet as pq

    meta = pq.read_metadata(os.path.join(state["root"], UNSTACK, f"{UNSTACK}.parquet"))
    return {"rows": meta.num_rows}


def unstack_cleanup(state):
    remove(state["root"])


# --- B6: download day planning ---------------------------------------------------------------

def ours_b6(state):
    ctx = state["ctx"]
    days = pd.bdate_range(ctx.start, ctx.end)
    return state["store"].get_download_days(CATEGORY, days)


def floor_b6(state):
    ctx = state["ctx"]
    days = pd.bdate_range(ctx.start, ctx.end)
    df = floor_b4_frames(state)
    stored = set(pd.to_datetime(df.columns))
    return [df, sorted(d for d in set(days) if d not in stored)]


def check_b6(state, result):
    out = frame_check(result[0])
    out["missing_days"] = len(result[1])
    return out


# --- B7: the daily update: the latest month gained one day, sync that month ------------------

def ours_b7(state):
    return state["client"].UpdatePivotParquet(CATEGORY, *state["ctx"].last_month())


def floor_b7(state):
    ctx, r = state["ctx"], state["r"]
    ym, key = ctx.months[-1], ctx.keys()[-1]
    read_then_write(pickle.loads(r.get(key)), ctx.month_path(state["root"], ym))


def plain_b7(state):
    plain.sync(state["r"], state["root"], CATEGORY, state["ctx"].keys()[-1:])


# --- B8: reading one month, the common notebook call ------------------------------------------

def ours_b8(state):
    return state["store"].read_pivot_category(CATEGORY, *state["ctx"].last_month())


def floor_b8(state):
    """What the read makes by contract: a thread pool, a progress bar over it, one read."""
    from tqdm import tqdm
    from concurrent.futures import as_completed

    ctx = state["ctx"]
    path = ctx.month_path(state["root"], ctx.months[-1])
    with ThreadPoolExecutor(max_workers=10) as pool:
        futures = [pool.submit(pd.read_parquet, path)]
        return [f.result() for f in tqdm(as_completed(futures), total=1, desc="Reading")][0]


# --- the plain pandas peer of every workload ----------------------------------------------------

def plain_sync(state):
    plain.sync(state["r"], state["root"], CATEGORY, state["ctx"].keys())


def plain_b4(state):
    ctx = state["ctx"]
    return plain.read_pivot_category(state["root"], CATEGORY, ctx.start, ctx.end)


def plain_b5(state):
    plain.update_unstack_category(state["root"], UNSTACK, state["batch"], list(KEY_COLUMNS))


def plain_b6(state):
    ctx = state["ctx"]
    return plain.get_download_days(state["root"], CATEGORY, pd.bdate_range(ctx.start, ctx.end))


def plain_b8(state):
    return plain.read_pivot_category(state["root"], CATEGORY, *state["ctx"].last_month())


WORKLOADS: dict[tuple[str, str], Workload] = {
    ("B1", "ours"): sync_workload(None),
    ("B1", "floor"): Workload(floor_setup(None), floor_b1, sync_check, sync_cleanup),
    ("B1", "arcticdb"): Workload(arctic_write_setup, lambda s: s["lib"].write(CATEGORY, s["panel"]),
                                 cleanup=arctic_cleanup),
    ("B2", "ours"): sync_workload("full"),
    ("B2", "floor"): Workload(floor_setup("full"), floor_b2, sync_check, sync_cleanup),
    ("B3", "ours"): sync_workload("trunc"),
    ("B3", "floor"): Workload(floor_setup("trunc"), floor_b3, sync_check, sync_cleanup),
    ("B4", "ours"): Workload(store_setup("full"), ours_b4, check_frame),
    ("B4", "floor"): Workload(store_setup("full"), floor_b4_frames, check_frame),
    ("B4", "duckdb"): Workload(store_setup("full"), duckdb_b4, check_frame),
    # ArcticDB keeps the dates as its datetime index: compare everything but the label types.
    ("B4", "arcticdb"): Workload(arctic_read_setup, arctic_read,
                                 lambda s, r: {k: v for k, v in frame_check(r.T).items()
                                               if k not in ("index", "columns")}, arctic_cleanup),
    ("B5", "ours"): Workload(unstack_setup, ours_b5, unstack_check, unstack_cleanup),
    ("B5", "floor"): Workload(unstack_setup, floor_b5, unstack_check, unstack_cleanup),
    ("B6", "ours"): Workload(store_setup("full"), ours_b6, check_b6),
    ("B6", "floor"): Workload(store_setup("full"), floor_b6, check_b6),
    ("B7", "ours"): Workload(sync_setup("daily"), ours_b7, sync_check, sync_cleanup),
    ("B7", "floor"): Workload(floor_setup("daily"), floor_b7, sync_check, sync_cleanup),
    ("B8", "ours"): Workload(store_setup("full"), ours_b8, check_frame),
    ("B8", "floor"): Workload(store_setup("full"), floor_b8, check_frame),
    # The plain pandas peer.
    ("B1", "plain"): Workload(floor_setup(None), plain_sync, sync_check, sync_cleanup),
    ("B2", "plain"): Workload(floor_setup("full"), plain_sync, sync_check, sync_cleanup),
    ("B3", "plain"): Workload(floor_setup("trunc"), plain_sync, sync_check, sync_cleanup),
    ("B4", "plain"): Workload(store_setup("full"), plain_b4, check_frame),
    ("B5", "plain"): Workload(unstack_setup, plain_b5, unstack_check, unstack_cleanup),
    ("B6", "plain"): Workload(store_setup("full"), plain_b6, check_b6),
    ("B7", "plain"): Workload(floor_setup("daily"), plain_b7, sync_check, sync_cleanup),
    ("B8", "plain"): Workload(store_setup("full"), plain_b8, check_frame),
}

PEERS = {"duckdb": "duckdb", "arcticdb": "arcticdb"}

from .unpickle import workloads as _unpickle_workloads  # noqa: E402

WORKLOADS.update(_unpickle_workloads(Workload))
