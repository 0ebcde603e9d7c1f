"""Synchronising categories from a local redis-server into the store, and reading them back."""

import os
import sys

import numpy as np
import pandas as pd
import pytest

import marvane.TSClient as ts
from redis_fixtures import dumps

IDS = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]


def month(first_day, days=3):
    """One month of a pivot category as the service holds it: dates as column labels. A
    cell's value depends on its row and date only, so a longer month extends a shorter one."""
    cols = pd.bdate_range(first_day, periods=days)
    values = np.add.outer(np.arange(len(IDS)) * 100.0, cols.day.to_numpy(dtype=float))
    values[1, 0] = np.nan
    return pd.DataFrame(values, index=pd.Index(IDS, name="order_book_id"), columns=cols)


def as_stored(table, fmt="%Y-%m-%d"):
    """The table as the store reads it back: text date labels."""
    out = table.copy()
    out.columns = out.columns.strftime(fmt)
    return out


def basic_info(rows):
    return pd.DataFrame({
        "order_book_id": [r[0] for r in rows],
        "start_date": pd.to_datetime([r[1] for r in rows]),
        "end_date": pd.to_datetime(["2099-12-31"] * len(rows)),
        "symbol": [r[2] for r in rows],
    })


def same_values(got, expected):
    pd.testing.assert_frame_equal(got, expected, check_dtype=False, check_index_type=False,
                                  check_column_type=False, check_names=False)


def files(client, category):
    return sorted(os.listdir(os.path.join(client.save_path, category)))


class Spy:
    """Records the keys a client fetches (the override is reached through self)."""

    @staticmethod
    def of(client):
        fetched = []
        original = client.load_df_from_tsdb
        client.load_df_from_tsdb = lambda key: fetched.append(key) or original(key)
        return fetched


def test_end_to_end(login, server, capsys):
    jan, feb, mar = month("2024-01-02"), month("2024-02-01"), month("2024-03-01")
    info = basic_info([("000001.XSHE", "2020-01-01", "平安"), ("000002.XSHE", "2021-06-01", "万科")])
    client = login({"ts1-close-202401": dumps(jan), "ts1-close-202402": dumps(feb),
                    "ts1-close-202403": dumps(mar), "ts1-basic_info": dumps(info)})
    assert client.r_category == ["basic_info", "close"]

    # A range from the 15th includes that month.
    fetched = Spy.of(client)
    assert client.UpdatePivotParquet("close", "2024-01-15", "2024-03-31") is None
    assert fetched == ["ts1-close-202401", "ts1-close-202402", "ts1-close-202403"]
    assert files(client, "close") == ["close_2024-01.parquet", "close_2024-02.parquet", "close_2024-03.parquet"]
    out, err = capsys.readouterr()
    assert [line.split(": ")[1].split(" ")[0] for line in out.splitlines()] == ["Initializing"] * 3
    assert "3/3" in err  # the progress bar over the fetches

    # Unchanged remote months: every month file is found identical and left alone.
    stamps = [os.stat(os.path.join(client.save_path, "close", f)).st_mtime_ns for f in files(client, "close")]
    client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
    assert all("Dataframes are identical" in line for line in capsys.readouterr().out.splitlines())
    assert stamps == [os.stat(os.path.join(client.save_path, "close", f)).st_mtime_ns
                      for f in files(client, "close")]

    # March gained two days on the server: merged into the March file.
    mar2 = month("2024-03-01", days=5)
    server.seed({"ts1-close-202403": dumps(mar2)})
    client.UpdatePivotParquet("close", "2024-03-01", "2024-03-31")
    assert "UpdatingDF" in capsys.readouterr().out
    same_values(client.GetPivotCategory("close", "2024-03-01", "2024-03-31"), as_stored(mar2))
    same_values(client.GetPivotCategory("close", "2024-01-01", "2024-03-31"),
                as_stored(pd.concat([jan, feb, mar2], axis=1)))

    # The unstack category: stored, then merged with a changed record and a new one.
    client.UpdateUnstackParquet("basic_info")
    same_values(client.GetUnstackCategory("basic_info"), info)
    info2 = basic_info([("000001.XSHE", "2020-01-01", "平安银行"), ("600000.XSHG", "2019-03-15", "浦发")])
    server.seed({"ts1-basic_info": dumps(info2)})
    client.UpdateUnstackParquet(category="basic_info")
    got = client.GetUnstackCategory("basic_info").sort_values("order_book_id").reset_index(drop=True)
    expected = basic_info([("000001.XSHE", "2020-01-01", "平安银行"), ("000002.XSHE", "2021-06-01", "万科"),
                           ("600000.XSHG", "2019-03-15", "浦发")])
    same_values(got, expected)


