// Functions and classes that look, to a caller, like ones written in Python.
//
// pybind11's own functions and classes cannot give the shapes callers see. The classes of
// the modules are plain Python classes (metaclass `type`, an instance `__dict__`, pickled by
// reference, subclassed like any other), which pybind11 does not make. Its functions are
// builtins: a wrong call raises its own "incompatible function arguments" where callers
// expect CPython's TypeError wording ("missing 1 required positional argument: 'x'"), they
// carry no `__annotations__` nor a settable `__name__`/`__qualname__`, and `inspect` reads a
// signature from them only through a docstring convention. And each body must see the
// module's globals as a Python function does, looked up at call time, so that a caller who
// rebinds `module.pd` or `module.print` sees the replacement used. The small function type
// here gives all of that at once; every method of both modules is one of these.
#pragma once

#include "common/pyhelpers.hpp"

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace marvane {

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
