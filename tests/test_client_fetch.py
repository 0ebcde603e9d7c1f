"""Fetching remote values: missing keys, refused globals, and pickles of every pandas kind
written by pandas 1.5, 2.2 and 3.x, all read through the client's restricted unpickler."""

import glob
import importlib.util
import os
import pickle
import re
import struct
import sys
import warnings

import pandas as pd
import pytest

import corpus_outcomes
import hostile_pickles
import make_pickles
import pickle_globals
from marvane._localserver import LocalRedis
from redis_fixtures import ACCOUNT, PASSWORD, TOKEN, dumps, local_client

HERE = os.path.dirname(__file__)

DATA = os.path.join(HERE, "data")
PICKLES = sorted(glob.glob(os.path.join(DATA, "*", "*.pkl")))
PANDAS_MAJOR = int(pd.__version__.split(".")[0])


def key_of(path):
    return "ts1-pickle-" + os.path.relpath(path, DATA)


@pytest.fixture(scope="module")
def pickle_client(tmp_path_factory):
    """One client of one server holding every pickle of tests/data."""
    with LocalRedis(password=PASSWORD) as server:
        values = {}
        for path in PICKLES:
            with open(path, "rb") as f:
                values[key_of(path)] = f.read()
        server.seed(values)
        yield local_client(server.host)(ACCOUNT, TOKEN, str(tmp_path_factory.mktemp("store")))


def same(got, expected):
    """Equal values; dtypes may differ between the writing and the reading pandas (units of
    datetimes, object or str text)."""
    assert type(got) is type(expected)
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got.astype(object), expected.astype(object), check_dtype=False,
                                      check_index_type=False, check_column_type=False,
                                      check_freq=False, check_categorical=False, check_exact=True)
    elif isinstance(expected, pd.Series):
        pd.testing.assert_series_equal(got.astype(object), expected.astype(object), check_index_type=False)
    else:
        assert got == expected


def plain_load(path):
    """The trusted reading of a stored pickle: pickle.loads, deprecation warnings aside."""
    with open(path, "rb") as f, warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return pickle.loads(f.read())


@pytest.mark.parametrize("path", PICKLES, ids=lambda p: os.path.relpath(p, DATA))
def test_every_stored_pickle_loads_with_its_values(pickle_client, path):
    name = os.path.basename(path).split(".")[0]
    with open(path, "rb") as f:
        needs_pyarrow = b"pyarrow" in f.read()
    if needs_pyarrow and importlib.util.find_spec("pyarrow") is None and not (
            "pickles-pandas3" in path and PANDAS_MAJOR < 3):
        # Arrow-backed columns are rebuilt by pyarrow (none on 32-bit Arm): the client says
        # which module is missing, as pickle.loads does
        with pytest.raises(ImportError, match="pyarrow"):
            pickle_client.load_df_from_tsdb(key_of(path))
        with pytest.raises(ImportError, match="pyarrow"):
            plain_load(path)
        return
    if "pickles-pandas3" in path and PANDAS_MAJOR < 3:
        # pandas 2 cannot rebuild most of what pandas 3 pickles (its StringDtype, NaT, tz
        # blocks): the client may fail there, but never by refusing: with pandas' own error as
        # the cause of its UnpicklingError, and only where pickle.loads fails too (under numpy 1
        # it even gets further, reading numpy 2's names)
        try:
            got = pickle_client.load_df_from_tsdb(key_of(path))
        except Exception as e:
            cause = e.__cause__ if isinstance(e, pickle.UnpicklingError) else e
            assert cause is not None and not isinstance(cause, pickle.UnpicklingError), e
            with pytest.raises(Exception):
                plain_load(path)
            return
    else:
        got = pickle_client.load_df_from_tsdb(key_of(path))
    if "legacy-pickles" not in path:
        same(got, make_pickles.frames()[name])
    elif name != "dtypes_extra":  # its pytz time zones need pytz, which pandas 3 lacks
        same(got, plain_load(path))


