// The rule of every global a value of the service may name, in one table (kRules, at the end).
//
// A rule receives the call the pickle recorded, with its arguments and states already built
// by the rules below it, checks them and makes the real object through a checked path: a
// public constructor, or the library's own unpickling function given a state rebuilt from
// checked parts. What each rule checks:
//  - dtypes are rebuilt from their descriptor and byte order only (no flags, no fields);
//  - arrays: byte length == shape x item size; object arrays only from a list of pickled
//    objects of exactly shape's size;
//  - block placements together a permutation of the items axis, block shapes matching axes;
//  - categorical and MultiIndex codes within [-1, len(categories or level));
//  - extension arrays: their backing arrays of the kind and length their dtype says;
//  - Arrow arrays validated in full before anything uses them (text arrays over their
//    buffers here, others by pyarrow);
//  - everything materialised (bytes, sets) bounded by the payload's size; ranges stay lazy;
//  - _codecs.encode only with "latin1".
// Rules never pass a payload's dict of keyword arguments on unread: only known keys are kept.
#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace marvane::client::unpickle {

namespace {

using Obj = py::object;

std::string global(const Rule &r) { return std::string(r.module) + "." + r.name; }

std::string short_repr(py::handle h) {
    std::string s = py::str(py::repr(h));
    return s.size() > 80 ? s.substr(0, 77) + "..." : s;
}

[[noreturn]] void refuse(Load &L, const Rule &r, const std::string &why) {
    L.refuse("'" + global(r) + "': " + why);
}

Obj mod(const char *name) { return module(name); }
// A class or function of an installed library, looked up once per process: the rules compare
// against these and call them for every value. Dots in `path` walk attributes.
py::handle lib(const char *module_name, const char *path) {
    static auto *cache = new std::map<std::pair<const char *, const char *>, PyObject *>();
    auto key = std::make_pair(module_name, path);
    auto it = cache->find(key);
    if (it != cache->end()) return it->second;
    Obj obj = mod(module_name);
    std::string rest = path;
    for (std::size_t start = 0;;) {
        std::size_t dot = rest.find('.', start);
        obj = obj.attr(rest.substr(start, dot == std::string::npos ? std::string::npos : dot - start).c_str());
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    PyObject *raw = obj.release().ptr(); // kept for the life of the process
    cache->emplace(key, raw);
    return raw;
}

bool is_a(py::handle obj, py::handle cls) {
    // A class whose metaclass is type itself: its real subclasses, asked directly rather than
    // through type.__instancecheck__ (which would also take an object's claimed __class__).
    if (Py_TYPE(cls.ptr()) == &PyType_Type)
        return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject *>(cls.ptr())) != 0;
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
// An integer of the payload that fits a long long (larger ones are refused like non-integers).
bool is_int(py::handle h) {
    if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    return overflow == 0;
}
bool is_str(py::handle h) { return PyUnicode_Check(h.ptr()); }
bool is_ndarray(py::handle h) { return is_a(h, lib("numpy", "ndarray")); }
bool is_index(py::handle h) { return is_a(h, lib("pandas", "Index")); }
bool is_extension_array(py::handle h) {
    return is_a(h, lib("pandas.api.extensions", "ExtensionArray"));
}
std::size_t length(py::handle h) { return py::len(h); }
std::size_t ndim(py::handle a) { return a.attr(PN("ndim")).cast<std::size_t>(); }
std::string kind(py::handle array) { return py::str(array.attr(PN("dtype")).attr(PN("kind"))); }

// f(*args) for the tuple the pickle recorded, passed on as it is.
Obj call(py::handle f, const py::tuple &args) {
    PyObject *out = PyObject_Call(f.ptr(), args.ptr(), nullptr);
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<Obj>(out);
}

// The rule name of a stand-in class given as an argument, or "" when it is not one.
std::string standin_name(py::handle h) {
    const Rule *r = rule_of(h);
    return r ? r->name : "";
}

void expect_args(Load &L, const Rule &r, Call &c, std::size_t lo, std::size_t hi) {
    std::size_t n = c.args.size();
    if (n < lo || n > hi)
        refuse(L, r, "takes " + std::to_string(lo) + (lo == hi ? "" : " to " + std::to_string(hi)) +
                         " arguments, the value gave " + std::to_string(n));
    if (!c.kwargs.is_none()) refuse(L, r, "keyword arguments are not accepted");
}

void expect_states(Load &L, const Rule &r, Call &c, std::size_t lo, std::size_t hi) {
    std::size_t n = c.states.size();
    if (n < lo || n > hi) refuse(L, r, "BUILD applied " + std::to_string(n) + " times");
}

// Arguments of plain data only: no stand-in class anywhere inside (a class, a function or a
// module never reaches a real callable as data).
void plain(Load &L, const Rule &r, py::handle h, int depth = 0) {
    if (rule_of(h)) refuse(L, r, "a class or function as an argument (" + short_repr(h) + ")");
    if (depth > 8) return;
    if (PyTuple_Check(h.ptr()) || PyList_Check(h.ptr()))
        for (py::handle item : h) plain(L, r, item, depth + 1);
    else if (PyDict_Check(h.ptr()))
        for (auto kv : py::reinterpret_borrow<py::dict>(h)) {
            plain(L, r, kv.first, depth + 1);
            plain(L, r, kv.second, depth + 1);
        }
}

// A dict of named fields, of which only `allowed` may appear.
py::dict fields(Load &L, const Rule &r, py::handle state, std::initializer_list<const char *> allowed) {
    if (!PyDict_Check(state.ptr())) refuse(L, r, "its state must be a dict, not " + short_repr(state));
    py::dict d = py::reinterpret_borrow<py::dict>(state);
    for (auto kv : d) {
        bool ok = false;
        if (is_str(kv.first)) {
            std::string key = py::str(kv.first);
            for (const char *a : allowed) ok |= key == a;
        }
        if (!ok) refuse(L, r, "unexpected field " + short_repr(kv.first));
    }
    return d;
}

Obj get(py::dict d, py::handle key) {
    PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v ? py::reinterpret_borrow<Obj>(v) : Obj(py::none());
}
Obj get(py::dict d, const char *key) { return get(d, py::str(key)); }

std::uint64_t checked_product(Load &L, const Rule &r, py::handle shape) {
    if (!PyTuple_Check(shape.ptr())) refuse(L, r, "shape must be a tuple");
    if (length(shape) > 32) refuse(L, r, "an array of " + std::to_string(length(shape)) + " dimensions");
    std::uint64_t n = 1;
    for (py::handle d : shape) {
        if (!is_int(d)) refuse(L, r, "shape entries must be integers");
        long long v = d.cast<long long>();
        if (v < 0) refuse(L, r, "negative shape");
        if (v != 0 && n > L.item_bound() / static_cast<std::uint64_t>(v) + 1)
            L.over_limit("size (shape " + short_repr(shape) + ")");
        n *= static_cast<std::uint64_t>(v);
    }
    if (n > L.item_bound()) L.over_limit("size (shape " + short_repr(shape) + ")");
    return n;
}

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

// Codes of a categorical or a MultiIndex level: integers within [-1, size).
void check_codes(Load &L, const Rule &r, py::handle codes, std::size_t size, const char *what) {
    if (!is_ndarray(codes) || (kind(codes) != "i" && kind(codes) != "u"))
        refuse(L, r, std::string(what) + " codes must be an integer array");
    if (length(codes) == 0) return;
    long long lo = codes.attr(PN("min"))().cast<long long>(), hi = codes.attr(PN("max"))().cast<long long>();
    if (lo < -1 || hi >= static_cast<long long>(size))
        refuse(L, r, std::string(what) + " codes outside [-1, " + std::to_string(size) + ")");
}

// ---------------------------------------------------------------------------------------
// Builtins, datetime, decimal, time zones

// A call of the real global with plain arguments, no BUILD.
Obj call_plain(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_states(L, r, c, 0, 0);
    if (!c.kwargs.is_none()) refuse(L, r, "keyword arguments are not accepted");
    return call(L.real(r), c.args);
}

// A marker: a class only ever named as an argument of another rule.
Obj not_callable(Load &L, const Rule &r, Call &) { refuse(L, r, "it is never called by a value"); }

Obj codecs_encode(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    if (!is_str(c.args[0]) || !py_equal(c.args[1], py::str("latin1")))
        refuse(L, r, "only text encoded as \"latin1\" is accepted, not " + short_repr(c.args[1]));
    return call_plain(L, r, c);
}

// bytes / bytearray: from bytes, from text and an encoding, from a list of the pickle's
// integers, or a zero-filled size within the bound.
Obj bytes_like(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 2);
    if (c.args.size() >= 1) {
        py::handle a = c.args[0];
        if (is_int(a) && a.cast<long long>() > static_cast<long long>(L.item_bound()))
            L.over_limit("size (" + global(r) + " of " + short_repr(a) + " bytes)");
        if (!is_int(a) && !is_str(a) && !PyBytes_Check(a.ptr()) && !PyByteArray_Check(a.ptr()) &&
            !PyList_Check(a.ptr()))
            refuse(L, r, "made from " + short_repr(a));
        if (c.args.size() == 2 && !(is_str(a) && py_equal(c.args[1], py::str("latin1"))))
            refuse(L, r, "only text encoded as \"latin1\" is accepted");
    }
    return call_plain(L, r, c);
}

Obj set_like(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 1);
    if (c.args.size() == 1) {
        py::handle a = c.args[0];
        bool container = PyList_Check(a.ptr()) || PyTuple_Check(a.ptr()) || PyAnySet_Check(a.ptr());
        if (PyRange_Check(a.ptr())) {
            if (length(a) > L.item_bound()) L.over_limit("size (" + global(r) + " of " + short_repr(a) + ")");
        } else if (!container) refuse(L, r, "made from " + short_repr(a));
    }
    return call_plain(L, r, c);
}

