// The call shortcuts: module globals, printing, interned names, truth and equality as Python
// sees them, raising, and context managers.
#include "common/pyhelpers.hpp"

namespace marvane {

py::object Globals::operator()(const char *name) const {
    PyObject *v = PyDict_GetItemString(dict_.ptr(), name); // borrowed
    if (v) return py::reinterpret_borrow<py::object>(v);
    py::object builtins = py::module_::import("builtins");
    if (py::hasattr(builtins, name)) return builtins.attr(name);
    raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
}

py::str Piece::text() const {
    PyObject *s = PyObject_Format(obj_.ptr(), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::str join_text(std::initializer_list<Piece> pieces) {
    py::list parts;
    for (const Piece &p : pieces) parts.append(p.text());
    return py::str("").attr("join")(parts);
}

void print_line(const Globals &g, std::initializer_list<Piece> pieces) {
    g("print")(join_text(pieces));
}

void print_empty(const Globals &g) { g("print")(); }

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s; // kept for the life of the process
}

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool py_equal(py::handle a, py::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(r));
}

bool defined_as(py::handle f, const char *module, const char *qualname) {
    return py_equal(py::getattr(f, "__module__", py::none()), py::str(module)) &&
           py_equal(py::getattr(f, "__qualname__", py::none()), py::str(qualname));
}

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

void raise_error(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

PyObject *init_module(const char *name, PyModuleDef *def, void (*body)(py::module_ &)) {
    try {
        py::module_ m = py::module_::create_extension_module(name, nullptr, def);
        body(m);
        return m.ptr(); // the reference the module was created with goes to the importer
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}

void with_context(py::handle manager, const std::function<void(py::object)> &body) {
    py::object entered = manager.attr("__enter__")();
    try {
        body(entered);
    } catch (py::error_already_set &e) {
        py::object tb = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
        if (truthy(manager.attr("__exit__")(e.type(), e.value(), tb))) return;
        throw;
    }
    manager.attr("__exit__")(py::none(), py::none(), py::none());
}

} // namespace marvane
