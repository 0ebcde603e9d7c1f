"""The inventory behind ``python -m marvane info DIR``.

For every category directory under a store root it reports the kind of data held (month
files of a pivot category, the single file of an unstack category, or both), the months
present and the months missing between the first and the last one, the span of dates, the
number of instruments or rows, and the size on disk. Dates, row counts and column names come
from the Parquet footers alone; the only data read is the instrument column of each month
file, to count distinct instruments across months. Footers are read with the Parquet engine
pandas uses by default: pyarrow when it is installed, fastparquet otherwise.
"""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass, field
from typing import Any, Iterable

import pandas as pd

from marvane import _names


@dataclass
class CategoryInfo:
    name: str
    kind: str                                  # "pivot", "unstack", "both" or "empty"
    months: list[str] = field(default_factory=list)          # YYYY-MM, ascending
    missing_months: list[str] = field(default_factory=list)  # gaps between first and last
    first_day: str | None = None
    last_day: str | None = None
    days: int = 0                              # date columns over all month files
    instruments: int | None = None             # distinct instruments over all month files
    rows: int | None = None                    # rows of the unstack file
    columns: list[str] = field(default_factory=list)         # columns of the unstack file
    valid_from: str | None = None              # unstack: smallest start_date
    valid_to: str | None = None                # unstack: largest end_date
    size: int = 0                              # bytes of the files counted above
    files: int = 0
    ignored: list[str] = field(default_factory=list)         # other entries, not temp files
    errors: list[str] = field(default_factory=list)          # unreadable files

    @property
    def kind_text(self) -> str:
        return {"pivot": "pivot months", "unstack": "unstack file", "both": "both",
                "empty": "empty"}[self.kind]


def inventory(root: str) -> list[CategoryInfo]:
    """One CategoryInfo per category directory under ``root``, sorted by name."""
    if not os.path.isdir(root):
        raise FileNotFoundError(f"no store directory at {root}")
    out = []
    for name in sorted(os.listdir(root)):
        path = os.path.join(root, name)
        if os.path.isdir(path):
            out.append(describe_category(root, name))
    return out


def describe_category(root: str, category: str) -> CategoryInfo:
    directory = os.path.join(root, category)
    month_files: dict[str, str] = {}
    unstack_path = None
    ignored = []
    for entry in sorted(os.listdir(directory)):
        # the store's own rule, so that info lists exactly what the store reads
        kind, month = _names.classify(directory, category, entry)
        if kind == "month":
            month_files[month] = os.path.join(directory, entry)
        elif kind == "unstack":
            unstack_path = os.path.join(directory, entry)
        elif kind == "other" and not (entry.startswith(".")
                                      and os.path.isdir(os.path.join(directory, entry))):
            ignored.append(entry)      # a dot-folder (damaged files set aside) is no one's data

    kind = ("both" if month_files and unstack_path else "pivot" if month_files
            else "unstack" if unstack_path else "empty")
    info = CategoryInfo(name=category, kind=kind, ignored=ignored)
    if month_files:
        _describe_months(info, month_files)
    if unstack_path:
        _describe_unstack(info, unstack_path)
    return info


def _parquet_engine() -> str:
    """The engine pd.read_parquet uses when none is named (decided at call time)."""
    engine = pd.get_option("io.parquet.engine")
    if engine != "auto":
        return str(engine)
    try:
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return "fastparquet"
    return "pyarrow"


def _index_columns(raw: str | bytes | None) -> list[str]:
    """Names of the columns that pandas stored as the index (none for a range index)."""
    if not raw:
        return []
    return [c for c in json.loads(raw).get("index_columns", []) if isinstance(c, str)]


class _Footer:
    """What a Parquet footer says about one file: column names (index columns included), the
    index columns pandas recorded, the row count and per-row-group bounds of a column."""

    names: list[str]
    index_columns: list[str]
    rows: int

    def bounds(self, column: str, which: str) -> list[Any] | None:
        raise NotImplementedError

    def column_values(self, column: str) -> list[Any]:
        raise NotImplementedError


class _ArrowFooter(_Footer):
    def __init__(self, path: str) -> None:
        import pyarrow.parquet as pq
        self.pf = pq.ParquetFile(path)
        schema = self.pf.schema_arrow
        self.names = list(schema.names)
        self.index_columns = _index_columns((schema.metadata or {}).get(b"pandas"))
        self.rows = self.pf.metadata.num_rows

    def bounds(self, column: str, which: str) -> list[Any] | None:
        if column not in self.names:
            return None
        # the leaf index equals the field index for the flat tables pandas writes
        position = self.pf.schema_arrow.get_field_index(column)
        values = []
        for g in range(self.pf.metadata.num_row_groups):
            stats = self.pf.metadata.row_group(g).column(position).statistics
            if stats is None or not stats.has_min_max:
                return None
            values.append(stats.min if which == "min" else stats.max)
        return values

    def column_values(self, column: str) -> list[Any]:
        return self.pf.read(columns=[column]).column(0).unique().to_pylist()


class _FastparquetFooter(_Footer):
    def __init__(self, path: str) -> None:
        import fastparquet
        self.path = path
        self.pf = fastparquet.ParquetFile(path)
        self.names = list(self.pf.columns)
        self.index_columns = _index_columns(self.pf.key_value_metadata.get("pandas"))
        self.rows = int(self.pf.count())

    def bounds(self, column: str, which: str) -> list[Any] | None:
        if column not in self.names:
            return None
        values = self.pf.statistics.get(which, {}).get(column)
        if values is None or any(v is None for v in values):
            return None
        return list(values)

    def column_values(self, column: str) -> list[Any]:
        # Through a file of our own: to_pandas would open the file again for the data and
        # leave that handle for the garbage collector to close.
        import fastparquet
        with open(self.path, "rb") as f:
            table = fastparquet.ParquetFile(f).to_pandas(columns=[column], index=False)
        return table[column].unique().tolist()