// getattr is read at load time (see unpickler.cpp): it is met here only when called again.
Obj getattr_rule(Load &L, const Rule &r, Call &) { refuse(L, r, "getattr of anything else"); }

// A time zone key as the zone database names them: no absolute path, no parent directory.
void zone_key(Load &L, const Rule &r, py::handle key) {
    if (!is_str(key)) refuse(L, r, "a time zone key must be text");
    std::string k = py::str(key);
    bool ok = !k.empty() && k.size() < 256 && k[0] != '/' && k.find("..") == std::string::npos;
    for (char ch : k)
        ok &= (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
              ch == '/' || ch == '_' || ch == '-' || ch == '+';
    if (!ok) refuse(L, r, "time zone key " + short_repr(key));
}

Obj zone_unpickle(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 2);
    zone_key(L, r, c.args[0]);
    return call_plain(L, r, c);
}

// pytz zones of older pickles; without pytz, the same zone from zoneinfo.
Obj pytz_zone(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_states(L, r, c, 0, 0);
    std::string name = r.name;
    if (name == "_p") {
        if (c.args.size() < 1) refuse(L, r, "no zone named");
        zone_key(L, r, c.args[0]);
    }
    try {
        return call(L.real(r), c.args);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    if (name == "_UTC" || py_equal(c.args[0], py::str("UTC")))
        return lib("datetime", "timezone").attr(PN("utc"));
    return lib("zoneinfo", "ZoneInfo")(c.args[0]);
}

// protocols 0 and 1: copy_reg._reconstructor(cls, object, None), then BUILD; read as the
// class's own rule would read NEWOBJ(cls) and the same BUILD.
Obj reconstructor(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    const Rule *target = rule_of(c.args[0]);
    std::string base = standin_name(c.args[1]);
    if (!target || !target->build || base != "object" || !c.args[2].is_none())
        refuse(L, r, "reconstructing " + short_repr(c.args[0]));
    Call inner{py::tuple(), py::none(), c.states};
    return target->build(L, *target, inner);
}

// ---------------------------------------------------------------------------------------
// numpy

// dtype(descriptor, align, copy) with BUILD(state): only the descriptor, byte order and a
// datetime unit are read; flags, fields and subarrays of the state are never applied.
Obj numpy_dtype(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 3);
    expect_states(L, r, c, 0, 1);
    if (!is_str(c.args[0])) refuse(L, r, "a descriptor that is not text");
    std::string descr = py::str(c.args[0]);
    static const std::set<std::string> fixed = {"b1", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
                                                "f2", "f4", "f8", "f16", "f12", "c8", "c16", "c32",
                                                "c24", "O4", "O8", "M8", "m8"};
    bool flexible = descr.size() >= 2 && (descr[0] == 'U' || descr[0] == 'S' || descr[0] == 'V') &&
                    descr.find_first_not_of("0123456789", 1) == std::string::npos && descr.size() <= 11;
    if (!fixed.count(descr) && !flexible) refuse(L, r, "descriptor " + short_repr(c.args[0]));
    std::string order = "";
    std::string unit;
    if (c.states.size() == 1) {
        py::handle s = c.states[0];
        if (!PyTuple_Check(s.ptr()) || length(s) < 8) refuse(L, r, "a state that is not a dtype's");
        py::tuple st = py::reinterpret_borrow<py::tuple>(s);
        if (!st[2].is_none() || !st[3].is_none() || !st[4].is_none())
            refuse(L, r, "structured or subarray dtypes");
        std::string bo = is_str(st[1]) ? std::string(py::str(st[1])) : "?";
        if (bo != "<" && bo != ">" && bo != "|" && bo != "=") refuse(L, r, "byte order " + short_repr(st[1]));
        order = bo == "|" ? "" : bo;
        if (descr == "M8" || descr == "m8") {
            // the last entry: (metadata, (unit, count, 1, 1)), or the unit tuple itself
            py::handle meta = st[length(st) - 1];
            if (PyTuple_Check(meta.ptr()) && length(meta) == 2) meta = py::reinterpret_borrow<py::tuple>(meta)[1];
            if (PyTuple_Check(meta.ptr()) && length(meta) == 4) {
                py::tuple m = py::reinterpret_borrow<py::tuple>(meta);
                Obj u = m[0];
                if (PyBytes_Check(u.ptr())) u = u.attr(PN("decode"))("ascii");
                static const std::set<std::string> units = {"Y", "M", "W", "D", "h", "m", "s", "ms",
                                                            "us", "ns", "ps", "fs", "as", "generic"};
                if (!is_str(u) || !units.count(std::string(py::str(u))) || !is_int(m[1]))
                    refuse(L, r, "datetime unit " + short_repr(meta));
                long long num = m[1].cast<long long>();
                if (num < 1 || num > 1000000) refuse(L, r, "datetime unit " + short_repr(meta));
                unit = std::string(py::str(u));
                if (unit != "generic") unit = "[" + (num == 1 ? "" : std::to_string(num)) + unit + "]";
                else unit = "";
            }
        }
    }
    return lib("numpy", "dtype")(py::str(order + descr + unit));
}

