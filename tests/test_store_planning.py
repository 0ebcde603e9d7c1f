"""Download planning: which template days a pivot category does not hold yet."""

import builtins
import datetime

import pandas as pd
import pytest

import marvane.FrameStore

from frames import pivot


@pytest.fixture
def close(store):
    store.update_pivot_category(pivot([[1.0, 2.0]], ["a"], ["2024-01-15", "2024-01-31"]), "close")
    store.update_pivot_category(pivot([[1.0, 2.0]], ["a"], ["2024-02-01", "2024-02-02"]), "close")
    return store


T = pd.Timestamp


@pytest.mark.parametrize("template, stored, missing", [
    ([T("2024-02-01"), T("2024-02-02"), T("2024-02-05")],
     ["2024-02-01", "2024-02-02"], [T("2024-02-05")]),
    # January counts although the span starts after its first day
    (list(pd.date_range("2024-01-15", "2024-02-03")), ["2024-01-15", "2024-01-31", "2024-02-01",
                                                       "2024-02-02"], None),
    # descending, repeated, and other representations of the same calendar days
    ([T("2024-02-05"), T("2024-02-02"), T("2024-02-05"), datetime.datetime(2024, 2, 1)],
     ["2024-02-01", "2024-02-02"], [T("2024-02-05")]),
    (["2024-02-03", "2024-02-01", "2024-02-02"], ["2024-02-01", "2024-02-02"], ["2024-02-03"]),
    # times of day and units that differ between days
    ([T("2024-02-01").as_unit("s"), T("2024-02-02 15:30:00.000000001"), T("2024-02-05 09:00").as_unit("ms")],
     ["2024-02-01", "2024-02-02"], [T("2024-02-05 09:00")]),
    (pd.DatetimeIndex(["2024-01-31", "2024-02-01"]).as_unit("us"),
     ["2024-01-31", "2024-02-01"], []),
])
def test_missing_days(close, template, stored, missing):
    exists_df, update_dates = close.get_download_days("close", template)
    assert list(exists_df.columns) == stored
    if missing is None:
        missing = [d for d in template if d.strftime("%Y-%m-%d") not in stored]
    assert update_dates == missing
    ids = {id(d) for d in template}
    assert all(id(d) in ids for d in update_dates)  # the template's own objects


def test_months_written_with_different_formats(close):
    close.update_pivot_category(pivot([[1.0]], ["a"], ["2024-03-01"]), "close", "%Y%m%d")
    exists_df, update_dates = close.get_download_days("close", [T("2024-02-02"), T("2024-03-01"),
                                                               T("2024-03-04")])
    assert list(exists_df.columns) == ["2024-02-02", "20240301"]
    assert update_dates == [T("2024-03-04")]


def test_category_without_months(store, capsys):
    exists_df, update_dates = store.get_download_days(
        "close", [T("2024-02-02"), T("2024-02-01")])
    assert exists_df.empty and update_dates == [T("2024-02-01"), T("2024-02-02")]
    assert capsys.readouterr().out == "数据不存在 close: ['2024-02'] 数据不存在\n"


@pytest.mark.parametrize("template, error", [([], ValueError), ([T("2023-12-31"), T("2024-01-15")],
                                                                FileNotFoundError)])
def test_errors_propagate(close, template, error):
    with pytest.raises(error):
        close.get_download_days("close", template)


def test_bounds_are_min_then_max(close, monkeypatch):
    calls = []
    for name in ("min", "max"):  # the store looks builtins up through its module at call time
        monkeypatch.setattr(marvane.FrameStore, name, lambda seq, _n=name, _f=getattr(builtins, name):
                            calls.append(_n) or _f(seq), raising=False)
    close.get_download_days("close", [T("2024-02-01"), T("2024-02-02")])
    assert calls == ["min", "max"]
    with pytest.raises(ValueError, match=r"^min\(\)"):  # an empty template fails in min
        close.get_download_days("close", [])
