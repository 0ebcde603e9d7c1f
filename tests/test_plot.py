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


@pytest.mark.parametrize("name, magic", [("a.png", b"\x89PNG"), ("a.SVG", b"<?xml"), ("a.pdf", b"%PDF")])
def test_the_file_name_chooses_the_format(store, tmp_path, capsys, name, magic):
    fill_pivot(store, "close", [close_table(pd.bdate_range("2024-01-02", "2024-01-31"), ["A"])])
    plot_store(store.root_dir, str(tmp_path / name))
    assert (tmp_path / name).read_bytes().startswith(magic)


def test_other_formats_are_refused_before_anything_is_done(store, tmp_path, capsys):
    from marvane.__main__ import main

    fill_pivot(store, "close", [close_table(pd.bdate_range("2024-01-02", "2024-01-31"), ["A"])])
    capsys.readouterr()
    for name in ("a.jpg", "a"):
        assert main(["info", str(store.root_dir), "--plot", str(tmp_path / name)]) == 2
        out = capsys.readouterr()
        assert out.out == "" and "must end in .png, .svg, .pdf" in out.err
        assert not (tmp_path / name).exists()


def test_one_label_per_run_of_missing_months_and_none_overlapping(store, tmp_path, capsys):
    # 2021-01..2023-11 stored every other month, and nothing from 2021-10 to 2022-04
    months = pd.period_range("2021-01", "2023-11", freq="M")
    kept = [m for i, m in enumerate(months) if i % 2 == 0 and not 10 <= i <= 14]
    days = pd.DatetimeIndex([d for m in kept for d in pd.bdate_range(m.start_time, m.end_time)])
    store.update_pivot_category(close_table(days, ["A", "B"]), "close")
    capsys.readouterr()

    picture = plot_store(store.root_dir, str(tmp_path / "a.png"))

    [panel] = picture.panels
    texts = [label.get_text() for label in panel.labels]
    assert len(texts) == len(panel.missing_months) - 6  # seven months, one run
    assert "no files\n2021-10..2022-04" in texts and "no file\n2021-02" in texts
    renderer = picture.figure.canvas.get_renderer()
    shown = [label.get_window_extent(renderer) for label in panel.labels if label.get_visible()]
    assert len(shown) == len(texts)  # room for every label here
    assert not any(a.overlaps(b) for i, a in enumerate(shown) for b in shown[i + 1:])
