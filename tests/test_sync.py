"""`marvane sync`: the daily job against a local data service, end to end."""

import datetime as dt
import os
import pickle
import subprocess
import sys
import threading

import pandas as pd
import pytest

from marvane import _sync
from marvane.FrameStore import ParquetDataManager
from redis_fixtures import ACCOUNT, TOKEN
from store_samples import basic_info, close_table, month_keys

MARCH_END = dt.date(2024, 3, 31)


@pytest.fixture
def service(server):
    """The service holds close for January and February up to the 15th, and basic_info."""
    table = close_table(pd.bdate_range("2024-01-02", "2024-02-15"), ["A", "B", "C"], seed=4)
    server.seed({**month_keys(table), "ts1-basic_info": pickle.dumps(basic_info(["A", "B", "C"]))})
    server.table = table
    return server


def settings(server, root, *categories, **changes):
    values = dict(account=ACCOUNT, store=str(root), host=server.host,
                  categories=list(categories), wait=0.3)
    values.update(changes)
    return _sync.Settings(**values)


def run(s, today=MARCH_END):
    lines, warnings = [], []
    status = _sync.sync(s, TOKEN, say=lines.append, warn=warnings.append, today=today, bars=False)
    return status, {line.split()[0]: line for line in lines}, warnings


def test_first_run_nothing_new_then_gained_days(service, tmp_path):
    root = tmp_path / "store"
    s = settings(service, root, "close", "basic_info")
    status, lines, _ = run(s)
    assert status == _sync.EXIT_OK
    assert "months fetched 2, created 2, merged 0, identical 0" in lines["close"]
    assert "2024-01-01..2024-03-31" in lines["close"]
    assert "files fetched 1, created 1" in lines["basic_info"]

    # nothing new: only the latest stored month is fetched again, and left as it was
    status, lines, _ = run(s)
    assert status == _sync.EXIT_OK
    assert "2024-02-01..2024-03-31" in lines["close"]
    assert "months fetched 1, created 0, merged 0, identical 1" in lines["close"]
    assert "created 0, merged 0, identical 1" in lines["basic_info"]

    # the service gains the rest of February and March
    later = close_table(pd.bdate_range("2024-01-02", "2024-03-15"), ["A", "B", "C", "D"], seed=4)
    service.seed(month_keys(later))
    status, lines, _ = run(s)
    assert status == _sync.EXIT_OK
    assert "months fetched 2, created 1, merged 1, identical 0" in lines["close"]
    stored = ParquetDataManager(str(root)).read_pivot_category("close", "2024-02-01", "2024-03-31",
                                                              column_type="datetime")
    assert stored.columns[-1] == pd.Timestamp("2024-03-15")
    assert stored.loc["D"].notna().any()


def test_failing_category_among_good_ones(service, tmp_path):
    service.seed({"ts1-broken-202401": pickle.dumps([1, 2, 3])})   # not a table
    root = tmp_path / "store"
    status, lines, warnings = run(settings(service, root, "broken", "close", "nothing",
                                           "basic_info", "../escape"))
    assert status == _sync.EXIT_FAILED
    assert "FAILED" in lines["broken"] and "not a pandas DataFrame" in lines["broken"]
    assert "no key ts1-nothing" in lines["nothing"]
    assert "cannot be a category" in lines["../escape"]
    assert "created 2" in lines["close"] and "created 1" in lines["basic_info"]
    assert len(warnings) == 1
    assert warnings[0].startswith("marvane sync: 3 of 5 failed: broken, nothing, ../escape; ")
    assert not (tmp_path / "escape").exists()
    assert sorted(os.listdir(root)) == [".marvane-sync.json", ".marvane-sync.lock", "basic_info", "close"]


def test_all_and_dry_run(service, tmp_path):
    service.seed({"ts1-close-2024xx": b"x", "ts1-a-b-c": b"x", "other": b"x", "ts1-..": b"x"})
    root = tmp_path / "store"
    status, lines, _ = run(settings(service, root, all=True, dry_run=True))
    assert status == _sync.EXIT_OK                    # a stray remote name is skipped, not failed
    assert sorted(lines) == ["..", "basic_info", "close", "marvane"] and "skipped" in lines[".."]
    assert "would fetch 2 keys (ts1-close-202401, ts1-close-202402)" in lines["close"]
    assert "months to create 2 (2024-01, 2024-02), to merge 0" in lines["close"]
    assert "create the file" in lines["basic_info"]
    assert not root.exists()                          # a dry run writes nothing

    status, lines, _ = run(settings(service, root, all=True))
    assert status == _sync.EXIT_OK and "created 2" in lines["close"]
    status, lines, _ = run(settings(service, root, all=True, dry_run=True,
                                    start=dt.date(2024, 1, 20)))
    assert "months to create 0, to merge 2 (2024-01, 2024-02)" in lines["close"]


