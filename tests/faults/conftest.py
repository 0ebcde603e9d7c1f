"""Fixtures of the fault suite: the --long switch and a small filesystem that fills up."""

import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def long_run(request):
    """True when the long variants were asked for with --long."""
    return bool(request.config.getoption("--long"))


# Room left on the filled filesystem: none, a page, less than one month file, about one; the
# long run adds the sizes in between.
FILL_LEAVES = [0, 4096, 64 * 1024, 600 * 1024]
LONG_FILL_LEAVES = [1024, 16 * 1024, 128 * 1024, 300 * 1024, 450 * 1024, 520 * 1024, 900 * 1024]


def pytest_generate_tests(metafunc):
    if "leave" in metafunc.fixturenames:
        leaves = FILL_LEAVES + (LONG_FILL_LEAVES if metafunc.config.getoption("--long") else [])
        metafunc.parametrize("leave", leaves)


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
