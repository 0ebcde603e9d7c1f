"""Reader process for the concurrency tests: reads a pivot and an unstack category over and
over until a stop file appears, checking every read; prints the number of reads made."""

import os
import sys
import traceback

import faultkit
from marvane.FrameStore import ParquetDataManager


def main():
    root, stop_file = sys.argv[1], sys.argv[2]
    store = ParquetDataManager(root, max_workers=2)
    sys.stderr = open(os.devnull, "w")  # progress bars
    print("ready", flush=True)
    reads = 0
    try:
        while not os.path.exists(stop_file) or reads < 4:
            faultkit.check_pivot_read(store.read_pivot_category("cc", "2024-01-01", "2024-02-29"))
            faultkit.check_unstack_read(store.read_unstack_category("cu"))
            reads += 2
    except BaseException:
        print(traceback.format_exc().replace("\n", " | "), flush=True)
        sys.exit(1)
    print(reads, flush=True)


if __name__ == "__main__":
    main()
