"""Fuzz the client's reader of remote values with mutations of the real pickles in tests/data
(the corpus of older producers, tests/data/pickles-corpus, included).

    python tests/tools/fuzz_pickles.py [--seconds S] [--inputs N] [--seed K] [--crashes DIR]

Each input is a corpus pickle changed by a few mutations that know the opcode layout: byte
flips, opcode swaps, argument swaps between two opcodes of one kind, interesting integers,
truncations, splices of another pickle, and repeated segments (nested states). A worker
process reads the inputs one by one under a memory cap (RLIMIT_AS); the fuzzer fails on a
worker that dies (crash), an input that takes more than a second, a MemoryError (a value grew
past the cap), or any other outcome than a loaded value or a pickle.UnpicklingError (a refused
value must say so in that one type; a loaded one must be usable, short of pandas' own limits;
ImportError only of a library not installed here). Failing inputs are written
to --crashes. Prints one summary line, the failing outcomes counted at its end.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import pickletools
import random
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "data")
INTERESTING = [0, 1, -1, 2, 7, 255, 256, 2**15, 2**16, 2**31 - 1, -2**31, 2**28, 1000]

WORKER = r"""
import importlib.util, json, os, pickle, resource, struct, sys, traceback, types, warnings
warnings.simplefilter("ignore")
import numpy as np, pandas as pd
from marvane.TSClient import TesselClient
with open("/proc/self/status") as f:
    vm = int(next(l for l in f if l.startswith("VmSize:")).split()[1]) * 1024
cap = vm + int(sys.argv[1]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
pd.DataFrame({"a": [1.5], "t": pd.to_datetime(["2024-01-01"])}).head(3).to_string()  # formatting's imports
out = sys.stdout
out.write("ready\n"); out.flush()
data_box = [b""]
holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data_box[0]))
while True:
    head = sys.stdin.buffer.read(4)
    if len(head) < 4:
        break
    data_box[0] = sys.stdin.buffer.read(struct.unpack("<I", head)[0])
    stage = ""
    try:
        value = TesselClient.load_df_from_tsdb(holder, "k")
        stage = "using the loaded value: "
        if isinstance(value, (pd.DataFrame, pd.Series)):  # touch every value
            value.copy(deep=True).isna().sum()
            value.head(3).to_string()
        result = "loaded"
    except MemoryError:
        result = stage + "MemoryError"
    except pickle.UnpicklingError:
        result = stage + "UnpicklingError"
    except ImportError as e:
        # a library the value names that is not installed here (pytz, pyarrow): as it should
        missing = e.name and importlib.util.find_spec(e.name.partition(".")[0]) is None
        result = stage + ("ImportError of a library not installed" if missing else "ImportError")
    except NotImplementedError:
        # pandas' own limits on values it can hold (showing a Timestamp past year 9999)
        result = stage + "NotImplementedError"
    except OverflowError as e:
        # a date pandas holds but Python's calendar cannot show (past year 9999 at a coarse
        # unit) overflows in pandas' formatting: pandas' own limit, like the one above
        shown = stage and any("pandas/io/formats" in f.filename.replace(os.sep, "/")
                              for f in traceback.extract_tb(e.__traceback__))
        result = stage + ("OverflowError showing a date" if shown else "OverflowError")
    except Exception as e:
        kind = type(e)
        result = stage + (kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}")
    out.write(json.dumps(result) + "\n"); out.flush()
