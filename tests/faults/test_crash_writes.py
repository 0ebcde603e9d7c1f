"""A writer killed at any instant leaves every stored file with its old or its new content,
and what it leaves behind does not disturb later operations."""

import os
import random
import signal
import subprocess
import sys
import time

import pandas as pd
import pytest

import faultkit
import marvane.FrameStore as fs
from marvane.FrameStore import ParquetDataManager

WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_writer.py")
PIVOT, UNSTACK = "px", "ux"


def seed_store(root, base=150):
    store = ParquetDataManager(root, max_workers=2)
    store.update_pivot_category(faultkit.pivot_rows(0, base), PIVOT)
    store.update_unstack_category(UNSTACK, faultkit.unstack_rows(0, base), ["key"])
    return store


def stored_states(store):
    """(pivot state of each month file, unstack state); asserts each file is a known state."""
    months = tuple(faultkit.pivot_state(store._get_pivot_file_path(PIVOT, y, m), y, m)
                   for y, m in faultkit.MONTHS)
    return months, faultkit.unstack_state(store._get_unstack_file_path(UNSTACK))


# scripts/check-armhf.sh sets MARVANE_EMULATED=1 for its run under qemu-user
@pytest.mark.skipif(os.environ.get("MARVANE_EMULATED") == "1",
                    reason="a threaded writer forked and killed at random instants hangs under qemu-user emulation")
def test_kill_at_random_points(tmp_path, long_run, capsys):
    kills = 400 if long_run else 60
    root = str(tmp_path / "store")
    store = seed_store(root)
    capsys.readouterr()
    error_file = str(tmp_path / "writer-error.txt")
    rng = random.Random(20240601)
    with subprocess.Popen([sys.executable, WRITER, root, error_file, str(tmp_path / "scratch")],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                          env=faultkit.child_env()) as proc:
        assert proc.stdout.readline().strip() == "ready"
        months, unstack = stored_states(store)
        seen_temporaries = 0
        left = {PIVOT: set(), UNSTACK: set()}
        for i in range(kills):
            proc.stdin.write("fork\n")
            proc.stdin.flush()
            pid = int(proc.stdout.readline())
            # mostly early in a writer's life, every third one later so that updates complete
            time.sleep(rng.uniform(0.0, 0.3) if i % 3 else rng.uniform(0.3, 0.8))
            os.kill(pid, signal.SIGKILL)
            status = int(proc.stdout.readline())
            if os.path.exists(error_file):
                pytest.fail("the writer failed on what an earlier kill left:\n" + open(error_file).read())
            assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
            new_months, new_unstack = stored_states(store)
            # Nothing that was written whole is ever lost; a file advances by at most the
            # updates that the writer had time for.
            assert all(n >= o for n, o in zip(new_months, months)), (months, new_months)
            assert new_unstack >= unstack
            advanced = {PIVOT: new_months != months, UNSTACK: new_unstack != unstack}
            months, unstack = new_months, new_unstack
            for category in (PIVOT, UNSTACK):
                now = set(faultkit.temporaries(store._get_category_path(category)))
                seen_temporaries += len(now - left[category])
                # Only the writer just killed can have added temporaries, and one that
                # completed a write has removed those of the writers killed before it.
                assert all(n.startswith(f"{faultkit.TMP_PREFIX}{pid}-") for n in now - left[category])
                if advanced[category]:
                    assert not now & left[category], (category, now)
                left[category] = now
    assert unstack > 150 and min(months) > 150, "the writers never completed an update"

    # The next write in this process cleans up after the killed writer and works normally.
    k = min(months)
    store.update_pivot_category(faultkit.pivot_rows(k, k + 1), PIVOT)
    store.update_unstack_category(UNSTACK, faultkit.unstack_rows(unstack, unstack + 1), ["key"])
    for category in (PIVOT, UNSTACK):
        assert faultkit.temporaries(store._get_category_path(category)) == []
    assert stored_states(store) == ((max(months[0], k + 1), max(months[1], k + 1)), unstack + 1)
    print(f"\ncrash test: {kills} kills, final pivot states {months}, unstack state {unstack}, "
          f"temporaries found after kills: {seen_temporaries}")


