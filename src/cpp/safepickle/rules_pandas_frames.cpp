// Rules of pandas frames, managers and indexes: DataFrame and Series only over a block manager
// of their kind and known fields; managers whose blocks' placements together are a
// permutation of the columns and whose block shapes match the axes; blocks whose values match
// their placement (pandas 1.3's partial(new_block) read as pd.read_pickle reads it); indexes
// of a class of the allow-list with their known fields, checked (ranges of integers,
// MultiIndex codes within their levels, data of the kind the class holds; pandas 1.x's
// Int64Index and its kind an Index of that kind).
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace marvane::safepickle::rules {

namespace {

// The locations a block placement (slice or integer array) names; all non-negative.
std::vector<long long> placement_locations(Load &L, const Rule &r, py::handle placement) {
    std::vector<long long> out;
    if (PySlice_Check(placement.ptr())) {
        for (const char *part : {"start", "stop", "step"}) {
            Obj v = placement.attr(part);
            if (!v.is_none() && !is_int(v)) refuse(L, r, "a placement slice of non-integers");
        }
        Obj start = placement.attr(PN("start")), stop = placement.attr(PN("stop")), step = placement.attr(PN("step"));
        if (stop.is_none()) refuse(L, r, "an open-ended placement");
        long long b = start.is_none() ? 0 : start.cast<long long>(), e = stop.cast<long long>();
        long long s = step.is_none() ? 1 : step.cast<long long>();
        if (b < 0 || e < 0 || s <= 0) refuse(L, r, "a placement slice " + short_repr(placement));
        if (static_cast<std::uint64_t>(e) > L.item_bound()) L.over_limit("size (placement)");
        for (long long i = b; i < e; i += s) out.push_back(i);
        return out;
    }
    if (is_a(placement, lib("pandas._libs.internals", "BlockPlacement")))
        return placement_locations(L, r, placement.attr(PN("indexer")));
    if (!is_ndarray(placement) || ndim(placement) != 1 || (kind(placement) != "i" && kind(placement) != "u"))
        refuse(L, r, "a placement that is neither a slice nor integers: " + short_repr(placement));
    for (py::handle v : placement.attr(PN("tolist"))()) {
        long long i = v.cast<long long>();
        if (i < 0) refuse(L, r, "a negative placement");
        out.push_back(i);
    }
    return out;
}

// The blocks' locations together: exactly 0 .. items-1, each once.
void check_permutation(Load &L, const Rule &r, const std::vector<std::vector<long long>> &locs, std::size_t items) {
    std::vector<char> seen(items, 0);
    std::size_t count = 0;
    for (const auto &block : locs)
        for (long long i : block) {
            if (i < 0 || static_cast<std::size_t>(i) >= items || seen[static_cast<std::size_t>(i)])
                refuse(L, r, "block placements that are not a permutation of the " + std::to_string(items) +
                                 " columns");
            seen[static_cast<std::size_t>(i)] = 1;
            ++count;
        }
    if (count != items)
        refuse(L, r, "block placements that are not a permutation of the " + std::to_string(items) + " columns");
}

// Block values pandas holds two-dimensional: numpy arrays, and of the extension arrays only
// dates, durations and periods.
bool two_dimensional_kind(py::handle values) {
    return is_ndarray(values) || is_a(values, lib("pandas", "arrays.DatetimeArray")) ||
           is_a(values, lib("pandas", "arrays.TimedeltaArray")) || is_a(values, lib("pandas", "arrays.PeriodArray"));
}

// Blocks against axes: each block's width is its placement's length, its length the index's,
// and the placements together cover the columns once.
void check_blocks(Load &L, const Rule &r, py::list axes, const std::vector<std::pair<Obj, Obj>> &blocks) {
    for (py::handle ax : axes) {
        if (!is_index(ax)) refuse(L, r, "an axis that is not an Index: " + short_repr(ax));
        // Before anything is sized by it: a frame of no columns still counts its rows.
        if (!L.within_lazy_bound(length(ax))) L.over_limit("size (an axis of " + std::to_string(length(ax)) + " labels)");
    }
    std::vector<std::vector<long long>> locs;
    if (axes.size() == 1) {
        if (blocks.size() != 1) refuse(L, r, "a single-block manager with " + std::to_string(blocks.size()) + " blocks");
        const Obj &values = blocks[0].first;
        if (ndim(values) != 1 || length(values) != length(axes[0]))
            refuse(L, r, "a block of a length other than its index's");
        return;
    }
    if (axes.size() != 2) refuse(L, r, std::to_string(axes.size()) + " axes");
    std::size_t rows = length(axes[1]);
    for (const auto &[values, placement] : blocks) {
        std::vector<long long> l = placement_locations(L, r, placement);
        std::size_t width = l.size();
        std::size_t vdim = ndim(values);
        if (vdim == 2 && !two_dimensional_kind(values)) refuse(L, r, "a block of a two-dimensional " + short_repr(py::type::of(values)));
        py::tuple shape = values.attr(PN("shape"));
        bool ok = vdim == 2 ? (shape[0].cast<std::size_t>() == width && shape[1].cast<std::size_t>() == rows)
                            : (vdim == 1 && width == 1 && length(values) == rows);
        if (!ok) refuse(L, r, "a block of shape " + short_repr(shape) + " at " + std::to_string(width) +
                                  " columns of " + std::to_string(rows) + " rows");
        locs.push_back(std::move(l));
    }
    check_permutation(L, r, locs, length(axes[0]));
}

} // namespace

Obj unpickle_block(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    expect_states(L, r, c, 0, 0);
    Obj values = c.args[0];
    if (!is_int(c.args[2])) refuse(L, r, "ndim " + short_repr(c.args[2]));
    long long nd = c.args[2].cast<long long>();
    if (nd != 1 && nd != 2) refuse(L, r, "ndim " + short_repr(c.args[2]));
    if (!is_ndarray(values) && !is_extension_array(values)) refuse(L, r, "block values " + short_repr(values));
    if (is_ndarray(values)) expect_pandas_time_unit(L, r, values.attr(PN("dtype")), "a block");
    std::size_t count = placement_locations(L, r, c.args[1]).size();
    std::size_t vdim = ndim(values);
    if (vdim != 1 && !two_dimensional_kind(values))
        refuse(L, r, "a block of a two-dimensional " + short_repr(py::type::of(values)));
    if (nd == 2 && !((vdim == 2 && length(values) == count) || (vdim == 1 && count == 1)))
        refuse(L, r, "a block whose values do not match its placement");
    if (nd == 1 && vdim != 1) refuse(L, r, "a one-dimensional block of " + std::to_string(vdim) + " dimensions");
    return call(L.real(r), c.args);
}

// pandas 1.3's blocks: partial(new_block, ndim=n)(values, placement), which the load step
// turns into a call of new_block with ndim as its one keyword (see unpickler.cpp); read as
// _unpickle_block(values, placement, ndim).
Obj new_block(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 0);
    if (c.args.size() != 2 || !PyDict_Check(c.kwargs.ptr()) || length(c.kwargs) != 1)
        refuse(L, r, "a block made otherwise than from values, a placement and ndim");
    Obj ndim = get(py::reinterpret_borrow<py::dict>(c.kwargs), "ndim");
    if (ndim.is_none()) refuse(L, r, "keyword arguments other than ndim");
    static const Rule *unpickle = find_rule("pandas._libs.internals", "_unpickle_block");
    Call as_unpickled{py::make_tuple(c.args[0], c.args[1], ndim), py::none(), py::list()};
    return unpickle_block(L, *unpickle, as_unpickled);
}

