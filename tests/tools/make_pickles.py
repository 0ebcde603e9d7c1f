"""Write pickles of every kind of pandas object the client must read back.

Run it with each pandas/numpy pair whose pickles a data service may serve, for example

    python tests/tools/make_pickles.py tests/data/pickles-pandas3      # pandas 3.x, numpy 2.x
    /path/to/pandas-2.2-venv/bin/python tests/tools/make_pickles.py tests/data/pickles-pandas22

Files are <name>.p<protocol>.pkl for protocols 2 to 5 (and 0 and 1 for LOW_PROTOCOLS); VERSIONS.txt records the versions.
tests/test_client_fetch.py rebuilds the same objects from `frames()` under the installed
pandas and compares values.
"""

import datetime
import decimal
import os
import pickle
import sys
import zoneinfo

import numpy as np
import pandas as pd


def frames():
    ids = pd.Index([f"{i:06d}.XSHE" for i in range(3)], name="order_book_id")
    days = pd.to_datetime(["2024-03-01", "2024-03-04", "2024-03-05"])
    shanghai = zoneinfo.ZoneInfo("Asia/Shanghai")
    out = {
        "pivot": pd.DataFrame([[1.5, np.nan, 2.25], [3.0, 4.0, np.nan], [np.nan] * 3],
                              index=ids, columns=days),
        # A slice of a day index: pandas 3 pickles its array with a "_readonly" mark.
        "pivot_slice": pd.DataFrame([[1.5, np.nan], [3.0, 4.0], [np.nan] * 2],
                                    index=ids, columns=days[1:]),
        "numeric": pd.DataFrame({
            "i8": np.array([1, -2, 3], dtype="int8"), "i16": np.array([1, 2, 3], dtype="int16"),
            "i32": np.array([1, 2, 3], dtype="int32"), "i64": np.array([1, 2, 3], dtype="int64"),
            "u8": np.array([1, 2, 3], dtype="uint8"), "u64": np.array([1, 2, 3], dtype="uint64"),
            "f32": np.array([1.5, np.nan, 3.0], dtype="float32"), "f64": [0.1, np.nan, 1e300],
            "c128": np.array([1 + 2j, 0, -1j]), "flag": [True, False, True],
        }),
        "text": pd.DataFrame({
            "obj": pd.Series(["a", None, "c"], dtype=object),
            "string": pd.array(["x", None, "z"], dtype="string"),
            "mixed": pd.Series([1, "two", 3.0], dtype=object),
        }),
        "dates": pd.DataFrame({
            "naive": pd.to_datetime(["2024-01-01", None, "2024-01-03T12:30:00"], format="ISO8601"),
            "naive_s": pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-03"]).astype("datetime64[s]"),
            "shanghai": pd.date_range("2024-01-01", periods=3, freq="D", tz=shanghai),
            "shanghai_named": pd.date_range("2024-01-01", periods=3, freq="D", tz="Asia/Shanghai"),
            "utc": pd.date_range("2024-01-01", periods=3, freq="h", tz=datetime.timezone.utc),
            "utc_named": pd.date_range("2024-01-01", periods=3, freq="h", tz="UTC"),
            "fixed": pd.date_range("2024-01-01", periods=3, freq="D",
                                   tz=datetime.timezone(datetime.timedelta(hours=8))),
            "td": pd.to_timedelta([1, None, 3], unit="s"),
        }),
        "extension": pd.DataFrame({
            "cat": pd.Categorical(["a", "b", "a"]),
            "ordered": pd.Categorical([3, 1, 2], categories=[3, 2, 1], ordered=True),
            "period": pd.period_range("2024-01", periods=3, freq="M"),
            "period_d": pd.period_range("2024-01-01", periods=3, freq="D"),
            "Int64": pd.array([1, None, 3], dtype="Int64"),
            "UInt8": pd.array([1, None, 3], dtype="UInt8"),
            "Float64": pd.array([1.5, None, 3.5], dtype="Float64"),
            "boolean": pd.array([True, None, False], dtype="boolean"),
            "interval": pd.arrays.IntervalArray.from_breaks([0, 1, 2, 3]),
        }),
        "scalars": pd.DataFrame({"v": pd.Series([
            pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-01", tz=shanghai), pd.NaT,
            pd.Timedelta("1h"), pd.Period("2024-01", freq="M"), pd.NA, None,
            decimal.Decimal("1.10"), datetime.date(2024, 1, 1), datetime.datetime(2024, 1, 1, 9, 30),
            datetime.time(9, 30), datetime.timedelta(days=1), b"raw", 1 + 1j,
        ], dtype=object)}),
        "index_kinds": {
            "range": pd.DataFrame({"x": [1, 2, 3]}),
            "int": pd.DataFrame({"x": [1, 2, 3]}, index=[10, 20, 30]),
            "float": pd.DataFrame({"x": [1, 2, 3]}, index=[0.5, 1.5, 2.5]),
            "text": pd.DataFrame({"x": [1, 2, 3]}, index=["a", "b", "c"]),
            "datetime": pd.DataFrame({"x": [1, 2, 3]}, index=pd.date_range("2024-01-01", periods=3, freq="B")),
            "datetime_tz": pd.DataFrame({"x": [1, 2, 3]}, index=pd.date_range("2024-01-01", periods=3, tz=shanghai)),
            "timedelta": pd.DataFrame({"x": [1, 2, 3]}, index=pd.to_timedelta([1, 2, 3], unit="D")),
            "period": pd.DataFrame({"x": [1, 2, 3]}, index=pd.period_range("2024-01", periods=3, freq="M")),
            "categorical": pd.DataFrame({"x": [1, 2, 3]}, index=pd.CategoricalIndex(["a", "b", "a"])),
            "interval": pd.DataFrame({"x": [1, 2, 3]}, index=pd.IntervalIndex.from_breaks([0, 1, 2, 3])),
            "multi": pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0]}, index=pd.MultiIndex.from_product(
                [["A", "B"], pd.to_datetime(["2024-01-01", "2024-01-02"])], names=["id", "date"])),
            "multi_columns": pd.DataFrame([[1, 2]], columns=pd.MultiIndex.from_tuples([("a", 1), ("b", 2)])),
        },
        "nullable": pd.DataFrame({
            name: pd.array([1, None, 3], dtype=name)
            for name in ("Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64")
        } | {"Float32": pd.array([1.5, None, 3.5], dtype="Float32"),
             "string_python": pd.array(["x", None, "z"], dtype="string[python]")}),
        "units": pd.DataFrame({
            **{f"naive_{u}": pd.to_datetime(["2024-01-01", None, "2024-01-03"]).astype(f"datetime64[{u}]")
               for u in ("s", "ms", "us", "ns")},
            **{f"tz_{u}": pd.date_range("2024-01-01", periods=3, tz=shanghai).astype(f"datetime64[{u}, Asia/Shanghai]")
               for u in ("s", "ms", "us", "ns")},
            **{f"td_{u}": pd.to_timedelta([1, None, 3], unit="s").astype(f"timedelta64[{u}]")
               for u in ("s", "ms", "us", "ns")},
            "cat_dates": pd.Categorical(pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-01"])),
            "cat_ints": pd.Categorical([1, 2, 1]),
            "interval_f": pd.arrays.IntervalArray.from_breaks([0.0, 0.5, 1.5, 3.0], closed="left"),
            "period_q": pd.period_range("2024Q1", periods=3, freq="Q"),
        }),
        "sparse": pd.DataFrame({"f": pd.arrays.SparseArray([0.0, 0.0, 1.5]),
                                "i": pd.arrays.SparseArray([0, 3, 0], fill_value=0)}),
        "numpy_scalars": pd.DataFrame({"v": pd.Series([np.float64(1.5), np.int32(3), np.bool_(True),
                                                       np.datetime64("2024-01-01", "D"),
                                                       decimal.Decimal("-0.5")], dtype=object)}),
        "index_columns": pd.DataFrame([[1.0, 2.0, 3.0]], columns=pd.CategoricalIndex(["a", "b", "a"])).T.T,
        "series": pd.Series([1.0, np.nan, 3.0], index=["a", "b", "c"], name="close"),
        "empty": pd.DataFrame(),
        "no_rows": pd.DataFrame({"x": pd.Series([], dtype="float64"), "t": pd.Series([], dtype=object)}),
        "containers": {"a": 1, "b": [1, 2.5, "x", None, True], "c": (1, 2), "d": {1, 2},
                       "e": frozenset({3}), "f": bytearray(b"xy"), "g": range(3), "h": slice(1, 5, 2)},
    }
    try:  # pyarrow-backed text and Arrow columns, where this pandas has them
        import pyarrow as pa
        out["text"]["arrow"] = pd.array(["p", None, "r"], dtype="string[pyarrow]")
        out["arrow"] = pd.DataFrame({
            "int64": pd.array([1, None, 3], dtype="int64[pyarrow]"),
            "double": pd.array([1.5, None, 3.5], dtype="double[pyarrow]"),
            "bool": pd.array([True, None, False], dtype="bool[pyarrow]"),
            "string": pd.array(["a", None, "c"], dtype=pd.ArrowDtype(pa.string())),
            "ts": pd.array(pd.to_datetime(["2024-01-01", None, "2024-01-03"]), dtype=pd.ArrowDtype(pa.timestamp("us"))),
        })
    except (ImportError, TypeError):
        pass
    flat = {}
    for name, value in out.items():
        if isinstance(value, dict) and name == "index_kinds":
            flat.update({f"index_{k}": v for k, v in value.items()})
        else:
            flat[name] = value
    return flat


# Protocols 0 and 1 are written for the frames whose objects Python 3 pickles at them.
LOW_PROTOCOLS = ("pivot", "numeric", "text", "dates", "extension", "nullable", "index_multi", "series")


def main(out):
    os.makedirs(out, exist_ok=True)
    for name, obj in frames().items():
        for protocol in ((0, 1) if name in LOW_PROTOCOLS else ()) + (2, 3, 4, 5):
            with open(os.path.join(out, f"{name}.p{protocol}.pkl"), "wb") as f:
                pickle.dump(obj, f, protocol=protocol)
    with open(os.path.join(out, "VERSIONS.txt"), "w") as f:
        f.write(f"pandas {pd.__version__}\nnumpy {np.__version__}\npython {sys.version.split()[0]}\n")


if __name__ == "__main__":
    main(sys.argv[1])
