// Rules of pandas arrays and dtypes: the arrays backed by numpy (dates, durations, periods,
// text, categoricals) only over backing data of the kind their dtype says; categorical codes
// within [-1, categories); masked arrays of data and a boolean mask of its length; intervals
// whose bounds pair up (from_arrays checks left <= right); Arrow-backed arrays only over an
// Arrow array of their dtype's type (validated by its own rule); sparse arrays with one value
// per index point, of a length up to a fixed bound; Interval scalars. Dtypes from their
// known fields only, each of the kind it must be.
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace marvane::safepickle::rules {

namespace {

// Whether `values` can back an array of the class `standin` names with `dtype`: data of the
// kind the dtype says (categorical codes within the categories). Other classes are refused.
bool backs(Load &L, const Rule &r, py::handle standin, py::handle dtype, py::handle values) {
    std::string cls = standin_name(standin), k = kind(values);
    if (cls == "DatetimeArray" || cls == "TimedeltaArray")
        expect_pandas_time_unit(L, r, values.attr(PN("dtype")), ("a " + cls).c_str());
    if (cls == "DatetimeArray")
        return k == "M" && (py_equal(dtype, values.attr(PN("dtype"))) ||
                            (is_a(dtype, lib("pandas", "DatetimeTZDtype")) &&
                             py_equal(dtype.attr(PN("unit")), lib("numpy", "datetime_data")(values.attr(PN("dtype")))[py::int_(0)])));
    if (cls == "TimedeltaArray") return k == "m" && py_equal(dtype, values.attr(PN("dtype")));
    if (cls == "PeriodArray")
        return k == "i" && values.attr(PN("dtype")).attr(PN("itemsize")).cast<int>() == 8 && is_a(dtype, lib("pandas", "PeriodDtype"));
    if (cls == "StringArray")
        return k == "O" && is_a(dtype, lib("pandas", "StringDtype")) && py_equal(dtype.attr(PN("storage")), py::str("python")) &&
               (length(values) == 0 || truthy(lib("pandas._libs.lib", "is_string_array")(values, "skipna"_a = true)));
    if (cls == "Categorical") {
        if (!is_a(dtype, lib("pandas", "CategoricalDtype")) || ndim(values) != 1) return false;
        Obj cats = dtype.attr(PN("categories"));
        check_codes(L, r, values, cats.is_none() ? 0 : length(cats), "categorical");
        return true;
    }
    refuse(L, r, "the class " + short_repr(standin));
}

// A dtype made by NEWOBJ and BUILD: the two fields of its state, each under its public name or
// its private one ("_" + name), as pandas versions differ.
std::pair<Obj, Obj> dtype_fields(Load &L, const Rule &r, Call &c, const char *a, const char *b) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    std::string private_a = std::string("_") + a, private_b = std::string("_") + b;
    py::dict d = fields(L, r, c.states[0], {a, b, private_a.c_str(), private_b.c_str()});
    auto either = [&d](const char *name, const std::string &alias) {
        return d.contains(name) ? Obj(d[name]) : get(d, alias.c_str());
    };
    return {either(a, private_a), either(b, private_b)};
}

} // namespace

// numpy reads dates in days, months or picoseconds too; pandas' operations break on them or
// change them on use.
void expect_pandas_time_unit(Load &L, const Rule &r, py::handle dtype, const char *what) {
    if (!is_dtype(dtype)) return;
    const std::string k = py::str(dtype.attr(PN("kind")));
    if (k != "M" && k != "m") return;
    py::tuple data = lib("numpy", "datetime_data")(dtype);
    static const std::set<std::string> held = {"s", "ms", "us", "ns"};
    if (!held.count(std::string(py::str(data[0]))) || data[1].cast<long long>() != 1)
        refuse(L, r, std::string(what) + " of dtype " + short_repr(dtype) + ", a unit pandas never holds");
}

// ---------------------------------------------------------------------------------------
// arrays

