"""``marvane sync``: keep a store current from the data service, for a scheduler.

Settings come from a small TOML file and the command line (the command line wins). The
token comes from the environment or from a file only its owner may read, never from the
command line, and is never printed. One run logs in once, then syncs each category in turn:
a pivot category from its latest stored month (or ``--start``) to today (or ``--end``), an
unstack category whole. A category that fails is reported and the others are still tried.
A lock file in the store keeps two runs from writing one store at once.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import errno
import fcntl
import functools
import io
import os
import re
import stat
import sys
import tempfile
import time
import tomllib
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import pandas as pd

from marvane import _names

DEFAULT_CONFIG = "~/.config/marvane/config.toml"
TOKEN_ENV = "MARVANE_API_TOKEN"
LOCK_NAME = ".marvane-sync.lock"
DEFAULT_WAIT = 300.0
MONTHS_PER_FETCH = 12          # months fetched and merged per client call, to bound memory
CONFIG_KEYS: dict[str, type] = {"host": str, "account": str, "store": str,
                                "categories": list, "token_file": str}
MAX_TOKEN_BYTES = 64 * 1024

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_LOCKED = 0, 1, 2, 3

_MONTH_KEY = re.compile(r"ts1-(.+)-(\d{4})(\d{2})", re.ASCII)


class UsageError(Exception):
    """A setting is missing or wrong; nothing was synced."""


class StoreLocked(Exception):
    """Another run holds the store's lock for longer than the wait allowed."""


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


def add_parser(commands: Any) -> None:
    sync = commands.add_parser(
        "sync", help="bring categories of a store up to date from the data service",
        description="Log in to the data service and bring each category up to date: a pivot "
                    "category from its latest stored month (or --start) to today (or --end), "
                    "an unstack category whole. Settings come from a TOML file (keys host, "
                    "account, store, categories, token_file) and the command line, which wins. "
                    f"The token is read from the environment variable {TOKEN_ENV} or from "
                    "token_file. Exit status: 0 all categories synced, 1 a category or the "
                    "login failed, 2 bad settings, 3 the store stayed locked by another run.")
    sync.add_argument("categories", nargs="*", metavar="CATEGORY", help="categories to sync")
    sync.add_argument("--all", action="store_true",
                      help="sync every category the service lists (pivot or unstack by its keys)")
    sync.add_argument("--config", metavar="FILE",
                      help=f"settings file (default: {DEFAULT_CONFIG}, when it exists)")
    sync.add_argument("--host", help="host name of the data service")
    sync.add_argument("--account", help="account name")
    sync.add_argument("--store", metavar="DIR", help="store directory")
    sync.add_argument("--start", metavar="DATE", type=_date,
                      help="first day to sync, YYYY-MM-DD (default: the latest stored month)")
    sync.add_argument("--end", metavar="DATE", type=_date,
                      help="last day to sync, YYYY-MM-DD (default: today)")
    sync.add_argument("--dry-run", action="store_true",
                      help="print the keys to fetch and the months to create or merge; write nothing")
    sync.add_argument("--wait", metavar="SECONDS", type=float, default=DEFAULT_WAIT,
                      help=f"how long to wait for another run's lock (default: {DEFAULT_WAIT:g})")
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
        if not isinstance(value, CONFIG_KEYS[key]):
            raise UsageError(f"{path}: {key} must be a {CONFIG_KEYS[key].__name__}")
    if not all(isinstance(c, str) for c in data.get("categories", [])):
        raise UsageError(f"{path}: categories must be a list of names")
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
    if args.all and args.categories:
        raise UsageError("give either --all or category names, not both")
    if not args.all and not categories:
        raise UsageError("no category: name some, use --all, or set categories in the config file")
    if args.start and args.end and args.start > args.end:
        raise UsageError(f"--start {args.start} is after --end {args.end}")
    if args.wait < 0:
        raise UsageError("--wait must not be negative")
    return Settings(account=account, store=store, host=args.host or config.get("host"),
                    categories=list(dict.fromkeys(categories)), all=args.all,
                    token_file=path_setting("token_file"), start=args.start, end=args.end,
                    dry_run=args.dry_run, wait=args.wait, verbose=args.verbose)


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


def file_states(directory: str) -> dict[str, tuple[int, int, int]]:
    """Each Parquet file of a category directory with its (inode, size, mtime); files are
    replaced whole, so a rewritten file shows a new inode or modification time."""
    out = {}
    if os.path.isdir(directory):
        for entry in os.listdir(directory):
            if entry.endswith(".parquet") and not entry.startswith(_names.TEMPORARY_PREFIX):
                st = os.stat(os.path.join(directory, entry))
                out[entry] = (st.st_ino, st.st_size, st.st_mtime_ns)
    return out


