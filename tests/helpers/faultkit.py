"""Helpers and fixtures shared by the fault tests (imported by the test modules and by the
writer and reader processes; the suite's conftest registers the fixtures)."""

import errno
import hashlib
import os
import subprocess

import numpy as np
import pandas as pd
import pytest

TMP_PREFIX = ".marvane-tmp-"
HELPERS = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HELPERS), "tools")


def child_env():
    """The environment for a Python child process: the shared helpers and the data tools
    import by name there as they do under pytest (its pythonpath setting)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [HELPERS, TOOLS, env.get("PYTHONPATH")]))
    return env


@pytest.fixture(scope="session")
def long_run(request):
    """True when the long variants were asked for with --long."""
    return bool(request.config.getoption("--long"))


# Room left on the filled filesystem: none, a page, less than one month file, about one; the
# long run adds the sizes in between.
FILL_LEAVES = [0, 4096, 64 * 1024, 600 * 1024]
LONG_FILL_LEAVES = [1024, 16 * 1024, 128 * 1024, 300 * 1024, 450 * 1024, 520 * 1024, 900 * 1024]


@pytest.fixture
def small_fs(tmp_path):
    """A 4 MiB tmpfs mounted on a fresh directory (root only), unmounted afterwards."""
    mnt = tmp_path / "fs"
    mnt.mkdir()
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root; the RLIMIT_FSIZE test stands in for it")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mnt)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"mounting a tmpfs is not permitted here ({r.stderr.strip()}); "
                    "the RLIMIT_FSIZE test stands in for it")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False)


def snapshot(root):
    """Every directory and file under root: relative path -> None (directory) or content hash."""
    tree = {}
    for dirpath, _dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        tree[rel] = None
        for name in filenames:
            with open(os.path.join(dirpath, name), "rb") as f:
                tree[os.path.join(rel, name)] = hashlib.sha256(f.read()).hexdigest()
    return tree


def temporaries(directory):
    """Names of the store's temporary files in directory."""
    return sorted(n for n in os.listdir(directory) if n.startswith(TMP_PREFIX))


def fill(directory, leave):
    """Fill the filesystem holding directory with a filler file, then give back `leave` bytes.
    Returns the filler's path."""
    filler = os.path.join(directory, "filler.bin")
    chunk = b"\xa5" * 65536
    with open(filler, "wb", buffering=0) as f:
        while True:
            try:
                if f.write(chunk) < len(chunk):
                    continue
            except OSError as e:
                assert e.errno == errno.ENOSPC, e
                break
    if leave:
        os.truncate(filler, max(0, os.path.getsize(filler) - leave))
    return filler


# ---------------------------------------------------------------------------------------
# Deterministic store states: state k of a category is fully known, so a file read back
# after a crash can be checked against the state its size says it holds.

MONTHS = ((2024, 1), (2024, 2))


def month_days(year, month):
    return pd.bdate_range(f"{year}-{month:02d}-01", periods=40).to_series().loc[
        lambda s: s.dt.month == month].index


def instrument(i):
    return f"I{i:05d}"


def pivot_rows(first, stop):
    """The pivot table of instruments first..stop-1 over both months (datetime labels)."""
    days = month_days(*MONTHS[0]).append(month_days(*MONTHS[1]))
    ids = np.arange(first, stop, dtype="float64")[:, None]
    values = ids * 1000.0 + np.arange(len(days), dtype="float64")[None, :] / 8.0
    return pd.DataFrame(values, index=[instrument(i) for i in range(first, stop)], columns=days)


def expected_month(k, year, month):
    """The month file of pivot state k: instruments 0..k-1, text date labels."""
    full = pivot_rows(0, k)
    part = full.loc[:, (full.columns.year == year) & (full.columns.month == month)]
    part.columns = part.columns.strftime("%Y-%m-%d")
    return part


def unstack_rows(first, stop):
    keys = np.arange(first, stop)
    return pd.DataFrame({"key": keys, "value": keys * 2.5, "name": [f"n{k}" for k in keys]},
                        index=pd.RangeIndex(first, stop))


def same_frame(got, want):
    """Equal labels and values (text dtype differences between pandas versions aside)."""
    return (list(got.index) == list(want.index) and list(got.columns) == list(want.columns)
            and all(np.array_equal(got[c].to_numpy(dtype=object), want[c].to_numpy(dtype=object))
                    for c in want.columns))


def pivot_state(path, year, month):
    """The state k that the month file holds; AssertionError when it is no state at all."""
    got = pd.read_parquet(path)
    k = len(got)
    assert same_frame(got, expected_month(k, year, month)), f"{path} holds no known state"
    return k


def unstack_state(path):
    got = pd.read_parquet(path)
    k = len(got)
    assert same_frame(got, unstack_rows(0, k)), f"{path} holds no known state"
    return k


def check_pivot_read(table):
    """A read of both months: each month's block must be one whole state of that month."""
    states = []
    for year, month in MONTHS:
        prefix = f"{year}-{month:02d}-"
        part = table.loc[:, [c for c in table.columns if str(c).startswith(prefix)]]
        part = part.dropna(how="all").sort_index()
        k = len(part)
        assert same_frame(part, expected_month(k, year, month)), f"a read saw no whole state of {prefix}"
        states.append(k)
    return tuple(states)


def check_unstack_read(table):
    k = len(table)
    assert same_frame(table, unstack_rows(0, k)), "a read saw no whole unstack state"
    return k


def seed_store(root, instruments, max_workers=1):
    """A store holding a pivot category "px" and an unstack category "ux" of ``instruments``
    rows, written by the store itself."""
    from marvane.FrameStore import ParquetDataManager
    store = ParquetDataManager(root, max_workers=max_workers)
    store.update_pivot_category(pivot_rows(0, instruments), "px")
    store.update_unstack_category("ux", unstack_rows(0, instruments), ["key"])
    return store
