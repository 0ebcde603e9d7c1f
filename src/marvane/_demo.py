"""The demo behind ``python -m marvane demo``: the whole job against a local data service.

A throw-away redis-server on a loopback address plays the data service. It is seeded with
synthetic but realistic market data: a pivot category ``close`` (one key per month, each a
pickled month table with instruments as rows and trading days as columns) and an unstack
category ``basic_info`` (one key holding a long table of instrument records keyed by
``order_book_id``, ``start_date`` and ``end_date``). A client logs in to it, syncs both
categories into a local store, the service then gains a few trading days and one changed
record, the client syncs again, and a range is read back and checked against the service.
"""

from __future__ import annotations

import contextlib
import io
import os
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator

import numpy as np
import pandas as pd

from marvane._info import human_size
from marvane._localserver import LOCAL_LABEL, client_class
from marvane._market import Market, advance, make_market, trading_days

PIVOT_CATEGORY = "close"
UNSTACK_CATEGORY = "basic_info"
KEY_COLUMNS = ["order_book_id", "start_date", "end_date"]
ACCOUNT = "demo"
API_TOKEN = "local-demo-token"
GAINED_DAYS = 3


# ----------------------------------------------------------------------------------------
# Observing the store
# ----------------------------------------------------------------------------------------

def snapshot(root: str) -> dict[str, tuple[int, int, int]]:
    """Every Parquet file under ``root`` with its (inode, size, modification time in ns).

    Files are replaced whole, so a rewritten file shows a new inode or modification time.
    """
    state = {}
    for dirpath, _dirs, files in os.walk(root):
        for name in files:
            if name.endswith(".parquet"):
                path = os.path.join(dirpath, name)
                st = os.stat(path)
                state[os.path.relpath(path, root)] = (st.st_ino, st.st_size, st.st_mtime_ns)
    return state


@dataclass
class Changes:
    created: list[str] = field(default_factory=list)
    rewritten: list[str] = field(default_factory=list)
    untouched: list[str] = field(default_factory=list)

    def text(self) -> str:
        parts = []
        if self.created:
            parts.append(f"{len(self.created)} created")
        if self.rewritten:
            parts.append(f"{len(self.rewritten)} merged")
        if self.untouched:
            parts.append(f"{len(self.untouched)} identical")
        return ", ".join(parts) or "no file"


def changes(before: dict[str, tuple[int, int, int]], after: dict[str, tuple[int, int, int]],
            category: str, months: Iterable[str] | None = None) -> Changes:
    """What a sync did to the files of ``category``; with ``months`` (YYYY-MM), to those months."""
    names = None if months is None else {f"{category}_{m}.parquet" for m in months}
    out = Changes()
    for path in sorted(after):
        head, name = os.path.split(path)
        if head != category or (names is not None and name not in names):
            continue
        if path not in before:
            out.created.append(path)
        elif before[path] != after[path]:
            out.rewritten.append(path)
        else:
            out.untouched.append(path)
    return out


def store_size(root: str) -> tuple[int, int]:
    files = snapshot(root)
    return len(files), sum(os.path.getsize(os.path.join(root, p)) for p in files)


# ----------------------------------------------------------------------------------------
# The demo run
# ----------------------------------------------------------------------------------------

@dataclass
class Step:
    name: str
    detail: str
    seconds: float


@dataclass
class DemoResult:
    store: str
    host: str
    steps: list[Step]
    first_sync: Changes
    second_sync: Changes
    unstack_first: Changes
    unstack_second: Changes
    read_back: pd.DataFrame
    read_matches: bool
    info_matches: bool
    missing_days: list[pd.Timestamp]
    market: Market


@contextlib.contextmanager
def _library_output(verbose: bool) -> Iterator[io.StringIO]:
    """Hide the library's own printed lines and progress bars unless ``verbose``."""
    buffer = io.StringIO()
    if verbose:
        yield buffer
        return
    with contextlib.redirect_stdout(buffer), contextlib.redirect_stderr(buffer):
        yield buffer


MARKER = ".marvane-demo"


class StoreInUse(RuntimeError):
    """The chosen store directory holds data that the demo did not write."""


def prepare_store(store: str) -> bool:
    """Make ``store`` ready for a demo run; True when an earlier demo's data were cleared.

    The demo marks its stores with a small file. A marked store is emptied of the demo's two
    categories, so every run starts from the same state; a directory that holds anything
    else is refused rather than touched.
    """
    import shutil

    if os.path.lexists(store) and not os.path.isdir(store):
        raise StoreInUse(f"{store} is not a directory; choose another directory with --store")
    if not os.path.exists(store):
        os.makedirs(store)
    elif os.listdir(store):
        if not os.path.exists(os.path.join(store, MARKER)):
            raise StoreInUse(f"{store} already holds data that the demo did not write; "
                             "choose another directory with --store")
        for category in (PIVOT_CATEGORY, UNSTACK_CATEGORY):
            shutil.rmtree(os.path.join(store, category), ignore_errors=True)
        return True
    with open(os.path.join(store, MARKER), "w", encoding="utf-8") as f:
        f.write("written by python -m marvane demo; the demo clears this store on its next run\n")
    return False


