"""Fixtures shared by the whole suite."""

import pandas as pd
import pytest

from marvane.FrameStore import ParquetDataManager


@pytest.fixture
def store(tmp_path):
    """A store rooted in a fresh temporary directory."""
    return ParquetDataManager(str(tmp_path / "store"))


def pivot(values, index, days):
    """A pivot table: instruments as rows, date texts (or dates) as columns."""
    return pd.DataFrame(values, index=pd.Index(index), columns=list(days))


from redis_fixtures import login, second_server, server, silent_host  # noqa: E402,F401  (client tests)
