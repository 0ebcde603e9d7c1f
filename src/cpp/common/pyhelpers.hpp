// Shared helpers for calling into Python from the extension modules.
// Included first by every source file of both modules.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace marvane {

// A module's global namespace as a function body sees it at call time: every name is
// looked up when it is used (module dict first, then builtins), so a caller who rebinds
// `module.pd` or `module.print` sees the replacement used.
class Globals {
public:
    explicit Globals(py::dict dict) : dict_(std::move(dict)) {}
    py::object operator()(const char *name) const;
    const py::dict &dict() const { return dict_; }

private:
    py::dict dict_;
};

// One piece of a printed line: literal text, or a value shown as an f-string field shows it.
class Piece {
public:
    Piece(const char *text) : obj_(py::str(text)) {}
    Piece(const std::string &text) : obj_(py::str(text)) {}
    Piece(py::handle value) : obj_(py::reinterpret_borrow<py::object>(value)) {}
    template <typename Policy>
    Piece(const py::detail::accessor<Policy> &value) : obj_(value) {}
    py::str text() const;

private:
    py::object obj_;
};

// The pieces formatted with format(value, "") and joined with nothing in between.
py::str join_text(std::initializer_list<Piece> pieces);

// print(line) through the `print` the module sees; print() with no line prints an empty one.
void print_line(const Globals &g, std::initializer_list<Piece> pieces);
void print_empty(const Globals &g);

// A name (attribute, dict key) as an interned str, made once where it is written: a name
// made afresh for every lookup costs an allocation, a hash and a compare by content, and a
// value read from the service looks up a few hundred.
PyObject *intern(const char *text);
#define PN(text)                                                                                   \
    ([]() -> ::pybind11::handle {                                                                  \
        static PyObject *interned_name = ::marvane::intern(text);                                  \
        return interned_name;                                                                      \
    }())

// A new list of the given objects, like a list display [a, b, c].
template <typename... T>
py::list list_of(T &&...items) {
    py::list out;
    (out.append(std::forward<T>(items)), ...);
    return out;
}

// Python truth and equality, as an `if` or `==` in Python would see them.
bool truthy(py::handle value);
bool py_equal(py::handle a, py::handle b);

// Whether `f` names itself `module`.`qualname` (its __module__ and __qualname__): the function
// or method that module defines, not a replacement put in its place.
bool defined_as(py::handle f, const char *module, const char *qualname);

// Raise a Python exception of the given type with a message.
[[noreturn]] void raise(PyObject *type, const std::string &message);

// Raise an exception object as what it is: an OSError made for ENOTDIR is a
// NotADirectoryError and is raised as one (raised under its base class, it would leave the
// interpreter an error whose class and value disagree).
[[noreturn]] void raise_error(py::handle error);

// A context manager entered around a body: __exit__ sees any exception the body raised.
void with_context(py::handle manager, const std::function<void(py::object)> &body);

// The body of a module's initialisation, run by MARVANE_MODULE's entry point.
PyObject *init_module(const char *name, PyModuleDef *def, void (*body)(py::module_ &));

} // namespace marvane

// The entry point of an extension module whose errors reach the importer unchanged: an
// import the module makes that fails (pandas, redis, the store module) raises its own
// error, a ModuleNotFoundError as such, where pybind11's own entry point would raise
// "ImportError: initialization failed" with the real error only as its cause.
#define MARVANE_MODULE(name, variable)                                                             \
    static void marvane_init_##name(py::module_ &);                                                \
    extern "C" PYBIND11_EXPORT PyObject *PyInit_##name();                                          \
    extern "C" PYBIND11_EXPORT PyObject *PyInit_##name() {                                         \
        PYBIND11_CHECK_PYTHON_VERSION                                                              \
        static PyModuleDef def;                                                                    \
        return ::marvane::init_module(#name, &def, &marvane_init_##name);                          \
    }                                                                                              \
    void marvane_init_##name(py::module_ &variable)