def dead_pid():
    p = subprocess.Popen([sys.executable, "-c", "pass"])
    p.wait()
    return p.pid


@pytest.mark.parametrize("kind", ["pivot", "unstack"])
def test_next_write_removes_temporaries_of_dead_writers_only(tmp_path, kind, capsys):
    store = seed_store(str(tmp_path / "store"), base=3)
    category = PIVOT if kind == "pivot" else UNSTACK
    directory = store._get_category_path(category)
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        stale = os.path.join(directory, f"{faultkit.TMP_PREFIX}{dead_pid()}-7")
        live = os.path.join(directory, f"{faultkit.TMP_PREFIX}{sleeper.pid}-0")
        for path in (stale, live):
            with open(path, "wb") as f:
                f.write(b"PAR1 half a file")
        # Readers do not take them for stored files.
        assert store.read_pivot_category(PIVOT, "2024-01-01", "2024-02-29").shape == (3, 44)
        assert len(store.read_unstack_category(UNSTACK)) == 3
        assert store._if_exists_pivot_category(PIVOT) is True
        if kind == "pivot":
            store.update_pivot_category(faultkit.pivot_rows(3, 4), PIVOT)
        else:
            store.update_unstack_category(UNSTACK, faultkit.unstack_rows(3, 4), ["key"])
        assert not os.path.exists(stale)
        assert os.path.exists(live), "a temporary of a running process must be left alone"
        assert stored_states(store) == ((4, 4), 3) if kind == "pivot" else ((3, 3), 4)
    finally:
        sleeper.kill()
        sleeper.wait()
    capsys.readouterr()


class RecordingOs:
    """The store's `os` with replace observed: at the moment of the rename the temporary
    must already hold the whole new file."""

    def __init__(self, real, fail=False):
        self._real = real
        self.fail = fail
        self.replaced = []

    def __getattr__(self, name):
        return getattr(self._real, name)

    def replace(self, src, dst):
        content = pd.read_parquet(src)
        self.replaced.append((src, dst, content))
        if self.fail:
            raise OSError(5, "simulated rename failure", dst)
        return self._real.replace(src, dst)


@pytest.mark.parametrize("fail", [False, True], ids=["rename", "failed-rename"])
def test_files_reach_their_name_by_rename_of_a_complete_temporary(tmp_path, monkeypatch, fail, capsys):
    store = seed_store(str(tmp_path / "store"), base=4)
    before = faultkit.snapshot(store.root_dir)
    recorder = RecordingOs(os, fail=fail)
    monkeypatch.setattr(fs, "os", recorder)
    calls = [
        lambda: store.update_pivot_category(faultkit.pivot_rows(4, 5), PIVOT),
        lambda: store.update_unstack_category(UNSTACK, faultkit.unstack_rows(4, 5), ["key"]),
    ]
    for call in calls:
        if fail:
            with pytest.raises(OSError, match="simulated rename failure"):
                call()
        else:
            call()
    monkeypatch.undo()
    assert len(recorder.replaced) == (3 if not fail else 2) or len(recorder.replaced) >= 2
    for src, dst, content in recorder.replaced:
        assert os.path.dirname(src) == os.path.dirname(dst)
        assert os.path.basename(src).startswith(faultkit.TMP_PREFIX)
        assert len(content) == 5
    if fail:
        assert faultkit.snapshot(store.root_dir) == before
    else:
        assert stored_states(store) == ((5, 5), 5)
        for category in (PIVOT, UNSTACK):
            assert faultkit.temporaries(store._get_category_path(category)) == []
    capsys.readouterr()


STRACE_SCRIPT = """
import sys
import pandas as pd
from marvane.FrameStore import ParquetDataManager
store = ParquetDataManager(sys.argv[1])
store.update_pivot_category(pd.DataFrame({"2024-03-01": [1.0]}, index=["a"]), "c")
store.update_unstack_category("c", pd.DataFrame({"k": [1]}), ["k"])
"""


