"""Hostile and broken input reaching the store: category names that try to leave the store
root, values that are not DataFrames, and damaged files in the store. Each gives a clear
error and leaves the store as it was."""

import os
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import faultkit
from marvane.FrameStore import ParquetDataManager

DAYS = ["2024-01-02", "2024-01-03"]
FRAME = pd.DataFrame([[1.0, 2.0]], index=["a"], columns=DAYS)
BATCH = pd.DataFrame({"key": [1], "value": [1.5]})
TEMPLATE = pd.DatetimeIndex(DAYS)


@pytest.fixture
def sandbox(tmp_path, capsys):
    """A store under tmp_path with a sibling directory `outside` that must never be touched."""
    (tmp_path / "outside").mkdir()
    store = ParquetDataManager(str(tmp_path / "root" / "store"))
    store.update_pivot_category(FRAME.copy(), "good")
    store.update_unstack_category("good", BATCH, ["key"])
    capsys.readouterr()
    return store


ENTRY_POINTS = {
    "update_pivot_category": lambda s, c: s.update_pivot_category(FRAME.copy(), c),
    "update_unstack_category": lambda s, c: s.update_unstack_category(c, BATCH, ["key"]),
    "read_pivot_category": lambda s, c: s.read_pivot_category(c, DAYS[0], DAYS[1]),
    "read_unstack_category": lambda s, c: s.read_unstack_category(c),
    "_if_exists_pivot_category": lambda s, c: s._if_exists_pivot_category(c),
    "_if_exists_unstack_category": lambda s, c: s._if_exists_unstack_category(c),
    "_get_pivot_year_month": lambda s, c: s._get_pivot_year_month(c),
    "get_download_days": lambda s, c: s.get_download_days(c, TEMPLATE),
    "_get_pivot_file_path": lambda s, c: s._get_pivot_file_path(c, 2024, 1),
}

ESCAPING = ["", ".", "..", "../outside", "../../outside", "good/../../outside", "a/b",
            "/tmp", "/", "a\x00b", "good/", pathlib.Path("../outside")]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("category", ESCAPING, ids=repr)
def test_category_that_leaves_the_root_is_refused(sandbox, tmp_path, entry, category):
    before = faultkit.snapshot(tmp_path)
    with pytest.raises(ValueError, match="category") as excinfo:
        ENTRY_POINTS[entry](sandbox, category)
    assert repr(os.fspath(category)) in str(excinfo.value)
    assert faultkit.snapshot(tmp_path) == before


@pytest.mark.parametrize("entry", ["update_pivot_category", "update_unstack_category", "read_unstack_category"])
@pytest.mark.parametrize("category", [5, b"good", None, 2.5], ids=repr)
def test_category_that_is_not_text(sandbox, tmp_path, entry, category):
    before = faultkit.snapshot(tmp_path)
    with pytest.raises(TypeError):
        ENTRY_POINTS[entry](sandbox, category)
    assert faultkit.snapshot(tmp_path) == before


def test_category_name_too_long_for_the_filesystem(sandbox, tmp_path):
    before = faultkit.snapshot(tmp_path)
    with pytest.raises(OSError) as excinfo:
        sandbox.update_unstack_category("x" * 300, BATCH, ["key"])
    assert excinfo.value.errno == 36  # ENAMETOOLONG
    assert faultkit.snapshot(tmp_path) == before


NOT_FRAMES = [None, 42, "2024-01-02", [[1.0, 2.0]], {"2024-01-02": [1.0]},
              pd.Series([1.0], index=["a"]), np.array([[1.0, 2.0]]), FRAME.to_dict()]

WRITERS = {
    "update_pivot_category(existing)": lambda s, v: s.update_pivot_category(v, "good"),
    "update_pivot_category(new)": lambda s, v: s.update_pivot_category(v, "brand_new"),
    "update_pivot_parquet(existing)": lambda s, v: ParquetDataManager.update_pivot_parquet(
        s._get_pivot_file_path("good", 2024, 1), v),
    "update_pivot_parquet(new)": lambda s, v: ParquetDataManager.update_pivot_parquet(
        os.path.join(s.root_dir, "good", "good_2024-05.parquet"), v),
    "update_unstack_category(existing)": lambda s, v: s.update_unstack_category("good", v, ["key"]),
    "update_unstack_category(new)": lambda s, v: s.update_unstack_category("brand_new", v, ["key"]),
    "update_unstack_df": lambda s, v: ParquetDataManager.update_unstack_df(BATCH, v, ["key"]),
}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("value", NOT_FRAMES, ids=lambda v: type(v).__name__)
def test_value_that_is_not_a_dataframe(sandbox, tmp_path, writer, value):
    before = faultkit.snapshot(tmp_path)
    with pytest.raises(TypeError, match=f"must be a pandas DataFrame, not {type(value).__name__}"):
        WRITERS[writer](sandbox, value)
    assert faultkit.snapshot(tmp_path) == before


