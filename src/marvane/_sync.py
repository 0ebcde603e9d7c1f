"""``marvane sync``: keep a store current from the data service, for a scheduler.

Settings come from a small TOML file and the command line (the command line wins). The
token comes from the environment or from a file only its owner may read, never from the
command line, and is never printed. One run logs in once, then syncs each category in turn:
a pivot category from its latest stored month (or ``--start``) to today (or ``--end``), plus
every earlier month the service holds that the store lacks or cannot read (a damaged file is
moved aside into the category's ``.damaged`` folder first), an unstack category whole. A
category that fails is reported and the others are still tried. A lock file in the store keeps
two runs from writing one store at once. Every reply of the service is awaited at most
``--timeout`` seconds; SIGTERM and SIGINT end the run once the writes under way are done.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import errno
import fcntl
import functools
import hashlib
import io
import json
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import threading
import time
import tomllib
import types
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import pandas as pd

from marvane import _names

DEFAULT_CONFIG = "~/.config/marvane/config.toml"
TOKEN_ENV = "MARVANE_API_TOKEN"
LOCK_NAME = ".marvane-sync.lock"
STATE_NAME = ".marvane-sync.json"   # the first month each pivot category was synced from
DEFAULT_WAIT = 300.0
DEFAULT_TIMEOUT = 60.0
MONTHS_PER_FETCH = 12          # months fetched and merged per client call, to bound memory
CONFIG_KEYS: dict[str, type | tuple[type, ...]] = {
    "host": str, "account": str, "store": str, "categories": list, "token_file": str,
    "timeout": (int, float), "exclude": list}
MAX_TOKEN_BYTES = 64 * 1024
DAMAGED_DIR = ".damaged"       # damaged files set aside, in a folder per day, in their category
REFRESH_DIR = ".refresh"       # months fetched by --refresh before they replace the stored ones

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_LOCKED = 0, 1, 2, 3
EXIT_SIGNALLED = {signal.SIGTERM: 143, signal.SIGINT: 130}

_MONTH_KEY = re.compile(r"ts1-(.+)-(\d{4})(\d{2})", re.ASCII)


class UsageError(Exception):
    """A setting is missing or wrong; nothing was synced."""


class StoreLocked(Exception):
    """Another run holds the store's lock for longer than the wait allowed."""


