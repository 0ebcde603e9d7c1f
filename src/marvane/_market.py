"""A synthetic market: instruments priced over trading days, as a data service holds them.

One generator serves the demo (``python -m marvane demo``), the benchmarks and the tests.
Prices follow a random walk per instrument and are rounded to cents. A market adds what
makes real data awkward: instruments that list after the first day or delist before the
last, suspensions (a short run of missing days inside a listed span), optionally scattered
missing cells, and a last month that is still running.
"""

from __future__ import annotations

import pickle
from dataclasses import dataclass
from typing import Sequence

import numpy as np
import pandas as pd

FIRST_MONTH = pd.Timestamp("2024-01-01")
OPEN_END = pd.Timestamp("2099-12-31")
HOLIDAYS = {(1, 1), (5, 1), (5, 2), (10, 1), (10, 2), (10, 3), (12, 25)}   # (month, day)
RUNNING_MONTH_DAYS = 20     # a running last month ends on this day

_EXCHANGES = ("XSHG", "XSHE")
_SECTORS = ("Energy", "Materials", "Industrials", "Consumer", "Health Care", "Financials",
            "Information Technology", "Utilities", "Real Estate")


@dataclass
class Market:
    """The data service's view of the market: a wide close table and the instrument records.

    ``close`` holds every instrument as a row and every trading day (a Timestamp) as a column;
    a cell is NaN where the instrument was not listed yet, was delisted already, or was
    suspended that day. ``basic_info`` is the long table of instrument records. ``listed``
    and ``delisted`` give per instrument the position of its first listed day and the
    position after its last one.
    """

    close: pd.DataFrame
    basic_info: pd.DataFrame
    listed: np.ndarray
    delisted: np.ndarray

    @property
    def days(self) -> pd.DatetimeIndex:
        return pd.DatetimeIndex(self.close.columns)

    def month_tables(self) -> dict[str, pd.DataFrame]:
        """One table per calendar month, keyed by YYYYMM, holding the instruments that traded."""
        tables = {}
        days = self.days
        for period in days.to_period("M").unique():
            cols = days[(days.year == period.year) & (days.month == period.month)]
            month = self.close.loc[:, cols].dropna(how="all")
            tables[period.strftime("%Y%m")] = month
        return tables

    def remote_values(self, pivot: str = "close", unstack: str = "basic_info") -> dict[str, bytes]:
        """The keys and pickled values the data service holds for this market: one key per
        month of the pivot category, one key for the unstack category."""
        values = {f"ts1-{pivot}-{ym}": pickle.dumps(table)
                  for ym, table in self.month_tables().items()}
        values[f"ts1-{unstack}"] = pickle.dumps(self.basic_info)
        return values


def trading_days(first: pd.Timestamp, count: int | None = None,
                 end: pd.Timestamp | None = None) -> pd.DatetimeIndex:
    """Business days from ``first`` without a few fixed market holidays."""
    days = pd.bdate_range(first, end=end, periods=None if end is not None else count * 2)
    days = days[[(d.month, d.day) not in HOLIDAYS for d in days]]
    return days if count is None else days[:count]


def month_end(first: pd.Timestamp, months: int) -> pd.Timestamp:
    return first + pd.offsets.MonthEnd(months)


def random_walk(rng: np.random.Generator, rows: int, days: int) -> np.ndarray:
    """Prices of ``rows`` instruments over ``days`` days: a random walk from a random start,
    rounded to cents."""
    returns = rng.normal(0.0003, 0.02, size=(rows, days))
    start_price = rng.uniform(3.0, 120.0, size=(rows, 1))
    return np.round(start_price * np.exp(np.cumsum(returns, axis=1)), 2)


def price_table(days: Sequence, instruments: Sequence[str], seed: int = 1,
                missing: float = 0.0) -> pd.DataFrame:
    """A wide table of prices: ``instruments`` as rows (index named order_book_id), ``days``
    as columns; about a share ``missing`` of the cells is NaN."""
    rng = np.random.default_rng(seed)
    values = random_walk(rng, len(instruments), len(days))
    if missing:
        values[rng.random(values.shape) < missing] = np.nan
    return pd.DataFrame(values, index=pd.Index(instruments, name="order_book_id"),
                        columns=pd.DatetimeIndex(days))


def instrument_ids(count: int) -> list[str]:
    return [f"{600000 + 7 * i if i % 2 == 0 else 1 + 7 * i:06d}.{_EXCHANGES[i % 2]}"
            for i in range(count)]


