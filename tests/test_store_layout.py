"""On-disk layout: root, category directories, file paths, existence checks, category names."""

import os
import pathlib
import types

import pandas as pd
import pytest

import marvane.FrameStore as fs
from marvane.FrameStore import ParquetDataManager as PDM


def test_paths_and_lazy_directories(tmp_path):
    root = tmp_path / "a" / "b"
    m = PDM(str(root) + os.sep)  # trailing separator: joined, not doubled
    assert root.is_dir() and os.listdir(root) == []
    assert m._get_category_path("close") == str(root / "close")
    assert m._get_pivot_file_path("close", 2024, 3) == str(root / "close") + "/close_2024-03.parquet"
    assert m._get_pivot_file_path("close", 2024, 12).endswith("/close_2024-12.parquet")
    assert m._get_unstack_file_path("info") == str(root / "info") + "/info.parquet"
    assert sorted(os.listdir(root)) == ["close", "info"]
    with pytest.raises(ValueError):  # the month must take the "02d" format
        m._get_pivot_file_path("close", 2024, "03")


def test_directory_created_meanwhile_is_not_an_error(store, monkeypatch):
    # Another thread or process creates the directory between the test and the creation.
    class Os:
        def __getattr__(self, name):
            return getattr(os, name)
    fake = Os()
    fake.path = types.SimpleNamespace(join=os.path.join, exists=lambda p: False,
                                      isabs=os.path.isabs, dirname=os.path.dirname)
    store._get_category_path("c")
    monkeypatch.setattr(fs, "os", fake)
    assert store._get_category_path("c").endswith("c")
    PDM(store.root_dir)


@pytest.mark.parametrize("call", [
    lambda m: m._get_pivot_file_path("close", 2024, 3),
    lambda m: m.update_pivot_category(pd.DataFrame({"2024-03-01": [1.0]}, index=["a"]), "close"),
    lambda m: m.update_unstack_category("close", pd.DataFrame({"k": [1]}), ["k"]),
    lambda m: m.read_pivot_category("close"),
])
def test_a_file_where_a_category_directory_belongs_is_named(store, call):
    taken = os.path.join(store.root_dir, "close")
    pathlib.Path(taken).write_text("x")
    with pytest.raises(NotADirectoryError) as raised:
        call(store)
    assert raised.value.filename == taken and "not a directory" in str(raised.value)
    assert pathlib.Path(taken).read_text() == "x"


def test_a_write_into_a_missing_directory_names_it(tmp_path):
    # The writer's own error, as its class (not a mismatch of OSError and its subclass).
    with pytest.raises(FileNotFoundError) as raised:
        PDM.update_pivot_parquet(str(tmp_path / "gone" / "close_2024-03.parquet"),
                                 pd.DataFrame({"2024-03-01": [1.0]}, index=["a"]))
    assert raised.value.filename == str(tmp_path / "gone")


def test_existing_root_is_left_alone(tmp_path):
    (tmp_path / "f").write_text("x")
    PDM(tmp_path)
    assert os.listdir(tmp_path) == ["f"]


@pytest.mark.parametrize("category", [
    "", ".", "..", "a/b", "../escape", "/abs", "a\0b", "/", "a/", pathlib.Path(".."),
    "cl\udcffose"])  # not valid text: undecodable bytes as os.fsdecode gives them
def test_category_that_is_not_one_path_component_is_refused(store, category, tmp_path):
    before = sorted(p for p in tmp_path.rglob("*"))
    df = pd.DataFrame([[1.0]], index=["a"], columns=["2024-01-02"])
    calls = [
        lambda: store._get_category_path(category),
        lambda: store._get_unstack_file_path(category),
        lambda: store._if_exists_pivot_category(category),
        lambda: store._if_exists_unstack_category(category),
        lambda: store.update_pivot_category(df.copy(), category),
        lambda: store.update_unstack_category(category, df),
        lambda: store.read_pivot_category(category, "2024-01-01", "2024-01-31"),
        lambda: store.read_unstack_category(category),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="category") as info:
            call()
        assert repr(os.fspath(category)) in str(info.value)
    assert sorted(p for p in tmp_path.rglob("*")) == before


@pytest.mark.parametrize("category", [3, 2.5, None, b"close"])
def test_category_that_is_not_text_raises_type_error(store, category):
    with pytest.raises(TypeError):
        store._get_category_path(category)


def test_category_may_be_path_like(store):
    assert store._get_category_path(pathlib.Path("close")).endswith(os.sep + "close")


def test_existence_checks(store):
    # Both checks create the directory, but only real files count.
    assert store._if_exists_unstack_category("u") is False
    assert store._if_exists_pivot_category("p") is False
    d = pathlib.Path(store._get_category_path("p"))
    for stray in ["p.parquet", "other_2024-01.parquet", "p_2024-01.csv", "p_2024-1.parquet",
                  "xp_2024-01.parquet", "p_2024-01.parquet\n", ".marvane-tmp-1-1"]:
        (d / stray).write_text("")
    assert store._if_exists_pivot_category("p") is False
    store.update_pivot_category(pd.DataFrame([[1.0]], index=["a"], columns=["2024-01-02"]), "p")
    assert store._if_exists_pivot_category("p") is True
    store.update_unstack_category("u", pd.DataFrame({"k": [1]}))
    assert store._if_exists_unstack_category("u") is True
    assert store._if_exists_pivot_category("u") is False
