// The build step of the validating reader, and the read as a whole (checked_loads).
//
// The finished tree of the load step is walked depth first. Containers the pickle made are
// rebuilt only where a pending node inside them became a real object; each pending node is
// built once (shared nodes stay shared) from its built arguments and states, through its rule.
// Depth is checked here on the real result, whatever the opcode pass counted.
#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"
#include "safepickle/standins.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace marvane::safepickle {

namespace {

py::handle unpickling_error() {
    static PyObject *error = py::object(module("pickle").attr(PN("UnpicklingError"))).release().ptr();
    return error;
}

// "TypeError", "struct.error": an exception's type as Python names it.
std::string type_name(py::handle type) {
    try {
        std::string module = py::str(type.attr(PN("__module__"))), name = py::str(type.attr(PN("__qualname__")));
        return module == "builtins" ? name : module + "." + name;
    } catch (py::error_already_set &) {
        return reinterpret_cast<PyTypeObject *>(type.ptr())->tp_name;
    }
}

[[noreturn]] void reraise_as_unpickling(py::error_already_set &e, const std::string &where) {
    // An ImportError is this machine's, not the value's: a library the value needs is not
    // installed (pyarrow, where no build of it exists).
    if (e.matches(unpickling_error()) || e.matches(PyExc_MemoryError) || e.matches(PyExc_ImportError) ||
        !e.matches(PyExc_Exception))
        throw e;
    std::string message = where + ": " + type_name(e.type()) + ": ";
    try {
        // An OSError (a zone key naming a directory) by its reason alone: its file name is a
        // path of this installation, never the value's to learn.
        py::object reason = e.matches(PyExc_OSError) ? py::getattr(e.value(), "strerror", py::none()) : py::none();
        message += std::string(py::str(reason.is_none() ? e.value() : reason));
    } catch (py::error_already_set &) {
        message += "(no message)";
    }
    py::raise_from(e, unpickling_error().ptr(), message.c_str());
    throw py::error_already_set();
}

// Runs one step of a read. Any other error than pickle.UnpicklingError a malformed value runs
// into there (a call of what is not callable, text that is not UTF-8, a library's TypeError
// or ValueError, a failed cast) becomes pickle.UnpicklingError("<where>: <type>: <message>"),
// the original chained as its cause. MemoryError stays itself: the sizes a payload asks for
// are bounded before anything is made, so it means the process itself is short of memory.
// So does ImportError (see reraise_as_unpickling).
template <typename Step>
py::object guarded(const char *where, const Rule *rule, Step &&step) {
    auto place = [&] { return rule ? std::string(where) + " '" + global_name(*rule) + "'" : std::string(where); };
    try {
        return step();
    } catch (py::error_already_set &e) {
        reraise_as_unpickling(e, place());
    } catch (py::builtin_exception &e) {
        e.set_error();
        py::error_already_set fetched;
        reraise_as_unpickling(fetched, place());
    } catch (std::bad_alloc &) {
        throw;
    } catch (std::exception &e) {
        raise_unpickling(place() + ": " + e.what());
    }
}

// The payload as the pickle machine's file: peek() hands it the whole rest at once (a view,
// no copy), so it reads from memory as pickle.loads does; read() and readinto() serve the rest.
py::object source_class() {
    static PyObject *cls = nullptr;
    if (cls) return py::reinterpret_borrow<py::object>(cls);
    auto rest = [](py::object self) -> std::pair<py::object, Py_ssize_t> {
        py::object view = self.attr(PN("view"));
        return {view, self.attr(PN("pos")).cast<Py_ssize_t>()};
    };
    py::dict ns;
    auto method = [&ns](const char *name, py::cpp_function f) {
        ns[name] = py::reinterpret_steal<py::object>(PyInstanceMethod_New(f.ptr()));
    };
    method("peek", py::cpp_function([rest](py::object self, py::object) {
        auto [view, pos] = rest(self);
        return view[py::slice(pos, py::len(view), 1)];
    }, py::name("peek")));
    method("read", py::cpp_function([rest](py::object self, Py_ssize_t n) {
        auto [view, pos] = rest(self);
        Py_ssize_t size = static_cast<Py_ssize_t>(py::len(view));
        Py_ssize_t end = n < 0 || n > size - pos ? size : pos + n;
        self.attr(PN("pos")) = end;
        return view[py::slice(pos, end, 1)];
    }, py::name("read")));
    method("readinto", py::cpp_function([rest](py::object self, py::object target) {
        auto [view, pos] = rest(self);
        py::memoryview out(target);
        Py_ssize_t size = static_cast<Py_ssize_t>(py::len(view));
        Py_ssize_t n = std::min(static_cast<Py_ssize_t>(py::len(out)), size - pos);
        out[py::slice(0, n, 1)] = view[py::slice(pos, pos + n, 1)];
        self.attr(PN("pos")) = pos + n;
        return n;
    }, py::name("readinto")));
    method("readline", py::cpp_function([rest](py::object self) {
        auto [view, pos] = rest(self);
        Py_ssize_t size = static_cast<Py_ssize_t>(py::len(view));
        Py_ssize_t nl = self.attr(PN("data")).attr(PN("find"))(py::bytes("\n"), pos).cast<Py_ssize_t>();
        Py_ssize_t end = nl < 0 ? size : nl + 1;
        self.attr(PN("pos")) = end;
        return view[py::slice(pos, end, 1)];
    }, py::name("readline")));
    ns[PN("__module__")] = py::str("marvane.TSClient");
    py::object made = py::module_::import("builtins").attr(PN("type"))(py::str("PayloadSource"), py::tuple(), ns);
    cls = made.release().ptr();
    return py::reinterpret_borrow<py::object>(cls);
}

// py_buffer(bytearray(b)) for bytes b of the payload, where nothing but this call holds the
// bytearray's node and its arguments: b itself, over which the Arrow buffer is made without the
// copy. No one else could see or write the bytearray, so the copy would change nothing but the
// buffer's mutability (Arrow arrays never write to their buffers). Null otherwise.
PyObject *uncopied_bytes(PendingObject *p) {
    static const Rule *py_buffer = find_rule("pyarrow.lib", "py_buffer");
    static const Rule *bytearray_rules[] = {find_rule("builtins", "bytearray"), find_rule("__builtin__", "bytearray")};
    if (p->rule != py_buffer || p->kwargs || Py_REFCNT(p->args) != 1 || PyTuple_GET_SIZE(p->args) != 1)
        return nullptr;
    PyObject *inner = PyTuple_GET_ITEM(p->args, 0);
    PendingObject *q = as_pending(inner);
    if (!q || Py_REFCNT(inner) != 1 || q->built || q->kwargs || q->states ||
        (q->rule != bytearray_rules[0] && q->rule != bytearray_rules[1]))
        return nullptr;
    if (Py_REFCNT(q->args) != 1 || PyTuple_GET_SIZE(q->args) != 1 || !PyBytes_CheckExact(PyTuple_GET_ITEM(q->args, 0)))
        return nullptr;
    return PyTuple_GET_ITEM(q->args, 0);
}

bool is_atom(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type ||
           t == &PyBool_Type || o == Py_None || t == &PyBytes_Type;
}

} // namespace

