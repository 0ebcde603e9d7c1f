"""``marvane info --plot FILE``: a picture of the pivot categories of a store.

One panel per pivot category: the trading days along the horizontal axis, and for each day a
bar as high as the number of instruments that have a value that day. Months inside the
category's span that have no file are shaded, one label per run of consecutive such months,
so holes in a store show at a glance. The picture is PNG, SVG or PDF, as the file name ends. The counts come from the Parquet footers (rows minus nulls per day column); a file
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
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# Heights of the hole labels, as fractions of a panel's bar height: a label that would overlap
# another at one height goes to the next; one that fits at none is left out (its months stay
# shaded and counted in the panel's title).
LABEL_HEIGHTS = (0.75, 0.5, 0.25)
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
    labels: list[Any] = field(default_factory=list)  # the hole labels drawn


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


def picture_format(path: str) -> str:
    """The picture format the file name asks for, or ValueError naming the ones drawn."""
    ending = os.path.splitext(path)[1].lower()
    if ending not in FORMATS:
        raise ValueError(f"cannot draw {path}: the picture's file name must end in "
                         f"{', '.join(FORMATS)} (PNG, SVG or PDF)")
    return FORMATS[ending]


def missing_runs(months: list[str]) -> list[tuple[str, str]]:
    """Runs of consecutive months, as (first, last), in order."""
    runs: list[tuple[str, str]] = []
    for month in sorted(months):
        if runs and pd.Period(month, freq="M") == pd.Period(runs[-1][1], freq="M") + 1:
            runs[-1] = (runs[-1][0], month)
        else:
            runs.append((month, month))
    return runs


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
    """Draw the pivot categories of the store at ``root`` into the file ``path``: PNG, SVG
    or PDF, as its name ends."""
    file_format = picture_format(path)
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
    # The labels' sizes are known once the figure is laid out.
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    for panel in panels:
        _place_labels(panel, renderer)
    figure.savefig(path, dpi=DPI, format=file_format)
    return Picture(path=path, figure=figure, panels=panels, omitted=omitted)


def _draw_panel(ax: Any, panel: Panel, mdates: Any) -> None:
    if panel.days:
        ax.bar(panel.days, panel.counts, width=0.8, color=BAR_COLOUR, linewidth=0,
               label="instruments with a value")
    top = max(panel.counts, default=1) or 1
    for first_month, last_month in missing_runs(panel.missing_months):
        first = pd.Period(first_month, freq="M").start_time
        last = (pd.Period(last_month, freq="M") + 1).start_time
        ax.axvspan(first, last, facecolor=GAP_COLOUR, alpha=0.25, edgecolor=GAP_COLOUR,
                   hatch="//", linewidth=0)
        text = (f"no file\n{first_month}" if first_month == last_month
                else f"no files\n{first_month}..{last_month}")
        # Placed at its height once the figure is laid out; kept out of the layout itself.
        label = ax.text(mdates.date2num(first + (last - first) / 2), top * LABEL_HEIGHTS[0], text,
                        ha="center", va="center", fontsize=8, color="#8a5300", clip_on=True,
                        bbox=dict(boxstyle="round,pad=0.2", facecolor="white", alpha=0.8,
                                  linewidth=0))
        label.set_in_layout(False)
        panel.labels.append(label)
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


def _place_labels(panel: Panel, renderer: Any) -> None:
    """Give each hole label the first height at which it overlaps no label placed before it
    (moved sideways into the panel where it would stick out), and leave out one that fits at
    none."""
    ax = panel.axes
    top = max(panel.counts, default=1) or 1
    box = ax.get_window_extent(renderer)
    to_data = ax.transData.inverted()
    placed: list[Any] = []
    for label in panel.labels:
        x = label.get_position()[0]
        for height in LABEL_HEIGHTS:
            label.set_position((x, top * height))
            extent = label.get_window_extent(renderer)
            shift = max(0.0, box.x0 - extent.x0) - max(0.0, extent.x1 - box.x1)
            if shift:
                px, py = ax.transData.transform((x, top * height))
                label.set_position((to_data.transform((px + shift, py))[0], top * height))
                extent = label.get_window_extent(renderer)
            extent = extent.padded(4)  # its box, and a little room
            if not any(extent.overlaps(other) for other in placed):
                placed.append(extent)
                break
        else:
            label.set_visible(False)