class Interrupted(BaseException):
    """SIGTERM or SIGINT arrived: the run stops once the writes under way are done."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


# ----------------------------------------------------------------------------------------
# Settings
# ----------------------------------------------------------------------------------------

@dataclass
class Settings:
    account: str
    store: str
    host: str | None = None
    categories: list[str] = field(default_factory=list)
    all: bool = False
    token_file: str | None = None
    start: dt.date | None = None
    end: dt.date | None = None
    dry_run: bool = False
    wait: float = DEFAULT_WAIT
    verbose: bool = False
    timeout: float = DEFAULT_TIMEOUT
    exclude: list[str] = field(default_factory=list)
    refresh: bool = False


def add_parser(commands: Any) -> None:
    sync = commands.add_parser(
        "sync", help="bring categories of a store up to date from the data service",
        description="Log in to the data service and bring each category up to date: a pivot "
                    "category from its latest stored month (or --start) to today (or --end), "
                    "plus every earlier month the service holds that the store lacks or cannot "
                    "read, an unstack category whole. Settings come from a TOML file (keys host, "
                    "account, store, categories, exclude, timeout, token_file) and the command "
                    "line, which wins. "
                    f"The token is read from the environment variable {TOKEN_ENV} or from "
                    "token_file. Exit status: 0 all categories synced, 1 a category or the "
                    "login failed, 2 bad settings, 3 the store stayed locked by another run, "
                    "143 / 130 stopped by SIGTERM / SIGINT.")
    sync.add_argument("categories", nargs="*", metavar="CATEGORY", help="categories to sync")
    sync.add_argument("--all", action="store_true",
                      help="sync every category the service lists (pivot or unstack by its keys)")
    sync.add_argument("--config", metavar="FILE",
                      help=f"settings file (default: {DEFAULT_CONFIG}, when it exists)")
    sync.add_argument("--host", help="host name of the data service")
    sync.add_argument("--account", help="account name")
    sync.add_argument("--store", metavar="DIR", help="store directory")
    sync.add_argument("--start", metavar="DATE", type=_date,
                      help="first day to sync, YYYY-MM-DD (default: the latest stored month, "
                           "and any earlier month the store lacks)")
    sync.add_argument("--end", metavar="DATE", type=_date,
                      help="last day to sync, YYYY-MM-DD (default: today)")
    sync.add_argument("--dry-run", action="store_true",
                      help="print the keys to fetch and the months to create or merge; write nothing")
    sync.add_argument("--wait", metavar="SECONDS", type=float, default=DEFAULT_WAIT,
                      help=f"how long to wait for another run's lock (default: {DEFAULT_WAIT:g})")
    sync.add_argument("--timeout", metavar="SECONDS", type=float,
                      help="longest wait for the service to connect or to answer one request "
                           f"(default: {DEFAULT_TIMEOUT:g}, or timeout in the config file)")
    sync.add_argument("--exclude", metavar="CATEGORY", nargs="+", action="extend",
                      help="categories to leave out, for one with --all (replaces exclude "
                           "of the config file)")
    sync.add_argument("--refresh", action="store_true",
                      help="take the service's values for the months fetched, where by default "
                           "stored values win over differing fetched ones")
    sync.add_argument("--verbose", action="store_true",
                      help="also show the library's own lines")


def _date(text: str) -> dt.date:
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date of the form YYYY-MM-DD: {text!r}") from None


def load_config(path: str | None) -> tuple[dict[str, Any], str | None]:
    """The settings of the TOML file and its directory; the default file may be absent."""
    explicit = path is not None
    path = os.path.expanduser(path if path is not None else DEFAULT_CONFIG)
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except FileNotFoundError:
        if explicit:
            raise UsageError(f"no config file at {path}") from None
        return {}, None
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read the config file {path}: {exc}") from None
    for key, value in data.items():
        if key not in CONFIG_KEYS:
            raise UsageError(f"{path}: unknown key {key!r} (known: {', '.join(CONFIG_KEYS)})")
        kind = CONFIG_KEYS[key]
        if not isinstance(value, kind) or isinstance(value, bool):
            name = "number" if isinstance(kind, tuple) else kind.__name__
            raise UsageError(f"{path}: {key} must be a {name}")
    for key in ("categories", "exclude"):
        if not all(isinstance(c, str) for c in data.get(key, [])):
            raise UsageError(f"{path}: {key} must be a list of names")
    return data, os.path.dirname(os.path.abspath(path))


def resolve_settings(args: argparse.Namespace) -> Settings:
    config, base = load_config(args.config)

    def path_setting(key: str) -> str | None:
        # paths in the file are taken from the file's directory, so cron's working
        # directory does not matter
        value = config.get(key)
        if value is None:
            return None
        value = os.path.expanduser(value)
        return value if os.path.isabs(value) or base is None else os.path.join(base, value)

    account = args.account or config.get("account")
    store = os.path.expanduser(args.store) if args.store else path_setting("store")
    if not account:
        raise UsageError("no account: give --account or set account in the config file")
    if not store:
        raise UsageError("no store: give --store or set store in the config file")
    categories = list(args.categories) or ([] if args.all else list(config.get("categories", [])))
    exclude = list(getattr(args, "exclude", None) or config.get("exclude", []))
    if args.all and args.categories:
        raise UsageError("give either --all or category names, not both")
    if not args.all and not categories:
        raise UsageError("no category: name some, use --all, or set categories in the config file")
    categories = [c for c in dict.fromkeys(categories) if c not in exclude]
    if not args.all and not categories:
        raise UsageError("every category named is excluded")
    if args.start and args.end and args.start > args.end:
        raise UsageError(f"--start {args.start} is after --end {args.end}")
    if args.wait < 0:
        raise UsageError("--wait must not be negative")
    timeout = getattr(args, "timeout", None)
    timeout = float(config.get("timeout", DEFAULT_TIMEOUT) if timeout is None else timeout)
    if not 0 < timeout < 1e6:        # not NaN, not for ever
        raise UsageError(f"the timeout must be a number of seconds above 0, not {timeout:g}")
    return Settings(account=account, store=store, host=args.host or config.get("host"),
                    categories=categories, all=args.all,
                    token_file=path_setting("token_file"), start=args.start, end=args.end,
                    dry_run=args.dry_run, wait=args.wait, verbose=args.verbose, timeout=timeout,
                    exclude=list(dict.fromkeys(exclude)),
                    refresh=bool(getattr(args, "refresh", False)))


def read_token(settings: Settings, environ: Any = os.environ) -> str:
    """The API token from the environment or from the owner-only token file."""
    token = (environ.get(TOKEN_ENV) or "").strip()
    if token:
        return token
    path = settings.token_file
    if not path:
        raise UsageError(f"no token: set {TOKEN_ENV} or token_file in the config file")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        raise UsageError(f"cannot open the token file {path}: {exc.strerror}") from None
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise UsageError(f"the token file {path} is not a regular file")
        if st.st_mode & 0o077:
            raise UsageError(f"the token file {path} can be read by others "
                             f"(mode {stat.S_IMODE(st.st_mode):o}); run: chmod 600 {path}")
        raw = f.read(MAX_TOKEN_BYTES + 1)
    if len(raw) > MAX_TOKEN_BYTES:
        raise UsageError(f"the token file {path} is larger than {MAX_TOKEN_BYTES} bytes")
    try:
        token = raw.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise UsageError(f"the token file {path} is not UTF-8 text") from None
    if not token or "\n" in token:
        raise UsageError(f"the token file {path} must hold the token on one line")
    return token


# ----------------------------------------------------------------------------------------
# What the service holds and what the store holds
# ----------------------------------------------------------------------------------------

@dataclass
class Remote:
    """The keys of one category on the service: its months (YYYY-MM) and its unstack key."""
    months: list[str] = field(default_factory=list)
    unstack: bool = False


def remote_categories(keys: list[str]) -> dict[str, Remote]:
    """Categories by the shape of their keys: ts1-<c>-YYYYMM is a month, ts1-<c> a whole table.

    Only names without "-" count as unstack categories, as a name with one cannot be told
    from a month key or a longer name.
    """
    out: dict[str, Remote] = {}
    for key in keys:
        if not key.startswith("ts1-"):
            continue
        m = _MONTH_KEY.fullmatch(key)
        if m and 1 <= int(m.group(3)) <= 12:
            out.setdefault(m.group(1), Remote()).months.append(f"{m.group(2)}-{m.group(3)}")
        elif "-" not in key[4:]:
            out.setdefault(key[4:], Remote()).unstack = True
    for remote in out.values():
        remote.months.sort()
    return out


def remote_of(keys: list[str], category: str) -> Remote:
    """The keys of one named category, whatever characters its name holds."""
    prefix = f"ts1-{category}-"
    months = sorted(f"{k[-6:-2]}-{k[-2:]}" for k in keys
                    if k.startswith(prefix) and len(k) == len(prefix) + 6 and k[-6:].isascii() and k[-6:].isdigit()
                    and 1 <= int(k[-2:]) <= 12)
    return Remote(months=months, unstack=f"ts1-{category}" in keys)


def check_name(category: str) -> None:
    """Refuse a name that cannot be a directory of the store."""
    if (not category or category in (".", "..") or category.startswith(".")
            or any(c in category for c in "/\\\0") or not category.isprintable()):
        raise ValueError(f"{category!r} cannot be a category of the store")


def stored_months(store: str, category: str) -> list[str]:
    directory = os.path.join(store, category)
    if not os.path.isdir(directory):
        return []
    months = []
    for entry in os.listdir(directory):
        kind, month = _names.classify(directory, category, entry)   # the store's own rule
        if kind == "month" and month:
            months.append(month)
    return sorted(months)


def file_problem(path: str) -> str | None:
    """Why the store cannot read the file at ``path``, or None. Only its ends are read (the
    store's own check of magic bytes, footer and column data bounds), never its data."""
    try:
        _names.check_file(path)
    except ValueError as exc:
        return str(exc).rsplit(" (", 1)[-1].rstrip(")") or str(exc)
    except OSError as exc:
        return exc.strerror or str(exc)
    return None


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


def synced_from(store: str) -> dict[str, str]:
    """The first month (YYYY-MM) each pivot category has been synced from, as recorded before
    a run's first write: a first sync killed halfway leaves later months only, and the months
    before them are holes too."""
    try:
        with open(os.path.join(store, STATE_NAME), encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}
    first = data.get("first_month") if isinstance(data, dict) else None
    if not isinstance(first, dict):
        return {}
    return {k: v for k, v in first.items() if isinstance(k, str) and isinstance(v, str)
            and re.fullmatch(r"\d{4}-\d\d", v, re.ASCII)}


def record_synced_from(store: str, category: str, month: str) -> None:
    """Record ``month`` as the first month of ``category`` unless an earlier one is; the file
    is replaced whole."""
    first = synced_from(store)
    if first.get(category, "9999-99") <= month:
        return
    first[category] = month
    fd, temporary = tempfile.mkstemp(prefix=".marvane-sync-", dir=store)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump({"first_month": first}, f, indent=1, sort_keys=True)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, os.path.join(store, STATE_NAME))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def month_start(month: str) -> dt.date:
    return dt.date(int(month[:4]), int(month[5:7]), 1)