bool is_dtype(py::handle h) { return is_a(h, lib("numpy", "dtype")); }

// Arrays of dates or durations carry a unit; pandas cannot use one without ("M8" alone).
void expect_time_unit(Load &L, const Rule &r, py::handle dtype) {
    std::string k = py::str(dtype.attr(PN("kind")));
    if ((k == "M" || k == "m") &&
        py_equal(lib("numpy", "datetime_data")(dtype)[py::int_(0)], py::str("generic")))
        refuse(L, r, "an array of dates or durations without a unit");
}

// _reconstruct(ndarray, (0,), b"b") with BUILD((1, shape, dtype, fortran, data)).
Obj numpy_reconstruct(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    expect_states(L, r, c, 1, 1);
    if (standin_name(c.args[0]) != "ndarray" || !py_equal(c.args[1], py::make_tuple(0)))
        refuse(L, r, "an array other than a plain ndarray");
    py::handle s = c.states[0];
    if (!PyTuple_Check(s.ptr()) || length(s) != 5) refuse(L, r, "an array state that is not (version, shape, dtype, fortran, data)");
    py::tuple st = py::reinterpret_borrow<py::tuple>(s);
    if (!is_int(st[0]) || !is_dtype(st[2]) || !PyBool_Check(st[3].ptr()))
        refuse(L, r, "an array state " + short_repr(s));
    std::uint64_t n = checked_product(L, r, st[1]);
    Obj dtype = st[2];
    py::handle data = st[4];
    if (truthy(dtype.attr(PN("hasobject")))) {
        if (!PyList_Check(data.ptr()) || length(data) != n)
            refuse(L, r, "an object array whose items are not a list of its size");
    } else {
        if (!PyBytes_Check(data.ptr()) && !PyByteArray_Check(data.ptr()))
            refuse(L, r, "array data that is not bytes");
        expect_time_unit(L, r, dtype);
        std::uint64_t itemsize = dtype.attr(PN("itemsize")).cast<std::uint64_t>();
        if (length(data) != n * itemsize)
            refuse(L, r, "array data of " + std::to_string(length(data)) + " bytes for " +
                             std::to_string(n) + " items of " + std::to_string(itemsize));
    }
    Obj array = L.real(r)(lib("numpy", "ndarray"), py::make_tuple(0), py::bytes("b"));
    array.attr(PN("__setstate__"))(py::make_tuple(st[0], st[1], dtype, st[3], data));
    return array;
}

// _frombuffer(buffer, dtype, shape, order): protocol 5's arrays.
Obj numpy_frombuffer(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 4, 4);
    expect_states(L, r, c, 0, 0);
    py::handle buf = c.args[0], dtype = c.args[1];
    if (!PyByteArray_Check(buf.ptr()) && !PyBytes_Check(buf.ptr())) refuse(L, r, "a buffer that is not bytes");
    if (!is_dtype(dtype) || truthy(dtype.attr(PN("hasobject")))) refuse(L, r, "an object dtype from a buffer");
    expect_time_unit(L, r, dtype);
    std::uint64_t n = checked_product(L, r, c.args[2]);
    if (!py_equal(c.args[3], py::str("C")) && !py_equal(c.args[3], py::str("F")))
        refuse(L, r, "order " + short_repr(c.args[3]));
    if (length(buf) != n * dtype.attr(PN("itemsize")).cast<std::uint64_t>())
        refuse(L, r, "a buffer of " + std::to_string(length(buf)) + " bytes for shape " + short_repr(c.args[2]));
    return call(L.real(r), c.args);
}

// scalar(dtype, bytes): a numpy scalar of a non-object dtype, from exactly its bytes.
Obj numpy_scalar(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 0);
    py::handle dtype = c.args[0], data = c.args[1];
    if (!is_dtype(dtype) || truthy(dtype.attr(PN("hasobject")))) refuse(L, r, "a scalar of dtype " + short_repr(dtype));
    if (!PyBytes_Check(data.ptr()) || length(data) != dtype.attr(PN("itemsize")).cast<std::size_t>())
        refuse(L, r, "scalar bytes that do not match its dtype");
    return call(L.real(r), c.args);
}

// ---------------------------------------------------------------------------------------
// pandas arrays

// A new object of the real class with a checked state, as BUILD would set it.
Obj new_with_state(Load &L, const Rule &r, py::handle state) {
    Obj cls = L.real(r);
    Obj obj = cls.attr(PN("__new__"))(cls);
    obj.attr(PN("__setstate__"))(state);
    return obj;
}

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
    std::string k = kind(values);
    bool ok = false;
    if (cls == "DatetimeArray")
        ok = k == "M" && (py_equal(dtype, values.attr(PN("dtype"))) ||
                          (is_a(dtype, lib("pandas", "DatetimeTZDtype")) &&
                           py_equal(dtype.attr(PN("unit")), lib("numpy", "datetime_data")(values.attr(PN("dtype")))[py::int_(0)])));
    else if (cls == "TimedeltaArray") ok = k == "m" && py_equal(dtype, values.attr(PN("dtype")));
    else if (cls == "PeriodArray")
        ok = k == "i" && values.attr(PN("dtype")).attr(PN("itemsize")).cast<int>() == 8 && is_a(dtype, lib("pandas", "PeriodDtype"));
    else if (cls == "StringArray")
        ok = k == "O" && is_a(dtype, lib("pandas", "StringDtype")) && py_equal(dtype.attr(PN("storage")), py::str("python")) &&
             (length(values) == 0 || truthy(lib("pandas._libs.lib", "is_string_array")(values, "skipna"_a = true)));
    else if (cls == "Categorical") {
        ok = is_a(dtype, lib("pandas", "CategoricalDtype")) && ndim(values) == 1;
        if (ok) {
            Obj cats = dtype.attr(PN("categories"));
            check_codes(L, r, values, cats.is_none() ? 0 : length(cats), "categorical");
        }
    } else refuse(L, r, "the class " + short_repr(c.args[0]));
    if (!ok) refuse(L, r, "a " + cls + " of dtype " + short_repr(dtype) + " over " + short_repr(values.attr(PN("dtype"))));
    py::tuple checked;
    if (length(st) == 3) {
        // pandas 3 marks the array of a sliced DatetimeIndex "_readonly".
        py::dict attrs = fields(L, r, st[2], {"_freq", "_cache", "_readonly"});
        py::dict kept;
        Obj freq = get(attrs, PN("_freq"));
        if (!freq.is_none() && !is_a(freq, lib("pandas._libs.tslibs.offsets", "BaseOffset")))
            refuse(L, r, "freq " + short_repr(freq));
        if (attrs.contains(PN("_freq"))) kept[PN("_freq")] = freq;
        if (attrs.contains(PN("_readonly"))) {
            if (!PyBool_Check(Obj(attrs[PN("_readonly")]).ptr())) refuse(L, r, "_readonly that is not a bool");
            kept[PN("_readonly")] = attrs[PN("_readonly")];
        }
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
    if (!(is_ndarray(left) || is_extension_array(left) || is_index(left)) || !(is_ndarray(right) || is_extension_array(right) || is_index(right)) ||
        !is_a(dtype, lib("pandas", "IntervalDtype")) || length(left) != length(right))
        refuse(L, r, "interval bounds that do not pair up");
    return L.real(*rule_of(c.args[0])).attr(PN("from_arrays"))(left, right, "closed"_a = dtype.attr(PN("closed")), "dtype"_a = dtype);
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
    return L.real(r)(data, mask);
}

