"""python -m bench: times the main operations of marvane beside their floors and peers."""

from __future__ import annotations

import argparse
import datetime as dt
import importlib.util
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .workloads import Ctx

RESULTS = Path(__file__).resolve().parent / "results"
ACCOUNT, TOKEN = "bench", "local-token"

# workload -> (what it times, what its floor is)
DESCRIPTIONS = {
    "B1": "first sync of M months into an empty store",
    "B2": "the same sync again, nothing changed",
    "B3": "sync where every month gained days (merge path)",
    "B4": "read_pivot_category over all months",
    "B5": "update_unstack_category, batch of 10% of R",
    "B6": "get_download_days over the whole span",
    "B7": "daily update: the latest month gained one day, sync that month",
    "B8": "read_pivot_category of the latest month",
    "B9": "read a month value (5000 x 21 float64) through the validating reader, x50",
    "B10": "read a frame of text columns through the validating reader, x50",
}
WORKLOAD_NAMES = list(DESCRIPTIONS)
# Workloads of a few milliseconds: one timed run per process moves by half its time with the
# machine's scheduling, so each process times these this many times (every variant alike).
SHORT_RUNS = {"B7": 4, "B8": 10, "B9": 10, "B10": 10}
PEER_ROWS = {("B1", "ours+nofsync"): "without fsync: fsync made a no-op by a preload (measurement only)",
             ("B1", "arcticdb"): "peer: ArcticDB (LMDB) write of the panel, dates as rows",
             ("B4", "arcticdb"): "peer: ArcticDB (LMDB) date-range read, dates as rows",
             ("B4", "duckdb"): "peer: DuckDB read of the same month files into pandas"}
# The plain pandas peer (bench/plain.py) of every workload, always run.
PEER_ROWS.update({(w, "plain"): "plain pandas: the same behaviour written without marvane"
                  for w in WORKLOAD_NAMES})


def machine() -> dict:
    model = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    import pandas
    import pyarrow

    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "pandas": pandas.__version__, "pyarrow": pyarrow.__version__,
            "kernel": platform.release()}