// BlockManager(blocks, axes) (pandas 2 on), or NEWOBJ with BUILD of the "0.14.1" state
// (older pickles, and SingleBlockManager).
Obj block_manager(Load &L, const Rule &r, Call &c) {
    py::handle Block = lib("pandas.core.internals.blocks", "Block");
    if (c.args.size() > 0) {
        expect_args(L, r, c, 2, 2);
        expect_states(L, r, c, 0, 0);
        if (!PyTuple_Check(c.args[0].ptr()) && !PyList_Check(c.args[0].ptr())) refuse(L, r, "blocks " + short_repr(c.args[0]));
        if (!PyList_Check(c.args[1].ptr())) refuse(L, r, "axes " + short_repr(c.args[1]));
        std::vector<std::pair<Obj, Obj>> blocks;
        for (py::handle b : c.args[0]) {
            if (!is_a(b, Block)) refuse(L, r, "a block " + short_repr(b));
            blocks.emplace_back(b.attr(PN("values")), b.attr(PN("mgr_locs")).attr(PN("indexer")));
        }
        py::list axes = py::reinterpret_borrow<py::list>(c.args[1]);
        check_blocks(L, r, axes, blocks);
        if (std::string(r.name) != "BlockManager") return call(L.real(r), c.args);
        // Checked above (values against placements and rows, the placements a permutation of
        // the columns) and here as the manager's own check would (every block two-dimensional
        // with the frame's rows, as pandas holds its kind of values): made without checking it
        // a second time.
        const std::size_t rows = axes.size() == 2 ? length(axes[1]) : 0;
        for (py::handle b : c.args[0]) {
            py::tuple shape = b.attr(PN("shape"));
            if (ndim(b) != 2 || shape.size() != 2 || !is_int(shape[1]) || shape[1].cast<std::size_t>() != rows)
                refuse(L, r, "a block of shape " + short_repr(shape) + " in a frame of " + std::to_string(rows) + " rows");
        }
        return L.real(r)(c.args[0], axes, "verify_integrity"_a = false);
    }
    expect_states(L, r, c, 1, 1);
    py::handle s = c.states[0];
    if (!PyTuple_Check(s.ptr()) || length(s) < 4 || !PyDict_Check(py::reinterpret_borrow<py::tuple>(s)[3].ptr()))
        refuse(L, r, "a manager state " + short_repr(s));
    py::dict outer = fields(L, r, py::reinterpret_borrow<py::tuple>(s)[3], {"0.14.1"});
    py::dict inner = fields(L, r, get(outer, PN("0.14.1")), {"axes", "blocks"});
    Obj axes = get(inner, PN("axes")), blocks_in = get(inner, PN("blocks"));
    if (!PyList_Check(axes.ptr()) || !PyList_Check(blocks_in.ptr())) refuse(L, r, "a manager state without axes and blocks");
    std::vector<std::pair<Obj, Obj>> blocks;
    py::list checked_blocks;
    for (py::handle b : blocks_in) {
        py::dict bd = fields(L, r, b, {"values", "mgr_locs"});
        Obj values = get(bd, PN("values"));
        // older pickles held a zone's dates as a DatetimeIndex; no other index is block values
        if (!is_ndarray(values) && !is_extension_array(values) && !is_a(values, lib("pandas", "DatetimeIndex")))
            refuse(L, r, "block values " + short_repr(values));
        if (is_ndarray(values)) expect_pandas_time_unit(L, r, values.attr(PN("dtype")), "a block");
        blocks.emplace_back(values, get(bd, PN("mgr_locs")));
        checked_blocks.append(py::dict("values"_a = values, "mgr_locs"_a = get(bd, PN("mgr_locs"))));
    }
    check_blocks(L, r, py::reinterpret_borrow<py::list>(axes), blocks);
    py::dict state;
    state[PN("axes")] = axes;
    state[PN("blocks")] = checked_blocks;
    py::dict versions;
    versions[PN("0.14.1")] = state;
    return new_with_state(L, r, py::make_tuple(py::none(), py::none(), py::none(), versions));
}

