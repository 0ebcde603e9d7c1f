"""Hostile and broken values from the data service, and logins that fail: each gives a clear
error, runs nothing of the payload, and leaves the store as it was."""

import json
import os
import pickle
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import redis

import faultkit
from redis_fixtures import ACCOUNT, TOKEN, dumps, local_client

IDS = ["000001.XSHE", "600000.XSHG"]


def january():
    cols = pd.bdate_range("2024-01-02", periods=3)
    return pd.DataFrame([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], index=IDS, columns=cols)


def info():
    return pd.DataFrame({"order_book_id": IDS, "start_date": pd.to_datetime(["2020-01-02"] * 2),
                         "end_date": pd.to_datetime(["2099-12-31"] * 2)})


@pytest.fixture
def stocked(login, tmp_path):
    """A client whose store already holds a pivot month and an unstack table; `put` seeds a
    hostile value under a pivot month key and an unstack key and logs in again."""
    root = str(tmp_path / "store")

    def put(value: bytes, extra=None):
        seed = {"ts1-close-202401": dumps(january()), "ts1-info": dumps(info()),
                "ts1-evil-202401": value, "ts1-evilinfo": value, **(extra or {})}
        client = login(seed, save_path=root)
        client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31")
        client.UpdateUnstackParquet("info")
        # stored data of the hostile categories too, so that a bad value must not replace them
        client.TS_db.update_pivot_category(january(), "evil")
        client.TS_db.update_unstack_category("evilinfo", info(), ["order_book_id", "start_date", "end_date"])
        return client

    return root, put


def sync_both(client):
    """Both syncs of the hostile categories; the exceptions they raised."""
    errors = []
    for call in (lambda: client.UpdatePivotParquet("evil", "2024-01-01", "2024-01-31"),
                 lambda: client.UpdateUnstackParquet("evilinfo")):
        with pytest.raises(Exception) as excinfo:
            call()
        errors.append(excinfo.value)
    return errors


class Payload:
    def __init__(self, *reduce):
        self.reduce = reduce

    def __reduce__(self):
        return self.reduce


def code_payloads(marker):
    import importlib
    import subprocess as sp
    touch = f"open({str(marker)!r}, 'w').close()"
    return {
        "os.system": Payload(os.system, (f"touch {marker}",)),
        "subprocess.Popen": Payload(sp.Popen, (["touch", str(marker)],)),
        "exec": Payload(exec, (touch,)),
        "eval inside a frame": pd.DataFrame({"c": pd.Series([1, Payload(eval, (touch,))], dtype=object)}),
        "import_module": Payload(importlib.import_module, ("this",)),
        "getattr to a file writer": Payload(getattr, (pd.DataFrame, "to_pickle")),
    }


@pytest.mark.parametrize("protocol", [0, 2, 4, 5])
@pytest.mark.parametrize("name", list(code_payloads("m")))
def test_code_execution_is_refused(stocked, tmp_path, capsys, name, protocol):
    root, put = stocked
    marker = tmp_path / "marker"
    client = put(pickle.dumps(code_payloads(marker)[name], protocol=protocol))
    before = faultkit.snapshot(root)
    for error in sync_both(client):
        assert isinstance(error, pickle.UnpicklingError), error
        assert "refused" in str(error)
    assert not marker.exists()
    assert faultkit.snapshot(root) == before
    capsys.readouterr()


def _frame_pickle():
    return pickle.dumps(january(), protocol=5)


