"""How the client's reader does on the pickle corpus, against what pandas itself reads.

    python tests/tools/corpus_outcomes.py [tests/data/pickles-corpus] [--files]

Each file is read three ways: by the client's reader, by pickle.loads and by pd.read_pickle
(pandas' compatibility reader, tried only where pickle.loads fails). Outcomes:

    equal      the reader's value equals the trusted one (classes, values, dtypes, names,
               frequencies, zone classes, attrs and flags)
    differs    the reader loads a value that is not equal to the trusted one
    refused    the reader raises where pickle.loads or pd.read_pickle reads the file
    both-fail  neither pandas reader reads it, and the reader raises UnpicklingError or ImportError
    wrong-error  neither reads it, and the reader raises anything else (or loads something)

Prints a table by producer and outcome, then the refusals grouped by their message.
tests/test_pickle_corpus.py asserts the same comparison file by file.
"""

import collections
import datetime
import glob
import io
import os
import pickle
import re
import sys
import types
import warnings

import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(os.path.dirname(HERE), "data", "pickles-corpus")


def corpus_files(root=CORPUS):
    return sorted(glob.glob(os.path.join(root, "pandas-*", "*.pkl")))


def read_by_client(data):
    from marvane.TSClient import TesselClient
    holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return TesselClient.load_df_from_tsdb(holder, "k")


def pytz_as_zoneinfo():
    """Where pytz is not installed, a module standing for it with the zones the client reads
    pytz's as (zoneinfo by key, UTC and fixed offsets as datetime.timezone); None elsewhere."""
    try:
        import pytz  # noqa: F401
        return None
    except ImportError:
        pass
    import zoneinfo
    stand_in = types.ModuleType("pytz")
    stand_in._p = lambda key, *rest: datetime.timezone.utc if key == "UTC" else zoneinfo.ZoneInfo(key)
    stand_in._UTC = lambda: datetime.timezone.utc
    stand_in.FixedOffset = lambda minutes: datetime.timezone(datetime.timedelta(minutes=minutes))
    return stand_in