def run_demo(store: str = "marvane-demo-store", instruments: int = 500, months: int = 12,
             verbose: bool = False, say: Callable[[str], None] = print) -> DemoResult:
    """Run the whole demo; ``say`` receives the summary lines as they come."""
    from marvane._localserver import LocalRedis

    market = make_market(instruments, months)
    first_day, last_day = market.days[0], market.days[-1]
    say(f"marvane demo: {PIVOT_CATEGORY} of {instruments} instruments over {_plural(months, 'month')} "
        f"({first_day:%Y-%m-%d} to {last_day:%Y-%m-%d}, {len(market.days)} trading days), "
        f"{UNSTACK_CATEGORY} of {len(market.basic_info)} records")
    run = _DemoRun(store, verbose, say)

    with LocalRedis(password=f"{ACCOUNT}:{API_TOKEN}") as server:
        if prepare_store(store):
            say(f"cleared the previous demo data in {store}")
        say(f"local data service: redis-server on {server.host}:6379 "
            "(password protected, in memory only)")
        run.seed(server, market)
        client = run.login(server.host)
        start, end = f"{first_day:%Y-%m-%d}", f"{last_day:%Y-%m-%d}"
        first_sync = run.sync_pivot(client, f"sync {PIVOT_CATEGORY}", start, end)
        unstack_first = run.sync_unstack(client, f"sync {UNSTACK_CATEGORY}",
                                         records=len(market.basic_info))
        later = run.update_service(server, market)
        # Sync the last two months again. Logging in again lists the key of any month that
        # appeared since; a stored month that gained days is merged in place.
        resync_start = f"{max(first_day, last_day - pd.offsets.MonthBegin(2)):%Y-%m-%d}"
        second_sync = run.sync_pivot(client, f"resync {PIVOT_CATEGORY}", resync_start,
                                     f"{later.days[-1]:%Y-%m-%d}", login_again=True)
        unstack_second = run.sync_unstack(client, f"resync {UNSTACK_CATEGORY}")
        read_from, got, read_matches, info_matches = run.read_back(client, later)
        missing = run.plan(later, read_from)

    files, size = store_size(store)
    say(f"store {store}: {files} Parquet files, {human_size(size)}; "
        f"inspect it with: python -m marvane info {store}")
    say(f"total {sum(s.seconds for s in run.steps):.2f} s; the local service was stopped")
    return DemoResult(store=store, host=server.host, steps=run.steps, first_sync=first_sync,
                      second_sync=second_sync, unstack_first=unstack_first,
                      unstack_second=unstack_second, read_back=got,
                      read_matches=read_matches, info_matches=info_matches,
                      missing_days=list(missing), market=later)


