"""Readers in threads and in other processes, reading a category while one writer keeps
rewriting it: every read sees whole files, never an error caused by the write."""

import os
import subprocess
import sys
import threading


import faultkit
from marvane.FrameStore import ParquetDataManager

READER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "concurrent_reader.py")
BASE = 100


def test_readers_while_a_writer_syncs(tmp_path, long_run, capsys):
    updates = 150 if long_run else 30
    thread_count, process_count = 4, 2
    root = str(tmp_path / "store")
    store = ParquetDataManager(root, max_workers=2)
    store.update_pivot_category(faultkit.pivot_rows(0, BASE), "cc")
    store.update_unstack_category("cu", faultkit.unstack_rows(0, BASE), ["key"])
    stop_file = str(tmp_path / "stop")

    done = threading.Event()
    errors, counts = [], []

    def reader():
        own = ParquetDataManager(root, max_workers=2)
        seen, reads = [], 0
        try:
            while not done.is_set() or reads < 4:
                seen.append(faultkit.check_pivot_read(own.read_pivot_category("cc", "2024-01-01", "2024-02-29")))
                faultkit.check_unstack_read(own.read_unstack_category("cu"))
                reads += 2
        except BaseException as e:  # noqa: BLE001 - reported by the test thread
            errors.append(e)
        counts.append(reads)
        # A reader never goes back to an older state of a month.
        if not all(b >= a for earlier, later in zip(seen, seen[1:]) for a, b in zip(earlier, later)):
            errors.append(AssertionError(f"a month went back to an older state: {seen}"))

    processes = [subprocess.Popen([sys.executable, READER, root, stop_file], stdout=subprocess.PIPE, text=True,
                                  env=faultkit.child_env())
                 for _ in range(process_count)]
    try:
        for p in processes:
            assert p.stdout.readline().strip() == "ready"
        threads = [threading.Thread(target=reader) for _ in range(thread_count)]
        for t in threads:
            t.start()
        try:
            for k in range(BASE, BASE + updates):
                store.update_pivot_category(faultkit.pivot_rows(k, k + 1), "cc")
                store.update_unstack_category("cu", faultkit.unstack_rows(k, k + 1), ["key"])
        finally:
            done.set()
            open(stop_file, "w").close()
            for t in threads:
                t.join()
        outputs = [p.communicate(timeout=120)[0].strip() for p in processes]
    finally:
        for p in processes:
            if p.poll() is None:
                p.kill()
                p.wait()
    assert not errors, errors[0]
    for p, out in zip(processes, outputs):
        assert p.returncode == 0, out
    process_reads = [int(out) for out in outputs]
    assert faultkit.check_pivot_read(store.read_pivot_category("cc", "2024-01-01", "2024-02-29")) == (BASE + updates,) * 2
    capsys.readouterr()
    print(f"\nconcurrency: {updates} writes; reads by {thread_count} threads {counts}, "
          f"by {process_count} processes {process_reads}")