TRUNCATED = {f"{n}/8": (lambda n=n: _frame_pickle()[: len(_frame_pickle()) * n // 8]) for n in (0, 1, 3, 5, 7)}
TRUNCATED["all but the STOP"] = lambda: _frame_pickle()[:-1]
TRUNCATED["garbage"] = lambda: b"\x80\x05not a pickle at all"


@pytest.mark.parametrize("name", TRUNCATED)
def test_truncated_and_garbage_values(stocked, capsys, name):
    root, put = stocked
    client = put(TRUNCATED[name]())
    before = faultkit.snapshot(root)
    for error in sync_both(client):
        assert isinstance(error, pickle.UnpicklingError), repr(error)
    assert faultkit.snapshot(root) == before
    capsys.readouterr()


BIG = 2**62
ALLOCATIONS = {
    # opcodes that announce a length and would make the reader allocate it
    "BINBYTES8": b"\x80\x04\x8e" + struct.pack("<Q", BIG) + b"x.",
    "BINUNICODE8": b"\x80\x04\x8d" + struct.pack("<Q", BIG) + b"x.",
    "BYTEARRAY8": b"\x80\x05\x96" + struct.pack("<Q", BIG) + b"x.",
    "LONG4": b"\x80\x02\x8b" + struct.pack("<i", 2**31 - 1) + b"x.",
    "BINSTRING": b"\x80\x02T" + struct.pack("<i", 2**31 - 1) + b"x.",
    # allowed callables asked for absurd sizes
    "bytearray(2**62)": pickle.dumps(Payload(bytearray, (BIG,)), protocol=2),
    "DataFrame(range(2**62))": pickle.dumps(Payload(pd.DataFrame, (range(BIG),)), protocol=4),
    "ndarray of 2**40 float": pickle.dumps(Payload(np.ndarray, ((2**40,), np.dtype("f8"))), protocol=4),
}


@pytest.mark.parametrize("name", ALLOCATIONS)
def test_huge_allocations_fail_cleanly(stocked, capsys, name):
    root, put = stocked
    client = put(ALLOCATIONS[name])
    before = faultkit.snapshot(root)
    for error in sync_both(client):
        assert isinstance(error, (pickle.UnpicklingError, MemoryError)), repr(error)
    assert faultkit.snapshot(root) == before
    capsys.readouterr()


NOT_FRAMES = {"list": [1, 2], "dict": {"2024-01-02": [1.0]}, "int": 7, "None": None, "text": "2024-01-02",
              "series": pd.Series([1.0, 2.0], index=IDS), "named series": pd.Series([1.0], index=IDS[:1], name="2024-01-05"),
              "array": np.ones((2, 3))}


@pytest.mark.parametrize("name", NOT_FRAMES)
def test_values_that_are_not_dataframes(stocked, capsys, name):
    root, put = stocked
    client = put(dumps(NOT_FRAMES[name]))
    before = faultkit.snapshot(root)
    for error in sync_both(client):
        assert isinstance(error, TypeError) and "DataFrame" in str(error), repr(error)
    assert faultkit.snapshot(root) == before
    capsys.readouterr()


DEEP_SCRIPT = r"""
import json, pickle, struct, sys
import pandas as pd
from redis_fixtures import ACCOUNT, TOKEN, local_client

PLACEHOLDER = "DEEP-CELL-PLACEHOLDER"

def deep_pickle(frame, depth):
    # pickle with a placeholder text cell, then put a list nested `depth` deep in its place
    data = pickle.dumps(frame, protocol=2)
    text = PLACEHOLDER.encode()
    op = b"X" + struct.pack("<I", len(text)) + text
    assert data.count(op) == 1
    return data.replace(op, b"]" * depth + b"a" * (depth - 1))

host, root = sys.argv[1], sys.argv[2]
depth = 200000
cell = pd.Series([PLACEHOLDER], dtype=object)
unstack = pd.DataFrame({"order_book_id": ["a"], "start_date": pd.to_datetime(["2020-01-02"]),
                        "end_date": pd.to_datetime(["2099-12-31"]), "note": cell})
pivot = pd.DataFrame({"2024-01-02": pd.Series([PLACEHOLDER], index=["a"], dtype=object)})
import redis
r = redis.Redis(host=host, port=6379, password=ACCOUNT + ":" + TOKEN)
r.mset({"ts1-deep-202401": deep_pickle(pivot, depth), "ts1-deepinfo": deep_pickle(unstack, depth)})
client = local_client(host)(ACCOUNT, TOKEN, root)
out = []
for call in (lambda: client.UpdatePivotParquet("deep", "2024-01-01", "2024-01-31"),
             lambda: client.UpdateUnstackParquet("deepinfo")):
    try:
        call()
        out.append(None)
    except Exception as e:
        out.append([type(e).__name__, str(e)])
print(json.dumps(out))
"""


def test_deeply_nested_cells(server, tmp_path):
    """Cells nested 200000 deep would crash the process in the Parquet writer; run in a child
    so that a crash fails this test instead of the whole run."""
    root = str(tmp_path / "store")
    r = subprocess.run([sys.executable, "-c", DEEP_SCRIPT, server.host, root],
                       capture_output=True, text=True, timeout=300, env=faultkit.child_env())
    assert r.returncode == 0, f"the client process died ({r.returncode}): {r.stderr[-2000:]}"
    results = json.loads(r.stdout.strip().splitlines()[-1])
    for result in results:
        # refused by the reader's depth limit (UnpicklingError) before the writer's check
        assert result is not None and result[0] in ("ValueError", "UnpicklingError") and "nested" in result[1], result
    for category in ("deep", "deepinfo"):
        directory = os.path.join(root, category)
        assert not os.path.exists(directory) or os.listdir(directory) == []


@pytest.mark.parametrize("category", ["../outside", "..", "/tmp", "a/../../outside"])
def test_category_names_from_keys_cannot_leave_the_store(stocked, tmp_path, capsys, category):
    root, put = stocked
    extra = {f"ts1-{category}-202401": dumps(january()), f"ts1-{category}": dumps(info())}
    client = put(dumps(january()), extra)
    assert category in client.r_category
    before = faultkit.snapshot(tmp_path)
    for call in (lambda: client.UpdatePivotParquet(category, "2024-01-01", "2024-01-31"),
                 lambda: client.UpdateUnstackParquet(category)):
        with pytest.raises(ValueError, match="category"):
            call()
    assert faultkit.snapshot(tmp_path) == before
    capsys.readouterr()


def test_foreign_key_names_do_not_disturb_a_sync(server, tmp_path, capsys):
    server.client().mset({b"ts1-\xff\xfe-202401": b"x", b"nofield": b"x", b"ts1-close-202401": dumps(january())})
    client = local_client(server.host)(ACCOUNT, TOKEN, str(tmp_path / "store"))
    client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31")
    got = client.GetPivotCategory("close", "2024-01-01", "2024-01-31")
    assert got.shape == (2, 3)
    assert sorted(os.listdir(client.save_path)) == ["close"]
    capsys.readouterr()


class QuickRedis:
    """The redis module with a client that does not retry: the library's retries of a refused
    password or a refused connection only add seconds to each failed login."""

    def __init__(self):
        from redis.backoff import NoBackoff
        from redis.retry import Retry
        self.Redis = lambda **kwargs: redis.Redis(retry=Retry(NoBackoff(), 0), **kwargs)

    def __getattr__(self, name):
        return getattr(redis, name)


@pytest.mark.parametrize("how", ["wrong token", "wrong account", "empty token", "unreachable host"])
def test_failed_login_touches_nothing(server, silent_host, tmp_path, monkeypatch, capsys, how):
    import marvane.TSClient as ts
    root = str(tmp_path / "store")
    good = local_client(server.host)(ACCOUNT, TOKEN, root)
    good.TS_db.update_unstack_category("info", info(), ["order_book_id"])
    before = faultkit.snapshot(tmp_path)
    host, account, token = server.host, ACCOUNT, TOKEN
    if how == "wrong token":
        token = TOKEN + "x"
    elif how == "wrong account":
        account = "someone"
    elif how == "empty token":
        token = ""
    else:
        host = silent_host
    expected = redis.exceptions.ConnectionError if how == "unreachable host" else redis.exceptions.AuthenticationError
    monkeypatch.setattr(ts, "redis", QuickRedis())
    for save_path in (root, str(tmp_path / "never")):
        with pytest.raises(expected):
            local_client(host)(account, token, save_path)
    assert faultkit.snapshot(tmp_path) == before
    capsys.readouterr()
