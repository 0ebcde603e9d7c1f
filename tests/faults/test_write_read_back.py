"""A written file replaces the stored one only when it reads back: a writer that loses rows
(or writes a footer no engine's reader takes) fails the write with the stored file kept."""

import os

import pandas as pd
import pytest

import faultkit

BASE = 30


def seed(root):
    return faultkit.seed_store(root, BASE, max_workers=1)


def make_lossy(monkeypatch):
    """Every Parquet write, through either engine's entry, drops the table's last row."""
    to_parquet = pd.DataFrame.to_parquet
    monkeypatch.setattr(pd.DataFrame, "to_parquet", lambda self, path, **kw: to_parquet(self.iloc[:-1], path, **kw))
    try:
        import pyarrow.parquet as pq
    except ImportError:
        return
    write_table = pq.write_table
    monkeypatch.setattr(pq, "write_table", lambda table, where, **kw: write_table(table.slice(0, table.num_rows - 1),
                                                                                   where, **kw))


@pytest.mark.parametrize("write", [
    lambda store: store.update_pivot_category(faultkit.pivot_rows(0, BASE + 5), "px"),
    lambda store: store.update_unstack_category("ux", faultkit.unstack_rows(0, BASE + 5), ["key"]),
    lambda store: store.update_unstack_category("new", faultkit.unstack_rows(0, 5), ["key"]),
], ids=["pivot month", "unstack file", "new file"])
def test_a_file_that_would_not_read_back_is_not_stored(tmp_path, monkeypatch, write):
    store = seed(str(tmp_path / "store"))
    before = faultkit.snapshot(store.root_dir)
    make_lossy(monkeypatch)
    with pytest.raises(ValueError, match="would not read back .*rows"):
        write(store)
    after = faultkit.snapshot(store.root_dir)
    assert {k: v for k, v in after.items() if v is not None} == {k: v for k, v in before.items() if v is not None}
    for category in ("px", "ux", "new"):
        assert faultkit.temporaries(store._get_category_path(category)) == []


def test_sync_through_a_lossy_writer_keeps_the_stored_file(server, login, tmp_path, capsys, monkeypatch):
    from redis_fixtures import dumps
    frame = pd.DataFrame({"order_book_id": ["a", "b", "c"], "start_date": pd.to_datetime(["2020-01-01"] * 3),
                          "end_date": pd.to_datetime(["2099-12-31"] * 3), "v": [1.0, 2.0, 3.0]})
    root = str(tmp_path / "store")
    client = login({"ts1-info": dumps(frame)}, save_path=root)
    client.UpdateUnstackParquet("info")
    before = faultkit.snapshot(root)
    server.seed({"ts1-info": dumps(pd.concat([frame, frame.assign(order_book_id=["d", "e", "f"])], ignore_index=True))})
    make_lossy(monkeypatch)
    with pytest.raises(ValueError, match="would not read back"):
        client.UpdateUnstackParquet("info")
    assert faultkit.snapshot(root) == before
    capsys.readouterr()
