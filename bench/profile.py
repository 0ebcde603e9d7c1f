"""Runs one workload in a loop, under a sampling profiler when one is named:

    python -m bench.profile B3 --n 2000 --m 12 --loops 5 --spy b3.txt

Prepares its own server and data first; with --spy the loop runs in a child process under
`py-spy record -f raw` (collapsed stacks, so the preparation is not in the profile).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from .cli import ACCOUNT, TOKEN, start_server, write_ctx
from .prepare import prepare
from .workloads import WORKLOADS, Ctx


def main() -> int:
    p = argparse.ArgumentParser(prog="python -m bench.profile")
    p.add_argument("workload")
    p.add_argument("--variant", default="ours")
    p.add_argument("--n", type=int, default=2000)
    p.add_argument("--m", type=int, default=12)
    p.add_argument("--r", type=int, default=200_000)
    p.add_argument("--loops", type=int, default=5)
    p.add_argument("--spy", help="write py-spy collapsed stacks of the loop to this file")
    p.add_argument("--native", action="store_true", help="py-spy --native (C and C++ frames)")
    p.add_argument("--gil", action="store_true", help="py-spy --gil (only threads holding the GIL)")
    p.add_argument("--loop-only", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.loop_only:
        with open(args.loop_only) as f:
            loop(Ctx(**json.load(f)), args)
        return 0
    workdir = tempfile.mkdtemp(prefix="marvane-profile-")
    server = start_server()
    try:
        ctx = prepare(server, workdir, args.n, args.m, args.r if args.workload == "B5" else None,
                      ACCOUNT, TOKEN)
        if not args.spy:
            loop(ctx, args)
            return 0
        ctx_path = write_ctx(ctx, workdir)
        spy = os.path.join(os.path.dirname(sys.executable), "py-spy")
        cmd = [spy, "record", "-r", "200", "-f", "raw", "-o", args.spy] + (["--native"] if args.native else []) + (["--gil"] if args.gil else [])
        cmd += ["--", sys.executable, "-m", "bench.profile", args.workload, "--variant", args.variant,
                "--loops", str(args.loops), "--loop-only", ctx_path]
        subprocess.run(cmd, check=True)
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def loop(ctx: Ctx, args) -> None:
    wl = WORKLOADS[(args.workload, args.variant)]
    devnull = open(os.devnull, "w")
    for _ in range(args.loops):
        with contextlib.redirect_stdout(devnull), contextlib.redirect_stderr(devnull):
            state = wl.setup(ctx)
            t0 = time.perf_counter()
            wl.run(state)
            t = time.perf_counter() - t0
            wl.cleanup(state)
        print(f"{args.workload} {args.variant}: {t:.3f}s", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