// DataFrame and Series: NEWOBJ with BUILD({_mgr, _typ, _metadata, attrs, _flags[, name]}).
Obj ndframe(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"_mgr", "_data", "_typ", "_metadata", "attrs", "_attrs", "_flags", "name", "_name", "_item_cache"});
    std::string name = r.name;
    Obj mgr = d.contains(PN("_mgr")) ? Obj(d[PN("_mgr")]) : get(d, PN("_data"));
    py::handle want = lib("pandas.core.internals.managers", name == "Series" ? "SingleBlockManager" : "BlockManager");
    if (!is_a(mgr, want) || (name == "DataFrame" && is_a(mgr, lib("pandas.core.internals.managers", "SingleBlockManager"))))
        refuse(L, r, "its data " + short_repr(mgr));
    py::dict state;
    state[PN("_mgr")] = mgr;
    for (const char *key : {"_typ", "_metadata", "attrs", "_flags", "name"}) {
        if (!d.contains(key)) continue;
        Obj v = d[key];
        std::string k = key;
        if ((k == "_typ" && !is_str(v)) || (k == "_metadata" && !PyList_Check(v.ptr())) ||
            ((k == "attrs" || k == "_flags") && !PyDict_Check(v.ptr())))
            refuse(L, r, "field " + k + " " + short_repr(v));
        if (k == "_flags") {
            Obj allows = get(fields(L, r, v, {"allows_duplicate_labels"}), "allows_duplicate_labels");
            // pandas pickles a bool here; anything else would be read one way by pandas and
            // another by the frame made from the checked blocks
            if (PyDict_Contains(v.ptr(), PN("allows_duplicate_labels").ptr()) == 1 && !PyBool_Check(allows.ptr()))
                refuse(L, r, "allows_duplicate_labels " + short_repr(allows));
            if (allows.ptr() == Py_False)
                for (py::handle axis : mgr.attr(PN("axes")))
                    if (!truthy(axis.attr(PN("is_unique")))) refuse(L, r, "duplicate labels where its flags allow none");
        }
        state[key] = v;
    }
    if (name == "Series" && !d.contains(PN("name")) && !d.contains(PN("_name"))) state[PN("_name")] = py::none();
    if (d.contains(PN("_attrs"))) state[PN("attrs")] = d[PN("_attrs")];
    if (d.contains(PN("_name"))) {
        if (PyObject_Hash(Obj(d[PN("_name")]).ptr()) == -1) throw py::error_already_set();
        state[PN("_name")] = d[PN("_name")];
    }
    return new_with_state(L, r, state);
}