class _DemoRun:
    """The demo's timed steps against one store; each prints its summary line as it ends."""

    def __init__(self, store: str, verbose: bool, say: Callable[[str], None]):
        self.store, self.verbose, self.say = store, verbose, say
        self.steps: list[Step] = []

    def timed(self, name: str) -> "_Timer":
        return _Timer(name, self.steps, self.say)

    def library_output(self) -> contextlib.AbstractContextManager[io.StringIO]:
        return _library_output(self.verbose)

    def seed(self, server: Any, market: Market) -> None:
        with self.timed("seed") as t:
            values = market.remote_values(PIVOT_CATEGORY, UNSTACK_CATEGORY)
            server.seed(values)
            t.detail = (f"{_plural(len(values) - 1, 'month key')} ts1-{PIVOT_CATEGORY}-YYYYMM and "
                        f"ts1-{UNSTACK_CATEGORY}, {human_size(sum(map(len, values.values())))}"
                        " of pickles")

    def login(self, host: str) -> Any:
        with self.timed("login") as t:
            with self.library_output():
                client = client_class({LOCAL_LABEL: host})(ACCOUNT, API_TOKEN, self.store)
            t.detail = f"{len(client.keys)} remote keys, categories {client.r_category}"
        return client

    def sync_pivot(self, client: Any, name: str, start: str, end: str,
                   login_again: bool = False) -> Changes:
        """Sync the pivot category over start..end; ``login_again`` first lists the keys anew."""
        months = _months(start, end)
        with self.timed(name) as t:
            before = snapshot(self.store)
            with self.library_output():
                if login_again:
                    client.auth(ACCOUNT, API_TOKEN)
                client.UpdatePivotParquet(PIVOT_CATEGORY, start, end)
            result = changes(before, snapshot(self.store), PIVOT_CATEGORY, months)
            t.detail = (f"{start}..{end}: fetched {_plural(len(months), 'month key')}; "
                        f"month files {result.text()}")
        return result

    def sync_unstack(self, client: Any, name: str, records: int | None = None) -> Changes:
        """Sync the unstack category; ``records`` (the count fetched) is named when given."""
        with self.timed(name) as t:
            before = snapshot(self.store)
            with self.library_output():
                client.UpdateUnstackParquet(UNSTACK_CATEGORY)
            result = changes(before, snapshot(self.store), UNSTACK_CATEGORY)
            t.detail = (f"file {result.text()}" if records is None
                        else f"fetched {records} records; file {result.text()}")
        return result

    def update_service(self, server: Any, market: Market) -> Market:
        """The service gains a few trading days and a changed record; returns its new market."""
        later, changed_id = advance(market, GAINED_DAYS)
        new_days = later.days[len(market.days):]
        with self.timed("service update") as t:
            server.seed(later.remote_values(PIVOT_CATEGORY, UNSTACK_CATEGORY))
            t.detail = (f"the service gained {len(new_days)} trading days "
                        f"({new_days[0]:%Y-%m-%d} to {new_days[-1]:%Y-%m-%d}) "
                        f"and a changed record ({changed_id})")
        return later

    def read_back(self, client: Any, market: Market) -> tuple[pd.Timestamp, pd.DataFrame, bool, bool]:
        """Read back the last two months (or the whole range when it is shorter) and compare
        with what the service holds; returns the first day read, the table and both verdicts."""
        read_from = max(market.days[0], market.days[-1] - pd.offsets.MonthBegin(2))
        read_start, read_end = f"{read_from:%Y-%m-%d}", f"{market.days[-1]:%Y-%m-%d}"
        with self.timed("read back") as t:
            with self.library_output():
                got = client.GetPivotCategory(PIVOT_CATEGORY, read_start, read_end)
                info = client.GetUnstackCategory(UNSTACK_CATEGORY)
            read_matches = _same_close(got, market.close, read_start, read_end)
            info_matches = _same_records(info, market.basic_info)
            t.detail = (f"{PIVOT_CATEGORY} {read_start}..{read_end}: {got.shape[0]} instruments"
                        f" x {got.shape[1]} days, equal to the service: {_yes(read_matches)}; "
                        f"{UNSTACK_CATEGORY} {len(info)} records, equal: {_yes(info_matches)}")
        return pd.Timestamp(read_start), got, read_matches, info_matches

    def plan(self, market: Market, read_from: pd.Timestamp) -> list[pd.Timestamp]:
        """Plan a download: the trading days of the months read back that are not stored yet
        (the rest of the running month). The planner reads only stored months."""
        from marvane.FrameStore import ParquetDataManager

        with self.timed("plan") as t:
            template = trading_days(read_from, end=market.days[-1] + pd.offsets.MonthEnd(0))
            with self.library_output():
                _stored, missing = ParquetDataManager(self.store).get_download_days(
                    PIVOT_CATEGORY, template)
            shown = ", ".join(f"{d:%Y-%m-%d}" for d in missing)
            t.detail = (f"get_download_days {template[0]:%Y-%m-%d}..{template[-1]:%Y-%m-%d}: "
                        f"{_plural(len(missing), 'day')} to download"
                        + (f" ({shown})" if missing else ""))
        return list(missing)


class _Timer:
    """Times one step and prints its summary line when the step ends."""

    def __init__(self, name: str, steps: list[Step], say: Callable[[str], None]):
        self.name, self.steps, self.say, self.detail = name, steps, say, ""

    def __enter__(self) -> "_Timer":
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, exc_type: object, *rest: object) -> None:
        if exc_type is not None:
            return
        step = Step(self.name, self.detail, time.perf_counter() - self.t0)
        self.steps.append(step)
        self.say(f"  {step.name:<18} {step.seconds:7.2f} s  {step.detail}")


def _months(start: str, end: str) -> list[str]:
    return pd.period_range(start, end, freq="M").strftime("%Y-%m").tolist()


def _plural(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _yes(flag: bool) -> str:
    return "yes" if flag else "NO"


def _same_close(got: pd.DataFrame, truth: pd.DataFrame, start: str, end: str) -> bool:
    cols = [c for c in truth.columns if pd.Timestamp(start) <= c <= pd.Timestamp(end)]
    want = truth.loc[:, cols].dropna(how="all")
    have = got.copy()
    have.columns = pd.to_datetime(have.columns)
    have = have.dropna(how="all").sort_index()
    want = want.sort_index()
    if list(have.index) != list(want.index) or list(have.columns) != list(want.columns):
        return False
    return bool(np.allclose(have.to_numpy(dtype=float), want.to_numpy(dtype=float),
                            equal_nan=True, rtol=0, atol=1e-9))


def _same_records(got: pd.DataFrame, truth: pd.DataFrame) -> bool:
    have = got.sort_values(KEY_COLUMNS).reset_index(drop=True)
    want = truth.sort_values(KEY_COLUMNS).reset_index(drop=True)
    if list(have.columns) != list(want.columns) or len(have) != len(want):
        return False
    for col in have.columns:
        left, right = have[col], want[col]
        if pd.api.types.is_datetime64_any_dtype(right):
            left, right = pd.to_datetime(left), pd.to_datetime(right)
            if not (left.to_numpy() == right.to_numpy()).all():
                return False
        elif [str(x) for x in left] != [str(x) for x in right]:
            return False
    return True
