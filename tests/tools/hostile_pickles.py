"""Small hostile values of the kinds a compromised data service could serve, each built from
real pickles with one part replaced. `ATTACKS` maps a name to (payload builder, what the
reader must say when it refuses it)."""

import pickle
import struct
import warnings

import numpy as np
import pandas as pd


class Reduce:
    """Pickles as the given __reduce__ tuple."""

    def __init__(self, *reduce):
        self.reduce = reduce

    def __reduce__(self):
        return self.reduce


def dumps(obj, protocol=4):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return pickle.dumps(obj, protocol=protocol)


def _reconstruct():
    return np.ndarray.__reduce__(np.zeros(1))[0]


def object_dtype_with_no_object_flag():
    """An object array of raw bytes under a dtype state whose flags say it holds no objects:
    numpy would take the bytes for object pointers."""
    dtype = Reduce(np.dtype, ("O8", False, True), (3, "|", None, None, None, -1, -1, 0))
    return dumps(Reduce(_reconstruct(), (np.ndarray, (0,), b"b"), (1, (2,), dtype, False, b"A" * 16)), 2)


def block_placement_past_axis():
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    unpickle_block, (values, _, ndim) = frame._mgr.blocks[0].__reduce__()
    block = Reduce(unpickle_block, (values, slice(1000, 1002, 1), ndim))
    mgr = Reduce(type(frame._mgr), ((block,), list(frame._mgr.axes)))
    return dumps(Reduce(type(frame), (), {"_mgr": mgr, "_typ": "dataframe", "_metadata": [], "attrs": {},
                                          "_flags": {"allows_duplicate_labels": True}}))


def multiindex_codes_past_levels():
    new_index = pd.Index([1]).__reduce__()[0]
    d = {"levels": [pd.Index(["a", "b"])], "codes": [np.array([0, 1, 40], dtype=np.int8)], "names": ["x"]}
    return dumps(Reduce(new_index, (pd.MultiIndex, d)))


def categorical_codes_past_categories():
    func, args, state = pd.Categorical(["a", "b"]).__reduce__()[:3]
    return dumps(Reduce(func, args, (state[0], np.array([0, 1, 100], dtype=np.int8), *state[2:])))


def arrow_offsets_past_data():
    import pyarrow as pa
    func, (state,) = pa.array(["ab", "cd"]).__reduce__()
    typ, length, nulls, offset, buffers, children, dictionary = state
    offsets = pa.py_buffer(struct.pack("<3i", 0, 2, 1 << 20))
    return dumps(Reduce(func, ((typ, length, nulls, offset, [buffers[0], offsets, buffers[2]], children, dictionary),)))


def arrow_text(values, arrow_type, validity=None, offsets=None, text=None, nulls=None):
    """A text array of `values` with some of its buffers or its null count replaced."""
    import pyarrow as pa
    func, (state,) = pa.array(values, arrow_type).__reduce__()
    typ, length, null_count, offset, buffers, children, dictionary = state
    width = "<%dq" if arrow_type == pa.large_string() else "<%di"
    buffers = [buffers[0] if validity is None else pa.py_buffer(validity),
               buffers[1] if offsets is None else pa.py_buffer(struct.pack(width % len(offsets), *offsets)),
               buffers[2] if text is None else pa.py_buffer(text)]
    return dumps(Reduce(func, ((typ, length, null_count if nulls is None else nulls, offset, buffers, children,
                                dictionary),)))


