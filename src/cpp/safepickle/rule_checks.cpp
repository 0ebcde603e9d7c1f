// The checks the rule families share (rule_checks.hpp).
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"

#include <map>
#include <string>
#include <unordered_map>
#include <utility>

namespace marvane::safepickle::rules {

std::string short_repr(py::handle h) {
    std::string s = py::str(py::repr(h));
    return s.size() > 80 ? s.substr(0, 77) + "..." : s;
}

[[noreturn]] void refuse(Load &L, const Rule &r, const std::string &why) {
    L.refuse("'" + global_name(r) + "': " + why);
}

py::handle lib(const char *module_name, const char *path) {
    static auto *cache = new std::map<std::pair<const char *, const char *>, PyObject *>();
    auto key = std::make_pair(module_name, path);
    auto it = cache->find(key);
    if (it != cache->end()) return it->second;
    PyObject *raw = dotted_attr(module(module_name), path).release().ptr(); // kept for the life of the process
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
bool is_int(py::handle h) {
    if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    return overflow == 0;
}
bool is_ndarray(py::handle h) { return is_a(h, lib("numpy", "ndarray")); }
bool is_index(py::handle h) { return is_a(h, lib("pandas", "Index")); }
bool is_extension_array(py::handle h) {
    return is_a(h, lib("pandas.api.extensions", "ExtensionArray"));
}
bool is_array_like(py::handle h) { return is_ndarray(h) || is_extension_array(h) || is_index(h); }
std::size_t ndim(py::handle a) { return a.attr(PN("ndim")).cast<std::size_t>(); }
std::string kind(py::handle array) { return py::str(array.attr(PN("dtype")).attr(PN("kind"))); }

Obj call(py::handle f, const py::tuple &args) {
    PyObject *out = PyObject_Call(f.ptr(), args.ptr(), nullptr);
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<Obj>(out);
}

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

namespace {

// Each container walked once from the shallowest place it is met (a container shared at many
// places, or holding itself, would otherwise be walked at every place, to the depth limit).
void plain_walk(Load &L, const Rule &r, py::handle h, int depth, std::unordered_map<PyObject *, int> &walked) {
    if (rule_of(h)) refuse(L, r, "a class or function as an argument (" + short_repr(h) + ")");
    if (depth > 8) return;
    const bool sequence = PyTuple_Check(h.ptr()) || PyList_Check(h.ptr());
    if (!sequence && !PyDict_Check(h.ptr())) return;
    if (depth > 0) {
        auto [at, fresh] = walked.try_emplace(h.ptr(), depth);
        if (!fresh && at->second <= depth) return;
        at->second = depth;
    }
    if (sequence)
        for (py::handle item : h) plain_walk(L, r, item, depth + 1, walked);
    else
        for (auto kv : py::reinterpret_borrow<py::dict>(h)) {
            plain_walk(L, r, kv.first, depth + 1, walked);
            plain_walk(L, r, kv.second, depth + 1, walked);
        }
}

} // namespace

void plain(Load &L, const Rule &r, py::handle h, int depth) {
    std::unordered_map<PyObject *, int> walked;
    plain_walk(L, r, h, depth, walked);
}

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

void keep_readonly(Load &L, const Rule &r, const py::dict &state, py::dict &kept) {
    if (!state.contains(PN("_readonly"))) return;
    if (!PyBool_Check(Obj(state[PN("_readonly")]).ptr())) refuse(L, r, "_readonly that is not a bool");
    kept[PN("_readonly")] = state[PN("_readonly")];
}

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

void check_codes(Load &L, const Rule &r, py::handle codes, std::size_t size, const char *what) {
    if (!is_ndarray(codes) || (kind(codes) != "i" && kind(codes) != "u"))
        refuse(L, r, std::string(what) + " codes must be an integer array");
    if (length(codes) == 0) return;
    long long lo = codes.attr(PN("min"))().cast<long long>(), hi = codes.attr(PN("max"))().cast<long long>();
    if (lo < -1 || hi >= static_cast<long long>(size))
        refuse(L, r, std::string(what) + " codes outside [-1, " + std::to_string(size) + ")");
}

void zone_key(Load &L, const Rule &r, py::handle key) {
    if (!is_str(key)) refuse(L, r, "a time zone key must be text");
    std::string k = py::str(key);
    bool ok = !k.empty() && k.size() < 256 && k[0] != '/' && k.find("..") == std::string::npos;
    for (char ch : k)
        ok &= (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
              ch == '/' || ch == '_' || ch == '-' || ch == '+';
    if (!ok) refuse(L, r, "time zone key " + short_repr(key));
}

Obj new_with_state(Load &L, const Rule &r, py::handle state) {
    Obj cls = L.real(r);
    Obj obj = cls.attr(PN("__new__"))(cls);
    obj.attr(PN("__setstate__"))(state);
    return obj;
}

void expect_plain_call(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_states(L, r, c, 0, 0);
    if (!c.kwargs.is_none()) refuse(L, r, "keyword arguments are not accepted");
}

Obj call_plain(Load &L, const Rule &r, Call &c) {
    expect_plain_call(L, r, c);
    return call(L.real(r), c.args);
}

Obj not_callable(Load &L, const Rule &r, Call &) { refuse(L, r, "it is never called by a value"); }

} // namespace marvane::safepickle::rules
