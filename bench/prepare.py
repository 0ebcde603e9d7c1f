"""Builds a benchmark data set: server keys, store templates, the unstack batch."""

from __future__ import annotations

import contextlib
import os
import pickle
import shutil
import subprocess
import tempfile

import pandas as pd

from .data import KEY_COLUMNS, make_panel, make_unstack
from .workloads import CATEGORY, UNSTACK, Ctx

TRUNCATED_DAYS = 3  # days each month gains on the server after the store was filled


def _quiet():
    devnull = open(os.devnull, "w")
    stack = contextlib.ExitStack()
    stack.enter_context(devnull)
    stack.enter_context(contextlib.redirect_stdout(devnull))
    stack.enter_context(contextlib.redirect_stderr(devnull))
    return stack


def prepare(server, workdir: str, n: int, m: int, r: int | None, account: str, token: str) -> Ctx:
    """Seeds the server with N x M months (and the unstack table of R rows when R is given)
    and writes the store templates that the workloads copy."""
    from marvane.FrameStore import ParquetDataManager

    shutil.rmtree(os.path.join(workdir, "templates"), ignore_errors=True)
    os.makedirs(workdir, exist_ok=True)
    client = server.client()
    client.flushall()
    panel = make_panel(n, m)
    full = panel.months()
    values = {f"ts1-{CATEGORY}-{ym}": pickle.dumps(df) for ym, df in full.items()}
    data_bytes = int(sum(df.memory_usage(deep=True).sum() for df in full.values()))
    unstack_bytes = 0
    if r:
        stored, batch = make_unstack(r)
        values[f"ts1-{UNSTACK}"] = pickle.dumps(stored)
        unstack_bytes = int(stored.memory_usage(deep=True).sum())
    # Seed in slices so that no single command carries the whole data set.
    items = list(values.items())
    for i in range(0, len(items), 8):
        server.seed(dict(items[i:i + 8]))
    del values, items

    with _quiet():
        # "daily": the service's latest month has one day more than the store holds.
        daily = dict(full)
        ym, lo, hi = panel.month_bounds()[-1]
        daily[ym] = panel.month_frame(lo, hi, drop_last=1)
        for name, months in (("full", full), ("trunc", panel.months(drop_last=TRUNCATED_DAYS)),
                             ("daily", daily)):
            store = ParquetDataManager(os.path.join(workdir, "templates", name))
            store.update_pivot_category(df=pd.concat(list(months.values()), axis=1), category=CATEGORY)
        if r:
            store = ParquetDataManager(os.path.join(workdir, "templates", "unstack"))
            store.update_unstack_category(category=UNSTACK, sub_df=stored, key_columns=KEY_COLUMNS)
            with open(os.path.join(workdir, "batch.pkl"), "wb") as f:
                pickle.dump(batch, f)

    days = panel.days
    return Ctx(workdir=workdir, host=server.host, account=account, token=token,
               months=list(full), start=days[0].replace(day=1).strftime("%Y-%m-%d"),
               end=(days[-1] + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d"),
               data_bytes=data_bytes, unstack_bytes=unstack_bytes,
               extra={"n": n, "m": m, "r": r, "cells": panel.cells, "days": len(days)})


NOFSYNC_C = r"""
/* Benchmark-only: fsync and fdatasync return at once, to measure what they cost. */
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
"""


def build_nofsync(workdir: str) -> str | None:
    """A preload library that turns fsync into a no-op, or None without a C compiler."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None
    out = os.path.join(workdir, "nofsync.so")
    with tempfile.NamedTemporaryFile("w", suffix=".c", delete=False) as f:
        f.write(NOFSYNC_C)
    try:
        subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", out, f.name], check=True,
                       capture_output=True)
    except (subprocess.CalledProcessError, OSError):
        return None
    finally:
        os.unlink(f.name)
    return out