def make_market(instruments: int, months: int, seed: int = 20240101,
                first_month: pd.Timestamp = FIRST_MONTH, running: bool = True,
                late_share: float = 0.2, early_share: float = 0.1,
                missing: float = 0.0) -> Market:
    """A market of ``instruments`` instruments over ``months`` months from ``first_month``.

    With ``running`` the last month runs up to its 20th day only. About a share
    ``late_share`` of the instruments list after the first day and ``early_share`` delist
    before the last day; a few instruments are suspended for some days (NaN inside their
    listed span), and about a share ``missing`` of the other cells is NaN.
    """
    if instruments < 1 or months < 1:
        raise ValueError("a market needs at least one instrument and one month")
    rng = np.random.default_rng(seed)
    last = month_end(first_month, months)
    if running:
        # the last month is still running: the days a service gains later fall into a month
        # that is already stored
        last = last - pd.offsets.MonthBegin(1) + pd.Timedelta(days=RUNNING_MONTH_DAYS - 1)
    days = trading_days(first_month, end=last)
    ids = instrument_ids(instruments)
    n_days = len(days)
    prices = random_walk(rng, instruments, n_days)
    listed, delisted = _listing_spans(rng, instruments, n_days, late_share, early_share)
    positions = np.arange(n_days)[None, :]
    values = np.where((positions >= listed[:, None]) & (positions < delisted[:, None]),
                      prices, np.nan)
    _suspend(rng, values, listed, delisted)
    if missing:
        values[rng.random(values.shape) < missing] = np.nan
    close = pd.DataFrame(values, index=pd.Index(ids, name="order_book_id"), columns=days)
    return Market(close=close, basic_info=_records(rng, ids, days, listed, delisted),
                  listed=listed, delisted=delisted)


def _listing_spans(rng: np.random.Generator, instruments: int, n_days: int,
                   late_share: float, early_share: float) -> tuple[np.ndarray, np.ndarray]:
    """Per instrument the position of its first listed day and the position after its last."""
    listed = np.zeros(instruments, dtype=int)
    delisted = np.full(instruments, n_days, dtype=int)
    late = rng.random(instruments) < late_share
    early = rng.random(instruments) < early_share
    if instruments > 1:
        late[0] = early[0] = False          # at least one instrument spans the whole range
    listed[late] = rng.integers(1, max(2, n_days - 5), size=late.sum())
    delisted[early] = [rng.integers(min(first + 5, n_days - 1), n_days) for first in listed[early]]
    return listed, delisted


def _suspend(rng: np.random.Generator, values: np.ndarray, listed: np.ndarray,
             delisted: np.ndarray) -> None:
    """A few instruments miss a short run of days inside their listed span."""
    instruments = len(values)
    for row in rng.choice(instruments, size=max(1, instruments // 10), replace=False):
        span = delisted[row] - listed[row]
        if span > 10:
            first = listed[row] + rng.integers(1, span - 5)
            values[row, first:first + rng.integers(1, 5)] = np.nan


def _records(rng: np.random.Generator, ids: list[str], days: pd.DatetimeIndex,
             listed: np.ndarray, delisted: np.ndarray) -> pd.DataFrame:
    """The instrument records: one per instrument, valid over its listed span."""
    records = []
    for i, oid in enumerate(ids):
        end = days[delisted[i] - 1] if delisted[i] < len(days) else OPEN_END
        records.append({
            "order_book_id": oid,
            "symbol": f"Demo Company {i:04d}",
            "exchange": _EXCHANGES[i % 2],
            "sector": _SECTORS[int(rng.integers(len(_SECTORS)))],
            "round_lot": 100,
            "start_date": days[listed[i]],
            "end_date": end,
        })
    return pd.DataFrame.from_records(records)


def advance(market: Market, days: int, seed: int = 7) -> tuple[Market, str]:
    """The market a little later: ``days`` more trading days and one changed record.

    Returns the new market and the order_book_id whose record changed (its symbol).
    """
    rng = np.random.default_rng(seed)
    last = market.days[-1]
    new_days = trading_days(last + pd.Timedelta(days=1), count=days)
    last_close = market.close.iloc[:, -1]
    steps = np.exp(np.cumsum(rng.normal(0, 0.02, size=(len(last_close), days)), axis=1))
    extra = pd.DataFrame(np.round(last_close.to_numpy()[:, None] * steps, 2),
                         index=market.close.index, columns=new_days)
    close = pd.concat([market.close, extra], axis=1)
    info = market.basic_info.copy()
    changed = str(info.loc[0, "order_book_id"])
    info.loc[0, "symbol"] = info.loc[0, "symbol"] + " Holdings"
    delisted = np.where(market.delisted == len(market.days), len(close.columns), market.delisted)
    return Market(close=close, basic_info=info, listed=market.listed, delisted=delisted), changed
