"""Fixtures shared by the whole suite."""

import pandas as pd
import pytest

from marvane.FrameStore import ParquetDataManager


@pytest.fixture
def store(tmp_path):
    """A store rooted in a fresh temporary directory."""
    return ParquetDataManager(str(tmp_path / "store"))


def pytest_addoption(parser):
    parser.addoption(
        "--long", action="store_true", default=False,
        help="run the long variants of the fault tests (more kills, fills and examples)",
    )


from redis_fixtures import login, second_server, server, silent_host  # noqa: E402,F401  (client tests)
