"""A store written under pandas 2.2 or 3.x reads and updates under the installed pandas, so
that one store outlives an upgrade (or a downgrade) of pandas on its machine."""

import os
import shutil

import numpy as np
import pandas as pd
import pytest

import make_stores
from marvane.FrameStore import ParquetDataManager

HERE = os.path.dirname(__file__)

WRITERS = ["store-pandas22", "store-pandas3"]


@pytest.fixture(params=WRITERS)
def written(request, tmp_path):
    root = tmp_path / "store"
    shutil.copytree(os.path.join(HERE, "data", request.param), root)
    return ParquetDataManager(str(root))


def same_values(got, expected):
    """Equal labels and values; text may be object or str and datetimes ns or us, as written."""
    pd.testing.assert_frame_equal(got.astype(object), expected.astype(object), check_dtype=False,
                                  check_index_type=False, check_column_type=False)


def test_reads_what_either_pandas_wrote(written, capsys):
    got = written.read_pivot_category("close", "2024-01-01", "2024-02-29")
    expected = make_stores.pivot("2024-01-02", "2024-02-20", 0.0)
    expected.columns = expected.columns.strftime("%Y-%m-%d")
    same_values(got, expected)
    assert got.dtypes.eq(np.float64).all()
    same_values(written.read_unstack_category("info"), make_stores.info(2))
    days = [d.strftime("%Y-%m-%d") for d in pd.bdate_range("2024-02-15", "2024-02-29")]
    assert written.get_download_days("close", days)[1] == days[days.index("2024-02-21"):]


def test_updates_what_either_pandas_wrote(written, capsys):
    # stored values stay, the new ones fill their gaps and the days after, and a month starts
    written.update_pivot_category(make_stores.pivot("2024-02-15", "2024-03-08", 1000.0), "close")
    written.update_unstack_category("info", make_stores.info(3).iloc[1:], ["order_book_id"])
    got = written.read_pivot_category("close", "2024-01-01", "2024-03-31")
    old = make_stores.pivot("2024-01-02", "2024-02-20", 0.0)
    new = make_stores.pivot("2024-02-15", "2024-03-08", 1000.0)
    expected = old.combine_first(new)
    expected.columns = expected.columns.strftime("%Y-%m-%d")
    same_values(got, expected)
    same_values(written.read_unstack_category("info").sort_values("order_book_id", ignore_index=True),
                make_stores.info(3))