@pytest.mark.parametrize("protocol", [2, 4, 5])
def test_pytz_time_zones_of_pandas_1_5_read_as_zoneinfo(pickle_client, protocol):
    path = os.path.join(DATA, "legacy-pickles", f"dtypes_extra.p{protocol}.pkl")
    got = pickle_client.load_df_from_tsdb(key_of(path))
    assert str(got["ts_tz"].dt.tz) == "Asia/Shanghai" and str(got["ts_utc"].dt.tz) == "UTC"
    assert list(got["ts_tz"]) == list(pd.date_range("2024-01-01", periods=3, tz="Asia/Shanghai"))
    assert list(got["ts_utc"]) == list(pd.date_range("2024-01-01", periods=3, freq="h", tz="UTC"))
    assert list(got["cat"]) == ["a", "b", "a"] and got["nullable_int"].isna().tolist() == [False, True, False]


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_round_trip_of_installed_pandas(login, protocol):
    frames = make_pickles.frames()
    client = login({f"ts1-{name}": dumps(obj, protocol) for name, obj in frames.items()})
    for name, obj in frames.items():
        got = client.load_df_from_tsdb(f"ts1-{name}")
        if isinstance(obj, pd.DataFrame):
            pd.testing.assert_frame_equal(got, obj)
        elif isinstance(obj, pd.Series):
            pd.testing.assert_series_equal(got, obj)
        else:
            assert got == obj


def rule_table():
    """The (module, name) rows of the reader's rule table."""
    with open(os.path.join(HERE, "..", "src", "cpp", "safepickle", "allow_list.cpp"), encoding="utf-8") as f:
        source = f.read()
    table = source[source.index("kRules[] = {"):]
    table = table[:table.index("\n};")]
    return set(re.findall(r'^    \{"([^"]+)", "([^"]+)",', table, re.M))


def test_rule_table_is_exactly_what_the_stored_pickles_use():
    """The table names every global of the pickles in tests/data (the corpus of older
    producers included), and no other (the one attribute reached through getattr aside)."""
    used = set()
    # classes of pandas 1.5 to 2.3 that pandas 3 lacks and pd.read_pickle does not map: values
    # naming them are refused, as pandas 3 refuses them
    gone = {("pandas.core.arrays.arrow.dtype", "ArrowDtype"),
            ("pandas.core.arrays.string_arrow", "ArrowStringArrayNumpySemantics"),
            ("pandas.core.arrays.string_", "StringArrayNumpySemantics")}
    for path in PICKLES + corpus_outcomes.corpus_files():
        with open(path, "rb") as f:
            used.update(pickle_globals.globals_of(f.read()))
    assert rule_table() - {("zoneinfo", "ZoneInfo._unpickle")} == used - gone


class TestMissingKey:
    def test_is_type_and_key_error_naming_the_key(self, login, capsys):
        client = login({"ts1-a": dumps(1)})
        with pytest.raises(KeyError) as e:
            client.load_df_from_tsdb("ts1-nothing")
        assert isinstance(e.value, TypeError)
        assert "'ts1-nothing'" in str(e.value)
        assert capsys.readouterr().out == ""
        # one class for every raise, so that it can be caught by its type
        with pytest.raises(type(e.value)):
            client.load_df_from_tsdb("ts1-other")

    def test_other_values_come_back_as_stored_and_afresh(self, login):
        client = login({"ts1-v": dumps({"x": [1, 2]})})
        first, second = client.load_df_from_tsdb("ts1-v"), client.load_df_from_tsdb(key="ts1-v")
        assert first == second == {"x": [1, 2]} and first is not second


class Payload:
    def __init__(self, *reduce):
        self.reduce = reduce

    def __reduce__(self):
        return self.reduce


def payloads(marker):
    touch = f"open({str(marker)!r}, 'w').close()"
    return [
        (Payload(os.system, (f"touch {marker}",)), f"{os.system.__module__}.system"),
        (Payload(exec, (touch,)), "builtins.exec"),
        (pd.DataFrame({"c": [1, Payload(eval, (touch,))]}), "builtins.eval"),
        # the class's repr names pandas.DataFrame from pandas 3 on, pandas.core.frame.DataFrame before
        (Payload(getattr, (pd.DataFrame, "to_csv")), f"getattr({pd.DataFrame!r}, 'to_csv')"),
    ]