std::string global_name(const Rule &rule) { return std::string(rule.module) + "." + rule.name; }

[[noreturn]] void raise_unpickling(const std::string &message) {
    PyErr_SetObject(unpickling_error().ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

py::object dotted_attr(py::object obj, const std::string &path) {
    for (std::size_t start = 0;;) {
        std::size_t dot = path.find('.', start);
        obj = obj.attr(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start).c_str());
        if (dot == std::string::npos) return obj;
        start = dot + 1;
    }
}

py::object module(const char *name) {
    py::str key(name);
    PyObject *m = PyImport_GetModule(key.ptr());
    if (m) return py::reinterpret_steal<py::object>(m);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::module_::import(name);
}

struct Load::Seen {
    std::unordered_map<PyObject *, py::object> containers; // made container -> built form
    std::unordered_set<PyObject *> calls;                   // the arguments rules were given
};

namespace {

// How many objects a finished container holds spelled out (itself, and its items' own counts
// at every place they appear; saturating), each container counted once. The screen bounds
// this for the opcodes, but a list or dict the pickle fills after it was memoized (and
// shared) grows beyond what the screen saw; this walk is of the value as it is returned. A
// container met again while it is being counted (it holds itself) counts 1, as repr prints it.
// The same walk finds a stand-in class kept as data (in attrs, a name, an object cell): only
// the arguments of a call (`calls`) may hold one, for the rule to read.
class SpelledOut {
public:
    SpelledOut(std::uint64_t bound, const std::unordered_set<PyObject *> &calls) : bound_(bound), calls_(calls) {}

    const Rule *kept_class = nullptr;
    std::string unstorable; // a number no Parquet engine writes, described

    // A plain number of the value that no Parquet engine writes in an object column: an integer
    // beyond 64 bits, a Decimal of more than 76 digits or an exponent beyond.
    static std::string unstorable_number(PyObject *x) {
        PyTypeObject *t = Py_TYPE(x);
        if (t == &PyLong_Type) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(x, &overflow);
            if (overflow == 0) return {};
            if (overflow > 0) {
                PyLong_AsUnsignedLongLong(x);
                if (!PyErr_Occurred()) return {};
                PyErr_Clear();
            }
            return "an integer of " + std::string(py::str(py::handle(x).attr("bit_length")())) + " bits";
        }
        static PyObject *decimal = nullptr;
        if (!decimal) decimal = py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
        if (t != reinterpret_cast<PyTypeObject *>(decimal)) return {};
        py::handle d(x);
        if (!truthy(d.attr("is_finite")())) return {};
        const long long adjusted = d.attr("adjusted")().cast<long long>();
        const std::size_t digits = py::len(d.attr("as_tuple")().attr("digits"));
        if (adjusted > 76 || adjusted < -76 || digits > 76) return "the Decimal " + std::string(py::str(py::repr(d))).substr(0, 40);
        return {};
    }

    std::uint64_t count(PyObject *o) {
        PyTypeObject *t = Py_TYPE(o);
        const bool container = t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type ||
                               t == &PySet_Type || t == &PyFrozenSet_Type;
        if (!container) return 1;
        auto [at, fresh] = counts_.try_emplace(o, 1);
        if (!fresh) return at->second;
        const bool arguments = calls_.count(o) != 0;
        const auto item = [&](PyObject *x) -> std::uint64_t {
            if (!arguments) {
                if (!kept_class) kept_class = rule_of(x);
                if (unstorable.empty()) unstorable = unstorable_number(x);
            }
            return count(x);
        };
        std::uint64_t n = 1;
        if (t == &PyList_Type || t == &PyTuple_Type) {
            PyObject **items = PySequence_Fast_ITEMS(o);
            const Py_ssize_t len = PySequence_Fast_GET_SIZE(o);
            for (Py_ssize_t i = 0; i < len && n <= bound_; ++i) n += item(items[i]);
        } else if (t == &PyDict_Type) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (n <= bound_ && PyDict_Next(o, &pos, &k, &v)) n += item(k) + item(v);
        } else {
            py::iterator it = py::reinterpret_borrow<py::object>(o).begin();
            for (; n <= bound_ && it != py::iterator::sentinel(); ++it) n += item(it->ptr());
        }
        n = std::min(n, bound_ + 1);
        counts_[o] = n;
        return n;
    }

private:
    std::uint64_t bound_;
    const std::unordered_set<PyObject *> &calls_;
    std::unordered_map<PyObject *, std::uint64_t> counts_;
};

} // namespace