@pytest.mark.parametrize("keys, expected", [
    (["ts1-close-202401", "ts1-close-202412", "ts1-info"],
     {"close": (["2024-01", "2024-12"], False), "info": ([], True)}),
    (["ts1-x-202413", "ts1-x-2024", "ts1-y-20240１", "nots1-z"], {}),   # no month 13, no wide digits
    (["ts1-both", "ts1-both-202402", "ts1-a-b-202401"],
     {"both": (["2024-02"], True), "a-b": (["2024-01"], False)}),
])
def test_categories_by_key_shape(keys, expected):
    got = _sync.remote_categories(keys)
    assert {c: (r.months, r.unstack) for c, r in got.items()} == expected


def test_lock_makes_a_second_run_wait_then_give_up(service, tmp_path):
    root = tmp_path / "store"
    root.mkdir()
    s = settings(service, root, "close")
    with _sync.store_lock(str(root), wait=0):
        status, lines, warnings = run(s)
        assert status == _sync.EXIT_LOCKED and list(lines) == ["marvane"]   # the dated line
        assert "in use by another sync (pid" in warnings[0]
        assert "gave up after waiting 0.3 s" in warnings[0]
    assert not (root / "close").exists()

    # a run that is let in within its wait proceeds
    held = threading.Event()

    def hold():
        with _sync.store_lock(str(root), wait=0):
            held.set()
            threading.Event().wait(0.3)

    t = threading.Thread(target=hold)
    t.start()
    held.wait()
    status, lines, _ = run(settings(service, root, "close", wait=10))
    t.join()
    assert status == _sync.EXIT_OK and "created 2" in lines["close"]


@pytest.mark.parametrize("taken", ["store", "category"])
def test_a_file_where_a_directory_belongs_is_named(service, tmp_path, taken):
    root = tmp_path / "store"
    if taken == "category":
        root.mkdir()
    file = root / "close" if taken == "category" else root
    file.write_text("x")
    status, lines, warnings = run(settings(service, root, "close"))
    if taken == "store":
        # the dated first line, then the refusal; no category is tried
        assert status == _sync.EXIT_USAGE and list(lines) == ["marvane"]
        assert warnings[0] == f"marvane sync: the store path {root} is not a directory"
        assert warnings[-1].startswith("marvane sync: not run")
    else:
        assert status == _sync.EXIT_FAILED
        line = lines["close"]
        assert "FAILED" in line and "NotADirectoryError" in line and repr(str(file)) in line
        assert "pybind11" not in line
    assert file.read_text() == "x"


def test_command_line_with_config_file_and_token_file(service, tmp_path):
    """The installed command, as cron runs it: settings and token from files, no terminal."""
    config_dir = tmp_path / "conf"
    config_dir.mkdir()
    token_file = config_dir / "token"
    token_file.write_text(TOKEN + "\n")
    token_file.chmod(0o600)
    (config_dir / "config.toml").write_text(
        f'host = "{service.host}"\naccount = "{ACCOUNT}"\nstore = "../store"\n'
        'categories = ["close", "basic_info"]\ntoken_file = "token"\n')
    command = os.path.join(os.path.dirname(sys.executable), "marvane")
    env = {k: v for k, v in os.environ.items() if k != _sync.TOKEN_ENV}

    def marvane(*args, **extra):
        return subprocess.run([command, *args], capture_output=True, text=True, timeout=120,
                              env={**env, **extra})

    done = marvane("sync", "--config", str(config_dir / "config.toml"))
    assert done.returncode == 0, done.stderr
    assert "created 2" in done.stdout and "created 1" in done.stdout
    assert TOKEN not in done.stdout + done.stderr
    assert "it/s" not in done.stderr and "%|" not in done.stderr     # no progress bars
    assert (tmp_path / "store" / "close" / "close_2024-01.parquet").exists()

    # a group-readable token file is refused; the environment's token is used before it
    token_file.chmod(0o640)
    refused = marvane("sync", "--config", str(config_dir / "config.toml"))
    assert refused.returncode == _sync.EXIT_USAGE and "chmod 600" in refused.stderr
    wrong = marvane("sync", "--config", str(config_dir / "config.toml"),
                    **{_sync.TOKEN_ENV: "wrong-token"})
    assert wrong.returncode == _sync.EXIT_FAILED and "login to" in wrong.stderr
    assert "wrong-token" not in wrong.stderr + wrong.stdout

    helped = marvane("--help")
    assert all(name in helped.stdout for name in ("demo", "info", "sync"))
    from marvane import __version__
    assert marvane("--version").stdout == f"marvane {__version__}\n"


@pytest.mark.parametrize("text, message", [
    ('acount = "x"\n', "unknown key 'acount'"),
    ('categories = "close"\n', "categories must be a list"),
    ("store = [\n", "cannot read the config file"),
    ("timeout = true\n", "timeout must be a number"),
    ("exclude = [1]\n", "exclude must be a list of names"),
])
def test_config_mistakes_are_named(tmp_path, text, message):
    path = tmp_path / "config.toml"
    path.write_text(text)
    with pytest.raises(_sync.UsageError, match=message):
        _sync.load_config(str(path))
