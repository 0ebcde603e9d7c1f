"""The lines a run prints: a dated first line, a line per category, a summary last."""

from __future__ import annotations

import datetime as dt
import sys

from marvane._sync.plans import Outcome, Plan, shown
from marvane._sync.settings import Settings


def _months_text(months: list[str]) -> str:
    if not months:
        return "0"
    picked = months if len(months) <= 4 else [months[0], "...", months[-1]]
    return f"{len(months)} ({', '.join(picked)})"


def plan_line(plan: Plan, width: int) -> str:
    head = f"{shown(plan.category):<{width}}  {plan.kind:<7}"
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
    listed = ", ".join(keys if len(keys) <= 3 else [keys[0], "...", keys[-1]])
    holes = f"; holes to fill {_months_text(plan.holes)}" if plan.holes else ""
    return (f"{head}  {plan.span}: would fetch {len(keys)} "
            f"key{'' if len(keys) == 1 else 's'}{' (' + listed + ')' if keys else ''}; "
            f"months to create {_months_text(plan.create)}, to merge {_months_text(plan.merge)}"
            f"{holes}{damaged}")


def _written(o: Outcome) -> str:
    if not o.created and not o.merged:
        return "nothing written"
    parts = [f"created {_months_text(o.created)}"] if o.created else []
    parts += [f"merged {_months_text(o.merged)}"] if o.merged else []
    return "written: " + ", ".join(parts)


def outcome_line(o: Outcome, width: int) -> str:
    head = f"{shown(o.category):<{width}}  {o.kind:<7}"
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


def now_text() -> str:
    return dt.datetime.now().astimezone().isoformat(timespec="seconds")


def header_line(settings: Settings) -> str:
    what = ("every category the service lists" if settings.all
            else ", ".join(map(shown, settings.categories)))
    if settings.exclude:
        what += f" except {', '.join(map(shown, settings.exclude))}"
    mode = " (dry run)" if settings.dry_run else " (refresh)" if settings.refresh else ""
    return f"marvane sync {now_text()}{mode}: store {settings.store}, categories {what}"


def stderr_line(text: str) -> None:
    """A line to stderr, after whatever stdout holds, so a combined log keeps their order."""
    sys.stdout.flush()
    print(text, file=sys.stderr, flush=True)
