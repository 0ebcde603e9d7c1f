// The load and build steps of the validating reader (see unpickler.hpp).
//
// Load: Python's pickle machine reads the bytes with a find_class that returns, for each
// global of the rule table, a stand-in class. A stand-in class made by the pickle's REDUCE or
// NEWOBJ yields a pending node recording the call; BUILD on a pending node records the state.
// Nothing real is made. BUILD on a stand-in class itself is refused: the pickle cannot reach
// a real class, module or function to set attributes on.
//
// Build: the finished tree is walked depth first. Containers the pickle made are rebuilt only
// where a pending node inside them became a real object; each pending node is built once
// (shared nodes stay shared) from its built arguments and states, through its rule. Depth is
// checked here on the real result, whatever the opcode pass counted.
#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace marvane::client::unpickle {

namespace {

// ---------------------------------------------------------------------------------------
// Pending nodes: a call the pickle asked for, not made yet.

struct PendingObject {
    PyObject_HEAD
    const Rule *rule;
    PyObject *args;   // tuple
    PyObject *kwargs; // dict or null
    PyObject *states; // list or null
    PyObject *built;  // the real object, once built
    int building;
};

PyObject *pending_type = nullptr;  // made once, never freed
PyObject *standin_base = nullptr;  // the base of every stand-in class
std::unordered_map<const Rule *, PyObject *> *standins = nullptr; // rule -> stand-in class
std::unordered_map<PyObject *, const Rule *> *standin_rules = nullptr;

int pending_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *p = reinterpret_cast<PendingObject *>(self);
    Py_VISIT(p->args);
    Py_VISIT(p->kwargs);
    Py_VISIT(p->states);
    Py_VISIT(p->built);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int pending_clear(PyObject *self) {
    auto *p = reinterpret_cast<PendingObject *>(self);
    Py_CLEAR(p->args);
    Py_CLEAR(p->kwargs);
    Py_CLEAR(p->states);
    Py_CLEAR(p->built);
    return 0;
}

void pending_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    pending_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

// BUILD on a pending node: keep the state for the rule.
PyObject *pending_setstate(PyObject *self, PyObject *state) {
    auto *p = reinterpret_cast<PendingObject *>(self);
    if (!p->states && !(p->states = PyList_New(0))) return nullptr;
    if (PyList_Append(p->states, state) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef pending_methods[] = {
    {"__setstate__", pending_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *new_pending(const Rule *rule, PyObject *args, PyObject *kwargs) {
    auto *tp = reinterpret_cast<PyTypeObject *>(pending_type);
    auto *p = PyObject_GC_New(PendingObject, tp);
    if (!p) return nullptr;
    p->rule = rule;
    Py_INCREF(args);
    p->args = args;
    p->kwargs = kwargs && PyDict_Size(kwargs) > 0 ? (Py_INCREF(kwargs), kwargs) : nullptr;
    p->states = nullptr;
    p->built = nullptr;
    p->building = 0;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(p));
    return reinterpret_cast<PyObject *>(p);
}

PyObject *getattr_at_load(PyObject *args);

// A stand-in class called (REDUCE) or instantiated (NEWOBJ): a pending node. getattr is the
// one global read at once, as the stand-in of what it names.
PyObject *standin_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    auto it = standin_rules->find(reinterpret_cast<PyObject *>(type));
    if (it == standin_rules->end()) {
        PyErr_SetString(PyExc_TypeError, "not a stand-in class");
        return nullptr;
    }
    if (std::strcmp(it->second->name, "getattr") == 0) return getattr_at_load(args);
    return new_pending(it->second, args, kwargs);
}

void make_types() {
    if (pending_type) return;
    static PyType_Slot pending_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(pending_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(pending_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(pending_clear)},
        {Py_tp_methods, pending_methods},
        {0, nullptr},
    };
    static PyType_Spec pending_layout = {"marvane.TSClient.pending", sizeof(PendingObject), 0,
                                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, pending_slots};
    static PyType_Slot base_slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(standin_new)},
        {0, nullptr},
    };
    static PyType_Spec base_layout = {"marvane.TSClient.stand_in", sizeof(PyObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots};
    PyObject *pt = PyType_FromSpec(&pending_layout);
    if (!pt) throw py::error_already_set();
    PyObject *bt = PyType_FromSpec(&base_layout);
    if (!bt) throw py::error_already_set();
    pending_type = pt;
    standin_base = bt;
    standins = new std::unordered_map<const Rule *, PyObject *>();
    standin_rules = new std::unordered_map<PyObject *, const Rule *>();
}

PendingObject *as_pending(py::handle obj) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(pending_type)
               ? reinterpret_cast<PendingObject *>(obj.ptr())
               : nullptr;
}

std::string global_name(const Rule &rule) { return std::string(rule.module) + "." + rule.name; }

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
        message += std::string(py::str(e.value()));
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

// The stand-in class of a rule: a subclass of the stand-in base whose __setstate__ refuses,
// so that BUILD on the class object (which the pickle machine would otherwise apply to the
// class's attributes) never happens.
PyObject *standin_for(const Rule &rule) {
    auto it = standins->find(&rule);
    if (it != standins->end()) return it->second;
    std::string name = global_name(rule);
    py::cpp_function refuse_build(
        [name](py::object) -> py::object {
            raise_unpickling("refused to load BUILD on the class or function '" + name +
                             "': state is applied only to objects the value itself made");
        },
        py::name("refuse_build"));
    py::dict ns;
    ns[PN("__setstate__")] = py::staticmethod(refuse_build);
    ns[PN("__module__")] = py::str("marvane.TSClient");
    ns[PN("__qualname__")] = py::str(name);
    py::object cls = py::module_::import("builtins").attr(PN("type"))(
        py::str(rule.name), py::make_tuple(py::handle(standin_base)), ns);
    PyObject *raw = cls.release().ptr(); // kept for the life of the process
    (*standins)[&rule] = raw;
    (*standin_rules)[raw] = &rule;
    return raw;
}

// Unpickler.find_class(self, module, name): the stand-in of the rule, or a refusal naming
// the global. A plain C method: the pickle machine calls it once for every global it meets.
PyObject *find_class(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyUnicode_Check(args[1]) || !PyUnicode_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "find_class(self, module, name) takes two strings");
        return nullptr;
    }
    Py_ssize_t nm = 0, nn = 0;
    const char *m = PyUnicode_AsUTF8AndSize(args[1], &nm);
    const char *n = m ? PyUnicode_AsUTF8AndSize(args[2], &nn) : nullptr;
    if (!n) return nullptr;
    std::string_view mod(m, static_cast<std::size_t>(nm)), attr(n, static_cast<std::size_t>(nn));
    try {
        const Rule *rule = find_rule(mod, attr);
        if (!rule)
            raise_unpickling("refused to load global '" + std::string(mod) + "." + std::string(attr) +
                             "': it is not among the globals a pickled DataFrame needs");
        PyObject *standin = standin_for(*rule);
        Py_INCREF(standin);
        return standin;
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

PyMethodDef find_class_def = {"find_class", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_class)),
                              METH_FASTCALL, nullptr};

