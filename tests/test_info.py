"""`python -m marvane info`: the inventory of a store directory."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from marvane._info import inventory, month_ranges
from store_samples import basic_info, close_table, fill_pivot


@pytest.fixture
def filled(store, capsys):
    """close: Jan, Feb and Apr 2024 (March missing), instruments changing between months;
    basic_info: an unstack file; both: month files and an unstack file under one name;
    empty: a directory without data; plus a stray file and a leftover temporary file."""
    jan = close_table(pd.bdate_range("2024-01-02", "2024-01-31"), ["A", "B", "C"], seed=1)
    feb = close_table(pd.bdate_range("2024-02-01", "2024-02-29"), ["B", "C", "D"], seed=2)
    apr = close_table(pd.bdate_range("2024-04-01", "2024-04-19"), ["E"], seed=3)
    fill_pivot(store, "close", [jan, feb, apr])
    store.update_unstack_category("basic_info", basic_info(["A", "B", "C", "D"]), ["order_book_id"])
    fill_pivot(store, "both", [close_table(pd.bdate_range("2023-12-01", "2023-12-29"), ["X"])])
    store.update_unstack_category("both", basic_info(["X"]), ["order_book_id"])
    os.makedirs(os.path.join(store.root_dir, "empty"))
    root = Path(store.root_dir)
    (root / "close" / "notes.txt").write_text("not data")
    (root / "close" / ".marvane-tmp-1234").write_bytes(b"half a file")
    (root / "README").write_text("a file at the root is no category")
    capsys.readouterr()
    return str(root)


def by_name(root):
    return {i.name: i for i in inventory(root)}


def test_pivot_category_months_gaps_span_and_instruments(filled):
    close = by_name(filled)["close"]
    assert close.kind == "pivot"
    assert close.months == ["2024-01", "2024-02", "2024-04"]
    assert close.missing_months == ["2024-03"]
    assert (close.first_day, close.last_day) == ("2024-01-02", "2024-04-19")
    expected_days = sum(len(pd.bdate_range(a, b)) for a, b in [
        ("2024-01-02", "2024-01-31"), ("2024-02-01", "2024-02-29"), ("2024-04-01", "2024-04-19")])
    assert close.days == expected_days
    assert close.instruments == 5                      # A..E across the months
    files = [f for f in os.listdir(os.path.join(filled, "close")) if f.endswith(".parquet")]
    assert close.files == 3
    assert close.size == sum(os.path.getsize(os.path.join(filled, "close", f)) for f in files)
    assert close.ignored == ["notes.txt"]              # the temporary file is not reported


def test_kinds_and_unstack_details(filled):
    infos = by_name(filled)
    assert sorted(infos) == ["basic_info", "both", "close", "empty"]
    assert {n: i.kind for n, i in infos.items()} == {
        "basic_info": "unstack", "both": "both", "close": "pivot", "empty": "empty"}
    info = infos["basic_info"]
    assert info.rows == 4
    assert info.columns == ["order_book_id", "symbol", "round_lot", "listed", "start_date",
                            "end_date"]
    assert (info.valid_from, info.valid_to) == ("2020-01-02", "2099-12-31")
    both = infos["both"]
    assert both.months == ["2023-12"] and both.rows == 1 and both.files == 2
    assert infos["empty"].files == 0 and infos["empty"].size == 0


def test_other_date_formats_and_damaged_files(store, capsys):
    days = pd.bdate_range("2024-05-02", "2024-06-28")
    fill_pivot(store, "vol", [close_table(days, ["A", "B"])], strf="%Y%m%d")
    bad = Path(store.root_dir, "vol", "vol_2024-07.parquet")
    bad.write_bytes(b"PAR1 this is not a parquet file")
    capsys.readouterr()
    vol = by_name(store.root_dir)["vol"]
    assert (vol.first_day, vol.last_day) == ("2024-05-02", "2024-06-28")
    assert vol.days == len(days) and vol.instruments == 2
    assert vol.months == ["2024-05", "2024-06", "2024-07"]
    assert vol.files == 2 and len(vol.errors) == 1 and vol.errors[0].startswith("vol_2024-07")


@pytest.mark.parametrize("months, text", [
    ([], "-"),
    (["2024-01"], "2024-01"),
    (["2024-01", "2024-02", "2024-03"], "2024-01..2024-03"),
    (["2023-11", "2023-12", "2024-01", "2024-03"], "2023-11..2024-01, 2024-03"),
])
def test_month_ranges(months, text):
    assert month_ranges(months) == text


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "marvane", *args], capture_output=True,
                          text=True, timeout=120)


def test_cli_text_and_json(filled):
    text = run_cli("info", filled)
    assert text.returncode == 0, text.stderr
    out = text.stdout
    assert f"store {filled}: 4 categories, 6 Parquet files" in out
    assert "missing   1: 2024-03" in out
    assert "dates     2024-01-02 to 2024-04-19" in out
    assert "records   4 rows, 6 columns" in out
    as_json = run_cli("info", "--json", filled)
    data = {d["name"]: d for d in json.loads(as_json.stdout)}
    assert data["close"]["missing_months"] == ["2024-03"] and data["close"]["instruments"] == 5


@pytest.mark.parametrize("make", ["missing", "file"])
def test_cli_bad_directory_is_a_message_not_a_traceback(tmp_path, make):
    target = tmp_path / "store"
    if make == "file":
        target.write_text("x")
    run = run_cli("info", str(target))
    assert run.returncode == 1
    assert "marvane info:" in run.stderr and "Traceback" not in run.stderr


def test_cli_output_into_a_closed_pipe_ends_quietly(filled):
    # `marvane info DIR | head`: the reader goes away before the inventory is printed
    with subprocess.Popen([sys.executable, "-m", "marvane", "info", filled],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        child.stdout.close()
        err = child.stderr.read().decode()
        assert child.wait(timeout=120) == 141
    assert "Traceback" not in err and "BrokenPipeError" not in err, err
