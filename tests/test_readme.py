"""The README's quickstart runs as written against a local service holding demo data."""

import re
from pathlib import Path

import pandas as pd
import pytest

from marvane import _localserver
from marvane._market import make_market

README = Path(__file__).resolve().parent.parent / "README.md"


def quickstart_code():
    text = README.read_text(encoding="utf-8")
    section = text.split("## Quickstart", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_quickstart_runs(tmp_path, monkeypatch, capsys):
    code = quickstart_code()
    assert '"tessel.example.internal"' in code
    try:
        server = _localserver.LocalRedis(password="my-account:my-api-token").start()
    except _localserver.RedisServerMissing:
        pytest.skip("redis-server is not installed")
    try:
        server.seed(make_market(6, 3).remote_values())
        monkeypatch.chdir(tmp_path)
        scope = {}
        exec(compile(code.replace('"tessel.example.internal"', repr(server.host)),
                     "README quickstart", "exec"), scope)
    finally:
        server.stop()
    out = capsys.readouterr().out
    assert scope["client"].r_category == ["basic_info", "close"]
    close = scope["close"]
    assert list(close.columns) == [f"{d:%Y-%m-%d}" for d in
                                   pd.bdate_range("2024-03-01", "2024-03-20")]
    assert len(scope["info"]) == 6
    # the demo market's March runs to the 20th: the rest of the month is still to fetch
    assert [f"{d:%d}" for d in scope["missing"]] == ["21", "22", "25", "26", "27", "28", "29"]
    assert "7 days still to fetch:" in out
    assert sorted(p.name for p in (tmp_path / "store" / "close").iterdir()) == [
        "close_2024-01.parquet", "close_2024-02.parquet", "close_2024-03.parquet"]