def month_end(month: str) -> dt.date:
    return pd.Period(month, freq="M").end_time.date()


# ----------------------------------------------------------------------------------------
# Plans and their outcome
# ----------------------------------------------------------------------------------------

@dataclass
class Plan:
    category: str
    kind: str                        # "pivot" or "unstack"
    start: dt.date | None = None
    end: dt.date | None = None
    first: dt.date | None = None     # the first day checked for holes
    months: list[str] = field(default_factory=list)      # months to fetch (YYYY-MM)
    create: list[str] = field(default_factory=list)
    merge: list[str] = field(default_factory=list)
    holes: list[str] = field(default_factory=list)       # fetched because missing before start
    damaged: dict[str, str] = field(default_factory=dict)  # month -> why its file is unreadable
    candidates: list[str] = field(default_factory=list)  # the service's months checked
    note: str = ""                   # why nothing is fetched

    @property
    def keys(self) -> list[str]:
        if self.kind == "unstack":
            return [f"ts1-{self.category}"]
        return [f"ts1-{self.category}-{m.replace('-', '')}" for m in self.months]

    @property
    def span(self) -> str:
        """The days synced, never backwards: from the first day checked to the last."""
        if self.kind != "pivot" or self.start is None or self.end is None:
            return ""
        if self.start <= self.end:
            return f"{self.start}..{self.end}"
        return f"{self.first}..{self.end}" if self.first and self.first <= self.end else ""