# ----------------------------------------------------------------------------------------
# Plans and their outcome
# ----------------------------------------------------------------------------------------

@dataclass
class Plan:
    category: str
    kind: str                        # "pivot" or "unstack"
    start: dt.date | None = None
    end: dt.date | None = None
    months: list[str] = field(default_factory=list)      # months to fetch (YYYY-MM)
    create: list[str] = field(default_factory=list)
    merge: list[str] = field(default_factory=list)

    @property
    def keys(self) -> list[str]:
        if self.kind == "unstack":
            return [f"ts1-{self.category}"]
        return [f"ts1-{self.category}-{m.replace('-', '')}" for m in self.months]


@dataclass
class Outcome:
    category: str
    kind: str
    seconds: float = 0.0
    span: str = ""
    fetched: int = 0
    created: int = 0
    merged: int = 0
    identical: int = 0
    error: str | None = None
    skipped: str | None = None


def pivot_plan(category: str, remote: Remote, store: str, today: dt.date,
               start: dt.date | None, end: dt.date | None) -> Plan:
    stored = stored_months(store, category)
    end = end or today
    if start is None:
        if stored:
            start = dt.date.fromisoformat(stored[-1] + "-01")
        elif remote.months:
            start = dt.date.fromisoformat(remote.months[0] + "-01")
        else:
            start = end
    plan = Plan(category, "pivot", start, end)
    if start > end:                  # the latest stored month lies after --end
        return plan
    first, last = f"{start:%Y-%m}", f"{end:%Y-%m}"
    plan.months = [m for m in remote.months if first <= m <= last]
    have = set(stored)
    plan.create = [m for m in plan.months if m not in have]
    plan.merge = [m for m in plan.months if m in have]
    return plan


def unstack_plan(category: str, store: str) -> Plan:
    exists = os.path.isfile(os.path.join(store, category, _names.unstack_file_name(category)))
    return Plan(category, "unstack", create=[] if exists else ["file"],
                merge=["file"] if exists else [])


def make_plans(settings: Settings, keys: list[str], today: dt.date) -> list[Plan | Outcome]:
    """In the order named: the plan of each category, or the outcome of one that cannot be
    planned."""
    plans: list[Plan | Outcome] = []
    if settings.all:
        table = remote_categories(keys)
        names = sorted(table)
    else:
        table = {}
        names = settings.categories
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
                                        settings.end))
            if remote.unstack:
                plans.append(unstack_plan(name, settings.store))
        except OSError as exc:           # an unreadable category directory, for one
            plans.append(Outcome(name, "-", error=f"{type(exc).__name__}: {exc}"))
    return plans


def month_chunks(plan: Plan) -> list[tuple[str, str]]:
    """Date ranges covering the plan's months, at most MONTHS_PER_FETCH months each."""
    out = []
    for i in range(0, len(plan.months), MONTHS_PER_FETCH):
        chunk = plan.months[i:i + MONTHS_PER_FETCH]
        first = pd.Period(chunk[0], freq="M").start_time.date()
        last = pd.Period(chunk[-1], freq="M").end_time.date()
        assert plan.start is not None and plan.end is not None
        out.append((f"{max(first, plan.start):%Y-%m-%d}", f"{min(last, plan.end):%Y-%m-%d}"))
    return out


def run_plan(client: Any, plan: Plan, store: str) -> Outcome:
    outcome = Outcome(plan.category, plan.kind)
    if plan.kind == "pivot":
        outcome.span = f"{plan.start}..{plan.end}"
    directory = os.path.join(store, plan.category)
    t0 = time.perf_counter()
    before: dict[str, tuple[int, int, int]] = {}
    names: list[str] = []
    try:
        before = file_states(directory)
        if plan.kind == "pivot":
            for chunk_start, chunk_end in month_chunks(plan):
                client.UpdatePivotParquet(plan.category, chunk_start, chunk_end)
            names = [_names.month_file_name(plan.category, int(m[:4]), int(m[5:]))
                     for m in plan.months]
        else:
            client.UpdateUnstackParquet(plan.category)
            names = [_names.unstack_file_name(plan.category)]
        outcome.fetched = len(names)
    except Exception as exc:  # reported, and the other categories are still tried
        outcome.error = f"{type(exc).__name__}: {exc}"
        names = []
    try:
        after = file_states(directory)
    except OSError:
        after = {}
    for name in names:
        if name not in after:
            continue
        if name not in before:
            outcome.created += 1
        elif before[name] != after[name]:
            outcome.merged += 1
        else:
            outcome.identical += 1
    outcome.seconds = time.perf_counter() - t0
    return outcome


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
    if plan.kind == "unstack":
        what = "create the file" if plan.create else "merge into the file"
        return f"{head}  would fetch ts1-{plan.category}, {what}"
    keys = plan.keys
    shown = ", ".join(keys if len(keys) <= 3 else [keys[0], "...", keys[-1]])
    return (f"{head}  {plan.start}..{plan.end}: would fetch {len(keys)} "
            f"key{'' if len(keys) == 1 else 's'}{' (' + shown + ')' if keys else ''}; "
            f"months to create {_months_text(plan.create)}, to merge {_months_text(plan.merge)}")


