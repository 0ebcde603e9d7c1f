"""The month merge fills stored gaps exactly as DataFrame.combine_first would.

Float64 months take a vectorised fill; these cases compare the stored file after a merge with
the table that combine_first (labels in ascending union when they differ, empty rows dropped)
gives for the same inputs, for the float64 path and for the general one.
"""

import numpy as np
import pandas as pd
import pytest

from marvane.FrameStore import ParquetDataManager


def month(values, index, days, dtype="float64"):
    return pd.DataFrame(np.array(values, dtype=dtype), index=pd.Index(index),
                        columns=pd.to_datetime(days))


def expected_merge(stored, new):
    merged = stored.combine_first(new)
    cols = stored.columns if stored.columns.equals(new.columns) else stored.columns.union(new.columns)
    idx = stored.index if stored.index.equals(new.index) else stored.index.union(new.index)
    merged = merged.reindex(index=idx, columns=cols)
    merged = merged[merged.notnull().sum(axis=1) > 0]
    merged.columns = merged.columns.strftime("%Y-%m-%d")
    return merged


nan = np.nan
CASES = {
    # new days and a new instrument; stored nulls filled; a stored value differs and stays
    "new days and instruments": (
        month([[1.0, nan], [nan, 4.0]], ["A", "B"], ["2024-03-01", "2024-03-04"]),
        month([[9.0, 2.0, 5.0], [3.0, 8.0, nan], [7.0, nan, 6.0]], ["B", "A", "C"],
              ["2024-03-01", "2024-03-04", "2024-03-05"])),
    # the new data lack a stored instrument, and fill a stored gap
    "instrument missing from new data": (
        month([[1.0, nan], [2.0, 3.0], [nan, nan]], ["A", "B", "Z"], ["2024-03-01", "2024-03-04"]),
        month([[1.5, 5.0]], ["A"], ["2024-03-01", "2024-03-04"])),
    # same labels, rows in another order, one gap filled
    "same labels other row order": (
        month([[1.0, nan], [2.0, 3.0]], ["A", "B"], ["2024-03-01", "2024-03-04"]),
        month([[2.0, 3.0], [1.0, 7.0]], ["B", "A"], ["2024-03-01", "2024-03-04"])),
    # every stored row becomes empty-free; a row empty on both sides is dropped
    "row empty on both sides": (
        month([[nan, nan], [1.0, nan]], ["A", "B"], ["2024-03-01", "2024-03-04"]),
        month([[nan, nan, nan], [1.0, nan, 2.0]], ["A", "B"], ["2024-03-01", "2024-03-04", "2024-03-05"])),
    # integer months go through pandas' own combine_first
    "integer months": (
        month([[1, 2], [3, 4]], ["A", "B"], ["2024-03-01", "2024-03-04"], dtype="int64"),
        month([[5, 6, 7], [8, 9, 10]], ["A", "C"], ["2024-03-01", "2024-03-04", "2024-03-05"], dtype="int64")),
}


@pytest.mark.parametrize("stored,new", CASES.values(), ids=CASES.keys())
def test_merge_matches_combine_first(tmp_path, capsys, stored, new):
    path = str(tmp_path / "close_2024-03.parquet")
    ParquetDataManager.update_pivot_parquet(path, stored.copy(), "%Y-%m-%d")
    on_disk = pd.read_parquet(path)
    on_disk.columns = pd.to_datetime(on_disk.columns)
    ParquetDataManager.update_pivot_parquet(path, new.copy(), "%Y-%m-%d")
    out = capsys.readouterr().out
    assert ": UpdatingDF  From " in out
    want = expected_merge(on_disk, new[new.notnull().sum(axis=1) > 0])
    pd.testing.assert_frame_equal(pd.read_parquet(path), want, check_index_type=False,
                                  check_column_type=False)


def test_a_replaced_combine_first_is_still_called(tmp_path, monkeypatch, capsys):
    path = str(tmp_path / "close_2024-03.parquet")
    stored, new = CASES["new days and instruments"]
    ParquetDataManager.update_pivot_parquet(path, stored.copy(), "%Y-%m-%d")
    calls = []
    real = pd.DataFrame.combine_first

    def spy(self, other):
        calls.append(other.shape)
        return real(self, other)
    monkeypatch.setattr(pd.DataFrame, "combine_first", spy)
    ParquetDataManager.update_pivot_parquet(path, new.copy(), "%Y-%m-%d")
    assert calls == [(3, 3)]
    assert ": UpdatingDF  From " in capsys.readouterr().out
