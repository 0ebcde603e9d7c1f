"""B9/B10: reading one value of the service (the bytes already fetched) through the client's
validating reader, against pickle.loads of the same bytes as the floor. B9 is a month value
(5,000 instruments x 21 days of float64), B10 a frame of text columns. Each timed run reads
the value LOADS times."""

from __future__ import annotations

import pickle
import types

import numpy as np
import pandas as pd

LOADS = 50


def month_value() -> pd.DataFrame:
    ids = pd.Index([f"{i:06d}.XSHE" for i in range(5000)], name="order_book_id")
    days = pd.bdate_range("2024-01-01", periods=21)
    return pd.DataFrame(np.random.default_rng(7).random((5000, 21)), index=ids, columns=days)


def text_frame() -> pd.DataFrame:
    rows = 5000
    return pd.DataFrame({"order_book_id": [f"{i:06d}.XSHE" for i in range(rows)],
                         **{f"text{j}": [f"value {i % 311} of column {j}" for i in range(rows)] for j in range(5)}})


def setup(make):
    def run_setup(ctx):
        from marvane.TSClient import TesselClient

        data = pickle.dumps(make(), protocol=pickle.DEFAULT_PROTOCOL)
        holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data))
        return {"data": data, "load": lambda: TesselClient.load_df_from_tsdb(holder, "value")}
    return run_setup


def ours(state):
    for _ in range(LOADS):
        value = state["load"]()
    return value


def floor(state):
    for _ in range(LOADS):
        value = pickle.loads(state["data"])
    return value


def check(state, result):
    return {"shape": list(result.shape), "dtypes": sorted({str(t) for t in result.dtypes}),
            "bytes": len(state["data"])}


def workloads(Workload) -> dict:
    return {(name, variant): Workload(setup(make), run, check)
            for name, make in (("B9", month_value), ("B10", text_frame))
            # Plain code reading a value is pickle.loads itself, so the plain row is the floor again.
            for variant, run in (("ours", ours), ("floor", floor), ("plain", floor))}