// __pyx_unpickle_NDArrayBacked(cls, checksum, None) with BUILD((dtype, ndarray[, attrs])).
Obj ndarray_backed(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    expect_states(L, r, c, 1, 1);
    std::string cls = standin_name(c.args[0]);
    if (!is_int(c.args[1]) || !c.args[2].is_none()) refuse(L, r, "arguments " + short_repr(c.args));
    py::handle s = c.states[0];
    if (!PyTuple_Check(s.ptr()) || length(s) < 2 || length(s) > 3) refuse(L, r, "state " + short_repr(s));
    py::tuple st = py::reinterpret_borrow<py::tuple>(s);
    Obj dtype = st[0], values = st[1];
    if (!is_ndarray(values) || ndim(values) < 1 || ndim(values) > 2) refuse(L, r, "backing data that is not an array");
    if (!backs(L, r, c.args[0], dtype, values))
        refuse(L, r, "a " + cls + " of dtype " + short_repr(dtype) + " over " + short_repr(values.attr(PN("dtype"))));
    py::tuple checked;
    if (length(st) == 3) {
        // pandas 3 marks the array of a sliced DatetimeIndex "_readonly".
        py::dict attrs = fields(L, r, st[2], {"_freq", "_cache", "_readonly"});
        py::dict kept;
        Obj freq = get(attrs, PN("_freq"));
        if (!freq.is_none() && !is_a(freq, lib("pandas._libs.tslibs.offsets", "BaseOffset")))
            refuse(L, r, "freq " + short_repr(freq));
        if (attrs.contains(PN("_freq"))) kept[PN("_freq")] = freq;
        keep_readonly(L, r, attrs, kept);
        checked = py::make_tuple(dtype, values, kept);
    } else checked = py::make_tuple(dtype, values);
    Obj obj = L.real(r)(L.real(*rule_of(c.args[0])), c.args[1], py::none());
    obj.attr(PN("__setstate__"))(checked);
    return obj;
}

// IntervalArray: __pyx_unpickle_IntervalMixin(cls, checksum, None) with BUILD(({_left,
// _right, _dtype},)); made again with IntervalArray.from_arrays, which checks left <= right.
Obj interval_mixin(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    expect_states(L, r, c, 1, 1);
    if (standin_name(c.args[0]) != "IntervalArray") refuse(L, r, "the class " + short_repr(c.args[0]));
    py::handle s = c.states[0];
    if (PyTuple_Check(s.ptr()) && length(s) >= 1) s = py::reinterpret_borrow<py::tuple>(s)[length(s) - 1];
    py::dict d = fields(L, r, s, {"_left", "_right", "_dtype"});
    Obj left = get(d, PN("_left")), right = get(d, PN("_right")), dtype = get(d, PN("_dtype"));
    if (!is_array_like(left) || !is_array_like(right) ||
        !is_a(dtype, lib("pandas", "IntervalDtype")) || length(left) != length(right))
        refuse(L, r, "interval bounds that do not pair up");
    // pandas keeps the bounds as they are; from_arrays would cast them to the dtype's subtype
    if (!py_equal(dtype.attr(PN("subtype")), left.attr(PN("dtype"))) || !py_equal(left.attr(PN("dtype")), right.attr(PN("dtype"))))
        refuse(L, r, "interval bounds of " + short_repr(left.attr(PN("dtype"))) + " under the dtype " + short_repr(dtype));
    return L.real(*rule_of(c.args[0])).attr(PN("from_arrays"))(left, right, "closed"_a = dtype.attr(PN("closed")), "dtype"_a = dtype);
}

// Interval(left, right, closed): plain or time bounds and a known side.
Obj interval_scalar(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_args(L, r, c, 2, 3);
    expect_states(L, r, c, 0, 0);
    static const std::set<std::string> sides = {"right", "left", "both", "neither"};
    if (c.args.size() == 3 && (!is_str(c.args[2]) || !sides.count(std::string(py::str(c.args[2])))))
        refuse(L, r, "closed " + short_repr(c.args[2]));
    return call(L.real(r), c.args);
}