def test_temporary_and_directory_are_synced_around_the_rename(tmp_path):
    strace = "/usr/bin/strace"
    if not os.access(strace, os.X_OK):
        pytest.skip("strace is not installed; the order of fsync and rename cannot be observed")
    root = tmp_path / "store"
    log = tmp_path / "trace.txt"
    r = subprocess.run([strace, "-f", "-y", "-qq", "-o", str(log), "-e",
                        "trace=fsync,fdatasync,rename,renameat,renameat2",
                        sys.executable, "-c", STRACE_SCRIPT, str(root)],
                       capture_output=True, text=True)
    if r.returncode != 0 and "ptrace" in r.stderr:
        pytest.skip(f"tracing is not permitted here: {r.stderr.strip()}")
    assert r.returncode == 0, r.stderr
    events = []
    for line in log.read_text().splitlines():
        if "marvane-tmp" not in line and str(root) not in line:
            continue
        if "fsync(" in line or "fdatasync(" in line:
            events.append(("fsync", line.split("<", 1)[1].split(">", 1)[0]))
        elif "rename" in line:
            events.append(("rename", line))
    c = str(root / "c")
    for final in (f"{c}/c_2024-03.parquet", f"{c}/c.parquet"):
        renames = [i for i, (kind, text) in enumerate(events) if kind == "rename" and final in text]
        assert len(renames) == 1, events
        i = renames[0]
        tmp_name = events[i][1].split('"')[1]
        assert os.path.basename(tmp_name).startswith(faultkit.TMP_PREFIX)
        assert ("fsync", tmp_name) in events[:i], "the temporary is not flushed before the rename"
        assert ("fsync", c) in events[i + 1:], "the directory is not flushed after the rename"


def test_planted_links_under_temporary_names_are_never_followed(tmp_path, monkeypatch, capsys):
    """Links planted under every name the old counter scheme would use point outside the
    store: writes create their temporaries exclusively under unpredictable names, the stored
    files stay regular files, and a category directory that is itself a link is followed."""
    outside = tmp_path / "outside"
    outside.mkdir()
    real_dir = tmp_path / "elsewhere"
    real_dir.mkdir()
    root = tmp_path / "store"
    store = seed_store(str(root), base=3)
    os.symlink(real_dir, root / "linked")  # the user's own link for a category
    recorder = RecordingOs(os)
    monkeypatch.setattr(fs, "os", recorder)
    for category in (PIVOT, UNSTACK, "linked"):
        directory = root / category
        directory.mkdir(exist_ok=True)
        for n in range(64):
            os.symlink(outside / f"victim-{n}", directory / f"{faultkit.TMP_PREFIX}{os.getpid()}-{n}")
    stale = root / PIVOT / f"{faultkit.TMP_PREFIX}{dead_pid()}-3-00ff00ff00ff00ff"
    stale.write_bytes(b"half a file")
    store.update_pivot_category(faultkit.pivot_rows(3, 4), PIVOT)
    store.update_unstack_category(UNSTACK, faultkit.unstack_rows(3, 4), ["key"])
    store.update_pivot_category(faultkit.pivot_rows(0, 2), "linked")
    monkeypatch.undo()
    assert os.listdir(outside) == []
    assert not stale.exists(), "a dead writer's temporary under the new names is removed too"
    names = [os.path.basename(src) for src, _, _ in recorder.replaced]
    assert len(set(names)) == len(names) >= 3
    for name in names:
        pid, counter, random_part = name[len(faultkit.TMP_PREFIX):].split("-")
        assert pid == str(os.getpid()) and counter.isdigit() and len(random_part) == 16
    for _, dst, _ in recorder.replaced:
        assert os.path.isfile(dst) and not os.path.islink(dst)
    assert any(n.endswith(".parquet") for n in os.listdir(real_dir))
    assert stored_states(store) == ((4, 4), 4)
    capsys.readouterr()
