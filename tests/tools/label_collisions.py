"""Times a first sync and a merging sync of one month (or unstack table) whose labels or keys
collide in pandas' int64 hash table (hostile_pickles.khash_colliding_*), beside the same sync
of random labels of the same kind. Prints one line per kind: seconds for crafted and random
labels and their ratio, or what the sync raised.

    python tests/tools/label_collisions.py [--rows 50000]
"""

import argparse
import contextlib
import io
import os
import pickle
import sys
import tempfile
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hostile_pickles import khash_colliding_days, khash_colliding_int64  # noqa: E402

from marvane._localserver import LOCAL_LABEL, LocalRedis, client_class  # noqa: E402

PASSWORD = "acct:tok"
DAYS = pd.bdate_range("2024-01-02", periods=4)


def rows_of(kind, crafted, n):
    rng = np.random.default_rng(7)
    if kind == "int64 rows":
        return pd.Index(khash_colliding_int64(n) if crafted else rng.permutation(rng.integers(0, 2**62, n)))
    if kind == "date rows":
        days = khash_colliding_days(n) if crafted else pd.Timestamp("2024-01-01").value + rng.integers(0, 2**47, n)
        return pd.DatetimeIndex(np.asarray(days, dtype=np.int64).view("M8[ns]"))
    if kind == "text rows":  # str hashing is seeded per process: the crafted side is the control
        return pd.Index([f"{i:06d}.XSHE" for i in rng.permutation(n)], dtype=object)
    raise ValueError(kind)


def tables(kind, crafted, n):
    """The month as first served, and as served again with a day more and the rows reordered."""
    rng = np.random.default_rng(3)
    if kind == "date columns":
        cols = khash_colliding_days(n) if crafted else pd.DatetimeIndex(
            (pd.Timestamp("2024-01-01").value + rng.integers(0, 2**47, n)).view("M8[ns]"))
        first = pd.DataFrame(rng.random((2, n)), index=["000001.XSHE", "000002.XSHE"], columns=cols)
        second = first.iloc[::-1, :]
        second = second.assign(**{}).copy()
        second[pd.Timestamp("2024-01-31")] = 1.0
        return first, second
    if kind == "unstack keys":
        days = khash_colliding_days(n) if crafted else pd.DatetimeIndex(
            (pd.Timestamp("2024-01-01").value + rng.integers(0, 2**47, n)).view("M8[ns]"))
        first = pd.DataFrame({"order_book_id": "000001.XSHE", "start_date": days, "end_date": days,
                              "value": rng.random(n)})
        return first, first.assign(value=rng.random(n)).iloc[rng.permutation(n)]
    rows = rows_of(kind, crafted, n)
    first = pd.DataFrame(rng.random((n, 3)), index=rows, columns=DAYS[:3])
    second = pd.DataFrame(rng.random((n, 4)), index=rows[rng.permutation(n)], columns=DAYS)
    return first, second


def sync_seconds(server, root, value, strf):
    """Seconds of the sync, and what it raised (or None)."""
    server.seed({"ts1-close-202401": pickle.dumps(value, protocol=5)})
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        client = client_class({LOCAL_LABEL: server.host})(*PASSWORD.split(":"), root)
        start = time.perf_counter()
        try:
            if "order_book_id" in value.columns:
                client.UpdateUnstackParquet("close-202401")
            else:
                client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31", strf)
        except Exception as e:
            return time.perf_counter() - start, f"{type(e).__name__}: {str(e)[:100]}"
    return time.perf_counter() - start, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=50_000)
    parser.add_argument("--kinds", nargs="*", default=["text rows", "int64 rows", "date rows", "date columns",
                                                           "unstack keys"])
    args = parser.parse_args()
    with LocalRedis(password=PASSWORD) as server:
        with tempfile.TemporaryDirectory() as root:  # untimed: imports and first calls
            sync_seconds(server, root, tables("text rows", False, 100)[0], "%Y-%m-%d")
        for kind in args.kinds:
            times, errors = {}, {}
            # instants of one day need a format that tells them apart to be stored as columns
            strf = "%Y-%m-%d %H:%M:%S.%f" if kind == "date columns" else "%Y-%m-%d"
            for crafted in (True, False):
                first, second = tables(kind, crafted, args.rows)
                with tempfile.TemporaryDirectory() as root:
                    times[crafted], errors[crafted] = sync_seconds(server, root, first, strf)
                    if errors[crafted] is None:
                        merge, errors[crafted] = sync_seconds(server, root, second, strf)
                        times[crafted] = (times[crafted], merge)
            if not any(errors.values()):
                (cf, cm), (rf, rm) = times[True], times[False]
                print(f"{kind}: first sync {cf:.2f} s crafted / {rf:.2f} s random = {cf / rf:.1f}x; "
                      f"merge {cm:.2f} s / {rm:.2f} s = {cm / rm:.1f}x")
            else:
                print(f"{kind}: crafted {times[True]} s, {errors[True]}; random {times[False]} s, {errors[False]}")


if __name__ == "__main__":
    main()
