"""Store file names: the store's reads and `python -m marvane info` recognise the same month
files, and what the writers name is what they recognise."""

import os

import pandas as pd
import pytest

from marvane import _names
from marvane._info import inventory

NOT_MONTHS = [
    "close_2024-13.parquet", "close_2024-00.parquet", "close_0999-01.parquet",
    "close_\uff12\uff10\uff12\uff14-05.parquet",  # full-width digits
    "close_2024-\u0661\u0662.parquet",            # Arabic-Indic digits
    "close_2024-5.parquet", "close_12024-05.parquet", "close_2024-05.parquet\n",
    "xclose_2024-05.parquet", "close_2024-05.parquet.bak", "close_2024-05.csv",
]


@pytest.mark.parametrize("stray", NOT_MONTHS + ["dir:close_2024-12.parquet", "link:close_2024-12.parquet"])
def test_store_and_info_ignore_what_is_not_a_month(store, capsys, stray):
    d = store._get_category_path("close")
    if stray.startswith("dir:"):
        os.mkdir(os.path.join(d, stray[4:]))  # a directory of a month's name is no month
    elif stray.startswith("link:"):
        os.symlink("gone.parquet", os.path.join(d, stray[5:]))  # nor a link to nothing
    else:
        with open(os.path.join(d, stray), "w") as f:
            f.write("not a month")
    assert store._if_exists_pivot_category("close") is False
    store.update_pivot_category(pd.DataFrame([[1.0]], index=["a"], columns=["2024-03-04"]), "close")
    # the latest month is the real one; the stray is neither read nor a date to parse
    assert list(store.read_pivot_category("close").columns) == ["2024-03-04"]
    [info] = inventory(store.root_dir)
    assert info.months == ["2024-03"] and info.ignored == [stray.split(":")[-1]]
    assert info.errors == []


@pytest.mark.parametrize("year, month", [(1000, 1), (2024, 3), (9999, 12)])
def test_written_names_are_recognised(tmp_path, year, month):
    name = _names.month_file_name("close", year, month)
    (tmp_path / name).write_bytes(b"")
    assert _names.classify(str(tmp_path), "close", name) == ("month", f"{year}-{month:02d}")
    assert _names.classify(str(tmp_path), "close", _names.unstack_file_name("close")) == ("unstack", None)
    assert _names.classify(str(tmp_path), "close", _names.TEMPORARY_PREFIX + "1-2") == ("temporary", None)
    # a month file of another category is not this one's
    assert _names.classify(str(tmp_path), "clos", name) == ("other", None)


def test_a_write_leaves_only_names_the_store_knows(store, capsys):
    store.update_pivot_category(pd.DataFrame([[1.0, 2.0]], index=["a"],
                                             columns=["2023-12-29", "2024-01-02"]), "close")
    store.update_unstack_category("close", pd.DataFrame({"k": [1]}), ["k"])
    d = store._get_category_path("close")
    kinds = sorted(_names.classify(d, "close", n) for n in os.listdir(d))
    assert kinds == [("month", "2023-12"), ("month", "2024-01"), ("unstack", None)]