namespace {

// The index class a stand-in names, and the kind of data it takes.
Obj index_class(Load &L, const Rule &r, py::handle standin, std::string &name) {
    const Rule *cls = rule_of(standin);
    static const std::set<std::string> classes = {"Index", "RangeIndex", "MultiIndex", "DatetimeIndex",
                                                  "TimedeltaIndex", "PeriodIndex", "CategoricalIndex",
                                                  "IntervalIndex", "Int64Index", "UInt64Index", "Float64Index"};
    if (!cls || !classes.count(cls->name)) refuse(L, r, "an index of class " + short_repr(standin));
    name = cls->name;
    // the number indexes of pandas 1.x are an Index of their numbers now, as pandas reads them
    if (std::string(cls->module) == "pandas.core.indexes.numeric") return py::reinterpret_borrow<Obj>(lib("pandas", "Index"));
    return L.real(*cls);
}

// The fields of a RangeIndex: integers.
py::dict range_fields(Load &L, const Rule &r, py::handle given) {
    py::dict d = fields(L, r, given, {"start", "stop", "step", "name"});
    for (const char *k : {"start", "stop", "step"})
        if (d.contains(k) && !is_int(d[k])) refuse(L, r, "a range of non-integers");
    // Lazy, but what it becomes counts: a frame sizes its rows, columns or categories by it.
    const long long start = d.contains("start") ? d["start"].cast<long long>() : 0;
    const long long stop = d.contains("stop") ? d["stop"].cast<long long>() : 0;
    const long long step = d.contains("step") ? d["step"].cast<long long>() : 1;
    if (step == 0) refuse(L, r, "a range of step 0");
    const unsigned long long span = step > 0 ? (stop > start ? static_cast<unsigned long long>(stop) - static_cast<unsigned long long>(start) : 0)
                                             : (start > stop ? static_cast<unsigned long long>(start) - static_cast<unsigned long long>(stop) : 0);
    const unsigned long long step_size = step > 0 ? static_cast<unsigned long long>(step) : 0ULL - static_cast<unsigned long long>(step);
    if (!L.within_lazy_bound(span / step_size)) L.over_limit("size (RangeIndex of " + std::to_string(span / step_size) + " items)");
    return d;
}

// The fields of a MultiIndex: as many levels (each an Index) as codes, each level's codes
// within it and all of one length; names one per level.
py::dict multi_fields(Load &L, const Rule &r, py::handle given) {
    py::dict d = fields(L, r, given, {"levels", "codes", "labels", "sortorder", "names"});
    Obj levels = get(d, PN("levels")), codes = d.contains(PN("codes")) ? Obj(d[PN("codes")]) : get(d, PN("labels"));
    if (!PyList_Check(levels.ptr()) && !PyTuple_Check(levels.ptr())) refuse(L, r, "levels " + short_repr(levels));
    if (!PyList_Check(codes.ptr()) && !PyTuple_Check(codes.ptr())) refuse(L, r, "codes " + short_repr(codes));
    if (length(levels) != length(codes) || length(levels) == 0) refuse(L, r, "as many codes as levels");
    std::size_t rows = length(codes[py::int_(0)]);
    for (std::size_t i = 0; i < length(levels); ++i) {
        Obj level = levels[py::int_(i)], code = codes[py::int_(i)];
        if (!is_index(level)) refuse(L, r, "a level that is not an Index");
        check_codes(L, r, code, length(level), "MultiIndex");
        if (length(code) != rows) refuse(L, r, "codes of different lengths");
    }
    Obj names = get(d, PN("names"));
    if (!names.is_none() && length(names) != length(levels)) refuse(L, r, "as many names as levels");
    Obj so = get(d, PN("sortorder"));
    if (!so.is_none() && !is_int(so)) refuse(L, r, "sortorder " + short_repr(so));
    return d;
}

// _new_IntervalIndex's fields: IntervalIndex.from_arrays(left, right, closed, name), bounds
// of one length.
void check_interval_bounds(Load &L, const Rule &r, const py::dict &d) {
    Obj left = get(d, PN("left")), right = get(d, PN("right"));
    for (const Obj &side : {left, right})
        if (!is_array_like(side) || ndim(side) != 1) refuse(L, r, "interval bounds " + short_repr(side));
    if (length(left) != length(right)) refuse(L, r, "interval bounds of different lengths");
    Obj closed = get(d, PN("closed"));
    if (!closed.is_none() && !is_str(closed)) refuse(L, r, "closed " + short_repr(closed));
}

// The fields of any other index: one-dimensional data of the kind the class holds, and a
// frequency, zone and dtype that fit it.
void check_index_data(Load &L, const Rule &r, const std::string &name, const py::dict &d) {
    Obj data = get(d, PN("data"));
    bool ok;
    if (name == "DatetimeIndex") ok = is_a(data, lib("pandas", "arrays.DatetimeArray")) || (is_ndarray(data) && kind(data) == "M");
    else if (name == "TimedeltaIndex") ok = is_a(data, lib("pandas", "arrays.TimedeltaArray")) || (is_ndarray(data) && kind(data) == "m");
    else if (name == "PeriodIndex") ok = is_a(data, lib("pandas", "arrays.PeriodArray"));
    else if (name == "CategoricalIndex") ok = is_a(data, lib("pandas", "Categorical"));
    else if (name == "IntervalIndex") ok = is_a(data, lib("pandas", "arrays.IntervalArray"));
    else if (name == "Int64Index" || name == "UInt64Index" || name == "Float64Index")
        ok = is_ndarray(data) && kind(data) == std::string(name == "Int64Index" ? "i" : name == "UInt64Index" ? "u" : "f");
    else ok = (is_ndarray(data) && kind(data) != "M" && kind(data) != "m" && kind(data) != "V") || is_extension_array(data);
    if (!ok || ndim(data) != 1) refuse(L, r, "a " + name + " of " + short_repr(data));
    if (is_ndarray(data)) expect_pandas_time_unit(L, r, data.attr(PN("dtype")), ("a " + name).c_str());
    // labels are looked up by their hash (an index's engine, repr, reindex): each must have one
    if (is_ndarray(data) && kind(data) == "O")
        for (py::handle label : py::list(data.attr(PN("tolist"))()))
            if (PyObject_Hash(label.ptr()) == -1) {
                PyErr_Clear();
                refuse(L, r, "a label that cannot be hashed: " + short_repr(label));
            }
    Obj freq = get(d, PN("freq"));
    if (is_str(freq)) {
        // pandas keeps a frequency as an offset; a text one would break the index's repr and
        // arithmetic, so it is read as pandas reads a frequency given as text, or refused.
        try {
            freq = lib("pandas.tseries.frequencies", "to_offset")(freq);
        } catch (py::error_already_set &) {
            refuse(L, r, "freq " + short_repr(freq));
        }
        d[PN("freq")] = freq;
    }
    if (!freq.is_none() && !is_a(freq, lib("pandas._libs.tslibs.offsets", "BaseOffset")))
        refuse(L, r, "freq " + short_repr(freq));
    Obj tz = get(d, PN("tz"));
    if (!tz.is_none() && !is_a(tz, lib("datetime", "tzinfo"))) refuse(L, r, "tz " + short_repr(tz));
    Obj dtype = get(d, PN("dtype"));
    if (d.contains(PN("dtype")) && !py_equal(dtype, data.attr(PN("dtype")))) refuse(L, r, "dtype " + short_repr(dtype));
}

} // namespace