// The type ids of Arrow's string and large_string (what pyarrow.types.is_string and
// is_large_string compare against), read once.
std::pair<int, int> text_type_ids() {
    static const std::pair<int, int> ids(lib("pyarrow", "string")().attr(PN("id")).cast<int>(),
                                         lib("pyarrow", "large_string")().attr(PN("id")).cast<int>());
    return ids;
}
bool is_text_type_id(int id) { return id == text_type_ids().first || id == text_type_ids().second; }

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
    if (d.contains(PN("_readonly"))) {
        if (!PyBool_Check(Obj(d[PN("_readonly")]).ptr())) refuse(L, r, "_readonly that is not a bool");
        state[PN("_readonly")] = d[PN("_readonly")];
    }
    return new_with_state(L, r, state);
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

// pyarrow.lib.timestamp(unit, tz): a known unit, a zone name or none.
Obj arrow_timestamp(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 2);
    static const std::set<std::string> units = {"s", "ms", "us", "ns"};
    if (!is_str(c.args[0]) || !units.count(std::string(py::str(c.args[0]))))
        refuse(L, r, "unit " + short_repr(c.args[0]));
    if (c.args.size() == 2 && !c.args[1].is_none()) zone_key(L, r, c.args[1]);
    return call_plain(L, r, c);
}

// pyarrow's _restore_array((type, length, null_count, offset, buffers, children,
// dictionary)); the result is validated in full before anything else sees it.
// One array state and those of its children and dictionary: the layout the type asks for
// (pyarrow builds the array from it without checking: a missing buffer crashes it).
void check_arrow_state(Load &L, const Rule &r, py::handle s, int depth) {
    if (depth > 64) L.over_limit("nesting depth (Arrow children)");
    if (!PyTuple_Check(s.ptr()) || length(s) != 7) refuse(L, r, "state " + short_repr(s));
    py::tuple st = py::reinterpret_borrow<py::tuple>(s);
    if (!is_a(st[0], lib("pyarrow", "DataType")) || !is_int(st[1]) || !is_int(st[2]) || !is_int(st[3]) ||
        !PyList_Check(st[4].ptr()) || !PyList_Check(st[5].ptr()))
        refuse(L, r, "state " + short_repr(s));
    long long len = st[1].cast<long long>(), nulls = st[2].cast<long long>(), offset = st[3].cast<long long>();
    if (len < 0 || offset < 0 || static_cast<std::uint64_t>(len) + static_cast<std::uint64_t>(offset) > L.item_bound())
        L.over_limit("size (Arrow length " + short_repr(st[1]) + " at offset " + short_repr(st[3]) + ")");
    if (nulls < -1 || nulls > len) refuse(L, r, "null count " + short_repr(st[2]));
    Obj type = st[0];
    if (length(st[4]) != type.attr(PN("num_buffers")).cast<std::size_t>())
        refuse(L, r, std::to_string(length(st[4])) + " buffers for Arrow type " + short_repr(type));
    for (py::handle b : st[4])
        if (!b.is_none() && !is_a(b, lib("pyarrow", "Buffer"))) refuse(L, r, "a buffer " + short_repr(b));
    if (length(st[5]) != type.attr(PN("num_fields")).cast<std::size_t>())
        refuse(L, r, std::to_string(length(st[5])) + " children for Arrow type " + short_repr(type));
    for (py::handle child : st[5]) check_arrow_state(L, r, child, depth + 1);
    bool dictionary = is_a(type, lib("pyarrow", "DictionaryType"));
    if (dictionary == st[6].is_none()) refuse(L, r, "a dictionary that does not match Arrow type " + short_repr(type));
    if (dictionary) check_arrow_state(L, r, st[6], depth + 1);
}

