"""The Python-visible shape of marvane.TSClient: globals, class, signatures, the decorator."""

import inspect
import pickle
import subprocess
import sys
import time

import pandas as pd
import pytest
import redis
import tqdm

import marvane.FrameStore
import marvane.TSClient as ts

C = ts.TesselClient

OPERATIONS = [
    ("__init__", "(self, account, api_token, save_path)", False),
    ("get_auth_ping", "(host, account, api_token)", True),
    ("measure_latency", "(r)", True),
    ("get_host_info", "(self)", False),
    ("auth", "(self, account, api_token)", False),
    ("load_df_from_tsdb", "(self, key)", False),
    ("UpdateUnstackParquet", "(self, category)", False),
    ("UpdatePivotParquet", "(self, category, start_date: 'str', end_date: 'str', strf='%Y-%m-%d')", False),
    ("GetUnstackCategory", "(self, category)", False),
    ("GetPivotCategory", "(self, category, start_date, end_date)", False),
]


def test_module_globals_in_order_and_nothing_else():
    names = [k for k in vars(ts) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["os", "pickle", "time", "pd", "redis", "tqdm", "ParquetDataManager",
                     "timing_decorator", "TesselClient"]
    assert (ts.pickle, ts.time, ts.pd, ts.redis, ts.tqdm) == (pickle, time, pd, redis, tqdm.tqdm)
    assert ts.ParquetDataManager is marvane.FrameStore.ParquetDataManager


@pytest.mark.parametrize("module, missing", [
    ("marvane.TSClient", "redis"), ("marvane.TSClient", "marvane.FrameStore"),
    ("marvane.TSClient", "pandas"), ("marvane.FrameStore", "pandas")])
def test_a_failed_import_propagates_unchanged(module, missing):
    # The import's own error, not an ImportError of the module's with it as the cause.
    code = (f"import sys; sys.modules[{missing!r}] = None\n"
            f"try:\n    import {module}\n"
            f"except BaseException as e:\n    print(type(e).__name__, e.__cause__, e, sep='|')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == f"ModuleNotFoundError|None|import of {missing} halted; None in sys.modules\n"


def test_class_is_plain():
    assert type(C) is type and C.__bases__ == (object,)
    assert (C.__module__, C.__qualname__, C.__name__) == ("marvane.TSClient", "TesselClient", "TesselClient")
    own = [k for k in vars(C) if not (k.startswith("__") and k.endswith("__")) or k == "__init__"]
    assert own == [name for name, _, _ in OPERATIONS]


@pytest.mark.parametrize("name, signature, static", OPERATIONS)
def test_operation_signature_and_kind(name, signature, static):
    raw = vars(C)[name]
    assert isinstance(raw, staticmethod) == static
    fn = getattr(C, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__qualname__ == f"TesselClient.{name}" and fn.__module__ == "marvane.TSClient"
    # the text "str", as a module with postponed annotations holds it, not the type
    expected = {"start_date": "str", "end_date": "str"} if name == "UpdatePivotParquet" else {}
    assert fn.__annotations__ == expected
    assert fn.__doc__ is None


def test_static_methods_bind_no_self():
    bare = C.__new__(C)

    class Answering:
        def ping(self):
            return True

    assert isinstance(bare.measure_latency(Answering()), float)
    assert bare.get_auth_ping is C.get_auth_ping


def test_default_host_table():
    tables = [C.get_host_info(C.__new__(C)) for _ in range(2)]
    assert tables[0] == tables[1] and tables[0] is not tables[1]
    [(label, host)] = tables[0].items()
    assert label == "上海-1" and host.endswith(".invalid")


@pytest.mark.parametrize("start, end, bad, got", [
    (pd.Timestamp("2024-01-01"), "2024-01-31", "start_date", "Timestamp"),
    (None, "2024-01-31", "start_date", "NoneType"),
    ("2024-01-01", 20240131, "end_date", "int"),
    ("2024-01-01", type("Text", (str,), {})("2024-01-31"), "end_date", "Text"),
    # a type name is cut at 200 characters, not bytes
    ("2024-01-01", type("\u00e9" * 300, (), {})(), "end_date", "\u00e9" * 200),
])
def test_pivot_sync_requires_exact_str_dates(start, end, bad, got):
    # Checked before anything else: a client without connection or store gets as far.
    with pytest.raises(TypeError) as e:
        C.__new__(C).UpdatePivotParquet("close", start, end)
    assert str(e.value) == f"Argument '{bad}' has incorrect type (expected str, got {got})"


class TestTimingDecorator:
    def test_wrapper_identity(self):
        def f():
            pass

        w1, w2 = ts.timing_decorator(f), ts.timing_decorator(func=f)
        assert w1 is not w2
        assert (w1.__name__, w1.__qualname__, w1.__module__) == (
            "wrapper", "timing_decorator.<locals>.wrapper", "marvane.TSClient")
        assert str(inspect.signature(w1)) == "(*args, **kwargs)"

    def test_passes_arguments_and_result_and_prints_line(self, capsys, monkeypatch):
        ticks = iter([100.0, 112.3456])
        monkeypatch.setattr(ts, "time", type("Clock", (), {"time": staticmethod(lambda: next(ticks))}))
        seen = []

        def f(*args, **kwargs):
            seen.append((args, kwargs))
            return {"result": 1}

        assert ts.timing_decorator(f)(1, "b", c=3, d=None) == {"result": 1}
        assert seen == [((1, "b"), {"c": 3, "d": None})]
        assert capsys.readouterr().out == "f Running: 12.346 Seconds\n"

    @pytest.mark.parametrize("start, end, shown", [(5.0, 5.0002, "0.000"), (10.0, 9.5, "-0.500")])
    def test_duration_is_printed_as_computed(self, capsys, monkeypatch, start, end, shown):
        ticks = iter([start, end])
        monkeypatch.setattr(ts, "time", type("Clock", (), {"time": staticmethod(lambda: next(ticks))}))
        assert ts.timing_decorator(lambda: None)() is None
        assert capsys.readouterr().out == f"<lambda> Running: {shown} Seconds\n"

    def test_exception_propagates_without_line(self, capsys):
        def boom():
            raise LookupError("x")

        with pytest.raises(LookupError):
            ts.timing_decorator(boom)()
        assert capsys.readouterr().out == ""

    def test_binds_self_when_decorating_a_method(self, capsys):
        class Account:
            def __init__(self):
                self.total = 0

            @ts.timing_decorator
            def add(self, amount):
                self.total += amount
                return self.total

        a = Account()
        assert a.add(5) == 5 and a.add(amount=2) == 7
        assert capsys.readouterr().out.splitlines()[0].startswith("add Running: ")