BROKEN_FRAMES = {
    "labels that are not dates": pd.DataFrame([[1.0]], index=["a"], columns=["yesterday"]),
    "an empty label": pd.DataFrame([[1.0, 2.0]], index=["a"], columns=["2024-01-02", ""]),
}


@pytest.mark.parametrize("name", BROKEN_FRAMES)
def test_pivot_table_with_unusable_labels(sandbox, tmp_path, name):
    before = faultkit.snapshot(tmp_path)
    with pytest.raises(ValueError):
        sandbox.update_pivot_category(BROKEN_FRAMES[name].copy(), "good")
    assert faultkit.snapshot(tmp_path) == before


def _good_bytes():
    import io
    buf = io.BytesIO()
    faultkit.pivot_rows(0, 20).iloc[:, :5].rename(columns=lambda d: d.strftime("%Y-%m-%d")).to_parquet(buf)
    return buf.getvalue()


def _corrupt_footer(data):
    # The footer's metadata sits just before its length and the closing magic bytes.
    n = int.from_bytes(data[-8:-4], "little")
    start = len(data) - 8 - n
    return data[:start] + bytes(b ^ 0x5A for b in data[start:start + n]) + data[-8:]


def _with_footer(data, footer):
    n = int.from_bytes(data[-8:-4], "little")
    return data[: len(data) - 8 - n] + footer + len(footer).to_bytes(4, "little") + b"PAR1"


def _column_data_past_the_end(data):
    import io
    fastparquet = pytest.importorskip("fastparquet")
    meta = fastparquet.ParquetFile(io.BytesIO(data)).fmd
    meta.row_groups[0].columns[0].meta_data.total_compressed_size = 1 << 40
    return _with_footer(data, bytes(meta.to_bytes()))


