"""The store is plain Parquet: other engines read the same values as the library's readers,
and the store works with whichever engine pandas uses (pyarrow, or fastparquet without it)."""

import contextlib
import gc
import glob
import io
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest

import faultkit
import marvane.FrameStore as fs
from marvane.FrameStore import ParquetDataManager as PDM
from store_samples import KEYS, basic_info, close_table, fill_pivot


@pytest.fixture
def synced(store, capsys):
    """close over three months (instruments entering and leaving, gaps, a later merge of new
    days into the last month) and basic_info merged from two batches."""
    fill_pivot(store, "close", [
        close_table(pd.bdate_range("2024-01-02", "2024-02-29"), ["A", "B", "C"], seed=1),
        close_table(pd.bdate_range("2024-03-01", "2024-03-15"), ["B", "C", "D"], seed=2),
        close_table(pd.bdate_range("2024-03-18", "2024-03-29"), ["C", "D", "E"], seed=3),
    ])
    store.update_unstack_category("basic_info", basic_info(["A", "B", "C"]), KEYS)
    store.update_unstack_category("basic_info", basic_info(["A", "B", "C", "D"], " Ltd"), KEYS)
    capsys.readouterr()
    return store


def library_long(store):
    """The library's own read of all of close, as (instrument, day) -> value, nulls dropped."""
    wide = store.read_pivot_category("close", "2024-01-01", "2024-03-31", column_type="datetime")
    long = wide.stack().dropna().rename("close")
    long.index = long.index.set_names(["order_book_id", "date"])
    return long.sort_index()


def month_files(store, category):
    return sorted(glob.glob(os.path.join(store.root_dir, category, f"{category}_*.parquet")))


def test_pivot_category_through_pyarrow_dataset(synced, capsys):
    pa = pytest.importorskip("pyarrow")
    ds, pq = pytest.importorskip("pyarrow.dataset"), pytest.importorskip("pyarrow.parquet")
    files = month_files(synced, "close")
    assert len(files) == 3
    # each month file has its own date columns: one dataset over the union of the schemas
    schema = pa.unify_schemas([pq.read_schema(f) for f in files]).remove_metadata()
    table = ds.dataset(files, format="parquet", schema=schema).to_table()
    frame = table.to_pandas()
    long = (frame.melt(id_vars="order_book_id", var_name="date", value_name="close")
            .dropna(subset=["close"]))
    long["date"] = pd.to_datetime(long["date"])
    got = long.set_index(["order_book_id", "date"])["close"].sort_index()
    expected = library_long(synced)
    capsys.readouterr()
    pd.testing.assert_series_equal(got, expected, check_index_type=False)
    assert len(got) > 50 and got.index.get_level_values(0).nunique() == 5


def test_unstack_category_through_pyarrow_dataset(synced):
    ds = pytest.importorskip("pyarrow.dataset")
    path = os.path.join(synced.root_dir, "basic_info", "basic_info.parquet")
    got = ds.dataset(path, format="parquet").to_table().to_pandas()
    expected = synced.read_unstack_category("basic_info")
    pd.testing.assert_frame_equal(got, expected)
    assert list(expected["symbol"]).count("Company 0 Ltd") == 1   # the merge is in the file


def test_both_categories_through_duckdb(synced, capsys):
    duckdb = pytest.importorskip("duckdb")
    root = synced.root_dir
    con = duckdb.connect()
    pattern = os.path.join(root, "close", "close_*.parquet")
    long = con.execute(f"""
        UNPIVOT (SELECT * FROM read_parquet('{pattern}', union_by_name = true))
        ON COLUMNS(* EXCLUDE (order_book_id)) INTO NAME date VALUE close
    """).df()
    long["date"] = pd.to_datetime(long["date"])
    got = long.set_index(["order_book_id", "date"])["close"].sort_index()
    expected = library_long(synced)
    capsys.readouterr()
    pd.testing.assert_series_equal(got, expected, check_index_type=False, check_dtype=False)

    info_path = os.path.join(root, "basic_info", "basic_info.parquet")
    info = con.execute(f"SELECT * FROM read_parquet('{info_path}')").df()
    stored = synced.read_unstack_category("basic_info")
    cols = [c for c in stored.columns]                      # the index column is pandas' own
    got_info = info[cols].reset_index(drop=True)
    want = stored.reset_index(drop=True)
    for col in cols:
        if pd.api.types.is_datetime64_any_dtype(want[col]):
            assert (pd.to_datetime(got_info[col]).to_numpy("datetime64[us]")
                    == want[col].to_numpy("datetime64[us]")).all(), col
        else:
            assert [x.item() if isinstance(x, np.generic) else x for x in got_info[col]] \
                == [x.item() if isinstance(x, np.generic) else x for x in want[col]], col