void Load::refuse(const std::string &what) const { raise_unpickling("refused to load " + what); }

void Load::over_limit(const std::string &limit) const {
    raise_unpickling("value over the limit of its " + limit);
}

py::object Load::real(const char *module_name, const char *name) const {
    std::string mod = module_name;
    const char *old_np = "numpy.core.", *new_np = "numpy._core.";
    std::string rest;
    if (mod.rfind(old_np, 0) == 0) rest = mod.substr(std::strlen(old_np));
    else if (mod.rfind(new_np, 0) == 0) rest = mod.substr(std::strlen(new_np));
    if (!rest.empty()) {
        std::string version = py::str(module("numpy").attr(PN("__version__")));
        mod = (std::stoi(version) >= 2 ? new_np : old_np) + rest;
    }
    if (mod == "__builtin__" || mod == "copy_reg") mod = mod == "copy_reg" ? "copyreg" : "builtins";
    std::string path = name;
    if (mod == "builtins" && path == "xrange") path = "range";
    return dotted_attr(module(mod.c_str()), path);
}

// Looked up once per process: a module's classes and functions stay what they were when
// first imported.
py::object Load::real(const Rule &rule) const {
    static auto *found = new std::unordered_map<const Rule *, PyObject *>();
    auto it = found->find(&rule);
    if (it != found->end()) return py::reinterpret_borrow<py::object>(it->second);
    py::object obj = real(rule.module, rule.name);
    found->emplace(&rule, py::object(obj).release().ptr()); // kept for the life of the process
    return obj;
}


