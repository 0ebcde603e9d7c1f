"""`python -m marvane demo`: synthetic market, the end-to-end run and its failure message."""

import socket
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import marvane.TSClient
from marvane import _localserver
from marvane.__main__ import main
from marvane._demo import run_demo
from marvane._market import make_market, trading_days
from marvane.FrameStore import ParquetDataManager

needs_client = pytest.mark.skipif(not hasattr(marvane.TSClient, "TesselClient"),
                                  reason="marvane.TSClient is not built yet")


def _have_redis_server():
    try:
        _localserver.find_redis_server()
    except _localserver.RedisServerMissing:
        return False
    return True


needs_redis = pytest.mark.skipif(not _have_redis_server(), reason="redis-server is not installed")


@pytest.mark.parametrize("instruments, months", [(1, 1), (8, 2), (60, 5)])
def test_market_is_realistic(instruments, months):
    m = make_market(instruments, months)
    days = m.days
    assert days.is_monotonic_increasing and (days.day_of_week < 5).all()
    assert days[0] == pd.Timestamp("2024-01-02")          # New Year's day is a holiday
    assert days[-1].day <= 20 and len(days.to_period("M").unique()) == months
    assert m.close.shape == (instruments, len(days))
    # every record's span is where its instrument has prices
    for _, rec in m.basic_info.iterrows():
        row = m.close.loc[rec["order_book_id"]]
        assert row.first_valid_index() == rec["start_date"]
        if rec["end_date"] != pd.Timestamp("2099-12-31"):
            assert row.last_valid_index() == rec["end_date"]
            assert row[row.index > rec["end_date"]].isna().all()
    tables = m.month_tables()
    assert list(tables) == [f"2024{k:02d}" for k in range(1, months + 1)]
    for ym, table in tables.items():
        assert all(isinstance(c, pd.Timestamp) and c.strftime("%Y%m") == ym for c in table.columns)
        assert not table.isna().all(axis=1).any()      # only instruments that traded


def test_market_has_listings_delistings_and_gaps():
    m = make_market(100, 6)
    close = m.close
    first = close.apply(lambda r: r.first_valid_index(), axis=1)
    last = close.apply(lambda r: r.last_valid_index(), axis=1)
    assert (first > m.days[0]).sum() >= 5                 # listed mid-range
    assert (last < m.days[-1]).sum() >= 3                 # delisted mid-range
    inside = [close.loc[i, first[i]:last[i]].isna().any() for i in close.index]
    assert sum(inside) >= 3                               # suspensions inside listed spans
    assert np.allclose(close.round(2).fillna(0), close.fillna(0))


def test_trading_days_skip_holidays():
    days = trading_days(pd.Timestamp("2024-12-23"), count=4)
    assert [f"{d:%m-%d}" for d in days] == ["12-23", "12-24", "12-26", "12-27"]


def host_is_down(host):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex((host, 6379)) != 0


@needs_client
@needs_redis
def test_demo_end_to_end(tmp_path, capsys):
    root = str(tmp_path / "store")
    lines = []
    result = run_demo(root, instruments=12, months=3, say=lines.append)
    assert host_is_down(result.host)
    m = result.market
    assert [len(x) for x in (result.first_sync.created, result.first_sync.rewritten)] == [3, 0]
    # the service gained days inside the running month: that month is merged, the one
    # before it is found identical
    assert result.second_sync.rewritten == ["close/close_2024-03.parquet"]
    assert result.second_sync.untouched == ["close/close_2024-02.parquet"]
    assert result.second_sync.created == []
    assert len(result.unstack_first.created) == 1 and len(result.unstack_second.rewritten) == 1
    assert result.read_matches and result.info_matches
    rest = trading_days(m.days[-1] + pd.Timedelta(days=1), end=pd.Timestamp("2024-03-31"))
    assert list(result.missing_days) == list(rest)

    # independent of the demo's own comparison: the store holds what the service holds
    store = ParquetDataManager(root)
    stored = store.read_pivot_category("close", "2024-01-01", "2024-03-31",
                                       column_type="datetime")
    want = m.close.dropna(how="all")
    pd.testing.assert_frame_equal(stored.loc[want.index, want.columns], want,
                                  check_names=False, check_freq=False)
    info = store.read_unstack_category("basic_info").set_index("order_book_id")
    changed = m.basic_info.loc[0, "order_book_id"]
    assert info.loc[changed, "symbol"].endswith(" Holdings")
    assert len(info) == 12
    text = "\n".join(lines)
    for word in ("seed", "login", "sync close", "resync close", "read back", "plan",
                 "month files 1 merged, 1 identical", "equal to the service: yes"):
        assert word in text