// The bytes of an Arrow buffer of the payload, read in place (none for a missing buffer).
class BufferBytes {
public:
    explicit BufferBytes(py::handle buffer) {
        if (buffer.is_none()) return;
        if (PyObject_GetBuffer(buffer.ptr(), &view_, PyBUF_SIMPLE) < 0) throw py::error_already_set();
        held_ = true;
    }
    ~BufferBytes() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferBytes(const BufferBytes &) = delete;
    BufferBytes &operator=(const BufferBytes &) = delete;
    bool present() const { return held_; }
    const unsigned char *data() const { return static_cast<const unsigned char *>(view_.buf); }
    std::uint64_t size() const { return held_ ? static_cast<std::uint64_t>(view_.len) : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// No byte past ASCII in s[0, n): the bytes OR-ed together and tested once, a loop compilers
// vectorize (the text of a frame is mostly ASCII).
bool all_ascii(const unsigned char *s, std::size_t n) {
    unsigned char seen = 0;
    for (std::size_t i = 0; i < n; ++i) seen |= s[i];
    return seen < 0x80;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(const unsigned char *s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        std::uint64_t word;
        if (i + 8 <= n && (std::memcpy(&word, s + i, 8), (word & 0x8080808080808080ULL) == 0)) {
            i += 8;
            continue;
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t follow;
        unsigned char lo = 0x80, hi = 0xBF; // the allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) follow = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else return false;
        if (n - i - 1 < follow || s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k <= follow; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += follow + 1;
    }
    return true;
}

// A text array's buffers (validity, offsets, data) checked as Arrow's full validation checks
// them, in one pass over the offsets: the validity bitmap covers the values and its nulls are
// the null count; offsets start at or after 0, never go back and end within the data; every
// value that is not null is well-formed UTF-8.
template <typename Offset>
void check_text_buffers(Load &L, const Rule &r, const BufferBytes &validity, const BufferBytes &offsets,
                        const BufferBytes &data, std::uint64_t offset, std::uint64_t length, long long nulls) {
    auto invalid = [&](const std::string &why) { refuse(L, r, "an invalid Arrow array: " + why); };
    std::uint64_t end = offset + length; // both bounded by the payload's item bound
    if (validity.present() && validity.size() < (end + 7) / 8)
        invalid("a validity bitmap of " + std::to_string(validity.size()) + " bytes for " + std::to_string(end) +
                " values");
    if (offsets.size() / sizeof(Offset) < end + 1)
        invalid("an offsets buffer of " + std::to_string(offsets.size()) + " bytes for " + std::to_string(length) +
                " values at offset " + std::to_string(offset));
    std::size_t n = static_cast<std::size_t>(length);
    const unsigned char *raw = offsets.data() + static_cast<std::size_t>(offset) * sizeof(Offset);
    auto at = [raw](std::size_t i) {
        Offset v;
        std::memcpy(&v, raw + i * sizeof(Offset), sizeof(Offset));
        return v;
    };
    Offset first = at(0), last = at(n);
    if (first < 0 || last < first || static_cast<std::uint64_t>(last) > data.size())
        invalid("offsets from " + std::to_string(first) + " to " + std::to_string(last) + " over " +
                std::to_string(data.size()) + " bytes of text");
    // Offsets go back where a step, taken as unsigned, has its top bit set: exact while every
    // offset is below a quarter of the type's range (checked alongside); any doubt, and the exact
    // loop below decides. Unlike a compare of signed 64-bit values, this loop vectorizes on
    // every x86-64.
    using Unsigned = std::make_unsigned_t<Offset>;
    constexpr int width = 8 * sizeof(Offset);
    Unsigned spread = static_cast<Unsigned>(at(n)), steps = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Unsigned a = static_cast<Unsigned>(at(i)), b = static_cast<Unsigned>(at(i + 1));
        spread |= a;
        steps |= static_cast<Unsigned>(b - a);
    }
    bool back = (steps >> (width - 1)) != 0 || (spread >> (width - 2)) != 0;
    if (back)
        for (std::size_t i = 0; i < n; ++i)
            if (at(i + 1) < at(i)) invalid("offsets that go back at value " + std::to_string(i));
    const unsigned char *bits = validity.present() ? validity.data() : nullptr;
    auto valid = [bits, offset](std::size_t i) {
        std::uint64_t b = offset + i;
        return !bits || ((bits[static_cast<std::size_t>(b / 8)] >> (b % 8)) & 1) != 0;
    };
    if (bits) {
        std::uint64_t counted = 0;
        for (std::size_t i = 0; i < n; ++i) counted += valid(i) ? 0U : 1U;
        if (nulls >= 0 && counted != static_cast<std::uint64_t>(nulls))
            invalid("a null count of " + std::to_string(nulls) + " over " + std::to_string(counted) + " nulls");
    } else if (nulls > 0)
        invalid("a null count of " + std::to_string(nulls) + " without a validity bitmap");
    const unsigned char *text = data.data();
    // A value can only split a character when the text holds any byte past ASCII.
    if (all_ascii(text + first, static_cast<std::size_t>(last - first))) return;
    for (std::size_t i = 0; i < n; ++i)
        if (valid(i) && !valid_utf8(text + at(i), static_cast<std::size_t>(at(i + 1) - at(i))))
            invalid("value " + std::to_string(i) + " is not valid UTF-8");
}

// Text arrays (string, large_string) with their offsets and text present are checked here over
// their buffers, which costs a fraction of pyarrow's full validation; true when this one was.
bool checked_text_array(Load &L, const Rule &r, py::tuple st) {
    int id = st[0].attr(PN("id")).cast<int>();
    if (!is_text_type_id(id)) return false;
    bool large = id == text_type_ids().second;
    py::list buffers = st[4];
    BufferBytes validity(buffers[0]), offsets(buffers[1]), data(buffers[2]);
    if (!offsets.present() || !data.present()) return false;
    auto offset = static_cast<std::uint64_t>(st[3].cast<long long>());
    auto length = static_cast<std::uint64_t>(st[1].cast<long long>());
    long long nulls = st[2].cast<long long>();
    if (!large) check_text_buffers<std::int32_t>(L, r, validity, offsets, data, offset, length, nulls);
    else check_text_buffers<std::int64_t>(L, r, validity, offsets, data, offset, length, nulls);
    return true;
}

Obj arrow_restore(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 1);
    expect_states(L, r, c, 0, 0);
    py::handle s = c.args[0];
    plain(L, r, s);
    check_arrow_state(L, r, s, 0);
    bool checked = checked_text_array(L, r, py::reinterpret_borrow<py::tuple>(s));
    Obj array = L.real(r)(s);
    try {
        // the layout checks alone when the buffers were checked above
        if (checked) array.attr(PN("validate"))();
        else array.attr(PN("validate"))("full"_a = true);
    } catch (py::error_already_set &e) {
        refuse(L, r, "an invalid Arrow array: " + std::string(py::str(e.value())));
    }
    return array;
}

Obj arrow_buffer(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 1);
    if (!PyBytes_Check(c.args[0].ptr()) && !PyByteArray_Check(c.args[0].ptr())) refuse(L, r, "a buffer of " + short_repr(c.args[0]));
    return call_plain(L, r, c);
}

// IntIndex(length, indices) of a sparse array: a length within the bound (it is what a
// dense copy would hold); the constructor checks the indices against it.
Obj sparse_int_index(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 0);
    if (!is_int(c.args[0]) || c.args[0].cast<long long>() < 0 ||
        c.args[0].cast<long long>() > static_cast<long long>(L.item_bound()))
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
// pandas dtypes

// SparseDtype: NEWOBJ with BUILD({_dtype, _fill_value}); made with SparseDtype(dtype, fill).
Obj sparse_dtype(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 1, 1);
    py::dict d = fields(L, r, c.states[0], {"_dtype", "_fill_value"});
    Obj dtype = get(d, PN("_dtype")), fill = get(d, PN("_fill_value"));
    if (!is_dtype(dtype) || truthy(dtype.attr(PN("hasobject")))) refuse(L, r, "subtype " + short_repr(dtype));
    plain(L, r, fill);
    return L.real(r)(dtype, fill);
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

Obj categorical_dtype(Load &L, const Rule &r, Call &c) {
    auto [cats, ordered] = dtype_fields(L, r, c, "categories", "ordered");
    if (!cats.is_none() && !is_index(cats)) refuse(L, r, "categories " + short_repr(cats));
    if (!ordered.is_none() && !PyBool_Check(ordered.ptr())) refuse(L, r, "ordered " + short_repr(ordered));
    return L.real(r)(cats, ordered);
}

Obj datetime_tz_dtype(Load &L, const Rule &r, Call &c) {
    auto [tz, unit] = dtype_fields(L, r, c, "tz", "unit");
    if (!is_a(tz, lib("datetime", "tzinfo")) || !is_str(unit))
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
    py::dict d = fields(L, r, c.states[0], {"storage"});
    Obj storage = get(d, PN("storage"));
    if (!storage.is_none() && !is_str(storage)) refuse(L, r, "storage " + short_repr(storage));
    return L.real(r)(storage);
}

// Date offsets: NEWOBJ with BUILD({n, normalize, ...}) of plain values.
Obj offset(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 1);
    if (c.states.size() == 0) return call_plain(L, r, c);
    expect_args(L, r, c, 0, 0);
    py::dict d = fields(L, r, c.states[0], {"n", "normalize", "_cache", "offset", "_offset", "_use_relativedelta",
                                            "weekday", "startingMonth", "month", "_period_dtype_code", "_n"});
    py::dict kept;
    for (auto kv : d) {
        if (py::str(kv.first).cast<std::string>() == "_cache") continue;
        py::handle v = kv.second;
        if (!(PyLong_Check(v.ptr()) || v.is_none() || is_a(v, lib("datetime", "timedelta"))))
            refuse(L, r, "offset field " + short_repr(kv.first));
        kept[kv.first] = v;
    }
    return new_with_state(L, r, kept);
}