def test_months_without_remote_key_are_skipped(login, monkeypatch):
    jan, mar = month("2024-01-02"), month("2024-03-01")
    client = login({"ts1-close-202401": dumps(jan), "ts1-close-202403": dumps(mar)})
    fetched, bars = Spy.of(client), []
    monkeypatch.setattr(ts, "tqdm", lambda keys: bars.append(list(keys)) or keys)  # looked up per call
    client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31", strf="%Y%m%d")
    assert fetched == ["ts1-close-202401", "ts1-close-202403"] and bars == [fetched]
    assert files(client, "close") == ["close_2024-01.parquet", "close_2024-03.parquet"]
    stored = pd.read_parquet(os.path.join(client.save_path, "close", "close_2024-03.parquet"))
    assert list(stored.columns) == list(mar.columns.strftime("%Y%m%d"))


def test_keys_made_after_login_are_not_seen(login, server):
    client = login({"ts1-close-202401": dumps(month("2024-01-02"))})
    client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31")
    server.seed({"ts1-close-202402": dumps(month("2024-02-01"))})
    client.UpdatePivotParquet("close", "2024-02-01", "2024-02-29")
    assert files(client, "close") == ["close_2024-01.parquet"]


def test_nothing_remote_reports_latest_stored_date(login, capsys):
    client = login({"ts1-close-202403": dumps(month("2024-03-27"))})
    client.UpdatePivotParquet("close", "2024-03-01", "2024-03-31")
    capsys.readouterr()
    fetched = Spy.of(client)
    client.UpdatePivotParquet("close", "2024-06-01", "2024-07-31")
    assert fetched == []
    assert capsys.readouterr().out.splitlines()[-1] == "close are Latest Date: 2024-03-29"


@pytest.mark.parametrize("start, end", [("2024-06-01", "2024-07-31"), ("2024-03-31", "2024-03-01")])
def test_nothing_anywhere_is_a_plain_value_error(login, capsys, start, end):
    client = login({"ts1-close-202403": dumps(month("2024-03-01"))})
    with pytest.raises(ValueError, match="nothing to update for close: the data service has no month"):
        client.UpdatePivotParquet("close", start, end)
    assert capsys.readouterr().out == ""


def test_missing_unstack_key_leaves_store_alone(login):
    client = login({"ts1-close-202401": dumps(month("2024-01-02"))})
    with pytest.raises(TypeError, match="ts1-close"):
        client.UpdateUnstackParquet("close")
    assert not os.path.exists(os.path.join(client.save_path, "close", "close.parquet"))


def test_a_missing_month_key_aborts_before_writing(login, server):
    client = login({"ts1-close-202401": dumps(month("2024-01-02")), "ts1-close-202402": dumps(month("2024-02-01"))})
    server.client().delete("ts1-close-202402")
    with pytest.raises(KeyError, match="ts1-close-202402"):
        client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    assert not os.path.exists(os.path.join(client.save_path, "close"))


# Stored months are read while the months are fetched; the merge uses such a read only while
# the file is still the one read, and nothing is written before every month is fetched.
@pytest.mark.parametrize("event", ["file replaced", "fetch fails"])
def test_months_read_during_the_fetches(login, server, event):
    import time
    jan, feb = month("2024-01-02"), month("2024-02-01")
    client = login({"ts1-close-202401": dumps(jan), "ts1-close-202402": dumps(feb)})
    client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    jan_path = os.path.join(client.save_path, "close", "close_2024-01.parquet")
    server.seed({"ts1-close-202401": dumps(month("2024-01-02", days=4))})  # January gained a day
    if event == "fetch fails":
        server.client().delete("ts1-close-202402")
    # Another writer replaces January while February is being fetched (after the reads ahead).
    replaced = as_stored(month("2024-01-02")) + 0.5
    original = client.load_df_from_tsdb

    def fetch(key):
        if key.endswith("202402"):
            time.sleep(0.3)
            replaced.to_parquet(jan_path + ".other")
            os.replace(jan_path + ".other", jan_path)
        return original(key)
    client.load_df_from_tsdb = fetch
    before = {f: os.stat(os.path.join(client.save_path, "close", f)).st_mtime_ns for f in files(client, "close")}
    if event == "fetch fails":
        with pytest.raises(KeyError, match="ts1-close-202402"):
            client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
        same_values(pd.read_parquet(jan_path), replaced)  # nothing merged into it
        assert files(client, "close") == sorted(before)
        return
    client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    got = pd.read_parquet(jan_path)
    # The replacing writer's cells win the merge; only the new day comes from the service.
    same_values(got.iloc[:, :3], replaced)
    same_values(got.iloc[:, 3:], as_stored(month("2024-01-02", days=4)).iloc[:, 3:])


