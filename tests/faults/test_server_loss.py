"""The data service going away: a server stopped in the middle of a multi-month sync, and a
client whose server comes back. The sync raises the Redis client's error, nothing partial
reaches the store, and a sync after the restart completes."""

import os

import numpy as np
import pandas as pd
import pytest
import redis

import faultkit
import marvane.TSClient as ts
from marvane._localserver import LocalRedis
from redis_fixtures import ACCOUNT, PASSWORD, TOKEN, dumps, local_client

MONTHS = ["2024-01-01", "2024-02-01", "2024-03-01"]
IDS = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]


def month(first_day):
    cols = pd.bdate_range(first_day, periods=4)
    values = np.add.outer(np.arange(len(IDS)) * 100.0, cols.day.to_numpy(dtype=float))
    return pd.DataFrame(values, index=pd.Index(IDS), columns=cols)


def info():
    return pd.DataFrame({"order_book_id": IDS, "start_date": pd.to_datetime(["2020-01-02"] * 3),
                         "end_date": pd.to_datetime(["2099-12-31"] * 3), "lot": [100, 100, 200]})


SEED = {f"ts1-close-{pd.Timestamp(m):%Y%m}": dumps(month(m)) for m in MONTHS}
SEED["ts1-info"] = dumps(info())


@pytest.fixture
def remote():
    server = LocalRedis(password=PASSWORD).start()
    server.seed(SEED)
    yield server
    server.stop()


def restarted(server, seed=SEED):
    """A new server on the stopped one's address (nothing persisted: it starts empty)."""
    again = LocalRedis(password=PASSWORD, host=server.host).start()
    again.seed(seed)
    return again


def expected_pivot():
    out = pd.concat([month(m) for m in MONTHS], axis=1)
    out.columns = out.columns.strftime("%Y-%m-%d")
    return out


def check_complete(client):
    got = client.GetPivotCategory("close", "2024-01-01", "2024-03-31")
    pd.testing.assert_frame_equal(got, expected_pivot(), check_index_type=False, check_column_type=False)


@pytest.mark.parametrize("after", [0, 1, 2], ids=["before-first-fetch", "after-one", "after-two"])
def test_server_stopped_during_pivot_sync(remote, tmp_path, monkeypatch, capsys, after):
    root = str(tmp_path / "store")
    client = local_client(remote.host)(ACCOUNT, TOKEN, root)
    client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31")  # January is stored already
    before = faultkit.snapshot(root)

    real_tqdm = ts.tqdm

    def stop_midway(iterable, *args, **kwargs):
        for i, key in enumerate(real_tqdm(iterable, *args, **kwargs)):
            if i == after:
                remote.stop()
            yield key

    monkeypatch.setattr(ts, "tqdm", stop_midway)
    with pytest.raises(redis.exceptions.ConnectionError):
        client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
    monkeypatch.undo()
    assert faultkit.snapshot(root) == before, "a sync that failed wrote something"

    # The server comes back on its address; the same client syncs the whole range.
    again = restarted(remote)
    try:
        client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
        check_complete(client)
    finally:
        again.stop()
    capsys.readouterr()


def test_server_stopped_before_unstack_sync(remote, tmp_path, capsys):
    root = str(tmp_path / "store")
    client = local_client(remote.host)(ACCOUNT, TOKEN, root)
    client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
    before = faultkit.snapshot(root)
    remote.stop()
    with pytest.raises(redis.exceptions.ConnectionError):
        client.UpdateUnstackParquet("info")
    assert faultkit.snapshot(root) == before
    again = restarted(remote)
    try:
        client.UpdateUnstackParquet("info")
        got = client.GetUnstackCategory("info")
        pd.testing.assert_frame_equal(got, info(), check_dtype=False)
    finally:
        again.stop()
    capsys.readouterr()


def test_server_restarts_empty(remote, tmp_path, capsys):
    """Nothing persisted: the restarted server lacks the keys the client listed at login.
    The sync raises the missing-key error and writes nothing; once the data are back it
    completes."""
    root = str(tmp_path / "store")
    client = local_client(remote.host)(ACCOUNT, TOKEN, root)
    before = faultkit.snapshot(root)
    remote.stop()
    again = restarted(remote, seed={})
    try:
        with pytest.raises(KeyError, match="ts1-close-202401") as excinfo:
            client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
        assert isinstance(excinfo.value, TypeError)
        assert faultkit.snapshot(root) == before
        again.seed(SEED)
        client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
        check_complete(client)
    finally:
        again.stop()
    assert sorted(os.listdir(os.path.join(root, "close"))) == [
        f"close_{pd.Timestamp(m):%Y-%m}.parquet" for m in MONTHS]
    capsys.readouterr()
