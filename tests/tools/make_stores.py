"""Write a small store (two pivot months and an unstack table) with the installed pandas.

Run it with each pandas a user's store may have been written by, for example

    python tests/tools/make_stores.py tests/data/store-pandas3      # pandas 3.x
    /path/to/pandas-2.2-venv/bin/python tests/tools/make_stores.py tests/data/store-pandas22

tests/test_store_versions.py reads and updates copies of them under the installed pandas.
"""

import os
import shutil
import sys

import numpy as np
import pandas as pd

IDS = ["000001.XSHE", "300750.XSHE", "600000.XSHG"]


def pivot(first, last, base):
    days = pd.bdate_range(first, last)
    values = np.arange(len(IDS) * len(days), dtype=float).reshape(len(IDS), -1) + base
    values[1, ::3] = np.nan  # gaps survive the round trip
    return pd.DataFrame(values, index=IDS, columns=days)


def info(n):
    return pd.DataFrame({"order_book_id": IDS[:n], "symbol": ["平安银行", "宁德时代", "浦发银行"][:n],
                         "listed": pd.to_datetime(["1991-04-03", "2018-06-11", "1999-11-10"][:n]),
                         "lot": [100, 100, 100][:n], "weight": [0.5, np.nan, 1.25][:n]})


def main(out):
    from marvane.FrameStore import ParquetDataManager

    shutil.rmtree(out, ignore_errors=True)
    store = ParquetDataManager(out)
    store.update_pivot_category(pivot("2024-01-02", "2024-02-20", 0.0), "close")
    store.update_unstack_category("info", info(2), ["order_book_id"])
    with open(os.path.join(out, "VERSIONS.txt"), "w") as f:
        f.write(f"pandas {pd.__version__}\npyarrow {__import__('pyarrow').__version__}\n")


if __name__ == "__main__":
    main(sys.argv[1])
