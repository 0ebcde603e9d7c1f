"""One run of ``marvane sync``: log in once, plan every category, run each plan in turn."""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import functools
import os
import signal
import sys
import tempfile
import time
from typing import Any, Callable

from marvane._sync.guards import (EXIT_SIGNALLED, Interrupted, SignalState, StoreLocked,
                                  bounded_service, interruptible, library_output, service_error,
                                  stop_on_signals, store_lock)
from marvane._sync.lines import header_line, now_text, outcome_line, plan_line, stderr_line
from marvane._sync.plans import Outcome, Plan, make_plans, remote_categories, shown
from marvane._sync.run import run_plan
from marvane._sync.settings import Settings, UsageError, read_token, resolve_settings


EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_LOCKED = 0, 1, 2, 3


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


def sync(settings: Settings, token: str, say: Callable[[str], None] | None = None,
         warn: Callable[[str], None] | None = None, today: dt.date | None = None,
         bars: bool | None = None) -> int:
    """Run one sync; returns the exit status. The first line said is dated, the last one
    sums the run up."""
    say = say or functools.partial(print, flush=True)
    warn = warn or stderr_line
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
            SignalState.armed = False
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
        width = max([len(shown(i.category)) for i in items] + [8])
        if settings.dry_run:
            for item in items:
                say(plan_line(item, width) if isinstance(item, Plan) else outcome_line(item, width))
            failed = [i.category for i in items if isinstance(i, Outcome) and i.error]
            end = f"{len(failed)} of {len(items)} cannot be synced: {', '.join(map(shown, failed))}" \
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
             f"{', '.join(map(shown, failed))}; {seconds()}")
        return EXIT_FAILED
    say(f"marvane sync: ok, {len(outcomes)} synced, {seconds()}")
    return EXIT_OK


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
        stderr_line(f"marvane sync {now_text()}: {exc}")
        return EXIT_USAGE
    return sync(settings, token)
