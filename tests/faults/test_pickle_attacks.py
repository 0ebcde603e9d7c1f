"""Hostile values, each a small pickle of one known attack on the libraries a value is built
with: the reader refuses each with a pickle.UnpicklingError naming what it refused, in a child
process under a memory cap (a crash or a blow-up fails the test, not the run), and a sync
given one writes nothing."""

import glob
import json
import os
import pickle
import re
import site
import subprocess
import sys
import zoneinfo

import pytest

import numpy as np
import pandas as pd

import faultkit
from hostile_pickles import ATTACKS, khash_colliding_days, khash_colliding_int64

CHILD = r"""
import json, pickle, resource, sys, time, types
resource.setrlimit(resource.RLIMIT_AS, (1536 << 20, 1536 << 20))
from hostile_pickles import ATTACKS
from marvane.TSClient import TesselClient
import pandas as pd
out = {}
for name, (make, _) in ATTACKS.items():
    try:
        data = make()
    except ImportError as e:  # an attack on a library this machine lacks (pyarrow on armhf)
        out[name] = ["unavailable", str(e), 0, 0.0]
        continue
    holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data))
    print(name, file=sys.stderr, flush=True)  # the last name shown is the one that crashed
    start = time.perf_counter()
    try:
        TesselClient.load_df_from_tsdb(holder, "k")
        out[name] = ["loaded", "", len(data), 0.0]
    except Exception as e:
        out[name] = [type(e).__name__, str(e), len(data), time.perf_counter() - start]
out["pandas.Index.name untouched"] = isinstance(vars(pd.Index)["name"], property)
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def outcomes():
    r = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300,
                       env=faultkit.child_env())
    assert r.returncode == 0, f"the reader's process died ({r.returncode}) at: {r.stderr[-500:]}"
    return json.loads(r.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", ATTACKS)
def test_attack_is_refused_quickly_and_says_what(outcomes, name):
    kind, message, size, seconds = outcomes[name]
    if kind == "unavailable":
        pytest.skip(f"the attack cannot be made here: {message}")
    assert kind == "UnpicklingError", (kind, message)
    assert ATTACKS[name][1] in message and message.startswith("k: ")  # the key it came from
    assert seconds < 1.0 and size < 256 * 1024
    installation = {sys.prefix, sys.base_prefix, *site.getsitepackages(), *zoneinfo.TZPATH}
    assert not [root for root in installation if root in message]


def test_build_on_a_class_changes_nothing_in_the_process(outcomes):
    assert outcomes["pandas.Index.name untouched"] is True


@pytest.mark.parametrize("name", ["block placement past its axis", "categorical codes past categories",
                                  "BUILD on a class", "memo index 2**28", "no columns over RangeIndex(2**40) rows",
                                  "lists filled after memoization, 2**44 places", "categories RangeIndex(2**28)",
                                  "rows CategoricalIndex over RangeIndex(2**28)", "block in unit W"])
def test_sync_of_an_attack_raises_it_and_writes_nothing(login, tmp_path, capsys, name):
    from redis_fixtures import dumps
    import pandas as pd
    january = pd.DataFrame([[1.0, 2.0]], index=["000001.XSHE"], columns=pd.bdate_range("2024-01-02", periods=2))
    root = str(tmp_path / "store")
    client = login({"ts1-close-202401": ATTACKS[name][0](), "ts1-info": dumps(january)}, save_path=root)
    before = faultkit.snapshot(root)
    with pytest.raises(pickle.UnpicklingError, match="refused|limit"):
        client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31")
    with pytest.raises(pickle.UnpicklingError):
        client.UpdateUnstackParquet("close-202401")
    assert faultkit.snapshot(root) == before
    capsys.readouterr()


def _complex_cells():
    return pd.DataFrame({pd.Timestamp("2024-02-01"): pd.Series([1.0, [2j]], index=["a", "b"], dtype=object)})


def _crafted_rows():
    rows = khash_colliding_int64(2_000)
    return pd.DataFrame({pd.Timestamp("2024-02-01"): 1.0}, index=rows)


@pytest.mark.parametrize("make, says", [(_complex_cells, "holds complex numbers in column"),
                                        (_crafted_rows, "row labels of dtype int64")])
def test_served_month_no_store_holds_is_refused_before_any_write(login, tmp_path, capsys, make, says):
    """January is sound, February is not: nothing of either is written."""
    from redis_fixtures import dumps
    january = pd.DataFrame([[1.0]], index=["000001.XSHE"], columns=pd.bdate_range("2024-01-02", periods=1))
    root = str(tmp_path / "store")
    client = login({"ts1-close-202401": dumps(january), "ts1-close-202402": dumps(make())}, save_path=root)
    before = faultkit.snapshot(root)
    with pytest.raises(ValueError, match=f"'ts1-close-202402' .*{says}"):
        client.UpdatePivotParquet("close", "2024-01-01", "2024-02-29")
    assert faultkit.snapshot(root) == before
    capsys.readouterr()


def test_sync_of_day_labels_made_to_collide_stores_them(login, tmp_path, capsys):
    """The rows are text (hashed with the process's seed): the days are the labels left to craft,
    here all in one probe chain of pandas' int64 hash table."""
    from redis_fixtures import dumps
    days, form = khash_colliding_days(2_000), "%Y-%m-%d %H:%M:%S.%f"
    month = pd.DataFrame(np.arange(4_000.0).reshape(2, -1), index=["000001.XSHE", "000002.XSHE"], columns=days)
    root = str(tmp_path / "store")
    client = login({"ts1-close-202401": dumps(month)}, save_path=root)
    client.UpdatePivotParquet("close", "2024-01-01", "2024-01-31", form)
    (path,) = glob.glob(os.path.join(root, "close", "*.parquet"))
    stored = pd.read_parquet(path)
    assert stored.columns.tolist() == days.strftime(form).tolist()
    assert stored.index.tolist() == month.index.tolist() and (stored.to_numpy() == month.to_numpy()).all()
    capsys.readouterr()


def test_fuzzer_runs_and_finds_nothing():
    """A short run of the fuzzer CI runs longer (scripts/fuzz-pickles.sh)."""
    r = subprocess.run([sys.executable, os.path.join(faultkit.TOOLS, "fuzz_pickles.py"), "--inputs", "400", "--seconds", "60",
                        "--seed", "1"], capture_output=True, text=True, timeout=180)
    assert r.returncode == 0, r.stdout + r.stderr[-2000:]
    counts = re.search(r"400 inputs \((\d+) object-level\), (\d+) round trips.*compared with pickle.loads (\d+): "
                       r".*same (\d+)", r.stdout)
    assert counts and all(int(n) > 0 for n in counts.groups()), r.stdout
