"""Runs one workload variant in a process of its own, so that its peak memory is its own.

    python -m bench.child CTX_JSON WORKLOAD VARIANT REPEATS WARMUP OUT_JSON

WARMUP untimed runs come first (lazy imports, the allocators' first arenas), then REPEATS
timed runs.

Before every timed run the peak resident size of the process is reset (Linux clear_refs),
so the peak reported is that of the runs alone; the resident size just before each run is
reported beside it as the baseline (interpreter, libraries and the workload's inputs).
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import sys
import time
import traceback


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        m = re.search(rf"^{field}:\s+(\d+)\s+kB", f.read(), re.M)
    return int(m.group(1)) if m else 0


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def main(argv: list[str]) -> int:
    ctx_path, name, variant, repeats, warmup, out_path = argv
    from .workloads import WORKLOADS, Ctx

    with open(ctx_path) as f:
        ctx = Ctx(**json.load(f))
    workload = WORKLOADS[(name, variant.split("+")[0])]
    out: dict = {"workload": name, "variant": variant, "times": [], "peak_kb": [], "base_kb": []}
    try:
        devnull = open(os.devnull, "w")
        for i in range(int(warmup) + int(repeats)):
            with contextlib.redirect_stdout(devnull), contextlib.redirect_stderr(devnull):
                state = workload.setup(ctx)
            import gc

            gc.collect()
            # Start every run with no dirty pages anywhere, so that one variant's flushes do
            # not pay for another's writes (ext4 commits other files' data with an fsync).
            os.sync()
            reset = _reset_peak()
            base = _status_kb("VmRSS")
            with contextlib.redirect_stdout(devnull), contextlib.redirect_stderr(devnull):
                t0 = time.perf_counter()
                result = workload.run(state)
                elapsed = time.perf_counter() - t0
            peak = _status_kb("VmHWM")
            if i < int(warmup):
                workload.cleanup(state)
                continue
            out["times"].append(elapsed)
            out["peak_kb"].append(peak)
            out["base_kb"].append(base if reset else 0)
            out["check"] = workload.check(state, result)
            del result
            workload.cleanup(state)
            del state
    except Exception:
        out["error"] = traceback.format_exc(limit=8)
    with open(out_path, "w") as f:
        json.dump(out, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
