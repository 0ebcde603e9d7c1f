"""The reader's direct path for frames: a manager built from checked blocks without pandas'
second check, and Arrow text labels made into an Index directly; both give what
pickle.loads gives, and a block pandas' own check would refuse is refused."""

import pickle
import types

import numpy as np
import pandas as pd
import pytest

from hostile_pickles import Reduce, dumps
from marvane.TSClient import TesselClient


def read(data):
    holder = types.SimpleNamespace(r=types.SimpleNamespace(get=lambda key: data))
    return TesselClient.load_df_from_tsdb(holder, "value")


def frame_of(block, frame):
    mgr = Reduce(type(frame._mgr), ((block,), list(frame._mgr.axes)))
    return dumps(Reduce(type(frame), (), {"_mgr": mgr, "_typ": "dataframe", "_metadata": [], "attrs": {},
                                          "_flags": {"allows_duplicate_labels": True}}))


@pytest.mark.parametrize("values, ndim", [(np.array([1.0, 2.0, 3.0]), 2),    # numbers held 1-D in a frame
                                          (np.array([1.0, 2.0, 3.0]), 1),    # a Series' block in a frame
                                          (np.zeros((1, 2)), 2)])           # fewer rows than the index
def test_a_block_pandas_would_not_hold_in_a_frame_is_refused(values, ndim):
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0]})
    unpickle_block = frame._mgr.blocks[0].__reduce__()[0]
    block = Reduce(unpickle_block, (values, slice(0, 1, 1), ndim))
    with pytest.raises(pickle.UnpicklingError, match="BlockManager"):
        read(frame_of(block, frame))


@pytest.mark.parametrize("name", ["order_book_id", None, ("a", 1)])
@pytest.mark.parametrize("storage", ["pyarrow", "python"])
def test_text_labels_read_as_pickle_loads_reads_them(name, storage):
    pytest.importorskip("pyarrow")
    ids = pd.Index(pd.array(["000001.XSHE", "000002.XSHE", None], dtype=pd.StringDtype(storage)), name=name)
    columns = pd.Index(pd.array(["2024-01-02", "2024-01-03"], dtype=pd.StringDtype(storage)))
    frame = pd.DataFrame(np.arange(6.0).reshape(3, 2), index=ids, columns=columns)
    data = pickle.dumps(frame)
    got, want = read(data), pickle.loads(data)
    pd.testing.assert_frame_equal(got, want)
    for axis in ("index", "columns"):
        a, b = getattr(got, axis), getattr(want, axis)
        assert (type(a), a.dtype, a.name, type(a.array)) == (type(b), b.dtype, b.name, type(b.array))
    assert got.loc["000002.XSHE", "2024-01-03"] == 3.0
    assert got.index.get_loc("000001.XSHE") == 0 and got.index.is_unique
