"""Running one category's plan through the client: damaged files set aside, holes and
months fetched in chunks, and what happened to each file told from the files themselves."""

from __future__ import annotations

import datetime as dt
import hashlib
import os
import shutil
import time
from typing import Any

import pandas as pd

from marvane import _names
from marvane._sync.guards import Interrupted, interruptible, service_error
from marvane._sync.plans import Outcome, Plan, month_chunks, record_synced_from
from marvane._sync.settings import DEFAULT_TIMEOUT


DAMAGED_DIR = ".damaged"       # damaged files set aside, in a folder per day, in their category
REFRESH_DIR = ".refresh"       # months fetched by --refresh before they replace the stored ones


def file_states(directory: str) -> dict[str, tuple[int, int, int]]:
    """Each Parquet file of a category directory with its (inode, size, mtime); files are
    replaced whole, so a rewritten file shows a new inode or modification time."""
    out = {}
    if os.path.isdir(directory):
        for entry in os.listdir(directory):
            if entry.endswith(".parquet") and not entry.startswith(_names.TEMPORARY_PREFIX):
                try:
                    st = os.stat(os.path.join(directory, entry))
                except FileNotFoundError:
                    continue
                out[entry] = (st.st_ino, st.st_size, st.st_mtime_ns)
    return out


def file_digest(path: str) -> bytes | None:
    """The content hash of a file, to tell a rewrite that changed it from one that did not."""
    try:
        with open(path, "rb") as f:
            return hashlib.file_digest(f, "blake2b").digest()
    except OSError:
        return None


def set_aside(directory: str, name: str) -> str:
    """Move a damaged file into the category's dated .damaged folder (reads and info pass
    over dot-folders); returns where it went, from the category's directory."""
    folder = os.path.join(directory, DAMAGED_DIR, f"{dt.date.today():%Y-%m-%d}")
    os.makedirs(folder, exist_ok=True)
    target, n = os.path.join(folder, name), 1
    while os.path.lexists(target):
        target, n = os.path.join(folder, f"{name}.{n}"), n + 1
    os.replace(os.path.join(directory, name), target)
    return os.path.relpath(target, directory)


def set_aside_unreadable(outcome: Outcome, directory: str, names: dict[str, str],
                         months: list[str], before: dict[str, Any]) -> bool:
    """Move aside the stored files of ``months`` that cannot be read whole; whether any was."""
    moved = False
    for name, month in names.items():
        path = os.path.join(directory, name)
        if month not in months or not os.path.isfile(path):
            continue
        try:
            pd.read_parquet(path)
        except Exception:
            outcome.set_aside.append(f"{month} -> {set_aside(directory, name)}")
            before.pop(name, None)
            moved = True
    return moved


def refresh_months(client: Any, category: str, first: str, last: str, directory: str) -> None:
    """Fetch the months of first..last as new files of a scratch store inside the category,
    then put each in place of the stored one by an atomic rename: the service's values win."""
    from marvane.FrameStore import ParquetDataManager

    scratch = os.path.join(directory, REFRESH_DIR)
    shutil.rmtree(scratch, ignore_errors=True)       # left by an earlier run that was killed
    os.makedirs(scratch)
    db = client.TS_db
    client.TS_db = ParquetDataManager(scratch, max_workers=db.max_workers)
    try:
        client.UpdatePivotParquet(category, first, last)
    finally:
        client.TS_db = db
    made = os.path.join(scratch, category)
    for entry in sorted(os.listdir(made)):
        if _names.classify(made, category, entry)[0] == "month":
            src = os.path.join(made, entry)
            with open(src, "rb") as f:
                os.fsync(f.fileno())
            os.replace(src, os.path.join(directory, entry))
    dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)
    shutil.rmtree(scratch, ignore_errors=True)


def kept_cells(fetched: Any, path: str) -> int:
    """Cells of the stored month that hold a value other than the fetched one after the
    merge: stored values that won over a correction."""
    stored = pd.read_parquet(path)
    table = fetched.copy(deep=False)
    if isinstance(table.columns, pd.DatetimeIndex):
        table.columns = table.columns.strftime("%Y-%m-%d")
    rows = table.index.intersection(stored.index)
    cols = table.columns.intersection(stored.columns)
    if not len(rows) or not len(cols):
        return 0
    new = table.loc[rows, cols].to_numpy(dtype="float64", na_value=float("nan"))
    old = stored.loc[rows, cols].to_numpy(dtype="float64", na_value=float("nan"))
    return int(((new == new) & (old == old) & (new != old)).sum())


