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

// A context manager entered around a body: __exit__ sees any exception the body raised.
void with_context(py::handle manager, const std::function<void(py::object)> &body);

} // namespace marvane
