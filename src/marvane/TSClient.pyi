"""Client of a Redis-protocol data service serving pickled pandas DataFrames."""

import os as os
import pickle as pickle
import time as time
from collections.abc import Callable
from typing import Any

import pandas as pd
import redis as redis
from tqdm import tqdm as tqdm

from .FrameStore import ParquetDataManager as ParquetDataManager



def timing_decorator(func: Callable[..., Any]) -> Callable[..., Any]:
    """Wrap ``func`` so that each call prints its name and duration in seconds."""

class TesselClient:
    account: str
    api_token: str
    r: redis.Redis
    keys: list[str]
    r_category: list[str]
    save_path: str | os.PathLike[str]
    TS_db: ParquetDataManager
    def __init__(self, account: str, api_token: str, save_path: str | os.PathLike[str]) -> None:
        """Log in to the fastest host, then attach a store rooted at ``save_path``."""
    @staticmethod
    def get_auth_ping(host: str, account: str, api_token: str) -> float | int:
        """Latency in ms of a fresh authenticated PING to ``host``; 999 when it fails."""
    @staticmethod
    def measure_latency(r: Any) -> float: ...
    def get_host_info(self) -> dict[str, str]:
        """Host table, label to host name. Override in a subclass to reach your own service."""
    def auth(self, account: str, api_token: str) -> None: ...
    def load_df_from_tsdb(self, key: str) -> pd.DataFrame: ...
    def UpdateUnstackParquet(self, category: str) -> None:
        """Fetch ``ts1-<category>`` and merge it into the store by order_book_id, start_date, end_date."""
    def UpdatePivotParquet(
        self, category: str, start_date: str, end_date: str, strf: str = "%Y-%m-%d"
    ) -> None:
        """Fetch the month keys of the range and merge them into the store's month files."""
    def GetUnstackCategory(self, category: str) -> pd.DataFrame: ...
    def GetPivotCategory(
        self, category: str, start_date: str | None, end_date: str | None
    ) -> pd.DataFrame: ...
