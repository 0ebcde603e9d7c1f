"""Fetching remote values: missing keys, refused globals, and pickles of every pandas kind
written by pandas 1.5, 2.2 and 3.x, all read through the client's restricted unpickler."""

import datetime
import decimal
import glob
import os
import pickle
import re
import sys

import numpy as np
import pandas as pd
import pytest

from marvane._localserver import LocalRedis
from redis_fixtures import ACCOUNT, PASSWORD, TOKEN, dumps, local_client

HERE = os.path.dirname(__file__)
sys.path.insert(0, os.path.join(HERE, "tools"))
import make_pickles  # noqa: E402
import pickle_globals  # noqa: E402

DATA = os.path.join(HERE, "data")
PICKLES = sorted(glob.glob(os.path.join(DATA, "*", "*.pkl")))


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


def legacy_expected(name):
    """What the pandas 1.5.3 pickles hold, built with the installed pandas."""
    ids = pd.Index([f"{i:06d}.XSHE" for i in range(4)], name="order_book_id")
    days = pd.to_datetime(["2024-03-01", "2024-03-04", "2024-03-05"])
    return {
        "pivot_float": lambda: pd.DataFrame([[1.5, np.nan, 2.25], [3.0, 4.0, np.nan], [np.nan] * 3,
                                             [5.0, 6.0, 7.0]], index=ids, columns=days),
        "pivot_text_labels": lambda: pd.DataFrame([[1.0, 2.0], [3.0, np.nan]], index=["A", "B"],
                                                  columns=["2024-03-01", "2024-03-04"]),
        "unstack_mixed": lambda: pd.DataFrame({
            "order_book_id": ["000001.XSHE", "000002.XSHE", "600000.XSHG"],
            "start_date": pd.to_datetime(["2020-01-01", "2021-06-01", "2019-03-15"]),
            "end_date": pd.to_datetime(["2099-12-31", "2023-01-01", "2099-12-31"]),
            "symbol": ["PingAn", "Vanke", "SPDB"], "listed": [True, False, True],
            "lot": np.array([100, 100, 200], dtype="int64"), "ratio": [0.5, np.nan, 1.25]}),
        "dtypes_extra": lambda: pd.DataFrame({
            "ts_tz": pd.date_range("2024-01-01", periods=3, freq="D", tz="Asia/Shanghai"),
            "ts_utc": pd.date_range("2024-01-01", periods=3, freq="h", tz="UTC"),
            "td": pd.to_timedelta([1, 2, 3], unit="s"),
            "cat": pd.Categorical(["a", "b", "a"]),
            "period": pd.period_range("2024-01", periods=3, freq="M"),
            "nullable_int": pd.array([1, None, 3], dtype="Int64"),
            "nullable_bool": pd.array([True, None, False], dtype="boolean"),
            "string": pd.array(["x", None, "z"], dtype="string"),
            "obj_ts": [pd.Timestamp("2024-01-01"), pd.NaT, pd.Timestamp("2024-01-03")],
            "u8": np.array([1, 2, 3], dtype="uint8"),
            "f32": np.array([1.5, 2.5, np.nan], dtype="float32")}),
        "multiindex": lambda: pd.DataFrame({"v": [1.0, 2.0, 3.0, 4.0]}, index=pd.MultiIndex.from_product(
            [["A", "B"], pd.to_datetime(["2024-01-01", "2024-01-02"])], names=["id", "date"])),
        "range_index": lambda: pd.DataFrame({"x": [1, 2, 3]}),
        "datetime_index": lambda: pd.DataFrame({"x": [1.0, 2.0, 3.0]},
                                               index=pd.date_range("2024-01-01", periods=3, freq="B")),
        "empty": lambda: pd.DataFrame(),
        "series": lambda: pd.Series([1.0, np.nan, 3.0], index=["a", "b", "c"], name="close"),
        "dict": lambda: {"a": 1, "b": [1, 2.5, "x"], "c": (None, True)},
        "list": lambda: [1, 2.0, "three", None, datetime.date(2024, 1, 1), decimal.Decimal("1.10")],
    }[name]()


@pytest.mark.parametrize("path", PICKLES, ids=lambda p: os.path.relpath(p, DATA))
def test_every_stored_pickle_loads_with_its_values(pickle_client, path):
    got = pickle_client.load_df_from_tsdb(key_of(path))
    name = os.path.basename(path).split(".")[0]
    if "legacy-pickles" in path:
        same(got, legacy_expected(name))
    else:
        same(got, make_pickles.frames()[name])


def test_time_zones_keep_their_instants(pickle_client):
    got = pickle_client.load_df_from_tsdb(key_of(os.path.join(DATA, "legacy-pickles", "dtypes_extra.p4.pkl")))
    assert str(got["ts_tz"].dt.tz) == "Asia/Shanghai" and str(got["ts_utc"].dt.tz) == "UTC"
    assert got["ts_tz"].iloc[0] == pd.Timestamp("2023-12-31 16:00", tz="UTC")


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


def test_allow_list_is_exactly_what_the_stored_pickles_use():
    """The table in fetch.cpp names every global of the pickles in tests/data, and no other."""
    with open(os.path.join(HERE, "..", "src", "cpp", "tsclient", "fetch.cpp"), encoding="utf-8") as f:
        source = f.read()
    table = source[source.index("kAllowedGlobals[] = {"):]
    table = table[:table.index("};")]
    allowed = set(re.findall(r'\{"([^"]+)", "([^"]+)"\}', table))
    used = set()
    for path in PICKLES:
        with open(path, "rb") as f:
            used.update(pickle_globals.globals_of(f.read()))
    assert allowed == used


class TestMissingKey:
    def test_is_type_and_key_error_naming_the_key(self, login, capsys):
        client = login({"ts1-a": dumps(1)})
        with pytest.raises(KeyError) as e:
            client.load_df_from_tsdb("ts1-nothing")
        assert isinstance(e.value, TypeError)
        assert "'ts1-nothing'" in str(e.value)
        assert capsys.readouterr().out == ""

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
        (Payload(getattr, (pd.DataFrame, "to_csv")), "getattr(<class 'pandas.DataFrame'>, 'to_csv')"),
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
