// The load step of the validating reader: Python's pickle machine reads the bytes with a
// find_class that returns, for each global of the allow-list, a stand-in class. A stand-in
// class called by the pickle's REDUCE or NEWOBJ yields a pending node recording the call; BUILD
// on a pending node records the state; a pending node is called only as pandas 1.3's
// partial(new_block, ndim=n). Nothing real is made. BUILD on a stand-in class itself
// is refused: the pickle cannot reach a real class, module or function to set attributes on.
#include "common/pyhelpers.hpp"
#include "safepickle/standins.hpp"

#include <cstring>
#include <string>
#include <unordered_map>

namespace marvane::safepickle {

namespace {

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

// A pending node called (REDUCE with the node as the function): only the partial(new_block,
// ndim=n) that pandas 1.3 pickled each block as, called with (values, placement). The call
// becomes a pending new_block node with the partial's keywords; any other call is refused.
PyObject *pending_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    auto *p = reinterpret_cast<PendingObject *>(self);
    static const Rule *partial = find_rule("functools", "partial");
    static const Rule *new_block = find_rule("pandas.core.internals.blocks", "new_block");
    PyObject *target = PyTuple_GET_SIZE(p->args) == 1 ? PyTuple_GET_ITEM(p->args, 0) : nullptr;
    PyObject *keywords = nullptr;
    if (p->rule == partial && partial && new_block && !p->kwargs && target && rule_of(target) == new_block &&
        p->states && PyList_GET_SIZE(p->states) == 1 && (!kwargs || PyDict_Size(kwargs) == 0)) {
        // BUILD((func, args, keywords, dict)), as partial.__reduce__ gives it
        PyObject *s = PyList_GET_ITEM(p->states, 0);
        PyObject *extra = PyTuple_Check(s) && PyTuple_GET_SIZE(s) == 4 ? PyTuple_GET_ITEM(s, 3) : nullptr;
        if (extra && PyTuple_GET_ITEM(s, 0) == target && PyTuple_Check(PyTuple_GET_ITEM(s, 1)) &&
            PyTuple_GET_SIZE(PyTuple_GET_ITEM(s, 1)) == 0 && PyDict_Check(PyTuple_GET_ITEM(s, 2)) &&
            (extra == Py_None || (PyDict_Check(extra) && PyDict_Size(extra) == 0)))
            keywords = PyTuple_GET_ITEM(s, 2);
    }
    try {
        if (!keywords) raise_unpickling("refused to load a call of what '" + global_name(*p->rule) + "' made");
        return new_pending(new_block, args, keywords);
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

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

} // namespace

void make_types() {
    if (pending_type) return;
    static PyType_Slot pending_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(pending_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(pending_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(pending_clear)},
        {Py_tp_methods, pending_methods},
        {Py_tp_call, reinterpret_cast<void *>(pending_call)},
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

namespace {

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

PyMethodDef find_class_def = {"find_class", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_class)),
                              METH_FASTCALL, nullptr};

} // namespace

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

const Rule *rule_of(py::handle obj) {
    // Most values asked about are data: only a direct subclass of the stand-in base is looked up.
    if (!standin_rules || !PyType_Check(obj.ptr()) ||
        reinterpret_cast<PyTypeObject *>(obj.ptr())->tp_base != reinterpret_cast<PyTypeObject *>(standin_base))
        return nullptr;
    auto it = standin_rules->find(obj.ptr());
    return it == standin_rules->end() ? nullptr : it->second;
}

} // namespace marvane::safepickle
