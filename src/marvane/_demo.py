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
import pickle
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator

import numpy as np
import pandas as pd

from marvane._info import human_size

PIVOT_CATEGORY = "close"
UNSTACK_CATEGORY = "basic_info"
KEY_COLUMNS = ["order_book_id", "start_date", "end_date"]
ACCOUNT = "demo"
API_TOKEN = "local-demo-token"
FIRST_MONTH = pd.Timestamp("2024-01-01")
OPEN_END = pd.Timestamp("2099-12-31")
GAINED_DAYS = 3

_EXCHANGES = ("XSHG", "XSHE")
_SECTORS = ("Energy", "Materials", "Industrials", "Consumer", "Health Care", "Financials",
            "Information Technology", "Utilities", "Real Estate")


# ----------------------------------------------------------------------------------------
# Synthetic market
# ----------------------------------------------------------------------------------------

@dataclass
class Market:
    """The data service's view of the market: a wide close table and the instrument records.

    ``close`` holds every instrument as a row and every trading day (a Timestamp) as a column;
    a cell is NaN where the instrument was not listed yet, was delisted already, or was
    suspended that day. ``basic_info`` is the long table of instrument records.
    """

    close: pd.DataFrame
    basic_info: pd.DataFrame

    @property
    def days(self) -> pd.DatetimeIndex:
        return pd.DatetimeIndex(self.close.columns)

    def month_tables(self) -> dict[str, pd.DataFrame]:
        """One table per calendar month, keyed by YYYYMM, holding the instruments that traded."""
        tables = {}
        days = self.days
        for period in days.to_period("M").unique():
            cols = days[(days.year == period.year) & (days.month == period.month)]
            month = self.close.loc[:, cols].dropna(how="all")
            tables[period.strftime("%Y%m")] = month
        return tables

    def remote_values(self) -> dict[str, bytes]:
        """The keys and pickled values the data service holds for this market."""
        values = {f"ts1-{PIVOT_CATEGORY}-{ym}": pickle.dumps(table)
                  for ym, table in self.month_tables().items()}
        values[f"ts1-{UNSTACK_CATEGORY}"] = pickle.dumps(self.basic_info)
        return values


def trading_days(first: pd.Timestamp, count: int | None = None,
                 end: pd.Timestamp | None = None) -> pd.DatetimeIndex:
    """Business days from ``first`` without a few fixed market holidays."""
    days = pd.bdate_range(first, end=end, periods=None if end is not None else count * 2)
    holidays = {(1, 1), (5, 1), (5, 2), (10, 1), (10, 2), (10, 3), (12, 25)}
    days = days[[(d.month, d.day) not in holidays for d in days]]
    return days if count is None else days[:count]


def month_end(first: pd.Timestamp, months: int) -> pd.Timestamp:
    return first + pd.offsets.MonthEnd(months)


