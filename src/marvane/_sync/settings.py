"""The settings of a run: the TOML file, the command line (which wins) and the token."""

from __future__ import annotations

import argparse
import datetime as dt
import os
import stat
import tomllib
from dataclasses import dataclass, field
from typing import Any


DEFAULT_CONFIG = "~/.config/marvane/config.toml"
TOKEN_ENV = "MARVANE_API_TOKEN"
DEFAULT_WAIT = 300.0
DEFAULT_TIMEOUT = 60.0
CONFIG_KEYS: dict[str, type | tuple[type, ...]] = {
    "host": str, "account": str, "store": str, "categories": list, "token_file": str,
    "timeout": (int, float), "exclude": list}
MAX_TOKEN_BYTES = 64 * 1024


class UsageError(Exception):
    """A setting is missing or wrong; nothing was synced."""


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
