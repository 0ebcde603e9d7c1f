"""Local Parquet store of pivot (month-partitioned) and unstack (single-file) tables."""

import os as os
import re as re
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from concurrent.futures import as_completed as as_completed
from typing import Any, Literal, TypeVar, overload

import pandas as pd
from tqdm import tqdm as tqdm

_T = TypeVar("_T")
_PathLike = str | os.PathLike[str]

class ParquetDataManager:
    root_dir: _PathLike
    max_workers: int
    def __init__(self, root_dir: _PathLike, max_workers: int = 10) -> None:
        """Initialize with the root directory to store all parquet files."""
    def _if_exists_unstack_category(self, category: str) -> bool: ...
    def _if_exists_pivot_category(self, category: str) -> bool: ...
    def _get_category_path(self, category: str) -> str: ...
    @overload
    @staticmethod
    def GSOI(choice: Literal[0, 1], df: pd.DataFrame) -> pd.Index: ...
    @overload
    @staticmethod
    def GSOI(choice: object, df: object) -> pd.Index | str: ...
    @staticmethod
    def extract_year_month(input_string: str) -> tuple[str, str] | tuple[None, None]: ...
    def _get_pivot_year_month(self, category: str) -> list[tuple[str, str] | tuple[None, None]]: ...
    def _get_pivot_file_path(self, category: str, year: int, month: int) -> str: ...
    def _get_unstack_file_path(self, category: str) -> str: ...
    def update_pivot_category(self, df: pd.DataFrame, category: str, strf: str = "%Y-%m-%d") -> None:
        """Merge a pivot table (instruments x dates) into its month files, months in parallel."""
    def read_pivot_category(
        self,
        category: str,
        start_date: str | pd.Timestamp | None = None,
        end_date: str | pd.Timestamp | None = None,
        column_type: str = "str",
    ) -> pd.DataFrame:
        """Read all dataframes from a specific category."""
    @staticmethod
    def read_parquet(file_path: _PathLike) -> pd.DataFrame: ...
    def update_unstack_category(
        self, category: str, sub_df: pd.DataFrame, key_columns: list[str] | str = ...
    ) -> None:
        """Merge a long table into the category's unstack file; later records win per key."""
    def read_unstack_category(self, category: str) -> pd.DataFrame: ...
    @staticmethod
    def update_unstack_df(
        original_df: pd.DataFrame, new_data: pd.DataFrame, key_columns: list[str] | str
    ) -> pd.DataFrame: ...
    @staticmethod
    def update_pivot_parquet(file_path: str, sub_df: pd.DataFrame, date_format: str = "%Y-%m-%d") -> None:
        """Create or merge one month partition file."""
    @staticmethod
    def run_concurrently(
        tasks: Iterable[Sequence[Any]],
        worker_function: Callable[..., _T],
        max_workers: int = 5,
        task_desc: str = "Processing tasks",
    ) -> list[_T]: ...
    def get_download_days(
        self, category: str, template_date: Iterable[pd.Timestamp]
    ) -> list[Any]:
        """[stored pivot table over the template's span, sorted template days not stored]."""