py::object Load::build(py::handle node, std::size_t depth, bool as_argument) {
    PyObject *o = node.ptr();
    if (is_atom(o)) return py::reinterpret_borrow<py::object>(node);
    if (depth > kMaxDepth)
        over_limit("nesting depth (values are nested at most " + std::to_string(kMaxDepth) + " levels deep)");
    if (as_pending(node)) return built_call(node, depth);
    if (const Rule *rule = rule_of(node)) {
        // A constant is the global itself; a class named as the argument of a call stays a
        // stand-in for its rule, and anywhere else is the real class.
        if (!rule->build || !as_argument) return real_as_data(*rule);
        return py::reinterpret_borrow<py::object>(node);
    }
    PyTypeObject *t = Py_TYPE(o);
    if (t != &PyList_Type && t != &PyTuple_Type && t != &PyDict_Type && t != &PySet_Type &&
        t != &PyFrozenSet_Type)
        return py::reinterpret_borrow<py::object>(node); // made by a rule, or a bytearray
    auto found = seen_->containers.find(o);
    if (found != seen_->containers.end()) return found->second;
    if (t == &PyList_Type) return rebuilt_list(node, depth, as_argument);
    if (t == &PyDict_Type) return rebuilt_dict(node, depth, as_argument);
    return rebuilt_tuple_or_set(node, depth, as_argument);
}

// A global taken as data (a class in a state, a constant). A path the installed version of its
// library no longer has (pandas 1.x's numeric index module) is refused; a library that is not
// installed at all raises its ImportError, as pickle.loads does.
py::object Load::real_as_data(const Rule &rule) {
    try {
        return real(rule);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
        const std::string mod = rule.module;
        try {
            module(mod.substr(0, mod.find('.')).c_str());
        } catch (py::error_already_set &) {
            throw e;
        }
        refuse("'" + global_name(rule) + "' as data, which the installed version of its library does not have");
    }
}

// A pending node: its arguments and states built, then its rule called, once.
py::object Load::built_call(py::handle node, std::size_t depth) {
    PendingObject *p = as_pending(node);
    if (p->built) return py::reinterpret_borrow<py::object>(p->built);
    if (p->building) refuse("a value that contains itself through '" + global_name(*p->rule) + "'");
    p->building = 1;
    Call call;
    if (PyObject *b = uncopied_bytes(p)) call.args = py::make_tuple(py::handle(b));
    else call.args = py::reinterpret_borrow<py::tuple>(build(py::handle(p->args), depth + 1, true));
    call.kwargs = p->kwargs ? build(py::handle(p->kwargs), depth + 1, true) : py::none();
    call.states = py::list();
    // A state is data the object keeps (attrs, a dtype's cache): a class in it is the real one.
    if (p->states) {
        Py_ssize_t n = PyList_GET_SIZE(p->states);
        for (Py_ssize_t i = 0; i < n; ++i)
            call.states.append(build(PyList_GET_ITEM(p->states, i), depth + 1, false));
    }
    seen_->calls.insert(call.args.ptr());
    if (!call.kwargs.is_none()) seen_->calls.insert(call.kwargs.ptr());
    if (!p->rule->build) refuse("a call of '" + global_name(*p->rule) + "'");
    py::object made = guarded("refused to load", p->rule, [&] { return p->rule->build(*this, *p->rule, call); });
    p->building = 0;
    p->built = made.inc_ref().ptr();
    return made;
}

// Rebuilt in place: the pickle's own list, possibly shared or containing itself.
py::object Load::rebuilt_list(py::handle node, std::size_t depth, bool as_argument) {
    PyObject *o = node.ptr();
    seen_->containers[o] = py::reinterpret_borrow<py::object>(node);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
        PyObject *item = PyList_GET_ITEM(o, i);
        if (is_atom(item)) continue;
        py::object b = build(item, depth + 1, as_argument);
        if (b.ptr() != item) PyList_SetItem(o, i, b.release().ptr());
    }
    return py::reinterpret_borrow<py::object>(node);
}