// ---------------------------------------------------------------------------------------
// pandas internals and containers

Obj unpickle_block(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    expect_states(L, r, c, 0, 0);
    Obj values = c.args[0];
    if (!is_int(c.args[2])) refuse(L, r, "ndim " + short_repr(c.args[2]));
    long long nd = c.args[2].cast<long long>();
    if (nd != 1 && nd != 2) refuse(L, r, "ndim " + short_repr(c.args[2]));
    if (!is_ndarray(values) && !is_extension_array(values)) refuse(L, r, "block values " + short_repr(values));
    std::size_t count = placement_locations(L, r, c.args[1]).size();
    std::size_t vdim = ndim(values);
    if (nd == 2 && !((vdim == 2 && length(values) == count) || (vdim == 1 && count == 1)))
        refuse(L, r, "a block whose values do not match its placement");
    if (nd == 1 && vdim != 1) refuse(L, r, "a one-dimensional block of " + std::to_string(vdim) + " dimensions");
    return call(L.real(r), c.args);
}

// Blocks against axes: each block's width is its placement's length, its length the index's,
// and the placements together cover the columns once.
void check_blocks(Load &L, const Rule &r, py::list axes, const std::vector<std::pair<Obj, Obj>> &blocks) {
    for (py::handle ax : axes)
        if (!is_index(ax)) refuse(L, r, "an axis that is not an Index: " + short_repr(ax));
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
        py::tuple shape = values.attr(PN("shape"));
        bool ok = vdim == 2 ? (shape[0].cast<std::size_t>() == width && shape[1].cast<std::size_t>() == rows)
                            : (vdim == 1 && width == 1 && length(values) == rows);
        if (!ok) refuse(L, r, "a block of shape " + short_repr(shape) + " at " + std::to_string(width) +
                                  " columns of " + std::to_string(rows) + " rows");
        locs.push_back(std::move(l));
    }
    check_permutation(L, r, locs, length(axes[0]));
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
        check_blocks(L, r, py::reinterpret_borrow<py::list>(c.args[1]), blocks);
        return call(L.real(r), c.args);
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
        if (!is_ndarray(values) && !is_extension_array(values) && !is_index(values))
            refuse(L, r, "block values " + short_repr(values));
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
            if (!allows.is_none() && !PyBool_Check(allows.ptr())) refuse(L, r, "allows_duplicate_labels " + short_repr(allows));
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

// The index class a stand-in names, and the kind of data it takes.
Obj index_class(Load &L, const Rule &r, py::handle standin, std::string &name) {
    const Rule *cls = rule_of(standin);
    static const std::set<std::string> classes = {"Index", "RangeIndex", "MultiIndex", "DatetimeIndex",
                                                  "TimedeltaIndex", "PeriodIndex", "CategoricalIndex",
                                                  "IntervalIndex"};
    if (!cls || !classes.count(cls->name)) refuse(L, r, "an index of class " + short_repr(standin));
    name = cls->name;
    return L.real(*cls);
}

// _new_Index(cls, d) and the _new_<kind>Index of dates, durations and intervals.
Obj new_index(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 0);
    std::string name;
    Obj cls = index_class(L, r, c.args[0], name);
    py::dict d;
    if (name == "RangeIndex") {
        d = fields(L, r, c.args[1], {"start", "stop", "step", "name"});
        for (const char *k : {"start", "stop", "step"})
            if (d.contains(k) && !is_int(d[k])) refuse(L, r, "a range of non-integers");
    } else if (name == "MultiIndex") {
        d = fields(L, r, c.args[1], {"levels", "codes", "labels", "sortorder", "names"});
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
    } else if (d = fields(L, r, c.args[1], {"data", "name", "freq", "tz", "dtype", "closed", "left", "right"});
               name == "IntervalIndex" && !d.contains(PN("data"))) {
        // _new_IntervalIndex: IntervalIndex.from_arrays(left, right, closed, name)
        Obj left = get(d, PN("left")), right = get(d, PN("right"));
        for (const Obj &side : {left, right})
            if (!(is_ndarray(side) || is_extension_array(side) || is_index(side)) || ndim(side) != 1)
                refuse(L, r, "interval bounds " + short_repr(side));
        if (length(left) != length(right)) refuse(L, r, "interval bounds of different lengths");
        Obj closed = get(d, PN("closed"));
        if (!closed.is_none() && !is_str(closed)) refuse(L, r, "closed " + short_repr(closed));
    } else {
        Obj data = get(d, PN("data"));
        bool ok;
        if (name == "DatetimeIndex") ok = is_a(data, lib("pandas", "arrays.DatetimeArray")) || (is_ndarray(data) && kind(data) == "M");
        else if (name == "TimedeltaIndex") ok = is_a(data, lib("pandas", "arrays.TimedeltaArray")) || (is_ndarray(data) && kind(data) == "m");
        else if (name == "PeriodIndex") ok = is_a(data, lib("pandas", "arrays.PeriodArray"));
        else if (name == "CategoricalIndex") ok = is_a(data, lib("pandas", "Categorical"));
        else if (name == "IntervalIndex") ok = is_a(data, lib("pandas", "arrays.IntervalArray"));
        else ok = (is_ndarray(data) && kind(data) != "M" && kind(data) != "m" && kind(data) != "V") || is_extension_array(data);
        if (!ok || ndim(data) != 1) refuse(L, r, "a " + name + " of " + short_repr(data));
        Obj freq = get(d, PN("freq"));
        if (!freq.is_none() && !is_str(freq) && !is_a(freq, lib("pandas._libs.tslibs.offsets", "BaseOffset")))
            refuse(L, r, "freq " + short_repr(freq));
        Obj tz = get(d, PN("tz"));
        if (!tz.is_none() && !is_a(tz, lib("datetime", "tzinfo"))) refuse(L, r, "tz " + short_repr(tz));
        Obj dtype = get(d, PN("dtype"));
        if (d.contains(PN("dtype")) && !py_equal(dtype, data.attr(PN("dtype")))) refuse(L, r, "dtype " + short_repr(dtype));
    }
    Obj name_v = get(d, PN("name"));
    if (PyObject_Hash(name_v.ptr()) == -1) throw py::error_already_set();
    return L.real(r)(cls, d);
}