def arrow_text_attacks():
    import pyarrow as pa
    return {
        # "é" split between two values: the text as a whole is well-formed, each value is not
        "Arrow text splitting a character": (
            lambda: arrow_text(["aé", "b"], pa.large_string(), offsets=[0, 2, 4]), "not valid UTF-8"),
        "Arrow text of a surrogate": (
            lambda: arrow_text(["abc"], pa.string(), text=b"\xed\xa0\x80"), "not valid UTF-8"),
        "Arrow offsets going back": (
            lambda: arrow_text(["ab", "cd", "ef"], pa.string(), offsets=[0, 4, 2, 6]), "go back"),
        # steps too long for the unsigned-step test: each width's exact check decides
        "Arrow wide offsets going back from far": (
            lambda: arrow_text(["ab", "cd"], pa.large_string(), offsets=[0, 2**62 + 1, 4]), "go back"),
        "Arrow offsets going back from far": (
            lambda: arrow_text(["ab", "cd"], pa.string(), offsets=[0, -2**31, 4]), "go back"),
        "Arrow offsets before the text": (
            lambda: arrow_text(["ab", "cd"], pa.large_string(), offsets=[-2, 2, 4]), "invalid Arrow array"),
        "Arrow null count over the bitmap": (
            lambda: arrow_text(["ab", None, "cd"], pa.string(), nulls=0), "null count"),
        "Arrow bitmap shorter than the values": (
            lambda: arrow_text(["a"] * 20, pa.string(), validity=b"\xff", nulls=-1), "validity bitmap"),
    }


def arrow_state_without_buffers():
    """Found by the fuzzer: pyarrow rebuilds an array from a state missing its buffers and
    crashes."""
    import pyarrow as pa
    func = pa.array(["a"]).__reduce__()[0]
    return dumps(Reduce(func, ((pa.large_string(), 3, 0, 0, [], [], None),)))


def array_of_many_dimensions():
    """Found by the fuzzer: numpy answers 139 dimensions with a MemoryError."""
    return dumps(Reduce(_reconstruct(), (np.ndarray, (0,), b"b"),
                        (1, (1,) * 138 + (3,), np.dtype("M8[s]"), False, b"\0" * 24)), 2)


def build_on_a_class():
    """BUILD on the class pandas.Index itself, setting its `name` for the whole process."""
    return (b"\x80\x02cpandas\nIndex\nq\x00N}q\x01X\x04\x00\x00\x00nameq\x02Ns\x86b.")


def tuple_nested_as_dict_key(depth=200_000):
    return b"\x80\x02}N" + b"\x85" * depth + b"Ns."


def shared_tuple_as_dict_key(levels=175):
    """Each level a tuple of three references to the one below: 3**175 places as a dict key."""
    return b"\x80\x02}N" + b"22\x87" * levels + b"Ns."


def shared_lists(levels=60):
    """Each level a list holding the one below twice (through the memo): 2**60 places."""
    level = b"](h\x00h\x00eq\x000"
    return b"\x80\x02Nq\x000" + level * levels + b"h\x00."


def memo_index(index=2**28):
    return b"\x80\x02Nr" + struct.pack("<I", index) + b"."


def undefined_memo_get():
    return b"\x80\x02h\x05."


def huge_bytearray():
    return dumps(Reduce(bytearray, (2**31 - 1,)), 2)


def huge_object_array():
    dtype = np.dtype(object)
    return dumps(Reduce(_reconstruct(), (np.ndarray, (0,), b"b"), (1, (2**28,), dtype, False, [])), 2)


def huge_frozenset():
    return dumps(Reduce(frozenset, (range(3 * 10**7),)), 2)


def dates_without_a_unit():
    return dumps(Reduce(_reconstruct(), (np.ndarray, (0,), b"b"), (1, (2,), np.dtype("M8"), False, b"\0" * 16)))


def text_array_of_tuples():
    func, args, state = pd.array(["a", "b"], dtype=pd.StringDtype("python")).__reduce__()[:3]
    return dumps(Reduce(func, args, (state[0], np.array([("x",), "b"], dtype=object), *state[2:])))


def duplicate_labels_flagged_unique():
    frame = pd.DataFrame({"a": [1.0, 2.0]}, index=["x", "x"])
    state = frame.__getstate__()
    state["_flags"] = {"allows_duplicate_labels": False}
    return dumps(Reduce(type(frame), (), state))


def punycode():
    import _codecs
    return dumps(Reduce(_codecs.encode, ("漢" * 20_000, "punycode")), 2)


def rows_without_columns(rows=2**40):
    """A frame of no columns over a lazy RangeIndex: 327 bytes, 2**40 rows once written."""
    return dumps(pd.DataFrame(index=pd.RangeIndex(rows)))