@dataclass
class Outcome:
    category: str
    kind: str
    seconds: float = 0.0
    span: str = ""
    fetched: int = 0
    created: list[str] = field(default_factory=list)
    merged: list[str] = field(default_factory=list)
    identical: int = 0
    holes: list[str] = field(default_factory=list)
    set_aside: list[str] = field(default_factory=list)    # damaged files moved aside
    kept: int | None = None        # stored cells kept where the fetched value differs
    refreshed: bool = False
    note: str = ""
    error: str | None = None
    skipped: str | None = None
    interrupted: bool = False
    timed_out: bool = False


def pivot_plan(category: str, remote: Remote, store: str, today: dt.date,
               start: dt.date | None, end: dt.date | None, recorded: str | None = None) -> Plan:
    stored = stored_months(store, category)
    explicit_end = end is not None
    end = end or today
    explicit_start = start is not None
    if start is None:
        if stored:
            start = month_start(stored[-1])
        elif remote.months:
            start = month_start(remote.months[0])
        else:
            start = end
    # holes are looked for from the first month synced on; an explicit --start fetches all
    first = start
    if not explicit_start and stored:
        first = min(start, month_start(min(stored[0], recorded or stored[0])))
    plan = Plan(category, "pivot", start, end, first)
    last = f"{end:%Y-%m}"
    plan.candidates = [m for m in remote.months if f"{first:%Y-%m}" <= m <= last]
    have = set(stored)
    directory = os.path.join(store, category)
    for m in plan.candidates:
        if m in have:
            why = file_problem(os.path.join(directory,
                                            _names.month_file_name(category, int(m[:4]), int(m[5:]))))
            if why:
                plan.damaged[m] = why
    main_first = f"{start:%Y-%m}"
    if start <= end:
        main = [m for m in plan.candidates if m >= main_first]
    else:
        main = []
    plan.holes = [m for m in plan.candidates
                  if m < main_first and (m not in have or m in plan.damaged)]
    plan.months = plan.holes + main
    plan.create = [m for m in plan.months if m not in have or m in plan.damaged]
    plan.merge = [m for m in plan.months if m in have and m not in plan.damaged]
    if not plan.months:
        end_name = "--end" if explicit_end else "today"
        if start > end and explicit_start:
            plan.note = f"nothing to fetch: --start {start} is after {end_name} {end}"
        elif start > end:
            plan.note = (f"nothing to fetch: the latest stored month {stored[-1]} is after "
                         f"{end_name} {end}, and no month before it is missing")
        else:
            latest = f"; its latest is {remote.months[-1]}" if remote.months else ""
            plan.note = (f"nothing to fetch: the service holds no month of "
                         f"{_shown(category)} in {plan.span}{latest}")
    return plan


def unstack_plan(category: str, store: str) -> Plan:
    path = os.path.join(store, category, _names.unstack_file_name(category))
    exists = os.path.isfile(path)
    plan = Plan(category, "unstack", create=[] if exists else ["file"],
                merge=["file"] if exists else [])
    if exists:
        why = file_problem(path)
        if why:
            plan.damaged["file"] = why
            plan.create, plan.merge = ["file"], []
    return plan