@pytest.mark.parametrize("case", range(4))
@pytest.mark.parametrize("protocol", [2, 5])
def test_malicious_pickles_are_refused_and_nothing_runs(login, tmp_path, case, protocol):
    marker = tmp_path / "marker"
    payload, refused = payloads(marker)[case]
    data = dumps(payload, protocol)
    client = login({"ts1-evil": data})
    with pytest.raises(pickle.UnpicklingError) as e:
        client.load_df_from_tsdb("ts1-evil")
    if protocol == 2:  # protocol 2 writes Python 2's module name for builtins
        refused = refused.replace("builtins.", "__builtin__.")
    assert refused in str(e.value)
    assert not marker.exists()
    if case < 3:  # the payload is live: a plain unpickle would have run it
        pickle.loads(data)
        assert marker.exists()


def read_value(data):
    """The client's reader over bytes, without a server."""
    import types
    from marvane.TSClient import TesselClient
    holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data))
    return TesselClient.load_df_from_tsdb(holder, "k")


# Malformed values that the pickle machine, a rule's library call or the rebuilt containers
# answer with another error: each comes out as pickle.UnpicklingError naming the step and the
# original error, which is kept as its cause.
MALFORMED = {
    "REDUCE of text": (b"\x80\x04\x8c\x01a\x8c\x01b\x85R.", "malformed pickle", TypeError),
    "text that is not UTF-8": (b"\x80\x04\x8c\x02\xff\xfe.", "malformed pickle", UnicodeDecodeError),
    "INT of no number": (b"Ix\n.", "malformed pickle", ValueError),
    "protocol 148": (b"\x80\x94N.", "malformed pickle", ValueError),
    "FRAME of 2**63 bytes": (b"\x80\x04\x95" + struct.pack("<Q", 2**63) + b"N.", "malformed pickle", OverflowError),
    "APPEND to a class": (b"cnumpy\nndarray\nI1\na.", "malformed pickle", AttributeError),
    "slice of four numbers": (pickle.dumps(Payload(slice, (1, 2, 3, 4)), 4), "refused to load 'builtins.slice'", TypeError),
    "unhashable dict key once built": (pickle.dumps({Payload(bytearray, (b"x",)): 1}, 4),
                                       "refused to load a malformed value", TypeError),
}


@pytest.mark.parametrize("name", MALFORMED)
def test_malformed_values_raise_unpickling_error_naming_the_cause(name):
    data, where, cause = MALFORMED[name]
    with pytest.raises(pickle.UnpicklingError) as e:
        read_value(data)
    assert str(e.value).startswith(f"k: {where}: {cause.__name__}: "), str(e.value)  # after the key it came from
    assert type(e.value.__cause__) is cause and str(e.value.__cause__) in str(e.value)


@pytest.mark.parametrize("shared", [False, True], ids=["text held by its buffer alone", "text held twice"])
def test_arrow_text_reads_as_pickle_loads_reads_it(shared):
    """An Arrow buffer is made over the payload's bytes when only its call holds the bytearray,
    and over the pickle's own bytearray when the value holds that bytearray elsewhere too."""
    pa = pytest.importorskip("pyarrow")
    func, (state,) = pa.array(["ab", None, "cé"], pa.large_string()).__reduce__()
    typ, length, nulls, offset, buffers, children, dictionary = state
    offsets, text = (bytearray(b.to_pybytes()) for b in buffers[1:])
    array = Payload(func, ((typ, length, nulls, offset, [buffers[0], Payload(pa.py_buffer, (offsets,)),
                                                          Payload(pa.py_buffer, (text,))], children, dictionary),))
    data = pickle.dumps((array, text) if shared else (array,), 4)
    got, expected = read_value(data), pickle.loads(data)
    assert got[0].equals(expected[0]) and got[0].to_pylist() == ["ab", None, "cé"]
    assert got[1:] == expected[1:]


def test_series_pickled_without_its_name_reads_unnamed():
    series = pd.Series([1.0, 2.0])
    state = series.__getstate__()
    del state["_name"]
    value = read_value(pickle.dumps(Payload(type(series), (), state), 4))
    assert value.name is None and value.to_string() == series.to_string()