def trusted(data):
    """(how, value): how is "pickle.loads", "pd.read_pickle", or None with the errors."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        stand_in = pytz_as_zoneinfo() if b"pytz" in data else None
        if stand_in is not None:
            sys.modules["pytz"] = stand_in
        try:
            try:
                return "pickle.loads", pickle.loads(data)
            except Exception as e:
                first = e
            try:
                return "pd.read_pickle", pd.read_pickle(io.BytesIO(data))
            except Exception as e:
                return None, (first, e)
        finally:
            if stand_in is not None:
                del sys.modules["pytz"]


def zones(value):
    """The classes of every time zone a value holds, in a fixed order."""
    out = []

    def of_index(index):
        if isinstance(index, pd.MultiIndex):
            for level in index.levels:
                of_index(level)
        else:
            out.append(type(getattr(index, "tz", None)))
            of_dtype(index.dtype)

    def of_dtype(dtype):
        tz = getattr(dtype, "tz", None)
        pyarrow_type = getattr(dtype, "pyarrow_dtype", None)
        out.append(type(tz) if tz is not None else getattr(pyarrow_type, "tz", None))

    def of_item(item):
        if isinstance(item, (datetime.datetime, datetime.time)):
            out.append(type(item.tzinfo))

    if isinstance(value, pd.DataFrame):
        of_index(value.index)
        of_index(value.columns)
        for i in range(value.shape[1]):
            column = value.iloc[:, i]
            of_dtype(column.dtype)
            if column.dtype == object:
                column.map(of_item)
    elif isinstance(value, pd.Series):
        of_index(value.index)
        of_dtype(value.dtype)
        if value.dtype == object:
            value.map(of_item)
    elif isinstance(value, pd.Index):
        of_index(value)
    else:
        of_item(value)
    return out


def freqs(value):
    out = []
    for index in ([value.index, value.columns] if isinstance(value, pd.DataFrame) else
                  [value.index] if isinstance(value, pd.Series) else []):
        out.append(getattr(index, "freq", None))
        out.append(type(index))
        out.append(getattr(index, "names", None))
    return out


def assert_same(got, expected):
    """Equal as the corpus test means it; raises AssertionError naming the difference."""
    assert type(got) is type(expected), (type(got), type(expected))
    if isinstance(expected, dict):
        assert list(got) == list(expected)
        for key in expected:
            assert_same(got[key], expected[key])
    elif isinstance(expected, (list, tuple)):
        assert len(got) == len(expected)
        for a, b in zip(got, expected):
            assert_same(a, b)
    elif isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected, check_exact=True, check_freq=True, check_flags=True)
    elif isinstance(expected, pd.Series):
        pd.testing.assert_series_equal(got, expected, check_exact=True, check_freq=True, check_flags=True)
    else:
        assert got == expected or (got != got and expected != expected), (got, expected)
    if isinstance(expected, (pd.DataFrame, pd.Series)):
        assert freqs(got) == freqs(expected), (freqs(got), freqs(expected))
        assert got.attrs == expected.attrs, (got.attrs, expected.attrs)
    assert zones(got) == zones(expected), (zones(got), zones(expected))
    if isinstance(expected, pd.Timestamp):
        assert got.unit == expected.unit if hasattr(expected, "unit") else True


def outcome(data):
    """(outcome, trusted reader or None, detail)."""
    how, expected = trusted(data)
    try:
        got = read_by_client(data)
    except Exception as e:
        if how is None:
            ok = isinstance(e, (pickle.UnpicklingError, ImportError))
            return ("both-fail" if ok else "wrong-error"), None, "%s: %s" % (type(e).__name__, e)
        return "refused", how, "%s: %s" % (type(e).__name__, e)
    if how is None:
        return "wrong-error", None, "loaded %s where pandas reads nothing (%s)" % (type(got).__name__, expected[0])
    try:
        assert_same(got, expected)
    except AssertionError as e:
        return "differs", how, str(e).splitlines()[0][:200] if str(e) else "AssertionError"
    return "equal", how, ""


def reason(detail):
    """A refusal's message without the value's particulars, to group them."""
    detail = detail.splitlines()[0]
    if "refused to load global" not in detail:
        detail = re.sub(r"'[^']*'|\"[^\"]*\"", "'…'", detail)
    return re.sub(r"\d+", "N", detail)[:150]


def main(argv):
    root = next((a for a in argv if not a.startswith("--")), CORPUS)
    table = collections.defaultdict(collections.Counter)
    reasons = collections.Counter()
    examples = {}
    lines = []
    for path in corpus_files(root):
        producer = os.path.basename(os.path.dirname(path))
        with open(path, "rb") as f:
            result, how, detail = outcome(f.read())
        table[producer][result] += 1
        table[producer]["via read_pickle"] += how == "pd.read_pickle"
        if result in ("refused", "differs", "wrong-error"):
            key = result + ": " + reason(detail)
            reasons[key] += 1
            examples.setdefault(key, os.path.relpath(path, root))
        lines.append("%-10s %-16s %s  %s" % (result, how, os.path.relpath(path, root), detail[:160]))
    columns = ["equal", "differs", "refused", "both-fail", "wrong-error", "via read_pickle"]
    print("%-16s %6s " % ("producer", "files") + " ".join("%9s" % c[:9] for c in columns))
    total = collections.Counter()
    for producer in sorted(table, key=lambda p: [int(x) for x in p.split("-")[1].split(".")]):
        counts = table[producer]
        n = sum(counts[c] for c in columns[:5])
        total.update(counts)
        print("%-16s %6d " % (producer, n) + " ".join("%9d" % counts[c] for c in columns))
    print("%-16s %6d " % ("all", sum(total[c] for c in columns[:5])) + " ".join("%9d" % total[c] for c in columns))
    print()
    for key, count in reasons.most_common():
        print("%5d  %s   e.g. %s" % (count, key, examples[key]))
    if "--files" in argv:
        print()
        print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
