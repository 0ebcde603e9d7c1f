"""Month partition helpers and the thread-pool runner."""

import os
import threading
import time

import pandas as pd
import pytest

import marvane.FrameStore as fs
from marvane.FrameStore import ParquetDataManager as PDM


@pytest.mark.parametrize("name, expected", [
    ("close_2024-03.parquet", ("2024", "03")),
    ("close_2024-03.csv", ("2024", "03")),
    ("a_2023-01.x_2024-05.parquet", ("2023", "01")),
    ("close_2024-13.parquet", ("2024", "13")),
    ("close.parquet", (None, None)),
    ("close_2024-3.parquet", (None, None)),
    ("close_24-03.parquet", (None, None)),
    ("close_20245-03.parquet", (None, None)),
])
def test_extract_year_month(name, expected):
    assert PDM.extract_year_month(name) == expected


def test_pivot_year_month_lists_every_entry(store):
    assert store._get_pivot_year_month("c") == []
    d = store._get_category_path("c")
    names = ["c_2024-01.parquet", "c_2024-02.parquet", "c.parquet"]
    for n in names:
        open(f"{d}/{n}", "w").close()
    expected = [PDM.extract_year_month(n) for n in os.listdir(d)]
    assert store._get_pivot_year_month("c") == expected
    assert sorted(expected, key=str) == [("2024", "01"), ("2024", "02"), (None, None)]


@pytest.mark.parametrize("choice, pick", [
    (1, "columns"), (1.0, "columns"), (True, "columns"),
    (0, "index"), (False, "index"), (2, None), (-1, None), ("1", None)])
def test_gsoi(choice, pick):
    df = pd.DataFrame([[1]], index=["r"], columns=["c"])
    got = PDM.GSOI(choice, df)
    if pick is None:
        assert got == "Invalid input. Please enter 1 for columns or 0 for index."
        assert PDM.GSOI(choice, object()) == got  # df untouched on this branch
    else:
        assert got is getattr(df, pick)


def test_read_parquet_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        PDM.read_parquet(str(tmp_path / "nope.parquet"))


# ----------------------------------------------------------------------------------------
# run_concurrently


@pytest.mark.parametrize("tasks, expected", [
    ([], []),
    ([[1, 2, 3], (4, 5, 6)], [6, 15]),
    ([(), ()], [0, 0]),
    ((t for t in [[1], [1]]), [1, 1]),
])
def test_runner_results_per_task(tasks, expected, capsys):
    got = PDM.run_concurrently(tasks, lambda *a: sum(a))
    assert sorted(got) == expected
    err = capsys.readouterr().err
    assert err.startswith("\rProcessing tasks: ")  # the bar goes to stderr
    if expected:
        assert "100%|" in err and f"{len(expected)}/{len(expected)}" in err


def test_runner_collects_in_completion_order(monkeypatch):
    collected = threading.Event()

    def bar(futures, total, desc):  # stands in for tqdm; notes the first collection
        for f in futures:
            yield f
            collected.set()
    monkeypatch.setattr(fs, "tqdm", bar)

    def work(name):
        if name == "slow":
            assert collected.wait(5)  # finishes only after the fast one was collected
        return name
    assert PDM.run_concurrently([["slow"], ["fast"]], work, max_workers=2) == ["fast", "slow"]


def test_runner_uses_the_pool_size_and_label(monkeypatch, capsys):
    seen = []

    class Pool(fs.ThreadPoolExecutor):
        def __init__(self, max_workers):
            seen.append(max_workers)
            super().__init__(max_workers=max_workers)
    monkeypatch.setattr(fs, "ThreadPoolExecutor", Pool)
    PDM.run_concurrently([[1]], abs)
    PDM.run_concurrently([[1]], abs, 3, "Label here")
    assert seen == [5, 3]
    assert "Label here: 100%" in capsys.readouterr().err


def test_runner_reraises_after_the_other_tasks_finish():
    done = []

    def work(i):
        if i == 0:
            raise KeyError("boom")
        time.sleep(0.05)
        done.append(i)
    with pytest.raises(KeyError, match="boom"):
        PDM.run_concurrently([[i] for i in range(10)], work, max_workers=3)
    assert sorted(done) == list(range(1, 10))


@pytest.mark.parametrize("workers", [0, -1])
def test_runner_rejects_bad_pool_size(workers):
    ran = []
    with pytest.raises(ValueError):
        PDM.run_concurrently([[1]], ran.append, max_workers=workers)
    assert ran == []
