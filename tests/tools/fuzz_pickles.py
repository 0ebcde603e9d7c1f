"""Fuzz the client's reader of remote values with mutations of the real pickles in tests/data
(the corpus of older producers, tests/data/pickles-corpus, included).

    python tests/tools/fuzz_pickles.py [--seconds S] [--inputs N] [--seed K] [--crashes DIR]
                                       [--objects SHARE] [--round-trips N]

Each input is a corpus pickle changed in one of two ways (--objects: the share of the second):
 - byte level, by a few mutations that know the opcode layout: byte flips, opcode swaps,
   argument swaps between two opcodes of one kind, interesting integers, truncations, splices
   of another pickle, and repeated segments (nested states);
 - object level (pickle_objects.py): the pickle read into a tree of calls and containers
   without running anything, changed, and written back: call arguments swapped, boundary
   constants, one global the corpus names for another, other date units, RangeIndex / range
   lengths made huge or put in place of an index (axes, categories, levels), lists placed in
   lists again and again (filled after memoization), and sub-trees crossed between pickles.
   Before fuzzing, --round-trips seeds are written back unchanged and must load equal.
A worker process reads the inputs one by one under a memory cap (RLIMIT_AS); the fuzzer fails
on a worker that dies (crash), an input that takes more than a second, a MemoryError (a value
grew past the cap), or any other outcome than a loaded value or a pickle.UnpicklingError (a
refused value must say so in that one type; a loaded one must be usable: shown, isna, sum,
reindex, to_frame, short of pandas' own limits; ImportError only of a library not installed
here). A loaded value is then compared with what pickle.loads builds from the same bytes in the
worker (every global in it passed the reader's allow-list): the same class (never a stand-in)
and equal values (pandas' asserters, exact, dtypes and index types checked; NaN equal to NaN),
else a fault. A value pickle.loads cannot build (a pickle of an older pandas this one no longer
reads, a dtype state numpy refuses) counts apart and is no fault: the reader's value passed the
checks of use, and the reader reads older pickles on purpose; a timeout or a crash of
pickle.loads is pandas' cost, not the reader's. Failing inputs are written to --crashes. Prints
one summary line: inputs (object-level among them), round trips, outcomes, and the comparisons
with pickle.loads by result, the failing count at its end.
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

import pickle_objects

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "data")
INTERESTING = [0, 1, -1, 2, 7, 255, 256, 2**15, 2**16, 2**31 - 1, -2**31, 2**28, 1000]

WORKER = r"""
import importlib.util, json, os, pickle, re, resource, struct, sys, traceback, types, warnings
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
tm = pd.testing


# What differs between the reader's value a and pickle.loads' value b, or None. Classes are
# compared by identity (a stand-in is never the class), frames, series, indexes and arrays with
# pandas' asserters at exact values, dtypes and index types; NaN equals NaN.
def differ(a, b, path="value"):
    if type(a) is not type(b):
        return f"{path}: type {type(a)!r}, pickle.loads gives {type(b)!r}"
    if a is b:
        return None
    try:
        if isinstance(a, (pd.DataFrame, pd.Series)):  # the axes first, then the values over b's axes
            found = differ(a.index, b.index, path + ".index") or differ(a.attrs, b.attrs, path + ".attrs") \
                or differ(a.flags.allows_duplicate_labels, b.flags.allows_duplicate_labels, path + ".flags")
            if isinstance(a, pd.DataFrame):
                found = found or differ(a.columns, b.columns, path + ".columns")
                return found or next(filter(None, (same_values(a.iloc[:, i], b.iloc[:, i], f"{path}.iloc[:, {i}]")
                                                   for i in range(a.shape[1]))), None)
            return found or differ(a.name, b.name, path + ".name") or same_values(a, b, path)
        if isinstance(a, pd.Index):
            try:
                # names compared below, NaN-aware and classes by identity
                tm.assert_index_equal(a.set_names([None] * a.nlevels), b.set_names([None] * b.nlevels), exact=True,
                                      check_exact=True, check_categorical=True)
            except AssertionError:
                # labels with no equality of values (a block as a label): compared one by one,
                # a MultiIndex level by level
                if isinstance(a, pd.MultiIndex) and a.nlevels == b.nlevels:
                    found = next(filter(None, (differ(x, y, f"{path}.levels[{i}]") or differ(
                        np.asarray(c), np.asarray(d), f"{path}.codes[{i}]") for i, (x, y, c, d) in
                        enumerate(zip(a.levels, b.levels, a.codes, b.codes)))), None)
                elif a.dtype != object or b.dtype != object or a.nlevels != 1 or b.nlevels != 1:
                    raise
                else:
                    found = differ(list(a), list(b), path + "[]")
                if found:
                    return found
            return differ(a.name, b.name, path + ".name") or differ(list(a.names), list(b.names), path + ".names")
        if isinstance(a, pd.api.extensions.ExtensionArray):
            tm.assert_extension_array_equal(a, b, check_exact=True)
            return None
    except AssertionError as e:
        return f"{path}: {str(e)[:300]}"
    if isinstance(a, np.ndarray):
        if a.dtype != b.dtype or a.shape != b.shape:
            return f"{path}: array {a.dtype} {a.shape}, pickle.loads gives {b.dtype} {b.shape}"
        if a.dtype.hasobject:
            return next(filter(None, (differ(x, y, path + "[]") for x, y in zip(a.ravel(), b.ravel()))), None)
        return None if a.tobytes() == b.tobytes() else f"{path}: array values differ"
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return f"{path}: {len(a)} items, pickle.loads gives {len(b)}"
        return next(filter(None, (differ(x, y, f"{path}[{i}]") for i, (x, y) in enumerate(zip(a, b)))), None)
    if isinstance(a, dict):
        if list(a) != list(b) and differ(list(a), list(b)):
            return f"{path}: keys {list(a)!r:.200}, pickle.loads gives {list(b)!r:.200}"
        return next(filter(None, (differ(a[k], b[k], f"{path}[{k!r:.40}]") for k in a)), None)
    if isinstance(a, type):
        return None if a is b else f"{path}: class {a!r}, pickle.loads gives {b!r}"
    if isinstance(a, slice) and isinstance(b, slice):  # its == compares what it holds by ==
        return differ((a.start, a.stop, a.step), (b.start, b.stop, b.step), path + ".slice")
    if type(a).__eq__ is object.__eq__:  # no equality of values (a block, a manager): what it pickles as
        return differ(a.__reduce_ex__(4)[1:], b.__reduce_ex__(4)[1:], path + ".__reduce__")
    try:
        if a is b or a == b or (pd.isna(a) and pd.isna(b)):
            return None
    except (TypeError, ValueError):  # a value without a truth of ==: compare what it shows
        return None if repr(a) == repr(b) else f"{path}: {a!r:.100}, pickle.loads gives {b!r:.100}"
    return f"{path}: {a!r:.100}, pickle.loads gives {b!r:.100}"