def make_plans(settings: Settings, keys: list[str], today: dt.date) -> list[Plan | Outcome]:
    """In the order named: the plan of each category, or the outcome of one that cannot be
    planned."""
    plans: list[Plan | Outcome] = []
    if settings.all:
        table = remote_categories(keys)
        names = sorted(c for c in table if c not in settings.exclude)
    else:
        table = {}
        names = [c for c in settings.categories if c not in settings.exclude]
    recorded = synced_from(settings.store)
    for name in names:
        try:
            check_name(name)
        except ValueError as exc:
            outcome = Outcome(name, "-")
            if settings.all:
                outcome.skipped = str(exc)     # a stray remote key must not fail every run
            else:
                outcome.error = str(exc)
            plans.append(outcome)
            continue
        remote = table[name] if settings.all else remote_of(keys, name)
        if not remote.months and not remote.unstack:
            plans.append(Outcome(name, "-", error=f"the data service has no key ts1-{name} "
                                                    f"and no month key ts1-{name}-YYYYMM"))
            continue
        try:
            if remote.months:
                plans.append(pivot_plan(name, remote, settings.store, today, settings.start,
                                        settings.end, recorded.get(name)))
            if remote.unstack:
                plans.append(unstack_plan(name, settings.store))
        except OSError as exc:           # an unreadable category directory, for one
            plans.append(Outcome(name, "-", error=f"{type(exc).__name__}: {exc}"))
    return plans


def month_chunks(plan: Plan) -> list[tuple[str, str]]:
    """Date ranges covering the plan's months, at most MONTHS_PER_FETCH months each; a range
    never spans a month of the service that the plan leaves alone."""
    place = {m: i for i, m in enumerate(plan.candidates)}
    runs: list[list[str]] = []
    for m in plan.months:
        if (runs and len(runs[-1]) < MONTHS_PER_FETCH
                and place[m] == place[runs[-1][-1]] + 1):
            runs[-1].append(m)
        else:
            runs.append([m])
    assert plan.start is not None and plan.end is not None
    out = []
    for run in runs:
        first = month_start(run[0])
        if run[0] == f"{plan.start:%Y-%m}":
            first = max(first, plan.start)           # --start within a month
        out.append((f"{first:%Y-%m-%d}", f"{min(month_end(run[-1]), plan.end):%Y-%m-%d}"))
    return out


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


def service_error(exc: BaseException) -> bool:
    """Whether ``exc`` (or what caused it) is the service not answering in time."""
    import redis

    seen = 0
    while exc is not None and seen < 10:
        if isinstance(exc, (redis.exceptions.TimeoutError, TimeoutError)):
            return True
        exc, seen = exc.__cause__ or exc.__context__, seen + 1
    return False


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


# ----------------------------------------------------------------------------------------
# Printed lines
# ----------------------------------------------------------------------------------------

def _months_text(months: list[str]) -> str:
    if not months:
        return "0"
    shown = months if len(months) <= 4 else [months[0], "...", months[-1]]
    return f"{len(months)} ({', '.join(shown)})"


def _shown(name: str) -> str:
    """A name as printed: names from the service may hold control characters."""
    return name if name.isprintable() else ascii(name)


def plan_line(plan: Plan, width: int) -> str:
    head = f"{_shown(plan.category):<{width}}  {plan.kind:<7}"
    damaged = ""
    if plan.damaged:
        damaged = "; damaged, to set aside and fetch again: " + ", ".join(
            f"{m} ({why})" for m, why in plan.damaged.items())
    if plan.kind == "unstack":
        what = "create the file" if plan.create else "merge into the file"
        return f"{head}  would fetch ts1-{plan.category}, {what}{damaged}"
    if plan.note:
        return f"{head}  {plan.span}  {plan.note}".replace("    ", "  ")
    keys = plan.keys
    shown = ", ".join(keys if len(keys) <= 3 else [keys[0], "...", keys[-1]])
    holes = f"; holes to fill {_months_text(plan.holes)}" if plan.holes else ""
    return (f"{head}  {plan.span}: would fetch {len(keys)} "
            f"key{'' if len(keys) == 1 else 's'}{' (' + shown + ')' if keys else ''}; "
            f"months to create {_months_text(plan.create)}, to merge {_months_text(plan.merge)}"
            f"{holes}{damaged}")