# ----------------------------------------------------------------------------------------
# Either engine: files written under one read back under the other as the same frames

ENGINES = ["pyarrow", "fastparquet"]
# fastparquet's reader makes a NaT in a way numpy 2.5 deprecates
FASTPARQUET_NAT = "The 'generic' unit for NumPy timedelta is deprecated"


@contextlib.contextmanager
def engine(name):
    pytest.importorskip(name)
    with pd.option_context("io.parquet.engine", name), warnings.catch_warnings():
        # pandas 3.1 names fastparquet deprecated when it is chosen by name, not when it is
        # the default for want of pyarrow
        warnings.filterwarnings("ignore", "The 'fastparquet' engine is deprecated")
        warnings.filterwarnings("ignore", FASTPARQUET_NAT, DeprecationWarning)
        yield


def fill_store(root):
    store = PDM(str(root), max_workers=2)
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        fill_pivot(store, "close", [
            close_table(pd.bdate_range("2024-01-02", "2024-02-29"), ["A", "B", "C"], seed=1),
            close_table(pd.bdate_range("2024-02-20", "2024-03-15"), ["B", "C", "D"], seed=2)])
        store.update_unstack_category("basic_info", basic_info(["A", "B", "C"]), KEYS)
        store.update_unstack_category("basic_info", basic_info(["A", "B", "C", "D"], " Ltd"), KEYS)
        # an unnamed text index and an unnamed level of a MultiIndex
        store.update_unstack_category("plain", pd.DataFrame({"x": [1.0, 2.0]}, index=["a", "b"]), ["x"])
        store.update_unstack_category("multi", pd.DataFrame(
            {"x": [1.0, 2.0]}, index=pd.MultiIndex.from_tuples([("a", 1), ("b", 2)], names=[None, "k"])), ["x"])
    return store


def read_all(store):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return {"close": store.read_pivot_category("close", "2024-01-01", "2024-03-31"),
                "close_datetime": store.read_pivot_category("close", "2024-02-01", "2024-03-31",
                                                            column_type="datetime"),
                "month": PDM.read_parquet(os.path.join(store.root_dir, "close", "close_2024-02.parquet")),
                **{c: store.read_unstack_category(c) for c in ("basic_info", "plain", "multi")}}


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """Every read of a store written and read under pyarrow (fastparquet alone when only it is
    installed, as on 32-bit Arm)."""
    name = "pyarrow" if _importable("pyarrow") else "fastparquet"
    with engine(name):
        return read_all(fill_store(tmp_path_factory.mktemp("reference")))


def _importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


@pytest.mark.parametrize("writer", ENGINES)
@pytest.mark.parametrize("reader", ENGINES)
def test_files_written_under_one_engine_read_the_same_under_the_other(tmp_path, reference, writer, reader):
    with engine(writer):
        store = fill_store(tmp_path)
        assert pd.read_parquet(os.path.join(tmp_path, "plain", "plain.parquet")).index.name is None
    with engine(reader):
        got = read_all(store)
        # the store reads its own files back under the reader's engine, then updates them
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            fill_pivot(store, "close", [close_table(pd.bdate_range("2024-03-18", "2024-03-19"), ["E"],
                                                    seed=3, gaps=False)])
            store.update_unstack_category("basic_info", basic_info(["A"], " Plc"), KEYS)
        after = read_all(store)
    for name, frame in reference.items():
        pd.testing.assert_frame_equal(got[name], frame, obj=name)
    assert after["close"].loc["E"].notna().sum() == 2 and after["close"].shape == (5, 56)
    assert "Company 0 Plc" in set(after["basic_info"]["symbol"])


