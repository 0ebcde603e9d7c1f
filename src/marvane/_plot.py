"""``marvane info --plot FILE.png``: a picture of the pivot categories of a store.

One panel per pivot category: the trading days along the horizontal axis, and for each day a
bar as high as the number of instruments that have a value that day. Months inside the
category's span that have no file are shaded and labelled, so holes in a store show at a
glance. The counts come from the Parquet footers (rows minus nulls per day column); a file
whose footer does not record them has that column read instead.

Needs matplotlib (the ``plot`` extra); only its object interface is used, so
drawing changes no global state of a process that also uses pyplot.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from marvane import _names
from marvane._info import CategoryInfo, inventory

MAX_PANELS = 40
WIDTH_IN, PANEL_IN, DPI = 12.0, 2.4, 100
BAR_COLOUR = "#1f5fa8"
GAP_COLOUR = "#e8a33d"


class PlotUnavailable(RuntimeError):
    """matplotlib is not installed."""


@dataclass
class Panel:
    category: str
    days: list[pd.Timestamp] = field(default_factory=list)
    counts: list[int] = field(default_factory=list)
    missing_months: list[str] = field(default_factory=list)
    unreadable: list[str] = field(default_factory=list)
    axes: Any = None


@dataclass
class Picture:
    path: str
    figure: Any
    panels: list[Panel]
    omitted: int = 0


def _days(labels: list[str], path: str) -> list[pd.Timestamp]:
    try:
        return list(pd.to_datetime(labels, format="mixed"))
    except (ValueError, TypeError):
        raise ValueError(f"{os.path.basename(path)}: column labels that are not dates") from None


def day_counts(path: str) -> tuple[list[pd.Timestamp], list[int]]:
    """The days of one month file and, per day, the number of instruments with a value."""
    try:
        import pyarrow.parquet as pq
    except ImportError:  # without pyarrow the file is read whole
        table = pd.read_parquet(path)
        return _days([str(c) for c in table.columns], path), [int(n) for n in table.notna().sum()]
    pf = pq.ParquetFile(path)
    schema = pf.schema_arrow
    pandas_meta = json.loads((schema.metadata or {}).get(b"pandas", b"{}") or b"{}")
    index_cols = {c for c in pandas_meta.get("index_columns", []) if isinstance(c, str)}
    labels = [n for n in schema.names if n not in index_cols]
    days = _days(labels, path)
    meta = pf.metadata
    counts = []
    for label in labels:
        position = schema.get_field_index(label)
        nulls: int | None = 0
        for g in range(meta.num_row_groups):
            stats = meta.row_group(g).column(position).statistics
            if stats is None or not stats.has_null_count:
                nulls = None
                break
            nulls += stats.null_count
        if nulls is None:   # the footer does not record them: read the column
            nulls = pf.read(columns=[label]).column(0).null_count
        counts.append(meta.num_rows - nulls)
    return days, counts


def collect(root: str, infos: list[CategoryInfo]) -> list[Panel]:
    panels = []
    for info in infos:
        if info.kind not in ("pivot", "both"):
            continue
        panel = Panel(info.name, missing_months=list(info.missing_months))
        directory = os.path.join(root, info.name)
        by_day: dict[pd.Timestamp, int] = {}
        for entry in sorted(os.listdir(directory)):
            kind, month = _names.classify(directory, info.name, entry)
            if kind != "month" or month not in info.months:
                continue
            try:
                days, counts = day_counts(os.path.join(directory, entry))
            except Exception as exc:  # a damaged file is named in the panel, not fatal
                panel.unreadable.append(f"{entry}: {exc}")
                continue
            for day, count in zip(days, counts):
                by_day[day] = by_day.get(day, 0) + count
        panel.days = sorted(by_day)
        panel.counts = [by_day[d] for d in panel.days]
        panels.append(panel)
    return panels


def _load_matplotlib() -> tuple[Any, Any, Any]:
    try:
        from matplotlib import dates as mdates
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise PlotUnavailable("drawing needs matplotlib: pip install matplotlib "
                              "(or pip install '.[plot]' in marvane's repository)") from None
    return Figure, FigureCanvasAgg, mdates


def plot_store(root: str, path: str, infos: list[CategoryInfo] | None = None) -> Picture:
    """Draw the pivot categories of the store at ``root`` into the PNG file ``path``."""
    Figure, FigureCanvasAgg, mdates = _load_matplotlib()
    if infos is None:
        infos = inventory(root)
    panels = collect(root, infos)
    if not panels:
        raise ValueError(f"{root} holds no pivot category to draw")
    omitted = max(0, len(panels) - MAX_PANELS)
    panels = panels[:MAX_PANELS]

    figure = Figure(figsize=(WIDTH_IN, 0.6 + PANEL_IN * len(panels)), dpi=DPI,
                    layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(panels), 1, squeeze=False)[:, 0]
    for panel, ax in zip(panels, axes):
        panel.axes = ax
        _draw_panel(ax, panel, mdates)
    title = f"store {os.path.abspath(root)}: instruments with a value per trading day"
    if omitted:
        title += f" (first {MAX_PANELS} pivot categories, {omitted} more not drawn)"
    figure.suptitle(title, fontsize=11)
    figure.savefig(path, dpi=DPI, format="png")
    return Picture(path=path, figure=figure, panels=panels, omitted=omitted)


def _draw_panel(ax: Any, panel: Panel, mdates: Any) -> None:
    if panel.days:
        ax.bar(panel.days, panel.counts, width=0.8, color=BAR_COLOUR, linewidth=0,
               label="instruments with a value")
    top = max(panel.counts, default=1) or 1
    for month in panel.missing_months:
        first = pd.Period(month, freq="M").start_time
        last = first + pd.offsets.MonthBegin(1)
        ax.axvspan(first, last, facecolor=GAP_COLOUR, alpha=0.25, edgecolor=GAP_COLOUR,
                   hatch="//", linewidth=0)
        ax.text(first + (last - first) / 2, top * 0.5, f"no file\n{month}", ha="center",
                va="center", fontsize=8, color="#8a5300")
    lo = min([*panel.days, *(pd.Period(m, freq="M").start_time for m in panel.missing_months)],
             default=None)
    hi = max([*panel.days, *(pd.Period(m, freq="M").end_time for m in panel.missing_months)],
             default=None)
    if lo is not None and hi is not None:
        pad = pd.Timedelta(days=1)
        ax.set_xlim(lo - pad, hi + pad)
    ax.set_ylim(0, top * 1.08)
    locator = mdates.AutoDateLocator(minticks=4, maxticks=14)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    ax.set_ylabel("instruments")
    ax.grid(axis="y", color="#dddddd", linewidth=0.6)
    ax.set_axisbelow(True)
    detail = f"{len(panel.days)} days, up to {top} instruments"
    if panel.missing_months:
        detail += f", {len(panel.missing_months)} month{'s' if len(panel.missing_months) > 1 else ''} without a file"
    if panel.unreadable:
        detail += f", {len(panel.unreadable)} unreadable file{'s' if len(panel.unreadable) > 1 else ''}"
    ax.set_title(f"{panel.category}  ({detail})", loc="left", fontsize=10)
