"""Write the pickle corpus: what a market-data service plausibly sends, made by real pandas.

Run it once under each producer (a venv of that pandas/numpy/pyarrow on its Python), e.g.

    /var/tmp/venvs/pd135/bin/python tests/tools/make_corpus.py tests/data/pickles-corpus

It writes <out>/pandas-<version>/<kind>.p<protocol>.pkl and that folder's VERSIONS.txt (the
producer's versions, the kinds it could not make and why), then rewrites <out>/MANIFEST.txt
from every producer folder present. Kinds a producer cannot make (no zoneinfo before Python
3.9, no ArrowDtype before pandas 1.5...) are skipped. It runs on Python 3.8 and pandas 1.3, so
it uses nothing newer than both. Frames are small: the corpus is about kinds, not sizes.
"""

import datetime
import decimal
import glob
import os
import pickle
import sys
import warnings

import numpy as np
import pandas as pd

warnings.simplefilter("ignore")
PANDAS = tuple(int(p) for p in pd.__version__.split(".")[:2])

# Every kind at the protocols a service's pickle.dumps / to_pickle use; these at all of 0 to 5.
ALL_PROTOCOLS = ("pivot", "groupby", "ohlc_5min", "freq_week_fri", "freq_custom_bday",
                 "tz_pytz", "tz_dateutil_file", "tz_dateutil_utc", "nullable", "multi_both",
                 "series_close", "period_freqs")
PROTOCOLS = (4, 5)


def ids(n=3):
    return pd.Index(["%06d.XSHE" % i for i in range(1, n + 1)], name="order_book_id")


def days(n=4, **kw):
    return pd.date_range("2024-03-01", periods=n, freq="B", name="date", **kw)


def prices(index):
    return np.round(np.linspace(10.0, 12.0, len(index)) + np.arange(len(index)) % 3 * 0.05, 2)


def long_table():
    """A long (id, date) table as a service keeps it."""
    rows = [(i, d, 10.0 + k * 0.25 + j, 100 * (k + 1) + j, "ABC"[k % 3])
            for j, i in enumerate(ids()) for k, d in enumerate(days())]
    return pd.DataFrame(rows, columns=["order_book_id", "date", "close", "volume", "sector"])


def freq_frame(freq, n=4, start="2024-01-01", **kw):
    index = pd.date_range(start, periods=n, freq=freq, name="datetime", **kw)
    return pd.DataFrame({"close": prices(index), "volume": np.arange(n, dtype="int64") * 100}, index=index)


def offsets():
    o = pd.offsets
    quarter = o.QuarterEnd(startingMonth=3)
    return {
        "freq_5min": o.Minute(5), "freq_hour": o.Hour(), "freq_second": o.Second(30),
        "freq_week_fri": o.Week(weekday=4), "freq_quarter": quarter, "freq_year": o.YearEnd(),
        "freq_month_begin": o.MonthBegin(), "freq_bmonth_end": o.BMonthEnd(),
        "freq_month_end": o.MonthEnd(), "freq_bday": o.BDay(), "freq_day": o.Day(),
        "freq_custom_bday": o.CustomBusinessDay(holidays=["2024-01-01", "2024-02-12", "2024-02-13"]),
        "freq_custom_weekmask": o.CustomBusinessDay(weekmask="Sun Mon Tue Wed Thu"),
        "freq_bquarter_end": o.BQuarterEnd(startingMonth=3), "freq_year_begin": o.YearBegin(),
        "freq_business_hour": o.BusinessHour(),
        "freq_2day_normalized": o.Day(2),
        "freq_semimonth": o.SemiMonthEnd(),
    }


