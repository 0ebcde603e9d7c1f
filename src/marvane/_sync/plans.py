"""What the service holds and what the store holds, and the plan of each category: the
months to fetch, the holes and damaged files among them, and the ranges fetched at once."""

from __future__ import annotations

import contextlib
import datetime as dt
import json
import os
import re
import tempfile
from dataclasses import dataclass, field

import pandas as pd

from marvane import _names
from marvane._sync.settings import Settings


STATE_NAME = ".marvane-sync.json"   # the first month each pivot category was synced from
MONTHS_PER_FETCH = 12          # months fetched and merged per client call, to bound memory
_MONTH_KEY = re.compile(r"ts1-(.+)-(\d{4})(\d{2})", re.ASCII)


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
                         f"{shown(category)} in {plan.span}{latest}")
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


def shown(name: str) -> str:
    """A name as printed: names from the service may hold control characters."""
    return name if name.isprintable() else ascii(name)
