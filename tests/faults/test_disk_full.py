"""Writes that run out of space fail with the operating system's error and leave every
stored file as it was; once space is back, the same writes succeed."""

import errno
import json
import os
import subprocess
import sys

import pandas as pd
import pytest

import faultkit

BASE, GROWTH = 50, 3000  # instruments stored before the fill / brought by the failing write


def pytest_generate_tests(metafunc):
    if "leave" in metafunc.fixturenames:
        leaves = faultkit.FILL_LEAVES + (faultkit.LONG_FILL_LEAVES if metafunc.config.getoption("--long") else [])
        metafunc.parametrize("leave", leaves)


def seed(root):
    return faultkit.seed_store(root, BASE, max_workers=2)


def month_paths(store):
    return [(store._get_pivot_file_path("px", y, m), y, m) for y, m in faultkit.MONTHS]


def assert_intact_or_new(store, new_pivot, new_unstack):
    for path, y, m in month_paths(store):
        assert faultkit.pivot_state(path, y, m) in (BASE, new_pivot)
    assert faultkit.unstack_state(store._get_unstack_file_path("ux")) in (BASE, new_unstack)
    for category in ("px", "ux", "fresh"):
        assert faultkit.temporaries(store._get_category_path(category)) == []


def attempt(call, directory):
    """Run a write; True when it failed for want of space (with the OS error naming a file of
    `directory`), False when it fitted."""
    try:
        call()
    except OSError as err:
        assert err.errno == errno.ENOSPC, err
        assert err.filename is not None and os.path.dirname(err.filename) == directory, err.filename
        return True
    return False


def test_full_filesystem(small_fs, leave, capsys):
    store = seed(str(small_fs / "store"))
    fresh_dir = store._get_category_path("fresh")
    before = faultkit.snapshot(store.root_dir)
    filler = faultkit.fill(str(small_fs), leave)

    failed = [
        attempt(lambda: store.update_pivot_category(faultkit.pivot_rows(0, BASE + GROWTH), "px"),
                store._get_category_path("px")),
        attempt(lambda: store.update_unstack_category("ux", faultkit.unstack_rows(0, BASE + 20 * GROWTH), ["key"]),
                store._get_category_path("ux")),
        attempt(lambda: store.update_pivot_category(faultkit.pivot_rows(0, GROWTH), "fresh"), fresh_dir),
    ]
    assert failed[1], "a 1 MiB unstack file fitted in the room left"
    if leave <= 64 * 1024:
        assert all(failed)
        assert faultkit.snapshot(store.root_dir) == before
    assert_intact_or_new(store, BASE + GROWTH, BASE + 20 * GROWTH)
    for name in os.listdir(fresh_dir):  # a month of the new category that fitted is whole
        y, m = int(name[6:10]), int(name[11:13])
        assert faultkit.pivot_state(os.path.join(fresh_dir, name), y, m) == GROWTH

    # Room again: the same writes go through and nothing stored earlier is missing.
    os.remove(filler)
    store.update_pivot_category(faultkit.pivot_rows(0, BASE + GROWTH), "px")
    store.update_unstack_category("ux", faultkit.unstack_rows(BASE, BASE + 20 * GROWTH), ["key"])
    for path, y, m in month_paths(store):
        assert faultkit.pivot_state(path, y, m) == BASE + GROWTH
    assert faultkit.unstack_state(store._get_unstack_file_path("ux")) == BASE + 20 * GROWTH
    capsys.readouterr()


FSIZE_SCRIPT = r"""
import json, resource, signal, sys
import faultkit
from marvane.FrameStore import ParquetDataManager
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
store = ParquetDataManager(sys.argv[1], max_workers=2)
resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))
out = []
for call in (lambda: store.update_pivot_category(faultkit.pivot_rows(0, 3050), "px"),
             lambda: store.update_unstack_category("ux", faultkit.unstack_rows(0, 60050), ["key"]),
             lambda: store.update_pivot_category(faultkit.pivot_rows(0, 3000), "fresh")):
    try:
        call()
        out.append(None)
    except OSError as e:
        out.append([e.errno, e.filename])
print(json.dumps(out))
"""


def test_file_size_limit_in_a_child(tmp_path, capsys):
    """The substitute that needs no mount: RLIMIT_FSIZE makes every write past 64 KiB fail
    with EFBIG in a child process."""
    store = seed(str(tmp_path / "store"))
    directories = [store._get_category_path(c) for c in ("px", "ux", "fresh")]
    capsys.readouterr()
    before = faultkit.snapshot(store.root_dir)
    r = subprocess.run([sys.executable, "-c", FSIZE_SCRIPT, store.root_dir],
                       capture_output=True, text=True, timeout=120, env=faultkit.child_env())
    assert r.returncode == 0, r.stderr
    results = json.loads(r.stdout.strip().splitlines()[-1])
    for result, directory in zip(results, directories):
        assert result is not None, "a write past the size limit succeeded"
        assert result[0] == errno.EFBIG
        assert os.path.dirname(result[1]) == directory
    after = faultkit.snapshot(store.root_dir)
    assert after == before


@pytest.mark.parametrize("error, shown", [
    (OSError(errno.ENOSPC, "No space left on device"), "No space left on device: '{path}'"),
    (OSError("disk full"), "disk full"),  # no errno: the message stays as it is
], ids=["errno", "message-only"])
def test_write_error_names_the_stored_file(tmp_path, monkeypatch, error, shown, capsys):
    store = seed(str(tmp_path / "store"))
    path = store._get_unstack_file_path("ux")
    before = faultkit.snapshot(store.root_dir)

    def failing(self, target, *args, **kwargs):
        with open(target, "wb") as f:
            f.write(b"PAR1 half")
        raise error

    monkeypatch.setattr(pd.DataFrame, "to_parquet", failing)
    with pytest.raises(OSError) as excinfo:
        store.update_unstack_category("ux", faultkit.unstack_rows(0, BASE + 1), ["key"])
    monkeypatch.undo()
    assert str(excinfo.value).endswith(shown.format(path=path))
    assert faultkit.snapshot(store.root_dir) == before
    capsys.readouterr()