py::object unpickler_class() {
    static PyObject *cls = nullptr;
    if (!cls) {
        py::dict ns;
        py::object function = py::reinterpret_steal<py::object>(PyCFunction_New(&find_class_def, nullptr));
        if (!function) throw py::error_already_set();
        ns[PN("find_class")] = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
        ns[PN("__module__")] = py::str("marvane.TSClient");
        py::object made = py::module_::import("builtins").attr(PN("type"))(
            py::str("CheckedUnpickler"),
            py::make_tuple(py::module_::import("pickle").attr(PN("Unpickler"))), ns);
        cls = made.release().ptr();
    }
    return py::reinterpret_borrow<py::object>(cls);
}

std::string shown(py::handle h) {
    if (const Rule *r = rule_of(h)) return "<class '" + global_name(*r) + "'>";
    return py::str(py::repr(h));
}

// getattr(zoneinfo.ZoneInfo, "_unpickle"), which zoneinfo time zones pickle through; nothing
// else.
PyObject *getattr_at_load(PyObject *args) {
    try {
        py::tuple a = py::reinterpret_borrow<py::tuple>(args);
        const Rule *owner = a.size() == 2 ? rule_of(a[0]) : nullptr;
        if (!owner || std::string(owner->module) != "zoneinfo" || std::string(owner->name) != "ZoneInfo" ||
            !py_equal(a[1], py::str("_unpickle"))) {
            std::string shown_args;
            for (std::size_t i = 0; i < a.size(); ++i) shown_args += (i ? ", " : "") + shown(a[i]);
            raise_unpickling("refused to load getattr(" + shown_args + ")");
        }
        PyObject *s = standin_for(*find_rule("zoneinfo", "ZoneInfo._unpickle"));
        Py_INCREF(s);
        return s;
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
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

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s; // kept for the life of the process
}

[[noreturn]] void raise_unpickling(const std::string &message) {
    PyErr_SetObject(unpickling_error().ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

py::object module(const char *name) {
    py::str key(name);
    PyObject *m = PyImport_GetModule(key.ptr());
    if (m) return py::reinterpret_steal<py::object>(m);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::module_::import(name);
}

const Rule *rule_of(py::handle obj) {
    // Most values asked about are data: only a direct subclass of the stand-in base is looked up.
    if (!standin_rules || !PyType_Check(obj.ptr()) ||
        reinterpret_cast<PyTypeObject *>(obj.ptr())->tp_base != reinterpret_cast<PyTypeObject *>(standin_base))
        return nullptr;
    auto it = standin_rules->find(obj.ptr());
    return it == standin_rules->end() ? nullptr : it->second;
}

struct Load::Seen {
    std::unordered_map<PyObject *, py::object> containers; // made container -> built form
};

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
    py::object obj = module(mod.c_str());
    std::string path = name;
    if (mod == "builtins" && path == "xrange") path = "range";
    std::size_t start = 0;
    while (true) {
        std::size_t dot = path.find('.', start);
        std::string part = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        obj = obj.attr(part.c_str());
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return obj;
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
    if (PendingObject *p = as_pending(node)) {
        if (p->built) return py::reinterpret_borrow<py::object>(p->built);
        if (p->building) refuse("a value that contains itself through '" + global_name(*p->rule) + "'");
        p->building = 1;
        Call call;
        if (PyObject *b = uncopied_bytes(p)) call.args = py::make_tuple(py::handle(b));
        else call.args = py::reinterpret_borrow<py::tuple>(build(py::handle(p->args), depth + 1, true));
        call.kwargs = p->kwargs ? build(py::handle(p->kwargs), depth + 1, true) : py::none();
        call.states = py::list();
        if (p->states) {
            Py_ssize_t n = PyList_GET_SIZE(p->states);
            for (Py_ssize_t i = 0; i < n; ++i)
                call.states.append(build(PyList_GET_ITEM(p->states, i), depth + 1, true));
        }
        if (!p->rule->build) refuse("a call of '" + global_name(*p->rule) + "'");
        py::object made = guarded("refused to load", p->rule, [&] { return p->rule->build(*this, *p->rule, call); });
        p->building = 0;
        p->built = made.inc_ref().ptr();
        return made;
    }
    if (const Rule *rule = rule_of(node)) {
        // A constant is the global itself; a class named as the argument of a call stays a
        // stand-in for its rule, and anywhere else is the real class.
        if (!rule->build || !as_argument) return real(*rule);
        return py::reinterpret_borrow<py::object>(node);
    }
    PyTypeObject *t = Py_TYPE(o);
    if (t != &PyList_Type && t != &PyTuple_Type && t != &PyDict_Type && t != &PySet_Type &&
        t != &PyFrozenSet_Type)
        return py::reinterpret_borrow<py::object>(node); // made by a rule, or a bytearray
    auto found = seen_->containers.find(o);
    if (found != seen_->containers.end()) return found->second;
    if (t == &PyList_Type) {
        // Rebuilt in place: the pickle's own list, possibly shared or containing itself.
        seen_->containers[o] = py::reinterpret_borrow<py::object>(node);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            PyObject *item = PyList_GET_ITEM(o, i);
            if (is_atom(item)) continue;
            py::object b = build(item, depth + 1, as_argument);
            if (b.ptr() != item) PyList_SetItem(o, i, b.release().ptr());
        }
        return py::reinterpret_borrow<py::object>(node);
    }
    if (t == &PyDict_Type) {
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
    std::size_t size = static_cast<std::size_t>(view.len);
    Load load(g, size);
    try {
        screen(load, static_cast<const char *>(view.buf), size);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    py::object file = source_class()();
    file.attr(PN("data")) = py::bytes(py::reinterpret_borrow<py::object>(data));
    file.attr(PN("view")) = py::memoryview(file.attr(PN("data")));
    file.attr(PN("pos")) = 0;
    py::object tree = guarded("malformed pickle", nullptr, [&] { return unpickler_class()(file).attr(PN("load"))(); });
    Load::Seen seen;
    load.seen_ = &seen;
    py::object value = guarded("refused to load a malformed value", nullptr, [&] { return load.build(tree, 0, false); });
    load.seen_ = nullptr;
    return value;
}

} // namespace marvane::client::unpickle