def test_a_replaced_month_merge_is_called_for_every_month(login, monkeypatch):
    from marvane.FrameStore import ParquetDataManager as PDM
    jan, feb = month("2024-01-02"), month("2024-02-01")
    client = login({"ts1-close-202401": dumps(jan), "ts1-close-202402": dumps(feb)})
    client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    calls, original = [], PDM.update_pivot_parquet
    monkeypatch.setattr(PDM, "update_pivot_parquet", staticmethod(
        lambda file_path, sub_df, date_format="%Y-%m-%d":
            calls.append(os.path.basename(file_path)) or original(file_path, sub_df, date_format)))
    client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    assert sorted(calls) == ["close_2024-01.parquet", "close_2024-02.parquet"]


def test_readers_forward_to_the_store(login, capsys):
    client = login()
    assert client.GetPivotCategory("nothing", "2024-01-01", "2024-01-31").empty
    assert "数据不存在" in capsys.readouterr().out
    with pytest.raises(FileNotFoundError):
        client.GetUnstackCategory("nothing_either")
    assert os.path.isdir(os.path.join(client.save_path, "nothing_either"))


# --- months handed to the store one by one, and the documented calls when either is replaced ---

def panel(kind):
    """Three months as the service holds them; `kind` varies what the join has to align."""
    rng = np.random.default_rng(5)
    ids = [f"{i:06d}.XS" for i in range(8)]
    out = []
    for n, first in enumerate(["2024-01-02", "2024-02-01", "2024-03-01"]):
        cols = pd.bdate_range(first, periods=4)
        rows = ids if kind == "same rows" else [ids[i] for i in rng.permutation(8)[: 5 + n]]
        values = rng.normal(10, 1, (len(rows), 4))
        values[0, 1] = np.nan
        values[-1, :] = np.nan  # a row without any value
        if kind == "int64":
            out.append(pd.DataFrame(np.nan_to_num(values * 10).astype("int64"), index=rows, columns=cols))
        else:
            out.append(pd.DataFrame(values, index=pd.Index(rows, name="order_book_id"), columns=cols))
    return out


def sync_story(client, server, tables, capsys):
    """First sync, the same again, then every month gained a day: files and lines after each."""
    seen = []
    for step in ("first", "again", "gained"):
        if step == "gained":
            tables = [pd.concat([t, pd.DataFrame(1.5, index=t.index[:2], columns=[t.columns[-1] + pd.offsets.BDay()])],
                                axis=1) if t.dtypes.iloc[0] == "float64" else t for t in tables]
        server.seed({f"ts1-close-2024{m:02d}": dumps(t) for m, t in zip((1, 2, 3), tables)})
        client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
        lines = sorted(capsys.readouterr().out.splitlines())
        stored = [pd.read_parquet(os.path.join(client.save_path, "close", f)) for f in files(client, "close")]
        seen.append((lines, stored))
    return seen


@pytest.mark.parametrize("kind", ["same rows", "rows differ in number and order", "int64"])
def test_months_handed_over_directly_store_what_the_join_stores(login, server, capsys, monkeypatch, tmp_path, kind):
    tables = panel(kind)
    seed = {f"ts1-close-2024{m:02d}": dumps(t) for m, t in zip((1, 2, 3), tables)}
    client, whole_joins = login(seed, save_path=str(tmp_path / "one")), []

    def watch(frame, event, arg):  # joins of all three months by pandas' own concat
        if event == "call" and frame.f_code is pd.concat.__code__ and len(frame.f_locals["objs"]) == 3:
            whole_joins.append(1)
    sys.setprofile(watch)
    try:
        direct = sync_story(client, server, tables, capsys)
    finally:
        sys.setprofile(None)
    assert bool(whole_joins) == (kind == "int64")  # float64 months go to the store unjoined
    joins = []
    real_concat = pd.concat
    monkeypatch.setattr(pd, "concat", lambda objs, **kw: joins.append(len(objs)) or real_concat(objs, **kw))
    joined = sync_story(login(seed, save_path=str(tmp_path / "two")), server, tables, capsys)
    assert joins[:1] == [3]  # the replaced join was called as documented
    for (lines_d, stored_d), (lines_j, stored_j) in zip(direct, joined):
        assert [line.replace(str(tmp_path / "one"), str(tmp_path / "two")) for line in lines_d] == lines_j
        for a, b in zip(stored_d, stored_j):
            pd.testing.assert_frame_equal(a, b)