// _new_Index(cls, d) and the _new_<kind>Index of dates, durations and intervals.
Obj new_index(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 0);
    std::string name;
    Obj cls = index_class(L, r, c.args[0], name);
    // the constructor of one kind makes that kind only: another class (Index itself) would
    // wrap the kind's array without its engine, an index that fails on its first lookup
    const std::string made_by = r.name;
    if (made_by != "_new_Index" && made_by != "_new_" + name) refuse(L, r, "class " + name + " given to " + made_by);
    py::dict d;
    if (name == "RangeIndex") d = range_fields(L, r, c.args[1]);
    else if (name == "MultiIndex") d = multi_fields(L, r, c.args[1]);
    else {
        d = fields(L, r, c.args[1], {"data", "name", "freq", "tz", "dtype", "closed", "left", "right"});
        if (name == "IntervalIndex" && !d.contains(PN("data"))) check_interval_bounds(L, r, d);
        else check_index_data(L, r, name, d);
    }
    Obj name_v = get(d, PN("name"));
    if (PyObject_Hash(name_v.ptr()) == -1) throw py::error_already_set();
    // names are data the index keeps: a class there would be kept as the reader's stand-in
    plain(L, r, name_v);
    plain(L, r, get(d, PN("names")));
    // The text labels of a month value: Index(data) takes an Arrow text array as it is and
    // ends in Index._simple_new, which is called directly (a third of the frame's read).
    if (name == "Index" && cls.ptr() == lib("pandas", "Index").ptr() && length(d) <= 2 &&
        (length(d) == 1 || d.contains(PN("name"))) &&
        Py_TYPE(get(d, PN("data")).ptr()) == reinterpret_cast<PyTypeObject *>(lib("pandas.core.arrays.string_arrow", "ArrowStringArray").ptr()))
        return lib("pandas", "Index._simple_new")(get(d, PN("data")), name_v);
    return L.real(r)(cls, d);
}

} // namespace marvane::safepickle::rules