def columns_axis_of_range(columns=2**31):
    """One block of two columns under a columns axis naming 2**31: the placement check would be
    sized by the axis."""
    frame = pd.DataFrame({"a": [1.0], "b": [2.0]})
    state = frame.__getstate__()
    new_index = pd.Index([1]).__reduce__()[0]
    axes = [Reduce(new_index, (pd.RangeIndex, {"start": 0, "stop": columns, "step": 1, "name": None})),
            frame.index]
    block = frame._mgr.blocks[0]
    mgr = Reduce(type(frame._mgr), ((block,), axes))
    state["_mgr"] = mgr
    return dumps(Reduce(type(frame), (), state))


def categories_of_range(n=2**28):
    """A categorical column whose categories are a lazy RangeIndex(n)."""
    categorical = pd.Categorical.from_codes([0, 1], dtype=pd.CategoricalDtype(pd.RangeIndex(n)))
    return dumps(pd.DataFrame({"a": categorical}))


def lists_filled_after_memo(levels=44):
    """Empty lists memoized first, then each filled with the next one twice: the opcodes only
    ever see empty lists; the value returned holds 2**44 places."""
    out = b"\x80\x02" + b"".join(b"]q" + bytes([i]) + b"0" for i in range(levels + 1))
    out += b"".join(b"h" + bytes([i]) + b"(h" + bytes([i + 1]) * 1 + b"h" + bytes([i + 1]) + b"e0"
                    for i in range(levels))
    return out + b"h\x00."


def interval_subtype_forged():
    """Float bounds under a dtype naming int8: pandas keeps the bounds, a cast would zero them."""
    func, args, state = pd.arrays.IntervalArray.from_breaks([0.5, 1.5, 2.5]).__reduce__()[:3]
    forged = {**state[-1], "_dtype": pd.IntervalDtype("int8", closed="right")} if isinstance(state, tuple) \
        else {**state, "_dtype": pd.IntervalDtype("int8", closed="right")}
    return dumps(Reduce(func, args, (forged,) if isinstance(state, tuple) else forged))


def dates_of_a_unit_denominator():
    """A datetime64 dtype state of microseconds / 1000: numpy reads it, a unit alone misses it."""
    dtype = Reduce(np.dtype, ("M8", False, True), (4, "<", None, None, None, -1, -1, 0, ({}, (b"us", 1, 1000, 1))))
    return dumps(Reduce(_reconstruct(), (np.ndarray, (0,), b"b"), (1, (2,), dtype, False, b"\0" * 16)), 2)


def _with_attrs(frame, attrs):
    frame.attrs = attrs
    return frame


def times_in_unit(where, unit="D"):
    """Dates or durations in a unit pandas never holds (numpy reads days, weeks, picoseconds...)
    where pandas holds them: `where` is "index" (a DatetimeIndex over an array), "array" (a
    TimedeltaArray's backing data), "block" (a frame's block values) or "zone" (a
    DatetimeTZDtype's unit)."""
    if where == "index":
        func, (cls, d) = pd.DatetimeIndex(["2024-01-02"]).__reduce__()[:2]
        return dumps(Reduce(func, (cls, {**d, "data": np.array([19724], dtype=f"M8[{unit}]"), "tz": None})))
    if where == "array":
        func, args, _ = pd.to_timedelta(["1D"]).array.__reduce__()[:3]
        return dumps(Reduce(func, args, (np.dtype(f"m8[{unit}]"), np.array([1], dtype=f"m8[{unit}]"))))
    if where == "block":
        frame = pd.DataFrame({"a": [1.0]})
        unpickle_block = frame._mgr.blocks[0].__reduce__()[0]
        block = Reduce(unpickle_block, (np.array([[19724]], dtype=f"M8[{unit}]"), slice(0, 1, 1), 2))
        state = frame.__getstate__()
        state["_mgr"] = Reduce(type(frame._mgr), ((block,), list(frame._mgr.axes)))
        return dumps(Reduce(type(frame), (), state))
    data = dumps(pd.DatetimeTZDtype("ns", "UTC"), 2)
    assert data.count(b"X\x02\x00\x00\x00ns") == 1
    return data.replace(b"X\x02\x00\x00\x00ns", b"X" + struct.pack("<I", len(unit)) + unit.encode())