def _written(o: Outcome) -> str:
    if not o.created and not o.merged:
        return "nothing written"
    parts = [f"created {_months_text(o.created)}"] if o.created else []
    parts += [f"merged {_months_text(o.merged)}"] if o.merged else []
    return "written: " + ", ".join(parts)


def outcome_line(o: Outcome, width: int) -> str:
    head = f"{_shown(o.category):<{width}}  {o.kind:<7}"
    if o.skipped:
        return f"{head}  skipped: {o.skipped}"
    span = f"  {o.span}" if o.span else ""
    aside = f"; damaged file set aside and fetched again: {', '.join(o.set_aside)}" if o.set_aside else ""
    if o.interrupted:
        return f"{head}{span}  INTERRUPTED after {o.seconds:.2f} s, {_written(o)}{aside}"
    if o.error and o.error.startswith("not tried:"):
        return f"{head}  FAILED, {o.error}"
    if o.error:
        return f"{head}{span}  FAILED after {o.seconds:.2f} s, {_written(o)}{aside}: {o.error}"
    if o.note and not o.fetched:
        return f"{head}{span}  {o.note}"
    unit = "months" if o.kind == "pivot" else "files"
    changed = "refreshed" if o.refreshed else "merged"
    text = (f"{head}{span}  {unit} fetched {o.fetched}, created {len(o.created)}, "
            f"{changed} {len(o.merged)}, identical {o.identical}")
    if o.holes:
        text += f", holes refilled {_months_text(o.holes)}"
    if o.kept:
        text += f"; {o.kept} stored cell{'' if o.kept == 1 else 's'} kept where the service differs (--refresh takes its values)"
    return f"{text}{aside}  {o.seconds:.2f} s"


# ----------------------------------------------------------------------------------------
# Running
# ----------------------------------------------------------------------------------------

@contextlib.contextmanager
def store_lock(store: str, wait: float, poll: float = 0.1) -> Iterator[None]:
    """Hold the store's lock file; wait at most ``wait`` seconds for another run to let go.

    The lock is an advisory lock on an open file, so it goes away with its process even when
    that process is killed. The file itself is kept.
    """
    path = os.path.join(store, LOCK_NAME)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                     0o644)
    except OSError as exc:
        raise UsageError(f"cannot open the lock file {path}: {exc.strerror}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise UsageError(f"the lock file {path} is not a regular file")
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as exc:
                if exc.errno not in (errno.EAGAIN, errno.EACCES):
                    raise
            if time.monotonic() >= deadline:
                holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip()
                raise StoreLocked(f"the store {store} is in use by another sync"
                                  f"{' (' + holder + ')' if holder else ''}; "
                                  f"gave up after waiting {wait:g} s")
            time.sleep(poll)
        with contextlib.suppress(OSError):      # who holds it is said when there is room
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"pid {os.getpid()}, since {dt.datetime.now():%Y-%m-%d %H:%M:%S}\n"
                      .encode(), 0)
        yield
    finally:
        os.close(fd)


@contextlib.contextmanager
def library_output(verbose: bool, bars: bool) -> Iterator[None]:
    """Hide the library's own printed lines unless ``verbose``, and its progress bars
    unless ``bars``. The modules look up ``tqdm`` at call time, so it is swapped there."""
    import marvane.FrameStore as fs
    import marvane.TSClient as tc

    originals = (fs.tqdm, tc.tqdm)
    if not bars:
        fs.tqdm = functools.partial(originals[0], disable=True)
        tc.tqdm = functools.partial(originals[1], disable=True)
    try:
        if verbose:
            yield
        else:
            with contextlib.redirect_stdout(io.StringIO()):
                yield
    finally:
        fs.tqdm, tc.tqdm = originals



@contextlib.contextmanager
def bounded_service(timeout: float) -> Iterator[None]:
    """Every connection the client makes waits at most ``timeout`` seconds to connect and for
    each reply, and is not retried: a service that stops answering fails the request. The
    client module looks up ``redis`` at call time, so a stand-in is put there for the run and
    the library's own behaviour is left as it is for its other callers."""
    import marvane.TSClient as tc
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    original = tc.redis
    silent: set[Any] = set()     # hosts whose ping went unanswered in this run

    class BoundedRedis(original.Redis):  # type: ignore[misc, name-defined]
        def ping(self, *args: Any, **kwargs: Any) -> Any:
            try:
                return super().ping(*args, **kwargs)
            except original.exceptions.TimeoutError:
                silent.add(self.connection_pool.connection_kwargs.get("host"))
                raise

    def bounded_redis(*args: Any, **kwargs: Any) -> Any:
        # the login pings each host to measure it, then the one chosen: a host that left the
        # first ping unanswered is not waited for a second time
        if kwargs.get("host") in silent:
            raise original.exceptions.TimeoutError(
                f"{kwargs['host']} did not answer a ping within {timeout:g} s")
        kwargs.setdefault("socket_timeout", timeout)
        kwargs.setdefault("socket_connect_timeout", timeout)
        kwargs.setdefault("retry", Retry(NoBackoff(), 0))
        return BoundedRedis(*args, **kwargs)

    stand_in = types.ModuleType(original.__name__)
    stand_in.__dict__.update({k: v for k, v in vars(original).items() if not k.startswith("__")})
    stand_in.Redis = bounded_redis  # type: ignore[attr-defined]
    tc.redis = stand_in
    try:
        yield
    finally:
        tc.redis = original