def test_a_replaced_store_update_gets_the_joined_table(login, server, capsys):
    client = login({f"ts1-close-2024{m:02d}": dumps(t) for m, t in zip((1, 2, 3), panel("rows differ"))})
    calls = []
    client.TS_db.update_pivot_category = lambda **kw: calls.append(kw)
    client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31", strf="%Y%m%d")
    [call] = calls
    assert set(call) == {"df", "category", "strf"} and (call["category"], call["strf"]) == ("close", "%Y%m%d")
    assert call["df"].shape[1] == 12 and not os.path.exists(os.path.join(client.save_path, "close"))


def test_a_replaced_runner_gets_the_update_tasks_and_worker(login, monkeypatch):
    from marvane.FrameStore import ParquetDataManager as PDM
    client = login({f"ts1-close-2024{m:02d}": dumps(t) for m, t in zip((1, 2, 3), panel("same rows"))})
    calls, original = [], PDM.run_concurrently
    monkeypatch.setattr(PDM, "run_concurrently", staticmethod(
        lambda tasks, worker_function, max_workers=5, task_desc="":
            calls.append((tasks, worker_function)) or original(tasks, worker_function, max_workers, task_desc)))
    client.UpdatePivotParquet("close", "2024-01-01", "2024-03-31")
    [(tasks, worker)] = calls
    assert worker is PDM.update_pivot_parquet and [len(t) for t in tasks] == [3, 3, 3]
    assert files(client, "close") == [f"close_2024-0{m}.parquet" for m in (1, 2, 3)]


def test_a_month_outside_the_stored_years_is_refused_before_any_write(login):
    # Second resolution: pandas 2.2 has no nanosecond timestamp in the year 999. There its own
    # bounds check refuses the day ("Out of bounds ... 999-01-04"), under pandas 3 the store's.
    days = pd.DatetimeIndex(np.array(["0999-01-04", "0999-01-05"], dtype="datetime64[s]"))
    old = pd.DataFrame([[1.0, 2.0]], index=["a"], columns=days)
    client = login({"ts1-close-202401": dumps(month("2024-01-02")), "ts1-close-202402": dumps(old)})
    with pytest.raises(ValueError, match="0?999-01-04|year 999"):
        client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    assert not os.path.exists(os.path.join(client.save_path, "close")) or files(client, "close") == []


def write_variant(table, path, variant):
    """A stored month as the store, another writer or damage may have left it."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    out = as_stored(table.dropna(how="all"))
    if variant == "rows in another order":
        out = out.iloc[::-1]
    if variant in ("a value differs", "row groups of one row, the last differs"):
        out.iloc[-1 if "last" in variant else 0, 2] += 1
    if variant == "a null where the service has a value":
        out.iloc[0, 0] = np.nan
    if variant == "NaN stored as a value":  # not as a null, as pandas' writer would
        t = pa.Table.from_pandas(out)
        arrays = [pa.array(out[c].to_numpy(), from_pandas=False) for c in out.columns]
        arrays.append(t.column(t.schema.get_field_index("order_book_id")))
        return pq.write_table(pa.Table.from_arrays(arrays, schema=t.schema), path)
    out.to_parquet(path, row_group_size=1 if "row groups" in variant else None)


VARIANTS = {  # variant: whether the month is unchanged
    "as the store writes it": True, "rows in another order": True, "NaN stored as a value": True,
    "row groups of one row": True, "a value differs": False, "a null where the service has a value": False,
    "row groups of one row, the last differs": False,
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_an_unchanged_month_is_told_as_the_merge_tells_it(login, capsys, monkeypatch, tmp_path, variant):
    pytest.importorskip("pyarrow")  # the month read ahead as an Arrow table
    jan = month("2024-01-02", days=4)

    def sync(where, joined):
        client = login({"ts1-close-202401": dumps(jan)}, save_path=str(tmp_path / where))
        os.makedirs(os.path.join(client.save_path, "close"))
        path = os.path.join(client.save_path, "close", "close_2024-01.parquet")
        write_variant(jan, path, variant)
        with monkeypatch.context() as m:
            if joined:  # a replaced join: the month goes the documented way, read as always
                real = pd.concat
                m.setattr(pd, "concat", lambda objs, **kw: real(objs, **kw))
            client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31")
        return capsys.readouterr().out.replace(str(tmp_path / where), ""), pd.read_parquet(path)

    (lines, stored), (lines_joined, stored_joined) = sync("direct", False), sync("joined", True)
    assert lines == lines_joined and ("Dataframes are identical" in lines) == VARIANTS[variant]
    pd.testing.assert_frame_equal(stored, stored_joined)
