"""Synthetic market data for the benchmarks.

A pivot panel of N instruments over M whole calendar months of trading days, drawn by the
package's synthetic market (the one the demo serves): prices follow a random walk, some
instruments list or delist inside the span (an instrument is absent from a month it did not
trade in, and null before its listing day or after its delisting day inside a month), a few
are suspended for some days, and about 3% of the remaining cells are missing. The data
service holds one pickled table per month; the store receives the same months.

The unstack table has R rows identified by order_book_id, start_date and end_date, plus a few
value columns. The update batch holds 10% of R rows: half replace stored records (same keys,
new values), half are new keys.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from marvane._market import make_market

START = "2020-01-01"
MISSING = 0.03
KEY_COLUMNS = ["order_book_id", "start_date", "end_date"]


@dataclass
class Panel:
    days: pd.DatetimeIndex          # every trading day of the span
    ids: pd.Index                   # instrument identifiers
    values: np.ndarray              # (N, days) float64, NaN where missing or not listed
    first: np.ndarray               # per instrument: position of its first listed day
    last: np.ndarray                # per instrument: position of its last listed day

    def month_bounds(self) -> list[tuple[str, int, int]]:
        """(YYYYMM, first day position, end position) per month, in order."""
        labels = self.days.strftime("%Y%m")
        out = []
        start = 0
        for i in range(1, len(labels) + 1):
            if i == len(labels) or labels[i] != labels[start]:
                out.append((labels[start], start, i))
                start = i
        return out

    def month_frame(self, lo: int, hi: int, drop_last: int = 0) -> pd.DataFrame:
        """One month as the data service holds it: listed instruments by that month's days."""
        hi_kept = hi - drop_last
        rows = np.flatnonzero((self.first < hi_kept) & (self.last >= lo))
        return pd.DataFrame(self.values[rows, lo:hi_kept], index=self.ids[rows],
                            columns=self.days[lo:hi_kept])

    def months(self, drop_last: int = 0) -> dict[str, pd.DataFrame]:
        return {ym: self.month_frame(lo, hi, drop_last) for ym, lo, hi in self.month_bounds()}

    @property
    def cells(self) -> int:
        return int(self.values.size)


def make_panel(n: int, m: int, seed: int = 7) -> Panel:
    market = make_market(n, m, seed=seed, first_month=pd.Timestamp(START), running=False,
                         late_share=0.15, early_share=0.10, missing=MISSING)
    return Panel(days=market.days, ids=market.close.index, values=market.close.to_numpy(),
                 first=market.listed, last=market.delisted - 1)


def make_unstack(r: int, seed: int = 11) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The stored unstack table of R rows and an update batch of 10% of R rows."""
    rng = np.random.default_rng(seed)
    k = max(1, r // 10)  # instruments; each has about 10 records of consecutive periods

    def records(keys: np.ndarray, value_seed: int) -> pd.DataFrame:
        vr = np.random.default_rng(value_seed)
        start = pd.Timestamp("2000-01-03") + pd.to_timedelta((keys // k) * 30, unit="D")
        return pd.DataFrame({
            "order_book_id": pd.Index([f"{i:06d}.XS" for i in keys % k]),
            "start_date": start,
            "end_date": start + pd.Timedelta(days=29),
            "value": vr.normal(100.0, 10.0, len(keys)),
            "shares": vr.integers(1, 10**9, len(keys)),
            "board": np.array(["main", "growth", "star"])[vr.integers(0, 3, len(keys))],
        })

    stored = records(np.arange(r), seed)
    batch_n = max(2, r // 10)
    replaced = np.sort(rng.choice(r, size=batch_n // 2, replace=False))
    new = np.arange(r, r + batch_n - batch_n // 2)
    batch = records(np.concatenate([replaced, new]), seed + 1)
    batch.index = pd.RangeIndex(r, r + len(batch))
    return stored, batch