def kinds():
    """name -> function making the value."""
    k = {}
    table = long_table()

    # --- workflow results
    k["pivot"] = lambda: table.pivot(index="order_book_id", columns="date", values="close")
    k["pivot_table"] = lambda: table.pivot_table(index="date", columns="order_book_id", values="close",
                                                 aggfunc="mean")
    k["pivot_table_margins"] = lambda: table.pivot_table(index="sector", columns="order_book_id",
                                                         values="volume", aggfunc="sum", margins=True)
    k["groupby"] = lambda: table.groupby("sector").agg({"close": ["mean", "max"], "volume": "sum"})
    k["groupby_two_keys"] = lambda: table.groupby(["sector", "order_book_id"])["close"].mean()
    k["groupby_size"] = lambda: table.groupby("order_book_id").size()
    k["unstack"] = lambda: table.set_index(["order_book_id", "date"])["close"].unstack()
    k["unstack_level0"] = lambda: table.set_index(["order_book_id", "date"])[["close", "volume"]].unstack(0)
    k["stack"] = lambda: table.set_index(["order_book_id", "date"])[["close", "volume"]].stack()
    k["melt"] = lambda: table.melt(id_vars=["order_book_id", "date"], value_vars=["close", "volume"])

    def ohlc(freq):
        index = pd.date_range("2024-03-01 09:30", periods=12, freq=pd.offsets.Minute(1), name="datetime")
        return pd.Series(prices(index), index=index, name="last").resample(freq).ohlc()
    k["ohlc_5min"] = lambda: ohlc(pd.offsets.Minute(5))
    k["ohlc_frame"] = lambda: pd.DataFrame(
        {"a": prices(days(10)), "b": prices(days(10))[::-1]}, index=days(10)).resample(pd.offsets.Week(weekday=4)).ohlc()
    k["resample_month_last"] = lambda: pd.Series(
        np.arange(60.0), index=pd.date_range("2024-01-01", periods=60, freq="D")).resample(pd.offsets.MonthEnd()).last()
    k["merge"] = lambda: pd.merge(table[["order_book_id", "date", "close"]],
                                  pd.DataFrame({"order_book_id": list(ids()), "name": ["x", "y", "z"]}),
                                  on="order_book_id", how="left")
    k["concat_keys"] = lambda: pd.concat({"close": table.pivot(index="date", columns="order_book_id", values="close"),
                                          "volume": table.pivot(index="date", columns="order_book_id", values="volume")},
                                         axis=1)
    k["concat_rows_keys"] = lambda: pd.concat({"2024Q1": table.head(3), "2024Q2": table.tail(3)}, names=["quarter"])
    k["rolling_returns"] = lambda: table.pivot(index="date", columns="order_book_id", values="close").pct_change().rolling(2).mean()
    k["describe"] = lambda: table[["close", "volume"]].describe()
    k["corr"] = lambda: table.pivot(index="date", columns="order_book_id", values="close").corr()

    # --- indexes with a frequency
    for name, off in offsets().items():
        start = "2024-01-01 09:00" if name in ("freq_business_hour",) else "2024-01-01"
        k[name] = (lambda off=off, start=start: freq_frame(off, start=start))
    k["freq_timedelta"] = lambda: pd.DataFrame({"x": [1.0, 2.0, 3.0]},
                                               index=pd.timedelta_range("0s", periods=3, freq=pd.offsets.Minute(15)))
    k["freq_tz_hour"] = lambda: freq_frame(pd.offsets.Hour(), tz="Asia/Shanghai")
    k["series_freq_index"] = lambda: pd.Series([1.0, 2.0, 3.0], index=pd.date_range(
        "2024-01-05", periods=3, freq=pd.offsets.Week(weekday=4)), name="close")
    k["period_freqs"] = lambda: pd.DataFrame({
        "m": pd.period_range("2024-01", periods=3, freq="M"),
        "q": pd.period_range("2024Q1", periods=3, freq="Q"),
        "d": pd.period_range("2024-01-01", periods=3, freq="D"),
        "w": pd.period_range("2024-01-05", periods=3, freq="W-FRI"),
        "a": pd.period_range("2022", periods=3, freq=pd.offsets.YearEnd()),
        "b": pd.period_range("2024-01-01", periods=3, freq="B"),
    })
    k["period_index_hour"] = lambda: pd.DataFrame({"x": [1, 2, 3]}, index=pd.period_range(
        "2024-01-01 09:00", periods=3, freq=pd.offsets.Hour()))
    k["period_index_quarter"] = lambda: pd.Series([1.5, 2.5, 3.5], index=pd.period_range(
        "2024Q1", periods=3, freq="Q"), name="eps")

    # --- time zones of every kind
    def tz_frame(tz):
        index = pd.date_range("2024-03-01 09:30", periods=3, freq=pd.offsets.Hour(), tz=tz, name="datetime")
        return pd.DataFrame({"close": [1.0, 2.0, 3.0], "at": index}, index=index)

    def pytz_zone(key):
        import pytz
        return pytz.timezone(key)

    def dateutil_zone(kind):
        from dateutil import tz
        if kind == "utc":
            return tz.tzutc()
        if kind == "offset":
            return tz.tzoffset("CST", 8 * 3600)
        zone = tz.gettz("Asia/Shanghai")
        if zone is None:
            raise RuntimeError("no zone file for Asia/Shanghai")
        return zone

    def zoneinfo_zone(key):
        import zoneinfo
        return zoneinfo.ZoneInfo(key)

    k["tz_pytz"] = lambda: tz_frame(pytz_zone("Asia/Shanghai"))
    k["tz_pytz_utc"] = lambda: tz_frame(pytz_zone("UTC"))
    k["tz_pytz_fixed"] = lambda: tz_frame(__import__("pytz").FixedOffset(480))
    k["tz_pytz_ny"] = lambda: tz_frame(pytz_zone("America/New_York"))
    k["tz_zoneinfo"] = lambda: tz_frame(zoneinfo_zone("Asia/Shanghai"))
    k["tz_zoneinfo_utc"] = lambda: tz_frame(zoneinfo_zone("UTC"))
    k["tz_dateutil_utc"] = lambda: tz_frame(dateutil_zone("utc"))
    k["tz_dateutil_offset"] = lambda: tz_frame(dateutil_zone("offset"))
    k["tz_dateutil_file"] = lambda: tz_frame(dateutil_zone("file"))
    k["tz_dateutil_name"] = lambda: tz_frame("dateutil/Asia/Shanghai")
    k["tz_fixed"] = lambda: tz_frame(datetime.timezone(datetime.timedelta(hours=8)))
    k["tz_fixed_named"] = lambda: tz_frame(datetime.timezone(datetime.timedelta(hours=-5), "EST"))
    k["tz_utc"] = lambda: tz_frame(datetime.timezone.utc)
    k["tz_string"] = lambda: tz_frame("Asia/Shanghai")
    k["tz_scalars"] = lambda: pd.Series([
        pd.Timestamp("2024-03-01 09:30", tz="Asia/Shanghai"),
        pd.Timestamp("2024-03-01 09:30", tz=dateutil_zone("utc")),
        pd.Timestamp("2024-03-01 09:30", tz=dateutil_zone("offset")),
        pd.Timestamp("2024-03-01 09:30", tz=datetime.timezone.utc),
        datetime.datetime(2024, 3, 1, 9, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=8))),
    ], dtype=object, name="at")
    k["timestamp_with_freq"] = lambda: pd.Series([pd.date_range("2024-01-01", periods=3, freq="B")[1],
                                                  pd.Timedelta("1h"), pd.Timedelta(0)], dtype=object)
    k["timestamp_scalar"] = lambda: pd.Timestamp("2024-03-01 09:30:00.123456", tz="Asia/Shanghai")
    k["timedelta_scalar"] = lambda: pd.Timedelta("1 days 02:03:04.5")

    # --- MultiIndex, Series, empty values, attrs and flags
    def multi_both():
        rows = pd.MultiIndex.from_product([list(ids(2)), days(2)], names=["order_book_id", "date"])
        cols = pd.MultiIndex.from_tuples([("price", "open"), ("price", "close"), ("size", "volume")],
                                         names=["field", "item"])
        return pd.DataFrame(np.arange(12.0).reshape(4, 3), index=rows, columns=cols)
    k["multi_both"] = multi_both
    k["multi_three_levels"] = lambda: table.set_index(["sector", "order_book_id", "date"])[["close"]]
    k["multi_with_nan_codes"] = lambda: pd.DataFrame({"x": [1, 2, 3]}, index=pd.MultiIndex.from_arrays(
        [["a", None, "b"], [1.0, 2.0, np.nan]], names=["k", "v"]))
    k["series_close"] = lambda: pd.Series(prices(days()), index=days(), name="close")
    k["series_multi"] = lambda: table.set_index(["order_book_id", "date"])["volume"]
    k["series_text_index"] = lambda: pd.Series(["Ping An", "Vanke", None], index=ids(), name="name")
    k["series_categorical"] = lambda: pd.Series(pd.Categorical(["A", "B", "A"]), index=ids(), name="sector")
    k["series_unnamed_empty"] = lambda: pd.Series([], dtype="float64")
    k["empty"] = lambda: pd.DataFrame()
    k["zero_columns"] = lambda: pd.DataFrame(index=days())
    k["zero_rows"] = lambda: pd.DataFrame({"close": pd.Series([], dtype="float64"),
                                           "date": pd.Series([], dtype="datetime64[ns]")})
    k["zero_rows_ids"] = lambda: table.pivot(index="order_book_id", columns="date", values="close").iloc[:0]

    def with_attrs():
        df = table.pivot(index="date", columns="order_book_id", values="close")
        df.attrs = {"source": "tessel", "fields": ["close"], "asof": pd.Timestamp("2024-03-06")}
        return df
    k["attrs"] = with_attrs

    def with_flags():
        df = table.pivot(index="date", columns="order_book_id", values="close")
        df.flags.allows_duplicate_labels = False
        return df
    k["flags"] = with_flags

    # --- dtype families
    k["numeric"] = lambda: pd.DataFrame({
        "i8": np.array([1, -2, 3], "int8"), "u32": np.array([1, 2, 3], "uint32"),
        "i64": np.array([1, 2, 3], "int64"), "f32": np.array([1.5, np.nan, 3.0], "float32"),
        "f64": [0.1, np.nan, 1e300], "flag": [True, False, True], "c": np.array([1 + 2j, 0, -1j])})
    k["nullable"] = lambda: pd.DataFrame({
        "Int64": pd.array([1, None, 3], dtype="Int64"), "Int8": pd.array([1, None, 3], dtype="Int8"),
        "UInt32": pd.array([1, None, 3], dtype="UInt32"), "UInt64": pd.array([1, None, 3], dtype="UInt64"),
        "Float64": pd.array([1.5, None, 3.5], dtype="Float64"),
        "Float32": pd.array([1.5, None, 3.5], dtype="Float32"),
        "boolean": pd.array([True, None, False], dtype="boolean")})
    k["categorical"] = lambda: pd.DataFrame({
        "plain": pd.Categorical(["a", "b", None]),
        "ordered": pd.Categorical(["lo", "hi", "mid"], categories=["lo", "mid", "hi"], ordered=True),
        "dates": pd.Categorical(pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-01"])),
        "ints": pd.Categorical([3, 1, 3])})
    k["period"] = lambda: pd.DataFrame({"p": pd.period_range("2024-01", periods=3, freq="M"),
                                        "na": pd.array([pd.Period("2024-01-01", "D"), pd.NaT, pd.Period("2024-01-03", "D")])})
    k["interval"] = lambda: pd.DataFrame({
        "i": pd.arrays.IntervalArray.from_breaks([0, 1, 2, 3]),
        "f": pd.arrays.IntervalArray.from_breaks([0.0, 0.5, 1.5, 3.0], closed="left"),
        "t": pd.arrays.IntervalArray.from_breaks(pd.date_range("2024-01-01", periods=4), closed="both")})
    k["interval_index"] = lambda: pd.Series([1, 2, 3], index=pd.interval_range(0.0, 3.0, periods=3, name="bucket"))
    k["sparse"] = lambda: pd.DataFrame({"f": pd.arrays.SparseArray([0.0, 0.0, 1.5, np.nan]),
                                        "i": pd.arrays.SparseArray([0, 3, 0, 0], fill_value=0),
                                        "b": pd.arrays.SparseArray([False, True, False, False], fill_value=False)})

    def sparse_long(density):
        n = 100000
        values = np.zeros(n)
        values[:: int(1 / density)] = 1.5
        return pd.DataFrame({"signal": pd.arrays.SparseArray(values, fill_value=0.0)})
    k["sparse_100k_1pct"] = lambda: sparse_long(0.01)
    k["sparse_100k_0.1pct"] = lambda: sparse_long(0.001)
    k["string"] = lambda: pd.DataFrame({"s": pd.array(["x", None, "z"], dtype="string"),
                                        "py": pd.array(["x", None, "z"], dtype=pd.StringDtype("python")),
                                        "obj": pd.Series(["a", None, "c"], dtype=object)})
    k["string_pyarrow"] = lambda: pd.DataFrame({"s": pd.array(["x", None, "z"], dtype=pd.StringDtype("pyarrow"))})

    def string_nan():
        return pd.DataFrame({"s": pd.array(["x", None, "z"], dtype=pd.StringDtype("python", na_value=np.nan)),
                             "a": pd.array(["x", None, "z"], dtype=pd.StringDtype("pyarrow", na_value=np.nan))})
    k["string_nan"] = string_nan

    def string_cache():
        # a string column that served as an index: its dtype carries a filled _cache
        df = pd.DataFrame({"k": pd.array(["a", "b", "c"], dtype="string"), "v": [1, 2, 3]})
        for use in (lambda: df.set_index("k").loc["b"], lambda: df.groupby("k")["v"].sum(),
                    lambda: df["k"].dtype.index_class, lambda: hash(df["k"].dtype)):
            try:
                use()
            except Exception:
                pass
        return df
    k["string_cache"] = string_cache
    k["string_index"] = lambda: pd.DataFrame({"v": [1, 2, 3]}, index=pd.Index(pd.array(["a", "b", "c"], dtype="string")))
    k["datetime_units"] = lambda: pd.DataFrame({
        u: pd.to_datetime(["2024-01-01", None, "2024-01-03"]).astype("datetime64[%s]" % u) for u in ("s", "ms", "us", "ns")})
    k["timedelta_units"] = lambda: pd.DataFrame({
        u: pd.to_timedelta([1, None, 3], unit="s").astype("timedelta64[%s]" % u) for u in ("s", "ms", "us", "ns")})
    k["datetime_tz_units"] = lambda: pd.DataFrame({
        u: pd.date_range("2024-01-01", periods=3, tz="Asia/Shanghai").astype("datetime64[%s, Asia/Shanghai]" % u)
        for u in ("s", "ms", "us", "ns")})
    k["objects"] = lambda: pd.DataFrame({"v": pd.Series([
        pd.Timestamp("2024-01-01"), pd.NaT, pd.Timedelta("1h"), pd.Period("2024-01", freq="M"),
        pd.Period("2024Q1", freq="Q"), pd.Interval(0, 1), pd.NA, None, decimal.Decimal("1.10"),
        datetime.date(2024, 1, 1), datetime.time(9, 30), datetime.timedelta(days=1), b"raw",
        np.float32(1.5), np.int64(3), np.datetime64("2024-01-01"), np.timedelta64(5, "m")], dtype=object)})

    def int_indexes():
        return {"int64": pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=pd.Index([10, 20, 30], dtype="int64")),
                "uint64": pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=pd.Index([10, 20, 2**63], dtype="uint64")),
                "float64": pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=pd.Index([0.5, 1.5, 2.5], dtype="float64")),
                "range": pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=pd.RangeIndex(5, 11, 2, name="r"))}
    k["numeric_indexes"] = int_indexes
    k["index_int_columns"] = lambda: pd.DataFrame(np.arange(6.0).reshape(2, 3), columns=[2022, 2023, 2024])
    k["index_int32"] = lambda: pd.Series([1.0, 2.0], index=pd.Index(np.array([1, 2], dtype="int32")))
    k["categorical_index"] = lambda: pd.DataFrame({"x": [1, 2, 3]}, index=pd.CategoricalIndex(["a", "b", "a"], name="c"))
    k["timedelta_index"] = lambda: pd.Series([1.0, 2.0], index=pd.to_timedelta(["1D", "2D"]))
    k["containers"] = lambda: {"fields": ["close", "volume"], "frames": [table.head(2)], "asof": datetime.date(2024, 3, 6),
                               "range": range(3), "set": {1, 2}, "tuple": (1, "a", None)}
    k.update(arrow_kinds())
    return k