@needs_client
@needs_redis
def test_demo_command_line(tmp_path):
    root = tmp_path / "cli-store"
    run = subprocess.run([sys.executable, "-m", "marvane", "demo", "--store", str(root),
                          "--instruments", "5", "--months", "2"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "the local service was stopped" in run.stdout
    assert sorted(p.name for p in (root / "close").iterdir()) == [
        "close_2024-01.parquet", "close_2024-02.parquet"]
    assert run.stderr == ""                               # the library's output is hidden


def test_missing_redis_server_is_a_message(monkeypatch, tmp_path, capsys):
    def missing():
        raise _localserver.RedisServerMissing(
            "redis-server was not found. Install it first, for example on Debian or Ubuntu:\n"
            "    sudo apt-get install -y redis-server")

    monkeypatch.setattr(_localserver, "find_redis_server", missing)
    code = main(["demo", "--store", str(tmp_path / "s"), "--instruments", "2", "--months", "1"])
    out, err = capsys.readouterr()
    assert code == 1
    assert "apt-get install -y redis-server" in err and "Traceback" not in err
    assert not (tmp_path / "s").exists()


@pytest.mark.parametrize("args", [["--instruments", "0"], ["--months", "-1"], ["--months", "x"]])
def test_bad_sizes_are_refused(args, capsys):
    with pytest.raises(SystemExit) as exc:
        main(["demo", *args])
    assert exc.value.code == 2
    assert "usage:" in capsys.readouterr().err


@needs_redis
def test_demo_refuses_a_directory_it_did_not_write(tmp_path, capsys):
    mine = tmp_path / "mine"
    (mine / "close").mkdir(parents=True)
    (mine / "close" / "close_2020-01.parquet").write_bytes(b"my own data")
    code = main(["demo", "--store", str(mine), "--instruments", "2", "--months", "1"])
    err = capsys.readouterr().err
    assert code == 1 and "already holds data that the demo did not write" in err
    assert (mine / "close" / "close_2020-01.parquet").read_bytes() == b"my own data"


@pytest.mark.parametrize("store, message", [("file", "file is not a directory"),
                                            ("file/sub", "Not a directory")])
def test_demo_refuses_a_store_path_that_is_not_a_directory(tmp_path, capsys, store, message):
    (tmp_path / "file").write_text("x")
    code = main(["demo", "--store", str(tmp_path / store), "--instruments", "2", "--months", "1"])
    assert code == 1 and message in capsys.readouterr().err
    assert (tmp_path / "file").read_text() == "x"


@needs_client
@needs_redis
def test_demo_runs_again_on_its_own_store(tmp_path):
    root = str(tmp_path / "again")
    run_demo(root, instruments=4, months=2, say=lambda line: None)
    lines = []
    # a different size: the earlier run's data must not leak into this one
    result = run_demo(root, instruments=6, months=1, say=lines.append)
    assert any(line.startswith("cleared the previous demo data") for line in lines)
    assert result.read_matches and result.info_matches
    assert result.first_sync.created == ["close/close_2024-01.parquet"]
    assert sorted(p.name for p in (tmp_path / "again" / "close").iterdir()) == [
        "close_2024-01.parquet"]


@needs_redis
def test_local_server_never_shares_an_address_taken_after_the_probe(monkeypatch):
    """Two test runs can probe the same free address at once; the loser must not end up
    talking to the winner's server, which answers to the same password."""
    with _localserver.LocalRedis(password="acct:tok") as first:
        first.seed({"k": b"first's"})
        probes = iter([first.host])
        real = _localserver.free_loopback_address
        monkeypatch.setattr(_localserver, "free_loopback_address", lambda start=2: next(probes, None) or real(start))
        with _localserver.LocalRedis(password="acct:tok") as second:
            assert second.host != first.host
            assert second.client().info("server")["process_id"] == second.process.pid
            assert second.client().get("k") is None
        with pytest.raises(RuntimeError, match=first.host):  # an address given explicitly stays
            _localserver.LocalRedis(password="acct:tok", host=first.host).start()
        assert first.client().get("k") == b"first's"
