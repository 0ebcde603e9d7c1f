"""A typical session, type-checked with mypy --strict against the package's stubs."""

from __future__ import annotations

import pandas as pd

from marvane.FrameStore import ParquetDataManager
from marvane.TSClient import TesselClient, timing_decorator


class MyServiceClient(TesselClient):
    def get_host_info(self) -> dict[str, str]:
        return {"上海-1": "127.0.0.1"}


@timing_decorator
def sync(client: TesselClient, start: str, end: str) -> None:
    client.UpdatePivotParquet("close", start, end)
    client.UpdatePivotParquet("close", start, end, strf="%Y%m%d")
    client.UpdateUnstackParquet("basic_info")


def session(root: str) -> tuple[pd.DataFrame, pd.DataFrame, list[pd.Timestamp]]:
    client = MyServiceClient("account", "token", root)
    latency: float | int = TesselClient.get_auth_ping("127.0.0.1", "account", "token")
    assert latency >= 0
    categories: list[str] = client.r_category
    assert "close" in categories
    sync(client, "2024-01-01", "2024-03-31")
    close: pd.DataFrame = client.GetPivotCategory("close", "2024-02-01", "2024-03-31")
    latest: pd.DataFrame = client.GetPivotCategory("close", None, None)
    info: pd.DataFrame = client.GetUnstackCategory("basic_info")
    assert not latest.empty

    store: ParquetDataManager = client.TS_db
    wide = store.read_pivot_category("close", "2024-02-01", "2024-02-29", column_type="datetime")
    store.update_pivot_category(wide, "close_copy")
    store.update_unstack_category("info_copy", info, key_columns=["order_book_id", "start_date", "end_date"])
    template = pd.bdate_range("2024-03-01", "2024-03-31")
    stored, missing = store.get_download_days("close", list(template))
    parts = ParquetDataManager.run_concurrently([[1], [2]], lambda x: x * 2, max_workers=2)
    doubled: list[int] = parts
    assert sorted(doubled) == [2, 4] and isinstance(stored, pd.DataFrame)
    return close, info, list(missing)