def outcome_line(o: Outcome, width: int) -> str:
    head = f"{_shown(o.category):<{width}}  {o.kind:<7}"
    if o.skipped:
        return f"{head}  skipped: {o.skipped}"
    span = f"  {o.span}" if o.span else ""
    if o.error:
        return f"{head}{span}  FAILED after {o.seconds:.2f} s: {o.error}"
    unit = "months" if o.kind == "pivot" else "files"
    return (f"{head}{span}  {unit} fetched {o.fetched}, created {o.created}, merged {o.merged}, "
            f"identical {o.identical}  {o.seconds:.2f} s")


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


def client_class(host: str | None) -> type:
    """The client class: the library's own, or one that reaches only ``host``."""
    if host is None:
        from marvane.TSClient import TesselClient
        return TesselClient
    from marvane._localserver import client_class as with_hosts
    return with_hosts({host: host})


def sync(settings: Settings, token: str, say: Callable[[str], None] = print,
         warn: Callable[[str], None] | None = None, today: dt.date | None = None,
         bars: bool | None = None) -> int:
    """Run one sync; returns the exit status."""
    warn = warn or (lambda text: print(text, file=sys.stderr))
    today = today or dt.date.today()
    bars = sys.stderr.isatty() if bars is None else bars

    def scrub(text: str) -> str:
        return text.replace(token, "***") if token else text

    if os.path.lexists(settings.store) and not os.path.isdir(settings.store):
        warn(f"marvane sync: the store path {settings.store} is not a directory")
        return EXIT_USAGE

    if settings.dry_run:
        # log in with a throw-away save directory, so that nothing is written to the store
        with tempfile.TemporaryDirectory(prefix="marvane-dry-run-") as scratch:
            client = _login(settings, token, scratch, warn, scrub)
            if client is None:
                return EXIT_FAILED
            items = make_plans(settings, client.keys, today)
        width = max([len(_shown(i.category)) for i in items] + [8])
        for item in items:
            say(plan_line(item, width) if isinstance(item, Plan) else outcome_line(item, width))
        return EXIT_FAILED if any(isinstance(i, Outcome) and i.error for i in items) else EXIT_OK

    with contextlib.ExitStack() as stack:
        try:
            os.makedirs(settings.store, exist_ok=True)
            stack.enter_context(store_lock(settings.store, settings.wait))
        except StoreLocked as exc:
            warn(f"marvane sync: {exc}")
            return EXIT_LOCKED
        except (UsageError, OSError) as exc:
            warn(f"marvane sync: {exc}")
            return EXIT_USAGE
        client = _login(settings, token, settings.store, warn, scrub)
        if client is None:
            return EXIT_FAILED
        items = make_plans(settings, client.keys, today)
        width = max([len(_shown(i.category)) for i in items] + [8])
        outcomes = []
        for item in items:
            if isinstance(item, Plan):
                with library_output(settings.verbose, bars):
                    outcome = run_plan(client, item, settings.store)
                if outcome.error:
                    outcome.error = scrub(" ".join(outcome.error.split()))
            else:
                outcome = item
            outcomes.append(outcome)
            say(outcome_line(outcome, width))
    failed = [o.category for o in outcomes if o.error]
    if failed:
        warn(f"marvane sync: {len(failed)} of {len(outcomes)} failed: "
             f"{', '.join(map(_shown, failed))}")
        return EXIT_FAILED
    return EXIT_OK


def _login(settings: Settings, token: str, save_path: str, warn: Callable[[str], None],
           scrub: Callable[[str], str]) -> Any:
    try:
        with library_output(settings.verbose, bars=False):
            return client_class(settings.host)(settings.account, token, save_path)
    except Exception as exc:
        where = settings.host or "the default host table"
        warn(scrub(f"marvane sync: login to {where} as {settings.account} failed: "
                   f"{type(exc).__name__}: {' '.join(str(exc).split())}"))
        return None


def main(args: argparse.Namespace) -> int:
    try:
        settings = resolve_settings(args)
        token = read_token(settings)
    except UsageError as exc:
        print(f"marvane sync: {exc}", file=sys.stderr)
        return EXIT_USAGE
    return sync(settings, token)