// IntegerArray / FloatingArray / BooleanArray: NEWOBJ with BUILD({_data, _mask, ...}); made
// with the public constructor from a checked data array and a boolean mask of its length.
Obj masked_array(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"_data", "_mask", "_cache", "_dtype", "_hasna"});
    Obj data = get(d, PN("_data")), mask = get(d, PN("_mask"));
    std::string name = r.name, want = name == "IntegerArray" ? "iu" : name == "FloatingArray" ? "f" : "b";
    if (!is_ndarray(data) || !is_ndarray(mask) || ndim(data) != 1 || kind(mask) != "b" ||
        want.find(kind(data)) == std::string::npos || length(data) != length(mask))
        refuse(L, r, "data and mask that do not match");
    Obj made = L.real(r)(data, mask);
    // pandas answers dtype from the state's _dtype or its cache: either must be the data's own
    Obj cache = get(d, PN("_cache"));
    Obj cached = PyDict_Check(cache.ptr()) ? get(py::reinterpret_borrow<py::dict>(cache), PN("dtype")) : Obj(py::none());
    for (const Obj &claimed : {get(d, PN("_dtype")), cached})
        if (!claimed.is_none() && !py_equal(claimed, made.attr(PN("dtype"))))
            refuse(L, r, "dtype " + short_repr(claimed) + " over data of " + short_repr(made.attr(PN("dtype"))));
    return made;
}

// Arrow-backed arrays: NEWOBJ with BUILD({_pa_array, _dtype}); the Arrow array was
// validated in full by its own rule.
Obj arrow_backed(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"_pa_array", "_data", "_dtype", "_cache", "_readonly"});
    Obj data = d.contains(PN("_pa_array")) ? Obj(d[PN("_pa_array")]) : get(d, PN("_data"));
    if (!is_a(data, lib("pyarrow", "Array")) && !is_a(data, lib("pyarrow", "ChunkedArray")))
        refuse(L, r, "Arrow data " + short_repr(data));
    Obj dtype = get(d, PN("_dtype"));
    Obj type = data.attr(PN("type"));
    std::string name = r.name;
    if (name == "ArrowStringArray") {
        if (!is_a(dtype, lib("pandas", "StringDtype")) ||
            !is_a(type, lib("pyarrow", "DataType")) || !is_text_type_id(type.attr(PN("id")).cast<int>()))
            refuse(L, r, "text of Arrow type " + short_repr(type));
    } else if (!is_a(dtype, lib("pandas", "ArrowDtype")) || !py_equal(dtype.attr(PN("pyarrow_dtype")), type))
        refuse(L, r, "dtype " + short_repr(dtype) + " over Arrow type " + short_repr(type));
    py::dict state;
    state[PN("_pa_array")] = data;
    state[PN("_dtype")] = dtype;
    keep_readonly(L, r, d, state);
    Obj made = new_with_state(L, r, state);
    // pandas' own BUILD leaves its chunked data in the state it was given, which the pickle
    // may share elsewhere (a dict of attrs): the same here
    if (d.contains(PN("_data"))) PyDict_DelItem(d.ptr(), PN("_data").ptr());
    d[PN("_pa_array")] = made.attr(PN("_pa_array"));
    return made;
}

// ArrowDtype: NEWOBJ with BUILD({pyarrow_dtype, _storage}); made with ArrowDtype(type).
Obj arrow_dtype(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"pyarrow_dtype", "_storage", "storage", "_cache"});
    Obj type = get(d, PN("pyarrow_dtype"));
    if (!is_a(type, lib("pyarrow", "DataType"))) refuse(L, r, "Arrow type " + short_repr(type));
    return L.real(r)(type);
}

// IntIndex(length, indices) of a sparse array. Only its points are materialised (values and
// indices, arrays the payload's bound holds); the length is what a dense copy would hold, and
// what pandas materialises for some uses (a mask of one byte a row): bounded by a fixed
// Load::kMaxSparseLength rows rather than by the payload, which a sparse column of low
// density outgrows. The constructor checks the indices against it.
Obj sparse_int_index(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 0);
    if (!is_int(c.args[0]) || c.args[0].cast<long long>() < 0 ||
        !L.within_lazy_bound(static_cast<std::uint64_t>(c.args[0].cast<long long>())))
        L.over_limit("size (sparse length " + short_repr(c.args[0]) + ")");
    if (!is_ndarray(c.args[1]) || ndim(c.args[1]) != 1 || kind(c.args[1]) != "i") refuse(L, r, "indices " + short_repr(c.args[1]));
    return call(L.real(r), c.args);
}