class _Signals:
    """The signals a run received; while ``armed`` (the client's work on the service and the
    store), the first one raises Interrupted there, elsewhere the run stops at its next check."""
    received: list[int] = []
    armed = False


@contextlib.contextmanager
def interruptible() -> Iterator[None]:
    """SIGTERM or SIGINT raise Interrupted within this block (once per run): the store's
    writes under way finish, as its thread pools are waited for, and no other is started."""
    was, _Signals.armed = _Signals.armed, True
    try:
        if _Signals.received and not was:
            raise Interrupted(_Signals.received[0])
        yield
    finally:
        _Signals.armed = was


@contextlib.contextmanager
def stop_on_signals() -> Iterator[list[int]]:
    """Handle SIGTERM and SIGINT for one run; yields the list of signals received."""
    received: list[int] = []
    _Signals.received, _Signals.armed = received, False
    if threading.current_thread() is not threading.main_thread():
        yield received
        return

    def handler(signum: int, frame: Any) -> None:
        received.append(signum)
        if len(received) == 1 and _Signals.armed:
            _Signals.armed = False
            raise Interrupted(signum)

    previous = {s: signal.signal(s, handler) for s in EXIT_SIGNALLED}
    try:
        yield received
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


def client_class(host: str | None) -> type:
    """The client class of a run: the library's own, or one that reaches only ``host``,
    which keeps the tables it fetches while a category syncs and the key whose value failed."""
    if host is None:
        from marvane.TSClient import TesselClient as base
    else:
        from marvane._localserver import client_class as with_hosts
        base = with_hosts({host: host})

    class SyncClient(base):  # type: ignore[misc, valid-type]
        fetched: dict[str, Any] | None = None
        failed_key: str | None = None

        def load_df_from_tsdb(self, key: str) -> Any:
            try:
                value = super().load_df_from_tsdb(key)
            except Exception:
                self.failed_key = key
                raise
            if self.fetched is not None:
                self.fetched[key] = value
            return value

    return SyncClient


def _now() -> str:
    return dt.datetime.now().astimezone().isoformat(timespec="seconds")


def header_line(settings: Settings) -> str:
    what = ("every category the service lists" if settings.all
            else ", ".join(map(_shown, settings.categories)))
    if settings.exclude:
        what += f" except {', '.join(map(_shown, settings.exclude))}"
    mode = " (dry run)" if settings.dry_run else " (refresh)" if settings.refresh else ""
    return f"marvane sync {_now()}{mode}: store {settings.store}, categories {what}"


