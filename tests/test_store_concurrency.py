"""Several writers at once, readers during a rewrite, and writes that fail halfway."""

import os
import threading

import numpy as np
import pandas as pd
import pytest

import marvane.FrameStore as fs
from marvane.FrameStore import ParquetDataManager as PDM
from frames import pivot


def run_threads(n, target):
    errors, start = [], threading.Barrier(n)

    def body(i):
        try:
            start.wait()
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported to the test below
            errors.append(e)
    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


@pytest.mark.parametrize("kind", ["pivot", "unstack"])
def test_many_threads_write_one_new_category(tmp_path, kind, capsys):
    # Separate stores on one root: each thread does its own check-then-create.
    def write(i):
        m = PDM(str(tmp_path / "root"))
        if kind == "pivot":
            m.update_pivot_category(pivot([[float(i)]], ["a"], [f"20{10 + i}-01-05"]), "new")
        else:
            m.update_unstack_category(f"new{i % 2}", pd.DataFrame({"k": [i]}), ["k"])
    assert run_threads(16, write) == []
    files = os.listdir(tmp_path / "root" / ("new" if kind == "pivot" else "new0"))
    assert len(files) == (16 if kind == "pivot" else 1) and all(f.endswith(".parquet") for f in files)


def test_reader_never_sees_a_partial_month(store, capsys):
    days = [f"2024-03-{d:02d}" for d in range(1, 29)]
    rng = np.random.default_rng(0)
    base = pivot(rng.random((400, len(days))), [f"i{k:04d}" for k in range(400)], days)
    store.update_pivot_category(base.copy(), "close")
    path = store._get_pivot_file_path("close", 2024, 3)
    stop, seen = threading.Event(), []

    def writer(_):
        for k in range(12):  # each merge adds instruments and rewrites the whole file
            extra = pivot(rng.random((50, len(days))), [f"n{k}{j:03d}" for j in range(50)], days)
            PDM.update_pivot_parquet(path, extra)
        stop.set()

    def reader(i):
        while not stop.is_set():
            df = (store.read_pivot_category("close", "2024-03-01", "2024-03-31") if i == 1
                  else PDM.read_parquet(path))
            seen.append(df.shape)
            # plain comparisons: pandas' testing helpers juggle warning filters, which
            # other threads share
            assert list(df.columns) == days
            assert np.array_equal(df.loc[base.index].to_numpy(), base.to_numpy())

    assert run_threads(4, lambda i: (writer if i == 0 else reader)(i)) == []
    assert len(seen) > 0 and all(s[1] == len(days) for s in seen)
    assert os.listdir(os.path.dirname(path)) == ["close_2024-03.parquet"]


def half_written(monkeypatch, error=OSError("disk full")):
    """Makes to_parquet write the first bytes of the file and then fail."""
    real = pd.DataFrame.to_parquet

    def to_parquet(self, path, *a, **k):
        real(self, path, *a, **k)
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)
        raise error
    monkeypatch.setattr(pd.DataFrame, "to_parquet", to_parquet)


@pytest.mark.parametrize("error", [OSError("disk full"), KeyboardInterrupt()])
def test_failed_month_write_keeps_old_file(store, monkeypatch, capsys, error):
    store.update_pivot_category(pivot([[1.0, np.nan]], ["a"], ["2024-03-01", "2024-03-04"]), "c")
    path = store._get_pivot_file_path("c", 2024, 3)
    before = pd.read_parquet(path)
    capsys.readouterr()
    half_written(monkeypatch, error)
    with pytest.raises(type(error)):
        PDM.update_pivot_parquet(path, pivot([[1.0, 2.0]], ["a"], ["2024-03-01", "2024-03-04"]))
    with pytest.raises(type(error)):  # a new month file fails the same way
        PDM.update_pivot_parquet(path.replace("03", "04"), pivot([[1.0]], ["a"], ["2024-04-01"]))
    monkeypatch.undo()
    pd.testing.assert_frame_equal(pd.read_parquet(path), before)
    assert os.listdir(os.path.dirname(path)) == ["c_2024-03.parquet"]
    assert capsys.readouterr().out == ""


def test_failed_unstack_write_keeps_old_file(store, monkeypatch, capsys):
    store.update_unstack_category("u", pd.DataFrame({"k": [1, 2], "v": [0.5, np.nan]}), ["k"])
    path = store._get_unstack_file_path("u")
    before = pd.read_parquet(path)
    capsys.readouterr()
    half_written(monkeypatch)
    with pytest.raises(OSError, match="disk full"):
        store.update_unstack_category("u", pd.DataFrame({"k": [3], "v": [1.0]}), ["k"])
    monkeypatch.undo()
    pd.testing.assert_frame_equal(pd.read_parquet(path), before)
    assert os.listdir(os.path.dirname(path)) == ["u.parquet"] and capsys.readouterr().out == ""


def test_failure_in_replace_removes_the_temporary_file(store, monkeypatch):
    store.update_unstack_category("u", pd.DataFrame({"k": [1]}), ["k"])
    path = store._get_unstack_file_path("u")

    class Os:
        def __getattr__(self, name):
            return getattr(os, name)

        @staticmethod
        def replace(src, dst):
            name = os.path.basename(src)  # no reader may take it for a stored file
            assert not name.endswith(".parquet") and PDM.extract_year_month(name) == (None, None)
            raise PermissionError("read-only")
    monkeypatch.setattr(fs, "os", Os())
    with pytest.raises(PermissionError):
        store.update_unstack_category("u", pd.DataFrame({"k": [2]}), ["k"])
    monkeypatch.undo()
    assert os.listdir(os.path.dirname(path)) == ["u.parquet"]
    assert pd.read_parquet(path)["k"].tolist() == [1]


def test_merges_that_wait_on_other_merges_finish(tmp_path, monkeypatch, capsys):
    # Each month's printed line updates another category and waits for it, from every merge
    # at once: more merges wait on others than one per core may run.
    m = PDM(str(tmp_path))
    month = [f"20{10 + i}-01-05" for i in range(6)]
    m.update_pivot_category(pivot([[1.0] * 6], ["a"], month), "outer")

    def printing(*args, **kwargs):
        if args and "outer_" in str(args[0]):
            name = os.path.basename(str(args[0]).split(":")[0])
            m.update_pivot_category(pivot([[2.0]], ["b"], ["2011-01-05"]), "inner" + name[6:10])
    monkeypatch.setattr(fs, "print", printing, raising=False)
    errors = run_threads(1, lambda i: m.update_pivot_category(pivot([[1.0, 3.0] * 3], ["a"], month), "outer"))
    assert errors == [] and len(os.listdir(tmp_path)) == 7