def test_stored_pickles_read_exactly_as_pickle_loads_reads_them():
    """Wherever pickle.loads reads a stored pickle, the reader gives the very same value
    (dtypes, index types and frequencies included)."""
    compared = 0
    for path in PICKLES:
        try:
            expected = plain_load(path)
        except Exception:
            continue
        with open(path, "rb") as f:
            got = read_value(f.read())
        if isinstance(expected, pd.DataFrame):
            pd.testing.assert_frame_equal(got, expected, check_exact=True, check_freq=True)
        elif isinstance(expected, pd.Series):
            pd.testing.assert_series_equal(got, expected, check_exact=True)
        else:
            assert type(got) is type(expected) and got == expected, path
        compared += 1
    assert compared >= len(PICKLES) // 2  # pandas 2.2 reads few of pandas 3's


NO_PYARROW = r"""
import sys, types
sys.modules["pyarrow"] = None  # as on a machine without pyarrow
from marvane.TSClient import TesselClient
def read(path):
    data = open(path, "rb").read()
    holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data))
    try:
        value = TesselClient.load_df_from_tsdb(holder, "k")
        return "loaded " + type(value).__name__
    except Exception as e:
        return type(e).__name__
for path in sys.argv[1:]:
    print(read(path))
print("pyarrow" in sys.modules and sys.modules["pyarrow"] is None)
"""


def test_without_pyarrow_only_values_holding_arrow_data_fail():
    numpy_only = os.path.join(DATA, "pickles-pandas22", "numeric.p4.pkl")
    arrow = os.path.join(DATA, "pickles-pandas22", "arrow.p4.pkl")
    legacy = os.path.join(DATA, "legacy-pickles", "multiindex.p4.pkl")
    import subprocess
    r = subprocess.run([sys.executable, "-c", NO_PYARROW, numpy_only, legacy, arrow],
                       capture_output=True, text=True, timeout=120)
    if "No module named 'pyarrow'" in r.stderr or "pyarrow" in r.stderr.splitlines()[-1:]:
        pytest.skip("this pandas cannot be imported without pyarrow")
    assert r.returncode == 0, r.stderr[-2000:]
    numpy_result, legacy_result, arrow_result, still_blocked = r.stdout.split("\n")[:4]
    assert numpy_result == "loaded DataFrame" and legacy_result == "loaded DataFrame"
    assert arrow_result in ("ImportError", "ModuleNotFoundError"), arrow_result
    assert still_blocked == "True"


@pytest.mark.parametrize("name", sorted(hostile_pickles.CLASSES_AS_DATA))
def test_a_class_kept_as_data_is_the_real_class(name):
    value = hostile_pickles.CLASSES_AS_DATA[name]()
    got = read_value(pickle.dumps(value, protocol=5))
    kept = got.name if isinstance(got, pd.Series) else got.attrs["k"][0]
    assert kept is (value.name if isinstance(value, pd.Series) else value.attrs["k"][0])


def _data_holding(value):
    """A frame whose attrs keep ``value``: a global taken as data, not called."""
    frame = pd.DataFrame({"a": [1.0]})
    frame.attrs["k"] = value
    return pickle.dumps(frame, protocol=2)


@pytest.mark.parametrize("case", ["a class this pandas no longer has, as data", "a frequency as text"])
def test_what_the_fuzzer_found_is_refused_or_usable(case):
    if case == "a frequency as text":
        import numpy as np
        from pandas.core.indexes.datetimes import _new_DatetimeIndex

        def index_with(freq):
            days = np.array(["2024-01-01", "2024-01-02"], dtype="M8[ns]")
            return pickle.dumps(Payload(_new_DatetimeIndex, (pd.DatetimeIndex, {
                "data": days, "freq": freq, "tz": None, "name": None})), protocol=4)
        got = read_value(index_with("D"))
        assert got.freq == pd.offsets.Day() and repr(got)  # an offset, as pandas keeps it
        with pytest.raises(pickle.UnpicklingError, match="freq 'name'"):
            read_value(index_with("name"))
    else:
        data, n = re.subn(rb"c[\w.]+\nCategoricalIndex\n", b"cpandas.core.indexes.numeric\nInt64Index\n",
                          _data_holding(pd.CategoricalIndex))  # its module's name differs between pandas versions
        assert n == 1
        with pytest.raises(pickle.UnpicklingError, match="as data, which the installed version"):
            read_value(data)