def sync(settings: Settings, token: str, say: Callable[[str], None] | None = None,
         warn: Callable[[str], None] | None = None, today: dt.date | None = None,
         bars: bool | None = None) -> int:
    """Run one sync; returns the exit status. The first line said is dated, the last one
    sums the run up."""
    say = say or functools.partial(print, flush=True)
    warn = warn or _warn
    today = today or dt.date.today()
    bars = sys.stderr.isatty() if bars is None else bars
    t0 = time.monotonic()

    def scrub(text: str) -> str:
        return text.replace(token, "***") if token else text

    def seconds() -> str:
        return f"{time.monotonic() - t0:.2f} s"

    say(header_line(settings))
    if os.path.lexists(settings.store) and not os.path.isdir(settings.store):
        warn(f"marvane sync: the store path {settings.store} is not a directory")
        warn(f"marvane sync: not run, {seconds()}")
        return EXIT_USAGE
    with contextlib.ExitStack() as stack:
        received = stack.enter_context(stop_on_signals())
        try:
            stack.enter_context(bounded_service(settings.timeout))
            stack.enter_context(interruptible())
            if settings.dry_run:
                # log in with a throw-away save directory: nothing is written to the store
                scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="marvane-dry-run-"))
                client = _login(settings, token, scratch, warn, scrub)
            else:
                try:
                    os.makedirs(settings.store, exist_ok=True)
                    stack.enter_context(store_lock(settings.store, settings.wait))
                except StoreLocked as exc:
                    warn(f"marvane sync: {exc}")
                    warn(f"marvane sync: not run (the store is locked), {seconds()}")
                    return EXIT_LOCKED
                except (UsageError, OSError) as exc:
                    warn(f"marvane sync: {exc}")
                    warn(f"marvane sync: not run, {seconds()}")
                    return EXIT_USAGE
                client = _login(settings, token, settings.store, warn, scrub)
            if client is None:
                warn(f"marvane sync: failed (login), nothing written, {seconds()}")
                return EXIT_FAILED
            items = make_plans(settings, client.keys, today)
            _Signals.armed = False
        except Interrupted as stop:
            warn(f"marvane sync: interrupted by {stop} before any category, nothing written, "
                 f"{seconds()}")
            return EXIT_SIGNALLED[stop.signum]
        if not items:
            if settings.all and not remote_categories(client.keys):
                warn("marvane sync: the data service lists no category (no key ts1-<category> "
                     f"or ts1-<category>-YYYYMM); nothing to sync, {seconds()}")
                return EXIT_FAILED
            say(f"marvane sync: ok, every category is excluded, nothing to sync, {seconds()}")
            return EXIT_OK
        width = max([len(_shown(i.category)) for i in items] + [8])
        if settings.dry_run:
            for item in items:
                say(plan_line(item, width) if isinstance(item, Plan) else outcome_line(item, width))
            failed = [i.category for i in items if isinstance(i, Outcome) and i.error]
            end = f"{len(failed)} of {len(items)} cannot be synced: {', '.join(map(_shown, failed))}" \
                if failed else "ok"
            (warn if failed else say)(f"marvane sync: dry run {end}; nothing written, {seconds()}")
            if received:
                return EXIT_SIGNALLED[received[0]]
            return EXIT_FAILED if failed else EXIT_OK
        outcomes: list[Outcome] = []
        stop_reason = ""
        for item in items:
            if stop_reason:
                outcome = Outcome(item.category, item.kind, error=f"not tried: {stop_reason}")
            elif isinstance(item, Plan):
                with library_output(settings.verbose, bars):
                    outcome = run_plan(client, item, settings.store, settings.refresh,
                                       settings.timeout)
                if outcome.error:
                    outcome.error = scrub(" ".join(outcome.error.split()))
                if outcome.timed_out:
                    stop_reason = f"the data service stopped answering ({settings.timeout:g} s)"
            else:
                outcome = item
            outcomes.append(outcome)
            say(outcome_line(outcome, width))
            if received:
                break
    if received:
        done = sum(1 for o in outcomes if not (o.error or o.interrupted))
        name = signal.Signals(received[0]).name
        warn(f"marvane sync: interrupted by {name}: {done} of {len(items)} categories synced, "
             f"{seconds()}; the next run completes the store")
        return EXIT_SIGNALLED[received[0]]
    failed = [o.category for o in outcomes if o.error]
    if failed:
        warn(f"marvane sync: {len(failed)} of {len(outcomes)} failed: "
             f"{', '.join(map(_shown, failed))}; {seconds()}")
        return EXIT_FAILED
    say(f"marvane sync: ok, {len(outcomes)} synced, {seconds()}")
    return EXIT_OK


def _warn(text: str) -> None:
    """A line to stderr, after whatever stdout holds, so a combined log keeps their order."""
    sys.stdout.flush()
    print(text, file=sys.stderr, flush=True)


def _login(settings: Settings, token: str, save_path: str, warn: Callable[[str], None],
           scrub: Callable[[str], str]) -> Any:
    try:
        with library_output(settings.verbose, bars=False):
            return client_class(settings.host)(settings.account, token, save_path)
    except Exception as exc:
        where = settings.host or "the default host table"
        why = f"{type(exc).__name__}: {' '.join(str(exc).split())}"
        if service_error(exc):
            why = f"the data service did not answer within {settings.timeout:g} s ({why})"
        warn(scrub(f"marvane sync: login to {where} as {settings.account} failed: {why}"))
        return None


def main(args: argparse.Namespace) -> int:
    try:
        settings = resolve_settings(args)
        token = read_token(settings)
    except UsageError as exc:
        _warn(f"marvane sync {_now()}: {exc}")
        return EXIT_USAGE
    return sync(settings, token)
