"""The pickle corpus (tests/data/pickles-corpus, written by tests/tools/make_corpus.py under
nine producers, pandas 1.3 to 3.1): every file that the installed pandas reads, by
pickle.loads or else by its compatibility reader pd.read_pickle, loads through the client's
reader equal to what pandas read (classes, values, dtypes, names, frequencies, zone classes,
attrs and flags); a file that neither reads is refused with UnpicklingError or ImportError."""

import datetime
import os
import pickle

import numpy as np
import pandas as pd
import pytest

import corpus_outcomes

FILES = corpus_outcomes.corpus_files()
ROOT = corpus_outcomes.CORPUS


def test_corpus_holds_every_producer():
    producers = {os.path.basename(os.path.dirname(p)) for p in FILES}
    assert len(producers) >= 9 and len(FILES) > 1500, (sorted(producers), len(FILES))


@pytest.mark.parametrize("path", FILES, ids=lambda p: os.path.relpath(p, ROOT))
def test_corpus_file_reads_as_pandas_reads_it(path):
    with open(path, "rb") as f:
        data = f.read()
    how, expected = corpus_outcomes.trusted(data)
    if how is None:
        with pytest.raises((pickle.UnpicklingError, ImportError)):
            corpus_outcomes.read_by_client(data)
        return
    corpus_outcomes.assert_same(corpus_outcomes.read_by_client(data), expected)


class Payload:
    def __init__(self, *reduce):
        self.reduce = reduce

    def __reduce__(self):
        return self.reduce


def called(module, name, args):
    """A pickle calling module.name(*args), for globals the installed libraries name otherwise."""
    return b"\x80\x02c" + f"{module}\n{name}\n".encode() + pickle.dumps(args, 2)[2:-1] + b"R."


def hostile():
    """Values naming the globals the corpus added, with what their rules refuse."""
    import functools

    from pandas.core.internals import blocks

    o = pd.offsets
    cases = {
        "weekday past Sunday": (Payload(o.Week, (1, False, 9)), "weekday 9"),
        "n past the bound": (Payload(o.Hour, (10**12, False)), "n 1000000000000"),
        "normalize not a bool": (Payload(o.Minute, (5, 1)), "normalize 1"),
        "too many fields": (Payload(o.QuarterEnd, (1, False, 3, 4)), "takes 0 to 3 arguments"),
        "weekmask of other text": (Payload(o.CustomBusinessDay, (1, False, "Mon;Tue", (), None, None)), "weekmask"),
        "holidays past the bound": (Payload(o.CustomBusinessDay, (1, False, "Mon Tue", (datetime.date(2024, 1, 1),) * 10001)),
                                    "10001 holidays"),
        "a calendar": (Payload(o.CustomBusinessDay, (1, False, "Mon Tue", (), "cal")), "calendar"),
        "zone file path out of the zone tree": (called("dateutil.tz.tz", "tzfile", (None, "/usr/share/zoneinfo/../../etc/passwd")),
                                                "time zone key"),
        "offset of two days": (called("dateutil.tz.tz", "tzoffset", ("X", 2 * 86400)), "offset"),
        "decimal precision past Arrow's": (Payload(pa.decimal128, (99, 2)) if pa else None, "arguments (99, 2)"),
        "dictionary of text indices": (Payload(pa.dictionary, (pa.string(), pa.string())) if pa else None, "arguments"),
        "partial with another keyword": (Payload(functools.partial(blocks.new_block, ndim=2, klass=None),
                                                 (np.ones((1, 2)), slice(0, 1))), "otherwise than from values, a placement and ndim"),
        "partial of ndim 3": (Payload(functools.partial(blocks.new_block, ndim=3), (np.ones((1, 2)), slice(0, 1))), "ndim 3"),
        "a call of a made value": (pickle.dumps(Payload(pd.Interval, (0, 1, "right")), 2)[:-1] + pickle.dumps((1,), 2)[2:-1] + b"R.",
                                   "a call of what"),
        "sparse length past the bound": (Payload(pd._libs.sparse.IntIndex, (2**26 + 1, np.array([0], dtype="int32"))),
                                         "sparse length"),
        "interval side": (Payload(pd.Interval, (0, 1, "sideways")), "closed"),
    }
    return cases


try:
    import pyarrow as pa
except ImportError:
    pa = None
HOSTILE = hostile()


@pytest.mark.parametrize("name", HOSTILE)
def test_new_rules_refuse_what_they_do_not_know(name):
    payload, refused = HOSTILE[name]
    if payload is None:
        pytest.skip("pyarrow is not installed here")
    with pytest.raises(pickle.UnpicklingError) as e:
        corpus_outcomes.read_by_client(payload if isinstance(payload, bytes) else pickle.dumps(payload, 4))
    assert refused in str(e.value), str(e.value)


def test_dateutil_zone_file_is_made_from_its_key_never_its_path():
    from dateutil import tz
    zone = tz.gettz("Asia/Shanghai")
    try:
        pd.Timestamp("2024-01-01", tz=zone)
    except Exception:
        pytest.skip("this pandas cannot use the installed dateutil's zone files")
    data = called("dateutil.tz.tz", "tzfile", (None, "/nowhere/share/zoneinfo/Asia/Shanghai"))
    assert corpus_outcomes.read_by_client(data) is zone


IDS = [f"{i:06d}.XSHE" for i in range(5000)]


def float_month():
    days = pd.date_range("2024-01-01", periods=250, freq="D")
    return pd.DataFrame(np.random.default_rng(7).random((5000, 250)), index=pd.Index(IDS, name="order_book_id"),
                        columns=days)


def unstack_table(n=1_000_000):
    return pd.DataFrame({"order_book_id": np.array(IDS * (n // 5000), dtype=object),
                         "start_date": pd.Timestamp("2020-01-01") + pd.to_timedelta(np.arange(n) % 3000, unit="D"),
                         "end_date": pd.Timestamp("2030-01-01"), "value": np.random.default_rng(7).random(n)})


def sparse_columns(n=10_000_000):
    values = np.zeros(n)
    values[::20_000] = 1.5
    return pd.DataFrame({"signal": pd.arrays.SparseArray(values, fill_value=0.0),
                         "flag": pd.arrays.SparseArray(values > 0, fill_value=False)})


LARGE = {"5000 x 250 float month": float_month, "1,000,000-row unstack table": unstack_table,
         "10,000,000-row sparse columns": sparse_columns}


@pytest.mark.parametrize("name", LARGE)
def test_large_realistic_values_load(name):
    value = LARGE[name]()
    data = pickle.dumps(value, 5)
    corpus_outcomes.assert_same(corpus_outcomes.read_by_client(data), value)
