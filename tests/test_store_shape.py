"""The Python-visible shape of marvane.FrameStore: globals, class, method table, call-time lookups."""

import concurrent.futures
import inspect
import os
import pydoc
import re
import types

import pandas as pd
import pytest
import tqdm

import marvane.FrameStore as fs
from marvane.FrameStore import ParquetDataManager as PDM
from frames import pivot

UPDATE_PIVOT_PARQUET_DOC = """
        更新或创建一个Parquet文件。
        针对某一分区下的Parquet数据进行更新
        参数:
        - file_path: str，Parquet文件的存储路径。
        - sub_df: pd.DataFrame，要合并或存储的新DataFrame。
        - date_format: str，日期列的格式字符串，默认为'%Y-%m-%d'。

        如果Parquet文件存在，函数会尝试合并旧数据和新数据。
        如果列名或数据有差异，合并后的数据将被存储回同一文件。
        如果文件不存在，sub_df将直接保存为新文件。
        """

# name, static, signature text, docstring
METHODS = [
    ("__init__", False, "(self, root_dir, max_workers=10)",
     "Initialize with the root directory to store all parquet files."),
    ("_if_exists_unstack_category", False, "(self, category)", None),
    ("_if_exists_pivot_category", False, "(self, category)", None),
    ("_get_category_path", False, "(self, category)",
     "Create and return the directory path for a specific category, optionally with year and month."),
    ("GSOI", True, "(choice, df)", None),
    ("extract_year_month", True, "(input_string)", None),
    ("_get_pivot_year_month", False, "(self, category)", None),
    ("_get_pivot_file_path", False, "(self, category, year, month)",
     "Generate the full file path for a parquet file based on category, year, and month."),
    ("_get_unstack_file_path", False, "(self, category)",
     "Generate the full file path for a parquet file based on category."),
    ("update_pivot_category", False, "(self, df, category, strf='%Y-%m-%d')",
     "\n        多线程更新pivot类型的数据\n        "),
    ("read_pivot_category", False,
     "(self, category, start_date=None, end_date=None, column_type='str')",
     "Read all dataframes from a specific category."),
    ("read_parquet", True, "(file_path)", None),
    ("update_unstack_category", False, "(self, category, sub_df, key_columns=[])",
     "\n        更新unstack数据\n        "),
    ("read_unstack_category", False, "(self, category)", None),
    ("update_unstack_df", True, "(original_df, new_data, key_columns)", None),
    ("update_pivot_parquet", True, "(file_path, sub_df, date_format='%Y-%m-%d')",
     UPDATE_PIVOT_PARQUET_DOC),
    ("run_concurrently", True,
     "(tasks, worker_function, max_workers=5, task_desc='Processing tasks')", None),
    ("get_download_days", False, "(self, category, template_date)", None),
]


def test_module_globals_in_order_and_nothing_else():
    own = [k for k in vars(fs) if not (k.startswith("__") and k.endswith("__"))]
    assert own == ["os", "ThreadPoolExecutor", "as_completed", "pd", "tqdm", "re",
                   "ParquetDataManager"]
    assert fs.os is os and fs.re is re and fs.pd is pd and fs.tqdm is tqdm.tqdm
    assert fs.ThreadPoolExecutor is concurrent.futures.ThreadPoolExecutor
    assert fs.as_completed is concurrent.futures.as_completed


def test_plain_class_with_instance_attributes(tmp_path):
    assert type(PDM) is type and PDM.__mro__ == (PDM, object)
    assert PDM.__doc__ is None and PDM.__module__ == "marvane.FrameStore"
    m = PDM(tmp_path / "r", max_workers="x")  # stored as given, used only by the runner
    assert vars(m) == {"root_dir": tmp_path / "r", "max_workers": "x"}
    assert (tmp_path / "r").is_dir()


def test_method_table_order():
    names = [k for k in vars(PDM) if k == "__init__" or not k.startswith("__")]
    assert names == [m[0] for m in METHODS]


@pytest.mark.parametrize("name, static, sig, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_signature_binding_and_doc(name, static, sig, doc):
    raw = vars(PDM)[name]
    assert (type(raw) is staticmethod) == static
    fn = raw.__func__ if static else raw
    assert str(inspect.signature(fn)) == sig
    assert fn.__doc__ == doc and getattr(PDM, name).__doc__ == doc
    assert fn.__name__ == name and fn.__qualname__ == "ParquetDataManager." + name
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)


def test_key_columns_default_is_one_shared_empty_list(store, monkeypatch):
    default = inspect.signature(PDM.update_unstack_category).parameters["key_columns"].default
    assert default == [] and type(default) is list
    seen = []
    monkeypatch.setattr(PDM, "update_unstack_df",
                        staticmethod(lambda original_df, new_data, key_columns:
                                     seen.append(key_columns) or new_data))
    df = pd.DataFrame({"k": [1]})
    for v in (1, 2, 3):  # first call creates the file, the next two merge
        store.update_unstack_category("basic", df.assign(k=v))
    assert len(seen) == 2 and seen[0] is seen[1] is default


def test_bound_methods_and_argument_errors(store):
    assert store.GSOI(0, pivot([[1]], ["a"], ["2024-01-01"])).tolist() == ["a"]
    assert isinstance(store._get_category_path, types.MethodType)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'category'"):
        store._get_category_path()
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        store.read_unstack_category("c", x=1)
    with pytest.raises(TypeError, match="multiple values for argument 'category'"):
        store.read_pivot_category("c", category="c")
    with pytest.raises(TypeError, match="takes from 2 to 3 positional arguments but 4 were given"):
        PDM(1, 2, 3)


def test_help_renders_the_class():
    text = pydoc.render_doc(PDM, renderer=pydoc.plaintext)
    assert "update_pivot_category(self, df, category, strf='%Y-%m-%d')" in text
    assert "多线程更新pivot类型的数据" in text


def test_python_subclass_overrides_are_used(tmp_path):
    calls = []

    class Sub(PDM):
        def _get_category_path(self, category):
            calls.append(category)
            return super()._get_category_path(category)

    m = Sub(str(tmp_path))
    assert m._get_unstack_file_path("u") == os.path.join(str(tmp_path), "u") + "/u.parquet"
    m.update_pivot_category(pivot([[1.0]], ["a"], ["2024-01-02"]), "p")
    assert calls == ["u", "p"] and m._if_exists_pivot_category("p")


def test_replaced_module_globals_are_used_at_call_time(store, monkeypatch):
    bars, reads = [], []

    class Bar(tqdm.tqdm):
        def __init__(self, *a, **k):
            bars.append(k["desc"])
            super().__init__(*a, **k)

    real_read = pd.read_parquet
    fake_pd = types.SimpleNamespace(**{k: getattr(pd, k) for k in dir(pd) if not k.startswith("__")})
    fake_pd.read_parquet = lambda src: reads.append(src) or real_read(src)
    monkeypatch.setattr(fs, "tqdm", Bar)
    monkeypatch.setattr(fs, "pd", fake_pd)
    store.update_pivot_category(pivot([[1.0]], ["a"], ["2024-01-02"]), "c")
    assert store.read_pivot_category("c").shape == (1, 1)
    assert bars == ["Updating c", "Reading c From 2024-01-01 To 2024-01-31: "]
    assert len(reads) == 1  # the one month file, read through the replaced pd
    monkeypatch.setattr(fs, "ParquetDataManager", None)  # static helpers go through the global
    with pytest.raises((TypeError, AttributeError)):
        store.read_pivot_category("c")