def arrow_kinds():
    """ArrowDtype columns of every Arrow type pandas can hold (pandas 1.5 on)."""
    def frame():
        import pyarrow as pa
        A = pd.ArrowDtype
        cols = {
            "int8": pd.array([1, None, 3], dtype=A(pa.int8())),
            "uint64": pd.array([1, None, 3], dtype=A(pa.uint64())),
            "float32": pd.array([1.5, None, 3.5], dtype=A(pa.float32())),
            "bool": pd.array([True, None, False], dtype=A(pa.bool_())),
            "string": pd.array(["a", None, "c"], dtype=A(pa.string())),
            "large_string": pd.array(["a", None, "c"], dtype=A(pa.large_string())),
        }
        return pd.DataFrame(cols)

    def typed(name):
        import pyarrow as pa
        arrays = {
            "decimal128": lambda: pa.array([decimal.Decimal("1.10"), None, decimal.Decimal("-2.25")], pa.decimal128(12, 2)),
            "dictionary": lambda: pa.array(["a", "b", "a"]).dictionary_encode(),
            "timestamp_tz": lambda: pa.array([0, None, 86400 * 10**6], pa.timestamp("us", tz="Asia/Shanghai")),
            "timestamp_utc": lambda: pa.array([0, None, 86400], pa.timestamp("s", tz="UTC")),
            "timestamp_naive": lambda: pa.array([0, None, 86400 * 10**9], pa.timestamp("ns")),
            "date32": lambda: pa.array([datetime.date(2024, 1, 1), None, datetime.date(2024, 1, 3)], pa.date32()),
            "date64": lambda: pa.array([datetime.date(2024, 1, 1), None, datetime.date(2024, 1, 3)], pa.date64()),
            "time64": lambda: pa.array([datetime.time(9, 30), None, datetime.time(15, 0)], pa.time64("us")),
            "time32": lambda: pa.array([datetime.time(9, 30), None, datetime.time(15, 0)], pa.time32("s")),
            "duration": lambda: pa.array([1, None, 3], pa.duration("ms")),
            "binary": lambda: pa.array([b"ab", None, b"\x00"], pa.binary()),
            "large_binary": lambda: pa.array([b"ab", None, b"\x00"], pa.large_binary()),
            "fixed_binary": lambda: pa.array([b"ab", None, b"cd"], pa.binary(2)),
            "list": lambda: pa.array([[1, 2], None, []], pa.list_(pa.int64())),
            "large_list": lambda: pa.array([[1.5], None, [2.5, 3.5]], pa.large_list(pa.float64())),
            "struct": lambda: pa.array([{"bid": 1.0, "ask": 1.1}, None, {"bid": 2.0, "ask": None}],
                                       pa.struct([("bid", pa.float64()), ("ask", pa.float64())])),
            "null": lambda: pa.array([None, None, None], pa.null()),
            "decimal256": lambda: pa.array([decimal.Decimal("1.5"), None, decimal.Decimal("2")], pa.decimal256(40, 3)),
        }
        return pd.Series(pd.arrays.ArrowExtensionArray(arrays[name]()), name=name)

    out = {"arrow_basic": frame}
    for name in ("decimal128", "dictionary", "timestamp_tz", "timestamp_utc", "timestamp_naive", "date32",
                 "date64", "time64", "time32", "duration", "binary", "large_binary", "fixed_binary", "list",
                 "large_list", "struct", "null", "decimal256"):
        out["arrow_" + name] = (lambda name=name: typed(name))
    out["arrow_index"] = lambda: pd.DataFrame({"x": [1, 2, 3]}, index=pd.Index(pd.array(
        [1, 2, 3], dtype="int64[pyarrow]"), name="k"))
    return out