def category_rows_of_range(n=2**28):
    """A pivot month of two instruments whose rows are a CategoricalIndex over RangeIndex(n)."""
    rows = pd.CategoricalIndex(pd.Categorical.from_codes([0, 1], dtype=pd.CategoricalDtype(pd.RangeIndex(n))))
    return dumps(pd.DataFrame([[1.0], [2.0]], index=rows, columns=pd.bdate_range("2024-01-02", periods=1)))


# Classes kept as data: what pickle.loads gives back is the real class itself.
CLASSES_AS_DATA = {
    "a class as a Series name": lambda: pd.Series([1.0], name=np.ndarray),
    "a class in a frame's attrs": lambda: _with_attrs(pd.DataFrame({"a": [1.0]}), {"k": [pd.Index]}),
}


def zone_key_of_a_directory(key="America"):
    import zoneinfo
    try:
        zoneinfo.ZoneInfo.no_cache(key)
    except zoneinfo.ZoneInfoNotFoundError:      # no zone database where it is a directory
        raise ImportError(f"no zone database with a directory {key} here") from None
    except OSError:
        pass
    return dumps(Reduce(zoneinfo.ZoneInfo._unpickle, (key, 1)))


ATTACKS = {
    "dtype flags say no objects": (object_dtype_with_no_object_flag, "numpy's own"),
    "block placement past its axis": (block_placement_past_axis, "not a permutation"),
    "MultiIndex codes past levels": (multiindex_codes_past_levels, "MultiIndex codes outside [-1, 2)"),
    "categorical codes past categories": (categorical_codes_past_categories, "categorical codes outside [-1, 2)"),
    "Arrow offsets past data": (arrow_offsets_past_data, "invalid Arrow array"),
    "Arrow state without its buffers": (arrow_state_without_buffers, "0 buffers for Arrow type"),
    "array of 139 dimensions": (array_of_many_dimensions, "139 dimensions"),
    "BUILD on a class": (build_on_a_class, "BUILD on the class"),
    "tuple nested 200,000 deep": (tuple_nested_as_dict_key, "nesting depth"),
    "tuple of 3**175 shared places as a dict key": (shared_tuple_as_dict_key, "size spelled out"),
    "lists of 2**60 shared places": (shared_lists, "size spelled out"),
    "memo index 2**28": (memo_index, "memo"),
    "memo index never defined": (undefined_memo_get, "memo"),
    "bytearray(2**31-1)": (huge_bytearray, "limit of its size"),
    "object array of 2**28 items": (huge_object_array, "limit of its size"),
    "frozenset(range(3e7))": (huge_frozenset, "limit of its size"),
    "_codecs.encode punycode": (punycode, "latin1"),
    "dates without a unit": (dates_without_a_unit, "without a unit"),
    "text array holding a tuple": (text_array_of_tuples, "StringArray of dtype"),
    "duplicate labels flagged unique": (duplicate_labels_flagged_unique, "duplicate labels"),
    "no columns over RangeIndex(2**40) rows": (rows_without_columns, "limit of its size"),
    "columns axis RangeIndex(2**31)": (columns_axis_of_range, "limit of its size"),
    "categories RangeIndex(2**28)": (categories_of_range, "limit of its size"),
    "lists filled after memoization, 2**44 places": (lists_filled_after_memo, "size spelled out"),
    "interval bounds under a forged subtype": (interval_subtype_forged, "under the dtype"),
    "datetime unit with a denominator": (dates_of_a_unit_denominator, "datetime unit"),
    "a column of void items": (lambda: dumps(pd.DataFrame({"a": pd.Series([np.void(b"ab"), 1.0], dtype=object)})),
                               "void items"),
    "a unitless datetime64 in an object cell": (
        lambda: dumps(pd.Series([np.datetime64("NaT"), 1.0], dtype=object)), "without a unit"),
    "Decimal('1e99999999') in an object column": (
        lambda: dumps(pd.DataFrame({"a": [__import__("decimal").Decimal("1e99999999")]})), "no Parquet engine"),
    "10**20000 in an object column": (lambda: dumps(pd.Series([10**20000, "a"], dtype=object)), "no Parquet engine"),
    "rows CategoricalIndex over RangeIndex(2**28)": (category_rows_of_range, "limit of its size"),
    "a zone key naming a directory": (zone_key_of_a_directory, "Is a directory"),
    **{f"{what} in unit {unit}": (lambda what=what, unit=unit: times_in_unit(what, unit), "never holds")
       for what, unit in [("index", "D"), ("array", "ps"), ("block", "W"), ("block", "m")]},
    "a zone's dates in unit D": (lambda: times_in_unit("zone"), "at unit 'D'"),
}
try:
    ATTACKS.update(arrow_text_attacks())
