"""Fixtures shared by the whole suite."""

import pytest

from marvane.FrameStore import ParquetDataManager

# fixtures of the shared helpers (tests/helpers): the local servers and client logins, the
# fault tests' small filesystem and --long switch
pytest_plugins = ["redis_fixtures", "faultkit"]


@pytest.fixture
def store(tmp_path):
    """A store rooted in a fresh temporary directory."""
    return ParquetDataManager(str(tmp_path / "store"))


def pytest_addoption(parser):
    parser.addoption(
        "--long", action="store_true", default=False,
        help="run the long variants of the fault tests (more kills, fills and examples)",
    )