def make_market(instruments: int, months: int, seed: int = 20240101) -> Market:
    """A market of ``instruments`` instruments over ``months`` months from January 2024.

    The last month runs up to its 20th day. About a fifth of the instruments list after the first day and about a tenth delist
    before the last day; a few instruments are suspended for some days (NaN inside their
    listed span). Prices follow a random walk and are rounded to cents.
    """
    if instruments < 1 or months < 1:
        raise ValueError("the demo needs at least one instrument and one month")
    rng = np.random.default_rng(seed)
    # the last month is still running: it ends on the 20th, so the days the service gains
    # later fall into a month that is already stored
    last = month_end(FIRST_MONTH, months) - pd.offsets.MonthBegin(1) + pd.Timedelta(days=19)
    days = trading_days(FIRST_MONTH, end=last)
    ids = [f"{600000 + 7 * i if i % 2 == 0 else 1 + 7 * i:06d}.{_EXCHANGES[i % 2]}"
           for i in range(instruments)]
    n_days = len(days)
    returns = rng.normal(0.0003, 0.02, size=(instruments, n_days))
    start_price = rng.uniform(3.0, 120.0, size=(instruments, 1))
    prices = np.round(start_price * np.exp(np.cumsum(returns, axis=1)), 2)

    listed = np.zeros(instruments, dtype=int)
    delisted = np.full(instruments, n_days, dtype=int)
    late = rng.random(instruments) < 0.2
    early = rng.random(instruments) < 0.1
    if instruments > 1:
        late[0] = early[0] = False          # at least one instrument spans the whole range
    listed[late] = rng.integers(1, max(2, n_days - 5), size=late.sum())
    delisted[early] = [rng.integers(min(l + 5, n_days - 1), n_days) for l in listed[early]]
    mask = np.arange(n_days)[None, :]
    values = np.where((mask >= listed[:, None]) & (mask < delisted[:, None]), prices, np.nan)
    # suspensions: a few instruments miss a short run of days inside their listed span
    for row in rng.choice(instruments, size=max(1, instruments // 10), replace=False):
        span = delisted[row] - listed[row]
        if span > 10:
            first = listed[row] + rng.integers(1, span - 5)
            values[row, first:first + rng.integers(1, 5)] = np.nan
    close = pd.DataFrame(values, index=pd.Index(ids, name="order_book_id"), columns=days)

    records = []
    for i, oid in enumerate(ids):
        end = days[delisted[i] - 1] if delisted[i] < n_days else OPEN_END
        records.append({
            "order_book_id": oid,
            "symbol": f"Demo Company {i:04d}",
            "exchange": _EXCHANGES[i % 2],
            "sector": _SECTORS[int(rng.integers(len(_SECTORS)))],
            "round_lot": 100,
            "start_date": days[listed[i]],
            "end_date": end,
        })
    basic_info = pd.DataFrame.from_records(records)
    return Market(close=close, basic_info=basic_info)


def advance(market: Market, days: int = GAINED_DAYS, seed: int = 7) -> tuple[Market, str]:
    """The market a little later: ``days`` more trading days and one changed record.

    Returns the new market and the order_book_id whose record changed (its symbol).
    """
    rng = np.random.default_rng(seed)
    last = market.days[-1]
    new_days = trading_days(last + pd.Timedelta(days=1), count=days)
    last_close = market.close.iloc[:, -1]
    steps = np.exp(np.cumsum(rng.normal(0, 0.02, size=(len(last_close), days)), axis=1))
    extra = pd.DataFrame(np.round(last_close.to_numpy()[:, None] * steps, 2),
                         index=market.close.index, columns=new_days)
    close = pd.concat([market.close, extra], axis=1)
    info = market.basic_info.copy()
    changed = str(info.loc[0, "order_book_id"])
    info.loc[0, "symbol"] = info.loc[0, "symbol"] + " Holdings"
    return Market(close=close, basic_info=info), changed


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


def local_client_class(host: str) -> type:
    """A TesselClient whose host table points at ``host`` instead of the default service."""
    from marvane.TSClient import TesselClient

    class LocalTesselClient(TesselClient):
        def get_host_info(self) -> dict[str, str]:
            return {"上海-1": host}

    return LocalTesselClient


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
    from marvane.FrameStore import ParquetDataManager

    steps: list[Step] = []

    def timed(name: str) -> "_Timer":
        return _Timer(name, steps, say)

    market = make_market(instruments, months)
    first_day, last_day = market.days[0], market.days[-1]
    say(f"marvane demo: {PIVOT_CATEGORY} of {instruments} instruments over {_plural(months, 'month')} "
        f"({first_day:%Y-%m-%d} to {last_day:%Y-%m-%d}, {len(market.days)} trading days), "
        f"{UNSTACK_CATEGORY} of {len(market.basic_info)} records")

    with LocalRedis(password=f"{ACCOUNT}:{API_TOKEN}") as server:
        if prepare_store(store):
            say(f"cleared the previous demo data in {store}")
        say(f"local data service: redis-server on {server.host}:6379 "
            "(password protected, in memory only)")
        with timed("seed") as t:
            values = market.remote_values()
            server.seed(values)
            t.detail = (f"{_plural(len(values) - 1, 'month key')} ts1-{PIVOT_CATEGORY}-YYYYMM and "
                        f"ts1-{UNSTACK_CATEGORY}, {human_size(sum(map(len, values.values())))}"
                        " of pickles")

        client_class = local_client_class(server.host)
        with timed("login") as t:
            with _library_output(verbose):
                client = client_class(ACCOUNT, API_TOKEN, store)
            t.detail = f"{len(client.keys)} remote keys, categories {client.r_category}"

        start, end = f"{first_day:%Y-%m-%d}", f"{last_day:%Y-%m-%d}"
        with timed(f"sync {PIVOT_CATEGORY}") as t:
            before = snapshot(store)
            with _library_output(verbose):
                client.UpdatePivotParquet(PIVOT_CATEGORY, start, end)
            first_sync = changes(before, snapshot(store), PIVOT_CATEGORY,
                                 _months(start, end))
            t.detail = (f"{start}..{end}: fetched {_plural(len(_months(start, end)), 'month key')}; "
                        f"month files {first_sync.text()}")

        with timed(f"sync {UNSTACK_CATEGORY}") as t:
            before = snapshot(store)
            with _library_output(verbose):
                client.UpdateUnstackParquet(UNSTACK_CATEGORY)
            unstack_first = changes(before, snapshot(store), UNSTACK_CATEGORY)
            t.detail = f"fetched {len(market.basic_info)} records; file {unstack_first.text()}"

        later, changed_id = advance(market)
        new_days = later.days[len(market.days):]
        with timed("service update") as t:
            server.seed(later.remote_values())
            t.detail = (f"the service gained {len(new_days)} trading days "
                        f"({new_days[0]:%Y-%m-%d} to {new_days[-1]:%Y-%m-%d}) "
                        f"and a changed record ({changed_id})")

        # Sync the last two months again. Logging in again lists the key of any month that
        # appeared since; a stored month that gained days is merged in place.
        resync_start = f"{max(first_day, last_day - pd.offsets.MonthBegin(2)):%Y-%m-%d}"
        resync_end = f"{later.days[-1]:%Y-%m-%d}"
        fetched = len(_months(resync_start, resync_end))
        with timed(f"resync {PIVOT_CATEGORY}") as t:
            before = snapshot(store)
            with _library_output(verbose):
                client.auth(ACCOUNT, API_TOKEN)
                client.UpdatePivotParquet(PIVOT_CATEGORY, resync_start, resync_end)
            second_sync = changes(before, snapshot(store), PIVOT_CATEGORY,
                                  _months(resync_start, resync_end))
            t.detail = (f"{resync_start}..{resync_end}: fetched {_plural(fetched, 'month key')}; month files {second_sync.text()}")

        with timed(f"resync {UNSTACK_CATEGORY}") as t:
            before = snapshot(store)
            with _library_output(verbose):
                client.UpdateUnstackParquet(UNSTACK_CATEGORY)
            unstack_second = changes(before, snapshot(store), UNSTACK_CATEGORY)
            t.detail = f"file {unstack_second.text()}"

        # Read back the last two months (or the whole range when it is shorter) and compare
        # with what the service holds.
        read_from = max(later.days[0], later.days[-1] - pd.offsets.MonthBegin(2))
        read_start, read_end = f"{read_from:%Y-%m-%d}", f"{later.days[-1]:%Y-%m-%d}"
        with timed("read back") as t:
            with _library_output(verbose):
                got = client.GetPivotCategory(PIVOT_CATEGORY, read_start, read_end)
                info = client.GetUnstackCategory(UNSTACK_CATEGORY)
            read_matches = _same_close(got, later.close, read_start, read_end)
            info_matches = _same_records(info, later.basic_info)
            t.detail = (f"{PIVOT_CATEGORY} {read_start}..{read_end}: {got.shape[0]} instruments"
                        f" x {got.shape[1]} days, equal to the service: {_yes(read_matches)}; "
                        f"{UNSTACK_CATEGORY} {len(info)} records, equal: {_yes(info_matches)}")

        # Plan a download: the trading days of the months read back that are not stored
        # yet (the rest of the running month). The planner reads only stored months.
        with timed("plan") as t:
            template = trading_days(pd.Timestamp(read_start),
                                    end=later.days[-1] + pd.offsets.MonthEnd(0))
            with _library_output(verbose):
                _stored, missing = ParquetDataManager(store).get_download_days(
                    PIVOT_CATEGORY, template)
            shown = ", ".join(f"{d:%Y-%m-%d}" for d in missing)
            t.detail = (f"get_download_days {template[0]:%Y-%m-%d}..{template[-1]:%Y-%m-%d}: "
                        f"{_plural(len(missing), 'day')} to download"
                        + (f" ({shown})" if missing else ""))

    files, size = store_size(store)
    say(f"store {store}: {files} Parquet files, {human_size(size)}; "
        f"inspect it with: python -m marvane info {store}")
    say(f"total {sum(s.seconds for s in steps):.2f} s; the local service was stopped")
    return DemoResult(store=store, host=server.host, steps=steps, first_sync=first_sync,
                      second_sync=second_sync, unstack_first=unstack_first,
                      unstack_second=unstack_second, read_back=got,
                      read_matches=read_matches, info_matches=info_matches,
                      missing_days=list(missing), market=later)


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
    a = got.sort_values(KEY_COLUMNS).reset_index(drop=True)
    b = truth.sort_values(KEY_COLUMNS).reset_index(drop=True)
    if list(a.columns) != list(b.columns) or len(a) != len(b):
        return False
    for col in a.columns:
        left, right = a[col], b[col]
        if pd.api.types.is_datetime64_any_dtype(right):
            left, right = pd.to_datetime(left), pd.to_datetime(right)
            if not (left.to_numpy() == right.to_numpy()).all():
                return False
        elif [str(x) for x in left] != [str(x) for x in right]:
            return False
    return True