except ImportError:  # no pyarrow on this machine
    pass


def khash_colliding_int64(n, high_start=1):
    """n distinct int64 values that pandas' int64 hash table sends to one probe chain: its hash,
    the low 32 bits of key>>33 ^ key ^ key<<11, is linear in the key's bits, so for any choice
    of the high 32 bits one choice of the low 32 makes it zero. The high halves count up from
    `high_start`; the values come out shuffled (sorted ones are found unique without hashing)."""
    high = np.arange(high_start, high_start + n, dtype=np.uint64)
    bits = [(high >> np.uint64(b)) & np.uint64(1) for b in range(32)]  # key bits 32..63
    low = [None] * 32
    for i in range(32):
        # output bit i = key bit i+33 (for i < 31) ^ key bit i ^ key bit i-11 (for i >= 11)
        b = bits[i + 1] if i < 31 else np.zeros(n, dtype=np.uint64)
        low[i] = b ^ low[i - 11] if i >= 11 else b
    keys = high << np.uint64(32)
    for i in range(32):
        keys |= low[i] << np.uint64(i)
    np.random.default_rng(n).shuffle(keys)
    return keys.view(np.int64)


def khash_colliding_days(n, month="2024-01"):
    """n distinct instants of one month (nanoseconds) that collide as above: 4.3 s apart."""
    start = pd.Timestamp(month + "-01").value
    return pd.DatetimeIndex(khash_colliding_int64(n, (start >> 32) + 1).view("M8[ns]"))
def _frame_of_block(frame, values, placement, ndim):
    """`frame` with its one manager made of a single block of the given parts."""
    unpickle_block = frame._mgr.blocks[0].__reduce__()[0]
    mgr = Reduce(type(frame._mgr), ((Reduce(unpickle_block, (values, placement, ndim)),), list(frame._mgr.axes)))
    return Reduce(type(frame), (), {**frame.__getstate__(), "_mgr": mgr})


def text_block_over_two_columns():
    """One StringArray of two dimensions held in one block over two columns: pandas never makes
    it, and repr / isna break on it."""
    func, args, state = pd.array(["x", "y"], dtype=pd.StringDtype("python")).__reduce__()[:3]
    values = Reduce(func, args, (state[0], np.array([["x", "y"], ["z", "w"]], dtype=object), *state[2:]))
    return dumps(_frame_of_block(pd.DataFrame({"a": ["x", "y"], "b": ["z", "w"]}), values, slice(0, 2, 1), 2))


def series_of_range_block():
    """A Series whose block values are a RangeIndex, not an array."""
    series = pd.Series([1, 2])
    unpickle_block = series._mgr.blocks[0].__reduce__()[0]
    mgr = Reduce(type(series._mgr), (Reduce(unpickle_block, (pd.RangeIndex(2), slice(0, 2, 1), 1)), series.index))
    return dumps(Reduce(type(series), (), {**series.__getstate__(), "_mgr": mgr}))


ATTACKS.update({
    "a 2-D StringArray in one block over two columns": (text_block_over_two_columns, "two-dimensional"),
    "a Series of block values a RangeIndex": (series_of_range_block, "block values"),
})


def call_of_a_widely_shared_list(times=50):
    """Found by the fuzzer: a list holding itself 50 times as a call's argument, 170 bytes; the
    check of plain arguments walked it at every place it appears."""
    head = b"\x80\x04\x8c\x1epandas._libs.tslibs.timedeltas\x8c\x13_timedelta_unpickle\x93(K\x05]q\x00("
    return head + b"h\x00" * times + b"etR."