def same_values(a, b, path):
    # two columns over equal axes: exact values and dtype; objects without an equality of
    # values (a block in an object column) one by one
    try:
        tm.assert_series_equal(a.set_axis(b.index).rename(b.name), b, check_exact=True, check_series_type=True,
                               check_freq=True)
        return None
    except AssertionError as e:
        if a.dtype == object and b.dtype == object:
            return differ(list(a), list(b), path + "[]")
        if isinstance(a.dtype, pd.CategoricalDtype) and isinstance(b.dtype, pd.CategoricalDtype):
            return differ(a.cat.categories, b.cat.categories, path + ".categories") \
                or differ(a.cat.ordered, b.cat.ordered, path + ".ordered") \
                or differ(a.cat.codes.to_numpy(), b.cat.codes.to_numpy(), path + ".codes")
        return f"{path}: {str(e)[:300]}"


def compare(value, data):
    try:
        expected = pickle.loads(data)
    except BaseException as e:  # pandas' own refusal (or the cap): judged by the caller
        return "pickle.loads failed"
    try:
        found = differ(value, expected)
    except RecursionError:
        return "too deep to compare"
    return "same" if found is None else "different: " + found


data_box = [b""]
holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data_box[0]))
while True:
    head = sys.stdin.buffer.read(5)
    if len(head) < 5:
        break
    data_box[0] = sys.stdin.buffer.read(struct.unpack("<I", head[1:])[0])
    if head[:1] == b"r":  # a seed and its tree written back: both trusted, both must load alike
        n = struct.unpack("<I", data_box[0][:4])[0]
        original, written = data_box[0][4:4 + n], data_box[0][4 + n:]
        try:
            expected = pickle.loads(original)
        except Exception:
            result = "seed does not load here"
        else:
            result = compare(expected, written)
        out.write(json.dumps(result) + "\n"); out.flush()
        continue
    stage = ""
    value = None
    try:
        value = TesselClient.load_df_from_tsdb(holder, "k")
        stage = "using the loaded value: "
        if isinstance(value, (pd.DataFrame, pd.Series)):  # touch every value
            value.copy(deep=True).isna().sum()
            value.head(3).to_string()
            if value.index.is_unique:
                value.reindex(value.index[:2])
            if isinstance(value, pd.Series):
                value.to_frame()
        result = "loaded"
    except MemoryError:
        result = stage + "MemoryError"
    except pickle.UnpicklingError:
        result = stage + "UnpicklingError"
    except ImportError as e:
        # a library the value names that is not installed here (pytz, pyarrow): as it should
        # (pandas names pyarrow in its message only: "pyarrow>=10.0.1 is required for ...")
        names = [e.name] if e.name else re.findall(r"\b(pyarrow|pytz|tzdata)\b", str(e))
        missing = bool(names) and all(importlib.util.find_spec(n.partition(".")[0]) is None for n in names)
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
    if result == "loaded":  # the same bytes through pickle.loads (the reader allowed every global)
        out.write(json.dumps(compare(value, data_box[0])) + "\n"); out.flush()
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
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, str(self.cap_mb)], stdin=subprocess.PIPE, bufsize=0,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert self.proc.stdout.readline().strip() == b"ready"

    def run(self, data: bytes, timeout: float, mode=b"f"):
        """(outcome, seconds); outcome "crash" or "timeout" when the worker did not answer."""
        start = time.perf_counter()
        try:
            self.proc.stdin.write(mode + struct.pack("<I", len(data)) + data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            return self.restart("crash"), 0.0
        return self.answer(timeout), time.perf_counter() - start

    def answer(self, timeout):
        """The worker's next line, or "crash" / "timeout" (the worker restarted)."""
        import selectors
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        if not sel.select(timeout):
            return self.restart("timeout")
        line = self.proc.stdout.readline()
        if not line:
            return self.restart("crash")
        return json.loads(line)

    def restart(self, outcome):
        self.proc.kill()
        self.proc.wait()
        self.start()
        return outcome

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def round_trips(worker, seeds, rng, n):
    """Seeds decoded and written back unchanged: each must load equal to the seed. A list of
    what failed (a fault of the tree writer, not of the reader)."""
    failed = []
    for data in rng.sample(seeds, min(n, len(seeds))):
        written = pickle_objects.encode(pickle_objects.decode(data))
        outcome, _ = worker.run(struct.pack("<I", len(data)) + data + written, 10.0, b"r")
        if outcome not in ("same", "seed does not load here"):
            failed.append(f"round trip: {outcome}")
    return failed


# A value pickle.loads cannot build that the reader built and that passed every check of use is
# no fault (the reader reads older pandas' pickles this pandas refuses, on purpose); a timeout or
# a cap kill of pickle.loads is pandas' cost, not the reader's.
COMPARED_OK = {"same", "pickle.loads failed", "pickle.loads timeout", "pickle.loads crash", "too deep to compare"}


def main(argv=None) -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=120)
    p.add_argument("--inputs", type=int, default=0, help="stop after this many inputs (0: no limit)")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--cap-mb", type=int, default=512, help="memory a worker may grow by")
    p.add_argument("--crashes", default=None, help="directory for failing inputs")
    p.add_argument("--objects", type=float, default=0.5, help="share of inputs mutated as object trees")
    p.add_argument("--round-trips", type=int, default=10, help="seeds checked to load alike once rewritten")
    args = p.parse_args(argv)
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    seeds = corpus()
    mutator = Mutator(rng, seeds)
    trees = pickle_objects.TreeMutator(rng, [data for data, _ in seeds])
    worker = Worker(args.cap_mb)
    counts: dict[str, int] = {}
    compared: dict[str, int] = {}
    accepted = {"loaded", "UnpicklingError", "ImportError of a library not installed",
                "using the loaded value: NotImplementedError",
                "using the loaded value: OverflowError showing a date"}
    failures = round_trips(worker, [data for data, _ in seeds], rng, args.round_trips)
    for failure in failures:
        print(failure, file=sys.stderr)
    deadline = time.monotonic() + args.seconds
    n = slowest = objects = 0
    while time.monotonic() < deadline and (not args.inputs or n < args.inputs):
        tree = rng.random() < args.objects
        data = trees.mutate() if tree else mutator.mutate()
        outcome, seconds = worker.run(data, timeout=1.0)
        n += 1
        objects += tree
        slowest = max(slowest, seconds)
        counts[outcome] = counts.get(outcome, 0) + 1
        bad = outcome not in accepted
        if outcome == "loaded":
            same = worker.answer(5.0)
            same = "pickle.loads " + same if same in ("timeout", "crash") else same
            key = same.partition(":")[0]
            compared[key] = compared.get(key, 0) + 1
            if same not in COMPARED_OK:
                bad, outcome = True, "different"
                print(f"input {n}: {same}", file=sys.stderr)
        if bad:
            failures.append(data)
            if args.crashes:
                os.makedirs(args.crashes, exist_ok=True)
                with open(os.path.join(args.crashes, f"{outcome}-{seed}-{n}.pkl"), "wb") as f:
                    f.write(data)
    worker.close()
    print(f"fuzz: seed {seed}, {n} inputs ({objects} object-level), {min(args.round_trips, len(seeds))} round trips, "
          f"slowest {slowest:.3f}s, outcomes "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items(), key=lambda kv: -kv[1]))
          + f"; compared with pickle.loads {sum(compared.values())}: "
          + ", ".join(f"{k} {v}" for k, v in sorted(compared.items(), key=lambda kv: -kv[1]))
          + f"; failing {len(failures)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