"""


def corpus():
    seeds = []
    paths = glob.glob(os.path.join(DATA, "*", "*.pkl")) + glob.glob(os.path.join(DATA, "pickles-corpus", "*", "*.pkl"))
    for path in sorted(paths):
        with open(path, "rb") as f:
            data = f.read()
        try:
            ops = [(pos, op) for op, _arg, pos in pickletools.genops(data)]
        except Exception:
            continue
        seeds.append((data, ops))
    return seeds


class Mutator:
    def __init__(self, rng: random.Random, seeds):
        self.rng, self.seeds = rng, seeds
        self.opcodes = [op.code.encode("latin1") for op in pickletools.opcodes]

    def mutate(self) -> bytes:
        data, ops = self.rng.choice(self.seeds)
        data = bytearray(data)
        for _ in range(self.rng.randint(1, 4)):
            getattr(self, self.rng.choice(["flip", "opcode", "swap_args", "integer", "truncate",
                                           "splice", "repeat"]))(data, ops)
        return bytes(data[: 1 << 20])

    def flip(self, data, ops):
        for _ in range(self.rng.randint(1, 8)):
            if data:
                data[self.rng.randrange(len(data))] ^= 1 << self.rng.randrange(8)

    def opcode(self, data, ops):
        pos, _ = self.rng.choice(ops)
        if pos < len(data):
            data[pos] = self.rng.choice(self.opcodes)[0]

    def swap_args(self, data, ops):
        """Exchange the argument bytes of two opcodes of the same kind."""
        kind = self.rng.choice(ops)[1]
        same = [i for i, (_, op) in enumerate(ops) if op is kind]
        if len(same) < 2 or kind.arg is None or kind.arg.n <= 0:
            return
        a, b = self.rng.sample(same, 2)
        n = kind.arg.n
        pa, pb = ops[a][0] + 1, ops[b][0] + 1
        if pa + n <= len(data) and pb + n <= len(data):
            data[pa:pa + n], data[pb:pb + n] = data[pb:pb + n], data[pa:pa + n]

    def integer(self, data, ops):
        """An integer argument (or a length) replaced by an interesting value."""
        pos, op = self.rng.choice(ops)
        width = {"BININT": 4, "BININT1": 1, "BININT2": 2, "BINPUT": 1, "BINGET": 1, "LONG_BINPUT": 4,
                 "LONG_BINGET": 4, "BINUNICODE": 4, "BINBYTES": 4, "SHORT_BINUNICODE": 1,
                 "BYTEARRAY8": 8, "BINBYTES8": 8, "FRAME": 8}.get(op.name)
        if not width or pos + 1 + width > len(data):
            return
        v = self.rng.choice(INTERESTING) % (1 << (8 * width))
        data[pos + 1: pos + 1 + width] = v.to_bytes(width, "little")

    def truncate(self, data, ops):
        del data[self.rng.randrange(len(data) + 1):]

    def splice(self, data, ops):
        other, other_ops = self.rng.choice(self.seeds)
        a = self.rng.choice(other_ops)[0]
        b = self.rng.choice(other_ops)[0]
        a, b = min(a, b), max(a, b)
        at = self.rng.choice(ops)[0]
        data[at:at] = other[a:b][:4096]

    def repeat(self, data, ops):
        """A segment between two opcodes repeated, nesting what it builds."""
        i = self.rng.randrange(len(ops))
        j = min(len(ops) - 1, i + self.rng.randint(1, 6))
        a, b = ops[i][0], ops[j][0]
        if b > a:
            data[a:a] = data[a:b] * self.rng.randint(2, 200)


class Worker:
    def __init__(self, cap_mb):
        self.cap_mb = cap_mb
        self.start()

    def start(self):
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, str(self.cap_mb)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert self.proc.stdout.readline().strip() == b"ready"

    def run(self, data: bytes, timeout: float):
        """(outcome, seconds); outcome "crash" or "timeout" when the worker did not answer."""
        import selectors
        start = time.perf_counter()
        try:
            self.proc.stdin.write(struct.pack("<I", len(data)) + data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            return self.restart("crash"), 0.0
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        if not sel.select(timeout):
            return self.restart("timeout"), time.perf_counter() - start
        line = self.proc.stdout.readline()
        if not line:
            return self.restart("crash"), time.perf_counter() - start
        return json.loads(line), time.perf_counter() - start

    def restart(self, outcome):
        self.proc.kill()
        self.proc.wait()
        self.start()
        return outcome

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def main(argv=None) -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=120)
    p.add_argument("--inputs", type=int, default=0, help="stop after this many inputs (0: no limit)")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--cap-mb", type=int, default=512, help="memory a worker may grow by")
    p.add_argument("--crashes", default=None, help="directory for failing inputs")
    args = p.parse_args(argv)
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    mutator = Mutator(rng, corpus())
    worker = Worker(args.cap_mb)
    counts: dict[str, int] = {}
    accepted = {"loaded", "UnpicklingError", "ImportError of a library not installed",
                "using the loaded value: NotImplementedError",
                "using the loaded value: OverflowError showing a date"}
    failures = []
    deadline = time.monotonic() + args.seconds
    n = slowest = 0
    while time.monotonic() < deadline and (not args.inputs or n < args.inputs):
        data = mutator.mutate()
        outcome, seconds = worker.run(data, timeout=1.0)
        n += 1
        slowest = max(slowest, seconds)
        counts[outcome] = counts.get(outcome, 0) + 1
        if outcome not in accepted:
            failures.append(data)
            if args.crashes:
                os.makedirs(args.crashes, exist_ok=True)
                with open(os.path.join(args.crashes, f"{outcome}-{seed}-{n}.pkl"), "wb") as f:
                    f.write(data)
    worker.close()
    print(f"fuzz: seed {seed}, {n} inputs, slowest {slowest:.3f}s, outcomes "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items(), key=lambda kv: -kv[1]))
          + f"; failing {len(failures)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