def _footer(path: str) -> _Footer:
    return _ArrowFooter(path) if _parquet_engine() == "pyarrow" else _FastparquetFooter(path)


def _parse_days(labels: Iterable[str]) -> pd.DatetimeIndex | None:
    labels = list(labels)
    if not labels:
        return pd.DatetimeIndex([])
    try:
        return pd.DatetimeIndex(pd.to_datetime(labels, format="mixed"))
    except (ValueError, TypeError):
        return None


def _describe_months(info: CategoryInfo, month_files: dict[str, str]) -> None:
    months = sorted(month_files)
    info.months = months
    span = pd.period_range(months[0], months[-1], freq="M").strftime("%Y-%m").tolist()
    info.missing_months = [m for m in span if m not in month_files]
    instruments: set[Any] = set()
    first = last = None
    days = 0
    for month in months:
        path = month_files[month]
        try:
            footer = _footer(path)
            index_cols = footer.index_columns
            labels = [n for n in footer.names if n not in index_cols]
            days += len(labels)
            parsed = _parse_days(labels)
            if parsed is not None and len(parsed):
                lo, hi = parsed.min(), parsed.max()
                first = lo if first is None or lo < first else first
                last = hi if last is None or hi > last else last
            if index_cols:
                instruments.update(footer.column_values(index_cols[0]))
            else:
                instruments.update(range(footer.rows))
        except Exception as exc:  # a damaged file is reported, the others still counted
            info.errors.append(f"{os.path.basename(path)}: {exc}")
            continue
        info.size += os.path.getsize(path)
        info.files += 1
    info.days = days
    info.instruments = len(instruments)
    info.first_day = None if first is None else f"{first:%Y-%m-%d}"
    info.last_day = None if last is None else f"{last:%Y-%m-%d}"


def _column_bound(footer: _Footer, column: str, which: str) -> pd.Timestamp | None:
    """Smallest or largest value of ``column`` from the row-group statistics, if recorded."""
    values = footer.bounds(column, which)
    if not values:
        return None
    try:
        stamps = [pd.Timestamp(v) for v in values]
    except (TypeError, ValueError):
        return None
    return min(stamps) if which == "min" else max(stamps)


def _describe_unstack(info: CategoryInfo, path: str) -> None:
    try:
        footer = _footer(path)
        info.columns = [n for n in footer.names if n not in footer.index_columns]
        info.rows = footer.rows
        lo = _column_bound(footer, "start_date", "min")
        hi = _column_bound(footer, "end_date", "max")
        info.valid_from = None if lo is None else f"{lo:%Y-%m-%d}"
        info.valid_to = None if hi is None else f"{hi:%Y-%m-%d}"
    except Exception as exc:
        info.errors.append(f"{os.path.basename(path)}: {exc}")
        return
    info.size += os.path.getsize(path)
    info.files += 1


# ----------------------------------------------------------------------------------------
# Text output
# ----------------------------------------------------------------------------------------

def month_ranges(months: list[str]) -> str:
    """Runs of consecutive months: 2024-01..2024-03, 2024-05."""
    if not months:
        return "-"
    periods = [pd.Period(m, freq="M") for m in months]
    runs: list[list[pd.Period]] = [[periods[0]]]
    for p in periods[1:]:
        if p == runs[-1][-1] + 1:
            runs[-1].append(p)
        else:
            runs.append([p])
    return ", ".join(f"{r[0]}" if len(r) == 1 else f"{r[0]}..{r[-1]}" for r in runs)


def human_size(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} TB"


def format_inventory(root: str, infos: list[CategoryInfo]) -> str:
    total = sum(i.size for i in infos)
    files = sum(i.files for i in infos)
    lines = [f"store {root}: {len(infos)} categor{'y' if len(infos) == 1 else 'ies'}, "
             f"{files} Parquet file{'' if files == 1 else 's'}, {human_size(total)}"]
    for i in infos:
        lines.append("")
        lines.append(f"{i.name}  ({i.kind_text}, {human_size(i.size)})")
        if i.months:
            lines.append(f"  months    {len(i.months)}: {month_ranges(i.months)}")
            lines.append(f"  missing   {len(i.missing_months)}"
                         + (f": {month_ranges(i.missing_months)}" if i.missing_months else ""))
            span = f"{i.first_day} to {i.last_day}" if i.first_day else "unknown"
            lines.append(f"  dates     {span}, {i.days} days")
            lines.append(f"  instruments {i.instruments}")
        if i.rows is not None:
            lines.append(f"  records   {i.rows} rows, {len(i.columns)} columns: "
                         + ", ".join(i.columns))
            if i.valid_from or i.valid_to:
                lines.append(f"  valid     {i.valid_from or '?'} to {i.valid_to or '?'}")
        if i.kind == "empty":
            lines.append("  no data files")
        if i.ignored:
            lines.append(f"  ignored   {', '.join(i.ignored)}")
        for err in i.errors:
            lines.append(f"  unreadable {err}")
    return "\n".join(lines)


def to_json(infos: list[CategoryInfo]) -> str:
    return json.dumps([asdict(i) for i in infos], indent=2, ensure_ascii=False)
