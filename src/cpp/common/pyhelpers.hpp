// Shared helpers for calling into Python from the extension modules.
// Included first by every source file of both modules.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

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

// Raise a Python exception of the given type with a message.
[[noreturn]] void raise(PyObject *type, const std::string &message);

// A context manager entered around a body: __exit__ sees any exception the body raised.
void with_context(py::handle manager, const std::function<void(py::object)> &body);

// Write a file atomically: `write(tmp)` writes a temporary file in the final directory, which
// is flushed to disk and renamed onto `path` with os.replace. On any failure the temporary
// file is removed and whatever stood at `path` is left untouched.
void write_atomically(const Globals &g, py::handle path,
                      const std::function<void(py::str tmp)> &write);

// ---------------------------------------------------------------------------------------
// Functions that look like Python functions.
//
// Every method of the modules' classes is a NativeFunction: a callable that binds its
// arguments like a Python function (names, defaults, the same TypeError messages), carries
// __name__, __qualname__, __module__, __doc__, __annotations__ and __signature__, and binds
// `self` like a function when it is found on an instance.

struct Param {
    const char *name;
    py::object default_value{}; // null: required
    py::object annotation{};    // null: none
};

// Required parameter / parameter with a default.
inline Param arg(const char *name) { return Param{name}; }
inline Param arg(const char *name, py::object default_value) {
    return Param{name, std::move(default_value)};
}

using Args = std::vector<py::object>;
using Body = std::function<py::object(const Globals &, Args &)>;
using VarBody = std::function<py::object(const Globals &, py::args, py::kwargs)>;

// Adapts `py::object f(const Globals&, py::object, ...)` to a Body taking bound arguments.
template <typename F, std::size_t... I>
py::object call_unpacked(F f, const Globals &g, Args &a, std::index_sequence<I...>) {
    return f(g, std::move(a[I])...);
}
template <typename... A>
Body body(py::object (*f)(const Globals &, A...)) {
    return [f](const Globals &g, Args &a) {
        return call_unpacked(f, g, a, std::index_sequence_for<A...>{});
    };
}

// Registers the function type on the module (once, at module init) and removes its name
// from the module namespace again, so that only the documented globals remain.
void register_function_type(py::module_ &m);

struct FunctionSpec {
    std::string name;
    std::string qualname;
    std::vector<Param> params;
    const char *doc = nullptr; // null: __doc__ is None
};

py::object make_function(const Globals &g, const FunctionSpec &spec, Body body);
// A function taking (*args, **kwargs).
py::object make_varargs_function(const Globals &g, const std::string &name,
                                 const std::string &qualname, VarBody body);

// A method table entry: builds the function and sets it on the class namespace, wrapped in
// the builtin staticmethod when `is_static`.
template <typename... A>
void define(py::dict &ns, const Globals &g, const std::string &cls, const char *name,
            std::vector<Param> params, const char *doc, bool is_static,
            py::object (*f)(const Globals &, A...)) {
    if (params.size() + (is_static ? 0 : 1) != sizeof...(A))
        throw std::logic_error(std::string("parameter table does not match ") + name);
    if (!is_static) params.insert(params.begin(), arg("self"));
    FunctionSpec spec{name, cls + "." + name, std::move(params), doc};
    py::object fn = make_function(g, spec, body(f));
    if (is_static) fn = py::module_::import("builtins").attr("staticmethod")(fn);
    ns[name] = fn;
}

// Creates a plain Python class, as a class statement would: type(name, bases, namespace).
py::object make_class(const std::string &module, const std::string &name, py::tuple bases,
                      py::dict ns);

} // namespace marvane