// ---------------------------------------------------------------------------------------
// pandas scalars

// _unpickle_timestamp(value, freq, tz, reso) and _timedelta_unpickle(value, reso): a known
// resolution (seconds to nanoseconds).
Obj time_scalar(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    std::size_t n = c.args.size();
    if (n < 1 || !is_int(c.args[0])) refuse(L, r, "arguments " + short_repr(c.args));
    py::handle reso = c.args[n - 1];
    if (n >= 2 && (!is_int(reso) || reso.cast<long long>() < 7 || reso.cast<long long>() > 10))
        refuse(L, r, "resolution " + short_repr(reso));
    return call_plain(L, r, c);
}

// NaT, under the name the installed pandas gives it.
Obj nat(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_states(L, r, c, 0, 0);
    if (!c.kwargs.is_none()) refuse(L, r, "keyword arguments are not accepted");
    Obj m = mod("pandas._libs.tslibs.nattype");
    return (py::hasattr(m, "_nat_unpickle") ? m.attr(PN("_nat_unpickle")) : m.attr(PN("__nat_unpickle")))(*c.args);
}

// ---------------------------------------------------------------------------------------
// The table. One row per global: module, name, rule, what it accepts. Every row is named by
// some pickle of tests/data (the rows a value may only reach another way say so).