py::object Load::rebuilt_dict(py::handle node, std::size_t depth, bool as_argument) {
    PyObject *o = node.ptr();
    seen_->containers[o] = py::reinterpret_borrow<py::object>(node);
    py::dict d = py::reinterpret_borrow<py::dict>(node);
    bool keys_changed = false;
    std::vector<std::pair<py::object, py::object>> items;
    items.reserve(static_cast<std::size_t>(PyDict_Size(o)));
    for (auto kv : d) {
        py::object k = build(kv.first, depth + 1, as_argument);
        py::object v = build(kv.second, depth + 1, as_argument);
        keys_changed |= k.ptr() != kv.first.ptr();
        items.emplace_back(std::move(k), std::move(v));
    }
    if (keys_changed) PyDict_Clear(o);
    for (auto &kv : items)
        if (PyDict_SetItem(o, kv.first.ptr(), kv.second.ptr()) < 0) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(node);
}

// Tuples and sets: a new object only when something inside changed.
py::object Load::rebuilt_tuple_or_set(py::handle node, std::size_t depth, bool as_argument) {
    PyObject *o = node.ptr();
    PyTypeObject *t = Py_TYPE(o);
    std::vector<py::object> items;
    if (t == &PyTuple_Type) items.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(o)));
    bool changed = false;
    for (py::handle item : node) {
        py::object b = is_atom(item.ptr()) ? py::reinterpret_borrow<py::object>(item) : build(item, depth + 1, as_argument);
        changed |= b.ptr() != item.ptr();
        items.push_back(std::move(b));
    }
    py::object out = py::reinterpret_borrow<py::object>(node);
    if (changed) {
        py::tuple made(items.size());
        for (std::size_t i = 0; i < items.size(); ++i)
            PyTuple_SET_ITEM(made.ptr(), static_cast<Py_ssize_t>(i), items[i].release().ptr());
        if (t == &PyTuple_Type) out = made;
        else if (t == &PySet_Type) {
            PySet_Clear(o);
            for (py::handle item : made)
                if (PySet_Add(o, item.ptr()) < 0) throw py::error_already_set();
        } else out = py::reinterpret_steal<py::object>(PyFrozenSet_New(made.ptr()));
        if (!out) throw py::error_already_set();
    }
    seen_->containers[o] = out;
    return out;
}

// The cyclic collector paused while a value is read (it would walk the young objects of
// the load over and over); enabled again, if it was, however the read ends.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

py::object checked_loads(const Globals &g, py::handle data) {
    make_types();
    CollectorPause pause;
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    // Held until the read ends: the load's bounds look into the payload (Load::lazy_bound).
    struct Released {
        Py_buffer *view;
        ~Released() { PyBuffer_Release(view); }
    } released{&view};
    std::size_t size = static_cast<std::size_t>(view.len);
    Load load(g, size, std::string_view(static_cast<const char *>(view.buf), size));
    screen(load, static_cast<const char *>(view.buf), size);
    py::object file = source_class()();
    file.attr(PN("data")) = py::bytes(py::reinterpret_borrow<py::object>(data));
    file.attr(PN("view")) = py::memoryview(file.attr(PN("data")));
    file.attr(PN("pos")) = 0;
    py::object tree = guarded("malformed pickle", nullptr, [&] { return unpickler_class()(file).attr(PN("load"))(); });
    Load::Seen seen;
    load.seen_ = &seen;
    py::object value = guarded("refused to load a malformed value", nullptr, [&] { return load.build(tree, 0, false); });
    load.seen_ = nullptr;
    // Every container the pickle made, as finished: none spells out beyond the bound.
    SpelledOut spelled(load.spelled_bound(), seen.calls);
    for (const auto &made : seen.containers) {
        if (spelled.count(made.second.ptr()) > load.spelled_bound())
            load.over_limit("size spelled out (a value whose shared parts, counted at every place they appear, "
                            "exceed " + std::to_string(load.spelled_bound()) + " objects)");
        if (spelled.kept_class)
            load.refuse("the class '" + global_name(*spelled.kept_class) + "' kept as data");
        if (!spelled.unstorable.empty()) load.refuse(spelled.unstorable + ", which no Parquet engine stores");
    }
    return value;
}

} // namespace marvane::safepickle