def index_of_unhashable_labels():
    """Found by the fuzzer: an object Index holding a dict, whose repr and lookups break."""
    return dumps(pd.Index(np.array([{"a": 1}, "b"], dtype=object)))


def text_items_resized_by_the_dtype_state():
    """Found by the fuzzer: numpy takes a text dtype's item size from the state, not from its
    descriptor ('U5' read as 'U10')."""
    dtype = Reduce(np.dtype, ("U5", False, True), (3, "<", None, None, None, 40, 4, 8))
    return dumps(Reduce(_reconstruct(), (np.ndarray, (0,), b"b"), (1, (2,), dtype, False, "abcdefghij".encode("utf-32-le") * 2)), 2)


ATTACKS.update({
    "a list shared 50 times in a call's arguments": (call_of_a_widely_shared_list, "resolution"),
    "an Index label that cannot be hashed": (index_of_unhashable_labels, "cannot be hashed"),
    "text items resized by the dtype state": (text_items_resized_by_the_dtype_state, "numpy's own"),
})


def arrow_list_of_another_child_type():
    """Found by the fuzzer: a list<int8> array whose child is of doubles; pyarrow takes the
    type's word for the child and aborts the process."""
    import pyarrow as pa
    func, (state,) = pa.array([[1, 2], [3]], pa.large_list(pa.int8())).__reduce__()
    child = pa.array([1.0, 2.0, 3.0]).__reduce__()[1][0]
    return dumps(Reduce(func, (state[:5] + ([child],) + state[6:],)))


ATTACKS["an Arrow list of another child type"] = (arrow_list_of_another_child_type, "other than its field's")


def class_in_a_level_name():
    """Found by the fuzzer: a class in a MultiIndex level's name, which the reader kept as its
    stand-in for the class."""
    index = pd.MultiIndex.from_tuples([("a", 1), ("b", 2)], names=["x", "y"])
    func, (cls, d) = index.__reduce__()[:2]
    return dumps(Reduce(func, (cls, {**d, "names": ["x", (pd.arrays.DatetimeArray, 1)]})))


ATTACKS["a class in a MultiIndex level name"] = (class_in_a_level_name, "a class or function")


def masked_dtype_over_other_data():
    """Found by the fuzzer: an IntegerArray of uint32 data whose cached dtype says UInt64, which
    pandas answers as the array's dtype."""
    array = pd.array([1, None, 3], dtype="UInt32")
    array._cache = {"dtype": pd.UInt64Dtype()}  # pickled with the array's state
    return dumps(array)


ATTACKS["a masked array's cached dtype over other data"] = (masked_dtype_over_other_data, "over data of")


def dates_indexed_by_a_plain_index():
    """Found by the fuzzer: _new_DatetimeIndex given Index as its class wraps the dates' array
    in a plain Index without an engine; is_unique and lookups then fail."""
    index = pd.DatetimeIndex(["2024-01-02", "2024-01-03"])
    func, (_, d) = index.__reduce__()[:2]
    return dumps(Reduce(func, (pd.Index, d)))


ATTACKS["dates under a plain Index's class"] = (dates_indexed_by_a_plain_index, "class Index given to _new_DatetimeIndex")
ATTACKS.update({
    # found by the fuzzer: a lone surrogate in a name breaks to_frame and every writer
    f"text holding a lone surrogate (protocol {p})": (
        lambda p=p: pickle.dumps(pd.Series([1.0, 2.0], name="a\udcff"), protocol=p), "lone surrogate")
    for p in (0, 4)})


def flags_of_none():
    """Found by the fuzzer: allows_duplicate_labels None, which pandas keeps as None and the
    frame made from the checked blocks read as False."""
    data = dumps(pd.Series([1.0, 2.0]).set_flags(allows_duplicate_labels=False))
    at = data.index(b"\x89", data.index(b"allows_duplicate_labels"))  # its NEWFALSE
    return data[:at] + b"N" + data[at + 1:]


ATTACKS["allows_duplicate_labels None"] = (flags_of_none, "allows_duplicate_labels None")