// clang-format off
const Rule kRules[] = {
    // builtins ("__builtin__", "xrange" and "copy_reg" are protocol 2's names)
    {"builtins", "bytearray", bytes_like, "bytes, latin1 text, or a size within the bound"},
    {"__builtin__", "bytearray", bytes_like, "bytes, latin1 text, or a size within the bound"},
    {"__builtin__", "bytes", bytes_like, "nothing (protocol 2's empty bytes), or as bytearray"},
    {"builtins", "complex", call_plain, "plain numbers or text"},
    {"__builtin__", "complex", call_plain, "plain numbers or text"},
    {"builtins", "frozenset", set_like, "the pickle's items, or a range within the bound"},
    {"__builtin__", "frozenset", set_like, "the pickle's items, or a range within the bound"},
    {"builtins", "set", set_like, "the pickle's items, or a range within the bound"},
    {"__builtin__", "set", set_like, "the pickle's items, or a range within the bound"},
    {"builtins", "range", call_plain, "integers (stays lazy)"},
    {"__builtin__", "xrange", call_plain, "integers (stays lazy)"},
    {"builtins", "slice", call_plain, "plain values"},
    {"__builtin__", "slice", call_plain, "plain values"},
    {"__builtin__", "object", not_callable, "only as copy_reg._reconstructor's base"},
    {"copy_reg", "_reconstructor", reconstructor, "(class of this table, object, None): the class's own rule"},
    {"_codecs", "encode", codecs_encode, "(text, \"latin1\") only"},
    {"builtins", "getattr", getattr_rule, "(zoneinfo.ZoneInfo, \"_unpickle\") only, read at load"},
    {"__builtin__", "getattr", getattr_rule, "(zoneinfo.ZoneInfo, \"_unpickle\") only, read at load"},
    // datetime, decimal and time zones
    {"datetime", "date", call_plain, "plain values"},
    {"datetime", "datetime", call_plain, "plain values and a time zone"},
    {"datetime", "time", call_plain, "plain values and a time zone"},
    {"datetime", "timedelta", call_plain, "plain values"},
    {"datetime", "timezone", call_plain, "an offset and a name"},
    {"decimal", "Decimal", call_plain, "text"},
    {"zoneinfo", "ZoneInfo", not_callable, "only through getattr(ZoneInfo, \"_unpickle\")"},
    {"zoneinfo", "ZoneInfo._unpickle", zone_unpickle, "a zone key (no path); reached through getattr"},
    {"pytz", "_p", pytz_zone, "a zone key and offsets (zoneinfo without pytz)"},
    {"pytz", "_UTC", pytz_zone, "nothing"},
    // numpy (numpy 1.x writes numpy.core, numpy 2.x numpy._core)
    {"numpy", "dtype", numpy_dtype, "descriptor and byte order (datetime unit); no flags, fields"},
    {"numpy", "ndarray", not_callable, "only as _reconstruct's class"},
    {"numpy.core.multiarray", "_reconstruct", numpy_reconstruct, "bytes of shape x itemsize, or a list of shape's size for objects"},
    {"numpy._core.multiarray", "_reconstruct", numpy_reconstruct, "bytes of shape x itemsize, or a list of shape's size for objects"},
    {"numpy.core.numeric", "_frombuffer", numpy_frombuffer, "a buffer of shape x itemsize, no objects"},
    {"numpy._core.numeric", "_frombuffer", numpy_frombuffer, "a buffer of shape x itemsize, no objects"},
    {"numpy.core.multiarray", "scalar", numpy_scalar, "a non-object dtype and its itemsize in bytes"},
    {"numpy._core.multiarray", "scalar", numpy_scalar, "a non-object dtype and its itemsize in bytes"},
    // pyarrow, imported only when a value holds Arrow data
    {"pyarrow.lib", "_restore_array", arrow_restore, "an array state; validated in full"},
    {"pyarrow.lib", "py_buffer", arrow_buffer, "bytes"},
    {"pyarrow.lib", "type_for_alias", call_plain, "a type name"},
    {"pyarrow.lib", "timestamp", arrow_timestamp, "a unit and a zone name"},
    // pandas containers and indexes (public names: pandas 3; module names: 1.5 and 2.x)
    {"pandas", "DataFrame", ndframe, "state with a 2-D block manager"},
    {"pandas.core.frame", "DataFrame", ndframe, "state with a 2-D block manager"},
    {"pandas", "Series", ndframe, "state with a single-block manager"},
    {"pandas.core.series", "Series", ndframe, "state with a single-block manager"},
    {"pandas.core.internals.managers", "BlockManager", block_manager, "blocks as a permutation of the columns, shapes matching axes"},
    {"pandas.core.internals.managers", "SingleBlockManager", block_manager, "one block of the index's length"},
    {"pandas._libs.internals", "_unpickle_block", unpickle_block, "values matching their placement"},
    {"pandas.core.indexes.base", "_new_Index", new_index, "an index class of this table and its known fields, checked"},
    {"pandas.core.indexes.datetimes", "_new_DatetimeIndex", new_index, "dates and known fields"},
    {"pandas.core.indexes.timedeltas", "_new_TimedeltaIndex", new_index, "durations and known fields"},
    {"pandas.core.indexes.interval", "_new_IntervalIndex", new_index, "intervals and known fields"},
    {"pandas", "Index", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.base", "Index", not_callable, "only as _new_Index's class"},
    {"pandas", "RangeIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.range", "RangeIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "MultiIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.multi", "MultiIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "DatetimeIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.datetimes", "DatetimeIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "TimedeltaIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.timedeltas", "TimedeltaIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "PeriodIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.period", "PeriodIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "CategoricalIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.category", "CategoricalIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "IntervalIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.interval", "IntervalIndex", not_callable, "only as _new_Index's class"},
    // pandas arrays
    {"pandas._libs.arrays", "__pyx_unpickle_NDArrayBacked", ndarray_backed, "a class of this table, its dtype and an array of that kind"},
    {"pandas._libs.interval", "__pyx_unpickle_IntervalMixin", interval_mixin, "left and right bounds of one length"},
    {"pandas", "Categorical", not_callable, "only as an array class"},
    {"pandas.core.arrays.categorical", "Categorical", not_callable, "only as an array class"},
    {"pandas.arrays", "DatetimeArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.datetimes", "DatetimeArray", not_callable, "only as an array class"},
    {"pandas.arrays", "TimedeltaArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.timedeltas", "TimedeltaArray", not_callable, "only as an array class"},
    {"pandas.arrays", "PeriodArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.period", "PeriodArray", not_callable, "only as an array class"},
    {"pandas.arrays", "IntervalArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.interval", "IntervalArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.string_", "StringArray", not_callable, "only as an array class"},
    {"pandas.arrays", "IntegerArray", masked_array, "integer data and a mask of its length"},
    {"pandas.core.arrays.integer", "IntegerArray", masked_array, "integer data and a mask of its length"},
    {"pandas.arrays", "FloatingArray", masked_array, "float data and a mask of its length"},
    {"pandas.core.arrays.floating", "FloatingArray", masked_array, "float data and a mask of its length"},
    {"pandas.arrays", "BooleanArray", masked_array, "boolean data and a mask of its length"},
    {"pandas.core.arrays.boolean", "BooleanArray", masked_array, "boolean data and a mask of its length"},
    {"pandas.arrays", "StringArray", not_callable, "only as an array class"},
    {"pandas.arrays", "ArrowExtensionArray", arrow_backed, "a validated Arrow array of its dtype's type"},
    {"pandas.core.arrays.arrow.array", "ArrowExtensionArray", arrow_backed, "a validated Arrow array of its dtype's type"},
    {"pandas.arrays", "SparseArray", sparse_array, "one value per index point, of the dtype's subtype"},
    {"pandas.core.arrays.sparse.array", "SparseArray", sparse_array, "one value per index point, of the dtype's subtype"},
    {"pandas._libs.sparse", "IntIndex", sparse_int_index, "a length within the bound, indices checked against it"},
    {"pandas.arrays", "ArrowStringArray", arrow_backed, "a validated Arrow text array"},
    {"pandas.core.arrays.string_arrow", "ArrowStringArray", arrow_backed, "a validated Arrow text array"},
    // pandas dtypes
    {"pandas", "CategoricalDtype", categorical_dtype, "categories (an Index) and ordered"},
    {"pandas.core.dtypes.dtypes", "CategoricalDtype", categorical_dtype, "categories (an Index) and ordered"},
    {"pandas", "DatetimeTZDtype", datetime_tz_dtype, "a unit and a time zone"},
    {"pandas.core.dtypes.dtypes", "DatetimeTZDtype", datetime_tz_dtype, "a unit and a time zone"},
    {"pandas", "IntervalDtype", interval_dtype, "a subtype and closed"},
    {"pandas.core.dtypes.dtypes", "IntervalDtype", interval_dtype, "a subtype and closed"},
    {"pandas", "PeriodDtype", call_plain, "a frequency"},
    {"pandas.core.dtypes.dtypes", "PeriodDtype", call_plain, "a frequency"},
    {"pandas", "StringDtype", string_dtype, "a storage name"},
    {"pandas.core.arrays.string_", "StringDtype", string_dtype, "a storage name"},
    {"pandas", "BooleanDtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.boolean", "BooleanDtype", simple_dtype, "nothing"},
    {"pandas", "Int64Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int64Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt8Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt8Dtype", simple_dtype, "nothing"},
    {"pandas", "Float64Dtype", simple_dtype, "nothing"},
    {"pandas", "Float32Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.floating", "Float32Dtype", simple_dtype, "nothing"},
    {"pandas", "Int8Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int8Dtype", simple_dtype, "nothing"},
    {"pandas", "Int16Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int16Dtype", simple_dtype, "nothing"},
    {"pandas", "Int32Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int32Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt16Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt16Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt32Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt32Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt64Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt64Dtype", simple_dtype, "nothing"},
    {"pandas", "ArrowDtype", arrow_dtype, "an Arrow type"},
    {"pandas.core.dtypes.dtypes", "ArrowDtype", arrow_dtype, "an Arrow type"},
    {"pandas", "SparseDtype", sparse_dtype, "a numpy subtype and a plain fill value"},
    {"pandas.core.dtypes.dtypes", "SparseDtype", sparse_dtype, "a numpy subtype and a plain fill value"},
    {"pandas.core.arrays.floating", "Float64Dtype", simple_dtype, "nothing"},
    // pandas scalars
    {"pandas", "NA", nullptr, "the constant"},
    {"pandas._libs.missing", "NA", nullptr, "the constant"},
    {"pandas", "Period", call_plain, "plain values"},
    {"pandas._libs.tslibs.period", "Period", call_plain, "plain values"},
    {"pandas._libs.tslibs.nattype", "__nat_unpickle", nat, "nothing"},
    {"pandas._libs.tslibs.nattype", "_nat_unpickle", nat, "nothing"},
    {"pandas._libs.tslibs.timedeltas", "_timedelta_unpickle", time_scalar, "a value and a known resolution"},
    {"pandas._libs.tslibs.timestamps", "_unpickle_timestamp", time_scalar, "a value, freq, zone and a known resolution"},
    {"pandas._libs.tslibs.offsets", "BusinessDay", offset, "plain offset fields"},
    {"pandas._libs.tslibs.offsets", "Day", offset, "plain offset fields"},
    {"pandas._libs.tslibs.offsets", "MonthEnd", offset, "plain offset fields"},
};
// clang-format on

} // namespace

namespace {
using GlobalName = std::pair<std::string_view, std::string_view>; // module, name
struct GlobalNameHash {
    std::size_t operator()(const GlobalName &g) const {
        std::hash<std::string_view> h;
        return h(g.first) * 31 + h(g.second);
    }
};
} // namespace

const Rule *find_rule(std::string_view module, std::string_view name) {
    // Keyed by views of the table's own strings: a lookup copies nothing.
    static const auto *index = [] {
        auto *m = new std::unordered_map<GlobalName, const Rule *, GlobalNameHash>();
        for (const Rule &r : kRules) (*m)[GlobalName(r.module, r.name)] = &r;
        return m;
    }();
    auto it = index->find(GlobalName(module, name));
    return it == index->end() ? nullptr : it->second;
}

} // namespace marvane::client::unpickle