def available(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


def run_child(ctx_path: str, workdir: str, name: str, variant: str, repeats: int, warmup: int,
              env_extra: dict | None = None, timeout: float = 3600) -> dict:
    out_path = os.path.join(workdir, f"result-{name}-{variant}.json")
    env = dict(os.environ)
    env.update(env_extra or {})
    cmd = [sys.executable, "-m", "bench.child", ctx_path, name, variant, str(repeats), str(warmup), out_path]
    root = str(Path(__file__).resolve().parent.parent)
    env["PYTHONPATH"] = root + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    try:
        proc = subprocess.run(cmd, env=env, timeout=timeout, capture_output=True, text=True)
    except subprocess.TimeoutExpired:
        return {"workload": name, "variant": variant, "error": f"timed out after {timeout}s"}
    if not os.path.exists(out_path):
        return {"workload": name, "variant": variant,
                "error": f"child exited {proc.returncode}: {proc.stderr[-2000:]}"}
    with open(out_path) as f:
        res = json.load(f)
    os.unlink(out_path)
    return res


def summarise(res: dict) -> dict:
    if res.get("times"):
        res["min"] = min(res["times"])
        res["median"] = statistics.median(res["times"])
        res["peak_mb"] = max(res["peak_kb"]) / 1024
        # Growth over the resident size just before the run, for the last (warm) run: the
        # first run also pays for lazily imported modules and the allocators' first arenas.
        growth = [p - b for p, b in zip(res["peak_kb"], res["base_kb"]) if b]
        res["growth_mb"] = growth[-1] / 1024 if growth else None
    return res


def fmt(x, digits=3) -> str:
    if x is None:
        return "–"
    if isinstance(x, float):
        return f"{x:.{digits}f}"
    return str(x)


def same_check(a: dict, b: dict) -> str:
    if not a or not b:
        return ""
    keys = [k for k in a if k in b and k != "bytes"]
    diff = [k for k in keys if a[k] != b[k]]
    return "same result" if not diff else "differs: " + ", ".join(f"{k} {a[k]} vs {b[k]}" for k in diff)


def table(results: dict, ctx: Ctx, workloads: list[str]) -> str:
    lines = ["| workload | seconds (median) | floor seconds | ratio | peak RSS MB | RSS growth MB | data MB | check |",
             "|---|---|---|---|---|---|---|---|"]
    for name in workloads:
        ours, floor = results.get((name, "ours"), {}), results.get((name, "floor"), {})
        data_mb = None
        if name in ("B1", "B2", "B3"):
            data_mb = ctx.data_bytes / 2**20
        elif name in ("B4", "B6", "B8") and ours.get("check"):
            data_mb = ours["check"]["bytes"] / 2**20
        elif name == "B5":
            data_mb = ctx.unstack_bytes / 2**20
        ratio = ours["median"] / floor["median"] if ours.get("median") and floor.get("median") else None
        err = ours.get("error") or floor.get("error")
        check = ("error: " + err.strip().splitlines()[-1]) if err else same_check(ours.get("check"), floor.get("check"))
        lines.append(f"| {name} {DESCRIPTIONS[name]} | {fmt(ours.get('median'))} | {fmt(floor.get('median'))} | "
                     f"{fmt(ratio, 2)} | {fmt(ours.get('peak_mb'), 0)} | {fmt(ours.get('growth_mb'), 0)} | "
                     f"{fmt(data_mb, 1)} | {check} |")
        for (w, variant), label in PEER_ROWS.items():
            if w != name or (w, variant) not in results:
                continue
            peer = results[(w, variant)]
            if peer.get("error"):
                lines.append(f"| {w} {label} | skipped: {peer['error'].strip().splitlines()[-1]} | | | | | | |")
                continue
            pr = peer["median"] / floor["median"] if floor.get("median") else None
            lines.append(f"| {w} {label} | {fmt(peer['median'])} | {fmt(floor.get('median'))} | {fmt(pr, 2)} | "
                         f"{fmt(peer.get('peak_mb'), 0)} | {fmt(peer.get('growth_mb'), 0)} | | "
                         f"{same_check(peer.get('check'), floor.get('check'))} |")
    return "\n".join(lines)


def plain_table(results: dict, workloads: list[str]) -> str:
    """Ours beside the plain pandas code for the same behaviour."""
    lines = ["| workload | ours s | plain pandas s | ours / plain |", "|---|---|---|---|"]
    for name in workloads:
        ours, peer = results.get((name, "ours"), {}), results.get((name, "plain"), {})
        if not ours.get("median") or not peer.get("median"):
            continue
        lines.append(f"| {name} {DESCRIPTIONS[name]} | {fmt(ours['median'])} | {fmt(peer['median'])} | "
                     f"{fmt(ours['median'] / peer['median'], 2)} |")
    return "\n".join(lines)


def fsync_cost(directory: str, size: int, times: int = 9) -> dict:
    """Milliseconds that the flushes of one atomic write add: a file of ``size`` bytes written
    and renamed into place, with and without fsync of the file and of its directory."""
    payload = os.urandom(max(size, 1))
    out = {}
    for flush in (False, True):
        samples = []
        for i in range(times):
            tmp, final = os.path.join(directory, f".fsync-{i}"), os.path.join(directory, f"fsync-{i}.bin")
            t0 = time.perf_counter()
            with open(tmp, "wb") as f:
                f.write(payload)
                if flush:
                    f.flush()
                    os.fsync(f.fileno())
            os.replace(tmp, final)
            if flush:
                fd = os.open(directory, os.O_RDONLY)
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
            samples.append(time.perf_counter() - t0)
            os.unlink(final)
        out["with_fsync_ms" if flush else "without_fsync_ms"] = statistics.median(samples) * 1000
    out["fsync_ms"] = out["with_fsync_ms"] - out["without_fsync_ms"]
    out["bytes"] = size
    return out


def start_server():
    from marvane._localserver import LocalRedis

    return LocalRedis(password=f"{ACCOUNT}:{TOKEN}").start()


def write_ctx(ctx: Ctx, workdir: str) -> str:
    path = os.path.join(workdir, "ctx.json")
    d = {k: v for k, v in ctx.__dict__.items() if not k.startswith("_")}
    with open(path, "w") as f:
        json.dump(d, f)
    return path


def run_main(args, server, workdir: str) -> dict:
    from .prepare import build_nofsync, prepare

    t0 = time.perf_counter()
    ctx = prepare(server, workdir, args.n, args.m, args.r, ACCOUNT, TOKEN)
    print(f"data: N={args.n} M={args.m} R={args.r} ({ctx.extra['days']} days, "
          f"{ctx.data_bytes / 2**20:.1f} MB of month tables, unstack {ctx.unstack_bytes / 2**20:.1f} MB), "
          f"prepared in {time.perf_counter() - t0:.1f}s", file=sys.stderr)
    ctx_path = write_ctx(ctx, workdir)
    workloads = [w for w in WORKLOAD_NAMES if w in args.only]
    plan = []
    for name in workloads:
        plan += [(name, "ours", None), (name, "floor", None), (name, "plain", None)]
        if name == "B1" and args.fsync:
            lib = build_nofsync(workdir)
            if lib:
                plan.append((name, "ours+nofsync", {"LD_PRELOAD": lib}))
        if args.peers:
            for peer in ("duckdb", "arcticdb"):
                if (name, peer) in PEER_ROWS:
                    plan.append((name, peer, None))
    results = {}
    # Rounds interleave the variants of a workload (ours, floor, ours, floor, ...), so that
    # load from elsewhere on the machine falls on both sides of a ratio alike.
    for name in workloads:
        for round_ in range(args.rounds):
            for w, variant, env in plan:
                if w != name or "error" in results.get((w, variant), {}):
                    continue
                if variant in ("duckdb", "arcticdb") and not available(variant):
                    results[(name, variant)] = {"error": f"{variant} is not installed"}
                    continue
                repeats = args.repeats if args.quick else max(args.repeats, SHORT_RUNS.get(name, 1))
                res = run_child(ctx_path, workdir, name, variant, repeats, args.warmup, env)
                acc = results.setdefault((name, variant), {"times": [], "peak_kb": [], "base_kb": []})
                if res.get("error"):
                    acc["error"] = res["error"]
                    if args.verbose:
                        print(res["error"], file=sys.stderr)
                    continue
                for k in ("times", "peak_kb", "base_kb"):
                    acc[k] += res[k]
                acc["check"] = res.get("check")
        for (w, variant), res in results.items():
            if w == name:
                summarise(res)
                print(f"  {name} {variant}: {fmt(res.get('median'))}s", file=sys.stderr)
    return {"ctx": ctx, "results": results, "workloads": workloads}


def run_scaling(args, server, workdir: str) -> list[dict]:
    from .prepare import prepare

    points = [(args.n, m) for m in args.scale_m] + [(n, args.m) for n in args.scale_n if n != args.n]
    rows = []
    for n, m in points:
        ctx = prepare(server, workdir, n, m, None, ACCOUNT, TOKEN)
        ctx_path = write_ctx(ctx, workdir)
        for name in ("B1", "B4"):
            for variant in ("ours", "floor"):
                print(f"  scaling N={n} M={m} {name} {variant} ...", end="", flush=True, file=sys.stderr)
                res = summarise(run_child(ctx_path, workdir, name, variant, args.repeats * args.rounds,
                                          args.warmup))
                print(f" {fmt(res.get('median'))}s", file=sys.stderr)
                rows.append({"n": n, "m": m, "cells": ctx.extra["cells"], "workload": name,
                             "variant": variant, **{k: res.get(k) for k in
                                                    ("median", "times", "peak_mb", "growth_mb", "error")}})
    return rows


def scaling_table(rows: list[dict]) -> str:
    out = ["| workload | N | M | cells (M) | seconds | s per month-file | s per M cells | floor s per M cells | peak RSS MB |",
           "|---|---|---|---|---|---|---|---|---|"]
    floors = {(r["workload"], r["n"], r["m"]): r for r in rows if r["variant"] == "floor"}
    for r in rows:
        if r["variant"] != "ours" or r.get("median") is None:
            continue
        mc = r["cells"] / 1e6
        f = floors.get((r["workload"], r["n"], r["m"]), {})
        out.append(f"| {r['workload']} | {r['n']} | {r['m']} | {mc:.2f} | {fmt(r['median'])} | "
                   f"{fmt(r['median'] / r['m'], 4)} | {fmt(r['median'] / mc, 4)} | "
                   f"{fmt(f['median'] / mc, 4) if f.get('median') else '–'} | {fmt(r.get('peak_mb'), 0)} |")
    return "\n".join(out)


def parse(argv):
    p = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    p.add_argument("--n", type=int, default=5000, help="instruments (default 5000)")
    p.add_argument("--m", type=int, default=24, help="months (default 24)")
    p.add_argument("--r", type=int, default=1_000_000, help="unstack rows (default 1,000,000)")
    p.add_argument("--rounds", type=int, default=3,
                   help="processes per variant, interleaved with the other variants (default 3)")
    p.add_argument("--repeats", type=int, default=1, help="timed runs per process (default 1)")
    p.add_argument("--warmup", type=int, default=1, help="untimed runs per process first (default 1)")
    p.add_argument("--quick", action="store_true", help="tiny sizes, a few seconds (CI)")
    p.add_argument("--scaling", action="store_true", help="also B1 and B4 over M and N (long)")
    p.add_argument("--scaling-only", action="store_true", help="only the scaling runs")
    p.add_argument("--scale-m", type=int, nargs="+", default=[6, 12, 24, 48])
    p.add_argument("--scale-n", type=int, nargs="+", default=[1000, 5000, 20000])
    p.add_argument("--only", nargs="+", default=WORKLOAD_NAMES)
    p.add_argument("--no-peers", dest="peers", action="store_false", help="skip ArcticDB and DuckDB")
    p.add_argument("--no-fsync-run", dest="fsync", action="store_false",
                   help="skip the B1 run with fsync made a no-op")
    p.add_argument("--workdir", help="scratch directory (default: a new temporary one)")
    p.add_argument("--no-save", dest="save", action="store_false", help="write no JSON")
    p.add_argument("-v", "--verbose", action="store_true")
    args = p.parse_args(argv)
    if args.quick:
        args.n, args.m, args.r = 300, 3, 20_000
        args.scale_m, args.scale_n = [2, 4], [200, 300]
        # One process per variant: the harness is exercised, the numbers mean little.
        args.rounds, args.repeats, args.warmup = 1, 3, 0
    if args.rounds * args.repeats < 3:
        p.error("at least 3 timed runs per workload are needed (--rounds x --repeats)")
    return args


def main(argv=None) -> int:
    args = parse(sys.argv[1:] if argv is None else argv)
    # A terminated run still stops its server and removes its scratch directory.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    own_tmp = args.workdir is None
    workdir = tempfile.mkdtemp(prefix="marvane-bench-") if own_tmp else args.workdir
    os.makedirs(workdir, exist_ok=True)
    report: dict = {"when": dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds"),
                    "machine": machine(), "args": {k: v for k, v in vars(args).items()}}
    server = start_server()
    text = []
    try:
        if not args.scaling_only:
            text += record_main_run(report, args, server, workdir)
        if args.scaling or args.scaling_only:
            text.append(record_scaling(report, args, server, workdir))
    finally:
        server.stop()
        if own_tmp:
            shutil.rmtree(workdir, ignore_errors=True)
    print_report(report, args, text)
    if args.save:
        save_report(report, args)
    errors = [r for r in report.get("results", []) if r.get("error") and r["variant"] in ("ours", "floor")]
    return 1 if errors else 0


def record_main_run(report: dict, args, server, workdir: str) -> list[str]:
    """Runs the workloads at N x M, adds their results and the fsync cost to ``report``;
    returns the main table (with the fsync line) and the plain-pandas table."""
    main_run = run_main(args, server, workdir)
    results = main_run["results"]
    main_table = table(results, main_run["ctx"], main_run["workloads"])
    plain = plain_table(results, main_run["workloads"])
    report["plain_table"] = plain
    report["sizes"] = main_run["ctx"].extra
    report["data_mb"] = main_run["ctx"].data_bytes / 2**20
    report["results"] = [{"workload": w, "variant": v, **r} for (w, v), r in results.items()]
    report["table"] = main_table
    month_dir = os.path.join(main_run["ctx"].template("full"), "close")
    sizes = [os.path.getsize(os.path.join(month_dir, f)) for f in os.listdir(month_dir)]
    cost = fsync_cost(workdir, int(statistics.median(sizes)) if sizes else 1 << 20)
    report["fsync"] = cost
    return [main_table + "\n\n" + fsync_line(cost, results.get(("B1", "ours"), {}),
                                             results.get(("B1", "ours+nofsync"), {})) + ".", plain]


def fsync_line(cost: dict, b1: dict, b1_nofsync: dict) -> str:
    """What the two fsyncs of one month write cost, and what they cost B1."""
    line = (f"fsync: one atomic write of a month file ({cost['bytes'] / 2**20:.2f} MB) takes "
            f"{cost['with_fsync_ms']:.1f} ms with its two fsyncs and {cost['without_fsync_ms']:.1f} ms "
            f"without ({cost['fsync_ms']:.1f} ms of flushing per file)")
    if b1.get("median") and b1_nofsync.get("median"):
        line += (f"; B1 takes {b1['median']:.3f} s with fsync and {b1_nofsync['median']:.3f} s with fsync "
                 f"made a no-op ({(b1['median'] / b1_nofsync['median'] - 1) * 100:+.0f}%)")
    return line


def record_scaling(report: dict, args, server, workdir: str) -> str:
    """Runs B1 and B4 over M and N, adds the rows to ``report``; returns their table."""
    rows = run_scaling(args, server, workdir)
    scaling = scaling_table(rows)
    report["scaling"] = rows
    report["scaling_table"] = scaling
    return scaling


def print_report(report: dict, args, text: list[str]) -> None:
    box = report["machine"]
    header = (f"Machine: {box['cores']} cores, {box['cpu']}; Python {box['python']}, pandas {box['pandas']}, "
              f"pyarrow {box['pyarrow']}")
    print(header)
    if "sizes" in report:
        sizes = report["sizes"]
        print(f"Sizes: N={sizes['n']} instruments, M={sizes['m']} months ({sizes['days']} trading days), "
              f"R={sizes['r']} unstack rows; "
              f"median of {args.rounds * args.repeats} runs"
              + ("" if args.quick else " (runs per process: " + ", ".join(
                  f"{w} {max(args.repeats, k)}" for w, k in SHORT_RUNS.items()) + f", others {args.repeats})")
              + "; peak RSS per workload in its own process\n")
    print("\n\n".join(text))


def save_report(report: dict, args) -> None:
    RESULTS.mkdir(exist_ok=True)
    tag = "quick" if args.quick else ("scaling" if args.scaling_only else "full")
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    path = RESULTS / f"{tag}-{stamp}.json"
    with open(path, "w") as f:
        json.dump(report, f, indent=1, default=str)
    print(f"\nresults written to {path}", file=sys.stderr)
