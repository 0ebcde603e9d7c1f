"""`marvane info --plot`: the picture of a store's pivot categories."""

import pandas as pd
import pytest

from store_samples import basic_info, close_table, fill_pivot

pytest.importorskip("matplotlib")

from matplotlib import dates as mdates  # noqa: E402
from matplotlib import image as mimage  # noqa: E402

from marvane._plot import BAR_COLOUR, plot_store  # noqa: E402


def bar_pixels(image, picture, panel, day):
    """How many pixels of the bar colour the image holds in the column of ``day``."""
    ax = panel.axes
    height = image.shape[0]
    x, _ = ax.transData.transform((mdates.date2num(pd.Timestamp(day)), 0))
    box = ax.get_window_extent()
    rows = image[int(height - box.y1):int(height - box.y0), int(round(x)), :3]
    want = [int(BAR_COLOUR[i:i + 2], 16) / 255 for i in (1, 3, 5)]
    return int((abs(rows - want).max(axis=1) < 0.02).sum())


def test_picture_size_and_gaps_where_months_are_missing(store, tmp_path, capsys):
    # close: Jan, Feb and May stored (March and April missing); volume: one month, B absent
    # on one day; basic_info is an unstack category and gets no panel
    fill_pivot(store, "close", [
        close_table(pd.bdate_range("2024-01-02", "2024-01-31"), list("ABCDEF"), seed=1),
        close_table(pd.bdate_range("2024-02-01", "2024-02-29"), list("ABCDEF"), seed=2),
        close_table(pd.bdate_range("2024-05-01", "2024-05-31"), list("ABC"), seed=3, gaps=False)])
    volume = close_table(pd.bdate_range("2024-06-03", "2024-06-28"), ["A", "B"], gaps=False)
    volume.loc["B", pd.Timestamp("2024-06-12")] = float("nan")
    fill_pivot(store, "volume", [volume])
    store.update_unstack_category("basic_info", basic_info(["A"]), ["order_book_id"])
    capsys.readouterr()
    path = tmp_path / "store.png"

    picture = plot_store(store.root_dir, str(path))

    image = mimage.imread(str(path))
    width, height = picture.figure.get_size_inches() * picture.figure.dpi
    assert image.shape[:2] == (round(height), round(width))
    close, vol = picture.panels
    assert (close.category, vol.category) == ("close", "volume")
    assert close.missing_months == ["2024-03", "2024-04"]
    assert dict(zip(vol.days, vol.counts))[pd.Timestamp("2024-06-12")] == 1
    assert dict(zip(vol.days, vol.counts))[pd.Timestamp("2024-06-13")] == 2
    # bars on stored days, none in the months without a file
    for day in ("2024-01-17", "2024-02-14", "2024-05-15"):
        assert bar_pixels(image, picture, close, day) > 0, day
    for day in ("2024-03-13", "2024-03-27", "2024-04-10", "2024-04-24"):
        assert bar_pixels(image, picture, close, day) == 0, day
    # a day with half the instruments draws a bar about half as high
    full, half = (bar_pixels(image, picture, vol, d) for d in ("2024-06-13", "2024-06-12"))
    assert 0.4 < half / full < 0.6


def test_command_writes_the_picture_and_refuses_a_store_without_pivots(store, tmp_path, capsys):
    from marvane.__main__ import main

    store.update_unstack_category("basic_info", basic_info(["A"]), ["order_book_id"])
    capsys.readouterr()
    assert main(["info", str(store.root_dir), "--plot", str(tmp_path / "a.png")]) == 1
    assert "no pivot category" in capsys.readouterr().err
    fill_pivot(store, "close", [close_table(pd.bdate_range("2024-01-02", "2024-01-31"), ["A"])])
    assert main(["info", str(store.root_dir), "--plot", str(tmp_path / "b.png")]) == 0
    assert (tmp_path / "b.png").stat().st_size > 1000
