// The error of a fetch whose key the remote store does not hold: both a KeyError and, for
// callers that caught what a plain unpickle of the missing value raised, a TypeError.
#include "common/pyfunction.hpp"
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"
#include "tsclient/texts.hpp"

namespace marvane::client {

namespace {

// One class for every raise, so that callers can catch it by its type. Made on first use and
// kept for the life of the process (never released: a Python object must not be destroyed by
// a C++ static after the interpreter has gone).
PyObject *missing_key_class(G g) {
    static PyObject *cls = nullptr;
    if (cls) return cls;
    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__str__"] = builtins.attr("BaseException").attr("__str__");
    py::object made = make_class(py::str(g.dict()["__name__"]), "MissingKeyError",
                                 py::make_tuple(builtins.attr("KeyError"), builtins.attr("TypeError")), ns);
    // Making the class runs Python code, during which another thread may have made it first.
    if (!cls) cls = made.release().ptr();
    return cls;
}

} // namespace

void raise_missing_key(G g, py::handle key) {
    PyObject *error = missing_key_class(g);
    PyErr_SetObject(error, texts::no_such_key(key).ptr());
    throw py::error_already_set();
}

} // namespace marvane::client