# fastparquet leaves the files of a directory it read open until they are collected
@pytest.mark.parametrize("name", ["pyarrow", pytest.param("fastparquet", marks=pytest.mark.filterwarnings(
    "ignore::pytest.PytestUnraisableExceptionWarning"))])
def test_read_parquet_hands_over_what_it_is_given(tmp_path, name, monkeypatch):
    frame = pd.DataFrame({"v": [1.0, 2.0]}, index=pd.Index(["a", "b"], name="id"))
    with engine(name):
        path = tmp_path / "one.parquet"
        frame.to_parquet(path)
        os.mkdir(tmp_path / "dir")
        frame.iloc[:1].to_parquet(tmp_path / "dir" / "part-0.parquet")
        frame.iloc[1:].to_parquet(tmp_path / "dir" / "part-1.parquet")
        data = path.read_bytes()
        for given in (str(path), path, io.BytesIO(data)):
            pd.testing.assert_frame_equal(PDM.read_parquet(given), frame)
        with open(path, "rb") as given:
            pd.testing.assert_frame_equal(PDM.read_parquet(given), frame)
        whole = PDM.read_parquet(str(tmp_path / "dir")).sort_index()
        pd.testing.assert_frame_equal(whole, frame)

        # a damaged file: pandas' error, which names the stored file
        (tmp_path / "bad.parquet").write_bytes(data[: len(data) // 2])
        with pytest.raises(Exception) as caught:
            PDM.read_parquet(str(tmp_path / "bad.parquet"))
        assert "bad.parquet" in str(caught.value) + "".join(getattr(caught.value, "__notes__", []))

        # a read_parquet put in place of pandas' own sees exactly what the store was given
        seen = []
        monkeypatch.setattr(fs.pd, "read_parquet", lambda src: seen.append(src) or frame)
        PDM.read_parquet(str(path))
        assert seen == [str(path)]


def test_store_and_info_work_without_pyarrow(tmp_path):
    """A machine with fastparquet only: pyarrow cannot be imported at all."""
    pytest.importorskip("fastparquet")
    script = textwrap.dedent(f"""
        import sys, warnings
        sys.modules["pyarrow"] = None          # every import of pyarrow fails
        warnings.filterwarnings("ignore", {FASTPARQUET_NAT!r}, DeprecationWarning)
        import io, contextlib, pandas as pd
        from test_engines import fill_store, read_all      # from the working directory
        from marvane import _info
        store = fill_store({str(tmp_path)!r})
        frames = read_all(store)
        assert frames["close"].shape == (4, 54) and frames["plain"].index.name is None
        infos = {{i.name: i for i in _info.inventory({str(tmp_path)!r})}}
        print(infos["close"].months, infos["close"].instruments, infos["basic_info"].rows,
              infos["basic_info"].valid_from, infos["basic_info"].valid_to, sorted(infos))
        assert not any(i.errors for i in infos.values())
        assert "pyarrow" not in {{m.split(".")[0] for m in sys.modules if sys.modules[m] is not None}}
    """)
    done = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True, text=True,
                          cwd=os.path.dirname(os.path.abspath(__file__)), timeout=300,
                          env=faultkit.child_env())
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["['2024-01',", "'2024-02',", "'2024-03']", "4", "5", "2020-01-02",
                                   "2099-12-31", "['basic_info',", "'close',", "'multi',", "'plain']"]


@pytest.mark.parametrize("name", ENGINES)
def test_info_reads_under_either_engine_and_leaves_no_file_open(tmp_path, name):
    fill_store(tmp_path)
    from marvane import _info
    with engine(name):
        infos = {i.name: i for i in _info.inventory(str(tmp_path))}
        # a file left open is reported when collected, which the suite's warning filter fails
        gc.collect()
    assert not any(i.errors for i in infos.values())
    assert (infos["close"].instruments, infos["basic_info"].rows) == (4, 5)