DAMAGE = {
    "zero bytes": lambda good: b"",
    "not parquet": lambda good: b"this is not a parquet file at all\n" * 10,
    "truncated": lambda good: good[: len(good) // 2],
    "corrupt footer": _corrupt_footer,
    "magic only": lambda good: b"PAR1PAR1",
    "footer length past the start": lambda good: good[:-8] + (len(good) * 4).to_bytes(4, "little") + b"PAR1",
    # a list of two billion row groups in a footer of a few bytes
    "count beyond the footer": lambda good: _with_footer(good, bytes([0x49, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0])),
    "column data past the end": _column_data_past_the_end,
}


def _place(path, damage):
    if damage == "a directory":
        os.makedirs(path)
    else:
        with open(path, "wb") as f:
            f.write(DAMAGE[damage](_good_bytes()))


def _mentions(excinfo, path):
    text = str(excinfo.value) + " ".join(getattr(excinfo.value, "__notes__", []))
    return os.path.basename(path) in text


@pytest.mark.parametrize("damage", [*DAMAGE, "a directory"])
def test_damaged_month_file(tmp_path, damage, capsys):
    store = ParquetDataManager(str(tmp_path / "store"), max_workers=2)
    store.update_pivot_category(faultkit.pivot_rows(0, 5), "px")
    jan = store._get_pivot_file_path("px", 2024, 1)
    os.remove(jan)
    _place(jan, damage)
    before = faultkit.snapshot(store.root_dir)
    if damage == "a directory":
        # not a month file: the read holds February alone; a merge into it is refused below
        got = store.read_pivot_category("px", "2024-01-01", "2024-02-29")
        assert [d[:7] for d in got.columns] == ["2024-02"] * got.shape[1] and got.shape[1] > 0
    else:
        with pytest.raises(Exception) as excinfo:
            store.read_pivot_category("px", "2024-01-01", "2024-02-29")
        assert _mentions(excinfo, jan), excinfo.value
    with pytest.raises(Exception) as excinfo:
        store.update_pivot_category(faultkit.pivot_rows(0, 5).iloc[:, :3], "px")  # January only
    assert _mentions(excinfo, jan), excinfo.value
    assert faultkit.snapshot(store.root_dir) == before
    # The other month of a category update is still merged; the damaged one stays as found.
    with pytest.raises(Exception):
        store.update_pivot_category(faultkit.pivot_rows(0, 6), "px")
    feb = store._get_pivot_file_path("px", 2024, 2)
    assert faultkit.pivot_state(feb, 2024, 2) == 6
    after = faultkit.snapshot(store.root_dir)
    rel = os.path.relpath(jan, store.root_dir)
    assert after[rel] == before[rel]
    assert faultkit.temporaries(os.path.dirname(jan)) == []
    capsys.readouterr()


@pytest.mark.parametrize("damage", [*DAMAGE, "a directory"])
def test_damaged_unstack_file(tmp_path, damage, capsys):
    store = ParquetDataManager(str(tmp_path / "store"))
    path = store._get_unstack_file_path("ux")
    _place(path, damage)
    before = faultkit.snapshot(store.root_dir)
    with pytest.raises(Exception) as excinfo:
        store.read_unstack_category("ux")
    assert _mentions(excinfo, path), excinfo.value
    with pytest.raises(Exception) as excinfo:
        store.update_unstack_category("ux", faultkit.unstack_rows(0, 3), ["key"])
    assert _mentions(excinfo, path), excinfo.value
    assert faultkit.snapshot(store.root_dir) == before
    capsys.readouterr()


def test_foreign_parquet_file_in_place_of_a_month(tmp_path, capsys):
    """A readable Parquet file whose columns are not dates: the error names the file."""
    store = ParquetDataManager(str(tmp_path / "store"))
    path = store._get_pivot_file_path("px", 2024, 1)
    pd.DataFrame({"price": [1.0], "volume": [2.0]}).to_parquet(path)
    before = faultkit.snapshot(store.root_dir)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # pandas' "could not infer format"
        with pytest.raises(ValueError) as excinfo:
            store.update_pivot_category(faultkit.pivot_rows(0, 2).iloc[:, :3], "px")
    assert _mentions(excinfo, path), excinfo.value
    assert faultkit.snapshot(store.root_dir) == before
    capsys.readouterr()


def either_engine(test):
    """The test under each engine installed, chosen by name."""
    # pandas 3.1 names fastparquet deprecated when chosen by name; fastparquet makes a NaT in a
    # way numpy 2.5 deprecates
    test = pytest.mark.filterwarnings("ignore:The 'fastparquet' engine is deprecated")(test)
    test = pytest.mark.filterwarnings(
        "ignore:The 'generic' unit for NumPy timedelta is deprecated:DeprecationWarning")(test)
    return pytest.mark.parametrize("engine", ["pyarrow", "fastparquet"])(test)


@either_engine
@pytest.mark.parametrize("damage", DAMAGE)
def test_damaged_file_is_refused_before_the_engine_reads_it(tmp_path, engine, damage):
    """Under either engine the same clear error, before the engine can allocate, loop or crash
    on what a damaged footer claims."""
    pytest.importorskip(engine)
    path = tmp_path / "close_2024-01.parquet"
    _place(path, damage)
    with pd.option_context("io.parquet.engine", engine), pytest.raises(ValueError) as excinfo:
        ParquetDataManager.read_parquet(str(path))
    assert str(excinfo.value).startswith(f"not a readable Parquet file: {path} (")


@either_engine
@pytest.mark.parametrize("frame", [
    pd.DataFrame({"2024-01-30": pd.Series([], dtype=float)}, index=pd.Index([], name="code", dtype=object)),
    pd.DataFrame(index=pd.Index(["a"], name="code")),
    pd.DataFrame({"2024-01-30": [np.nan, np.nan], "name": ["x", None]}, index=pd.Index(["a", "b"], name="code")),
], ids=["no rows", "no columns", "nulls and text"])
def test_the_check_passes_what_either_engine_writes(tmp_path, engine, frame):
    pytest.importorskip(engine)
    path = str(tmp_path / "close_2024-01.parquet")
    with pd.option_context("io.parquet.engine", engine):
        frame.to_parquet(path)
        got = ParquetDataManager.read_parquet(path)
    assert got.shape == frame.shape and list(got.columns) == list(frame.columns)


@either_engine
def test_directory_in_place_of_a_month_is_not_read_under_either_engine(tmp_path, engine, capsys):
    pytest.importorskip(engine)
    store = ParquetDataManager(str(tmp_path / "store"), max_workers=2)
    store.update_pivot_category(faultkit.pivot_rows(0, 5), "px")
    jan = store._get_pivot_file_path("px", 2024, 1)
    os.remove(jan)
    os.makedirs(jan)
    with pd.option_context("io.parquet.engine", engine):
        got = store.read_pivot_category("px", "2024-01-01", "2024-02-29")
    assert {d[:7] for d in got.columns} == {"2024-02"}
    capsys.readouterr()


def test_damaged_file_past_4_gib_is_judged_by_its_real_size(tmp_path):
    """Sizes and offsets are 64-bit on every machine: the footer is looked for at the end of a
    (sparse) file of more than 4 GiB, not at its size cut to 32 bits."""
    path = tmp_path / "close_2024-01.parquet"
    with open(path, "wb") as f:
        f.write(b"PAR1")
        f.seek((1 << 32) + 4)
        f.write(bytes(8) + (8).to_bytes(4, "little") + b"PAR1")
    with pytest.raises(ValueError, match=r"\(the footer's metadata ends before the footer does\)"):
        ParquetDataManager.read_parquet(str(path))