// SparseArray: NEWOBJ with BUILD({_sparse_index, _sparse_values, _dtype}); one value per
// index point, of the dtype's subtype.
Obj sparse_array(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"_sparse_index", "_sparse_values", "_dtype"});
    Obj index = get(d, PN("_sparse_index")), values = get(d, PN("_sparse_values")), dtype = get(d, PN("_dtype"));
    if (!is_a(index, lib("pandas._libs.sparse", "IntIndex")) && !is_a(index, lib("pandas._libs.sparse", "BlockIndex")))
        refuse(L, r, "sparse index " + short_repr(index));
    if (!is_ndarray(values) || ndim(values) != 1 || length(values) != index.attr(PN("npoints")).cast<std::size_t>())
        refuse(L, r, "sparse values that do not match the index");
    if (!is_a(dtype, lib("pandas", "SparseDtype")) || !py_equal(dtype.attr(PN("subtype")), values.attr(PN("dtype"))))
        refuse(L, r, "dtype " + short_repr(dtype) + " over " + short_repr(values.attr(PN("dtype"))));
    py::dict state;
    state[PN("_sparse_index")] = index;
    state[PN("_sparse_values")] = values;
    state[PN("_dtype")] = dtype;
    Obj cls = L.real(r);
    Obj obj = cls.attr(PN("__new__"))(cls);
    obj.attr(PN("__dict__")).attr(PN("update"))(state);
    return obj;
}

// ---------------------------------------------------------------------------------------
// dtypes

// SparseDtype: NEWOBJ with BUILD({_dtype, _fill_value}); made with SparseDtype(dtype, fill).
Obj sparse_dtype(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"_dtype", "_fill_value"});
    Obj dtype = get(d, PN("_dtype")), fill = get(d, PN("_fill_value"));
    if (!is_dtype(dtype) || truthy(dtype.attr(PN("hasobject")))) refuse(L, r, "subtype " + short_repr(dtype));
    plain(L, r, fill);
    return lib("pandas", "SparseDtype")(dtype, fill);
}

Obj categorical_dtype(Load &L, const Rule &r, Call &c) {
    auto [cats, ordered] = dtype_fields(L, r, c, "categories", "ordered");
    if (!cats.is_none() && !is_index(cats)) refuse(L, r, "categories " + short_repr(cats));
    if (!ordered.is_none() && !PyBool_Check(ordered.ptr())) refuse(L, r, "ordered " + short_repr(ordered));
    return L.real(r)(cats, ordered);
}

Obj datetime_tz_dtype(Load &L, const Rule &r, Call &c) {
    auto [tz, unit] = dtype_fields(L, r, c, "tz", "unit");
    static const std::set<std::string> held = {"s", "ms", "us", "ns"};
    if (!is_a(tz, lib("datetime", "tzinfo")) || !is_str(unit) || !held.count(std::string(py::str(unit))))
        refuse(L, r, "time zone " + short_repr(tz) + " at unit " + short_repr(unit));
    return L.real(r)("unit"_a = unit, "tz"_a = tz);
}

Obj interval_dtype(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 1);
    if (c.states.size() == 0) return call_plain(L, r, c);
    auto [subtype, closed] = dtype_fields(L, r, c, "subtype", "closed");
    plain(L, r, py::make_tuple(subtype, closed));
    return L.real(r)(subtype, closed);
}

// Nullable number and boolean dtypes: a call with nothing, or NEWOBJ with BUILD of a cache
// (pandas 1.5 and 2.x), which is dropped.
Obj simple_dtype(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 0, 1);
    if (c.states.size() == 1) fields(L, r, c.states[0], {"_cache"});
    return L.real(r)();
}

// StringDtype(storage[, na_value]), or NEWOBJ with BUILD({storage}) (pandas 2.2).
Obj string_dtype(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 1);
    if (c.states.size() == 0) return call_plain(L, r, c);
    expect_args(L, r, c, 0, 0);
    py::dict d = fields(L, r, c.states[0], {"storage", "_cache"}); // the cache is dropped
    Obj storage = get(d, PN("storage"));
    if (!storage.is_none() && !is_str(storage)) refuse(L, r, "storage " + short_repr(storage));
    return L.real(r)(storage);
}

} // namespace marvane::safepickle::rules
