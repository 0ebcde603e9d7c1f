"""Writer process for the crash tests.

Started once per test; imports pandas and the store, then forks one writer per "fork" line
read on stdin, so that every kill costs a fork and not an interpreter start. Each writer
keeps advancing a pivot category (one new instrument per update, merged into two month
files) and an unstack category (one new record per update) until it is killed. It prints
its pid, then, once the writer has ended, how it ended.
"""

import os
import sys
import traceback

import faultkit
import pandas as pd
from marvane.FrameStore import ParquetDataManager

PIVOT, UNSTACK = "px", "ux"


def writer(root, error_file):
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    try:
        store = ParquetDataManager(root, max_workers=2)
        months = [store._get_pivot_file_path(PIVOT, y, m) for y, m in faultkit.MONTHS]
        unstack = store._get_unstack_file_path(UNSTACK)
        while True:
            # a kill between the two months leaves one a state behind: bring it level first
            k = min(len(pd.read_parquet(path)) for path in months)
            store.update_pivot_category(faultkit.pivot_rows(k, k + 1), PIVOT)
            u = len(pd.read_parquet(unstack))
            store.update_unstack_category(UNSTACK, faultkit.unstack_rows(u, u + 1), ["key"])
    except BaseException:
        with open(error_file, "w") as f:
            f.write(traceback.format_exc())
        os._exit(3)


def warm_up(scratch):
    """One update of each kind, so that the writers start with every lazy import and pool
    already made and spend their short lives writing."""
    store = ParquetDataManager(scratch, max_workers=2)
    saved = sys.stdout, sys.stderr
    sys.stdout = sys.stderr = open(os.devnull, "w")
    try:
        for first in (0, 3):
            store.update_pivot_category(faultkit.pivot_rows(first, first + 3), PIVOT)
            store.update_unstack_category(UNSTACK, faultkit.unstack_rows(first, first + 3), ["key"])
            pd.read_parquet(store._get_unstack_file_path(UNSTACK))
    finally:
        sys.stdout.close()
        sys.stdout, sys.stderr = saved


def main():
    root, error_file = sys.argv[1], sys.argv[2]
    warm_up(sys.argv[3])
    print("ready", flush=True)
    for line in sys.stdin:
        if line.strip() != "fork":
            break
        pid = os.fork()
        if pid == 0:
            writer(root, error_file)
        print(pid, flush=True)
        _, status = os.waitpid(pid, 0)
        print(status, flush=True)


if __name__ == "__main__":
    main()