def run_plan(client: Any, plan: Plan, store: str, refresh: bool = False,
             timeout: float = DEFAULT_TIMEOUT) -> Outcome:
    outcome = Outcome(plan.category, plan.kind, span=plan.span, holes=list(plan.holes),
                      note=plan.note, refreshed=refresh and plan.kind == "pivot")
    directory = os.path.join(store, plan.category)
    t0 = time.perf_counter()
    if plan.kind == "pivot":
        names = {_names.month_file_name(plan.category, int(m[:4]), int(m[5:])): m
                 for m in plan.months}
    else:
        names = {_names.unstack_file_name(plan.category): "file"}
    before: dict[str, tuple[int, int, int]] = {}
    digests: dict[str, bytes | None] = {}
    fetched: dict[str, Any] = {}
    client.fetched, client.failed_key = fetched, None
    try:
        before = file_states(directory)
        for month in plan.damaged:
            name = next(n for n, m in names.items() if m == month)
            outcome.set_aside.append(f"{month} -> {set_aside(directory, name)}")
            before.pop(name, None)
        digests = {n: file_digest(os.path.join(directory, n)) for n in names if n in before}
        if plan.kind == "pivot" and plan.months:
            record_synced_from(store, plan.category, plan.months[0])
        if plan.kind == "pivot":
            for chunk_start, chunk_end in month_chunks(plan):
                for attempt in (1, 2):
                    try:
                        with interruptible():
                            if refresh:
                                os.makedirs(directory, exist_ok=True)
                                refresh_months(client, plan.category, chunk_start, chunk_end,
                                               directory)
                            else:
                                client.UpdatePivotParquet(plan.category, chunk_start, chunk_end)
                        break
                    except Exception as exc:
                        # a file whose ends look right may still be damaged inside: after a
                        # failure (only then) the chunk's stored months are read whole, and
                        # the chunk is tried once more without those that cannot be read
                        months = [m for m in plan.months
                                  if chunk_start[:7] <= m <= chunk_end[:7]]
                        if attempt == 2 or service_error(exc) or not set_aside_unreadable(
                                outcome, directory, names, months, before):
                            raise
                if not refresh:
                    count_kept(outcome, fetched, names, before, directory)
                fetched.clear()
        else:
            with interruptible():
                client.UpdateUnstackParquet(plan.category)
        outcome.fetched = len(names)
    except Interrupted:
        outcome.interrupted = True
    except Exception as exc:  # reported, and the other categories are still tried
        outcome.error = f"{type(exc).__name__}: {exc}"
        if service_error(exc):
            outcome.timed_out = True
            outcome.error = f"the data service did not answer within {timeout:g} s ({outcome.error})"
        key = client.failed_key
        if key and key not in outcome.error:
            outcome.error += f" (key {key})"
    finally:
        client.fetched = None
    try:
        after = file_states(directory)
    except OSError:
        after = {}
    for name, month in names.items():
        if name not in after:
            continue
        if name not in before:
            outcome.created.append(month)
        elif before[name] != after[name] and file_digest(os.path.join(directory, name)) != digests.get(name):
            outcome.merged.append(month)
        elif not (outcome.error or outcome.interrupted):
            outcome.identical += 1
    outcome.seconds = time.perf_counter() - t0
    return outcome


def count_kept(outcome: Outcome, fetched: dict[str, Any], names: dict[str, str],
               before: dict[str, Any], directory: str) -> None:
    """Add the stored cells the merges just kept over differing fetched values; only months
    stored before this run have any."""
    category = outcome.category
    for name, month in names.items():
        table = fetched.get(f"ts1-{category}-{month.replace('-', '')}")
        if name not in before or table is None:
            continue
        try:
            kept = kept_cells(table, os.path.join(directory, name))
        except Exception:         # a table the comparison cannot take: said as unknown
            continue
        outcome.kept = (outcome.kept or 0) + kept