def versions():
    out = {"python": sys.version.split()[0], "pandas": pd.__version__, "numpy": np.__version__}
    for name in ("pyarrow", "pytz", "dateutil"):
        try:
            out[name] = __import__(name).__version__
        except ImportError:
            out[name] = "-"
    return out


def write_manifest(out):
    lines = ["Pickles written by tests/tools/make_corpus.py, one folder a producer.", ""]
    for folder in sorted(glob.glob(os.path.join(out, "pandas-*"))):
        with open(os.path.join(folder, "VERSIONS.txt")) as f:
            head = f.readline().strip()
        count = len(glob.glob(os.path.join(folder, "*.pkl")))
        lines.append("%-16s %5d files  %s" % (os.path.basename(folder), count, head))
    with open(os.path.join(out, "MANIFEST.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def main(out):
    v = versions()
    folder = os.path.join(out, "pandas-" + pd.__version__)
    os.makedirs(folder, exist_ok=True)
    for old in glob.glob(os.path.join(folder, "*.pkl")):
        os.remove(old)
    skipped = []
    for name, make in sorted(kinds().items()):
        try:
            value = make()
            data = {p: pickle.dumps(value, protocol=p)
                    for p in ((0, 1, 2, 3) if name in ALL_PROTOCOLS else ()) + PROTOCOLS}
        except Exception as e:  # this producer cannot make the kind
            skipped.append("%s (%s: %s)" % (name, type(e).__name__, str(e).splitlines()[0][:80] if str(e) else ""))
            continue
        for protocol, blob in data.items():
            with open(os.path.join(folder, "%s.p%d.pkl" % (name, protocol)), "wb") as f:
                f.write(blob)
    with open(os.path.join(folder, "VERSIONS.txt"), "w") as f:
        f.write(" ".join("%s %s" % kv for kv in v.items()) + "\n")
        f.write("skipped: %d kinds\n" % len(skipped))
        for line in skipped:
            f.write("  " + line + "\n")
    write_manifest(out)


if __name__ == "__main__":
    main(sys.argv[1])
