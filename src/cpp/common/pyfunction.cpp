// The function type every method is made of, and the plain classes that hold them.
#include "common/pyfunction.hpp"

#include <sstream>

namespace marvane {

namespace {

struct NativeFunction {
    std::string name;
    std::string qualname;
    std::vector<std::string> names;
    std::vector<py::object> defaults; // null entries: required
    bool varargs = false;
    Globals globals;
    Body body;
    VarBody var_body;

    py::object call(py::args args, py::kwargs kwargs) {
        if (varargs) return var_body(globals, std::move(args), std::move(kwargs));
        Args bound = bind(args, kwargs);
        return body(globals, bound);
    }

    [[noreturn]] void fail(const std::string &msg) const {
        raise(PyExc_TypeError, qualname + "() " + msg);
    }

    // Binds arguments as CPython binds them for a function whose parameters are all
    // positional-or-keyword, with the same error messages.
    Args bind(const py::args &args, const py::kwargs &kwargs) const {
        const std::size_t n = names.size();
        const std::size_t given = args.size();
        if (given > n) {
            std::size_t required = 0;
            for (const auto &d : defaults)
                if (!d) ++required;
            std::ostringstream msg;
            msg << "takes ";
            if (required < n) msg << "from " << required << " to ";
            msg << n << " positional argument" << (n == 1 ? "" : "s") << " but " << given
                << (given == 1 ? " was" : " were") << " given";
            fail(msg.str());
        }
        Args bound(n);
        for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
        for (auto item : kwargs) {
            std::string key = py::str(item.first);
            std::size_t idx = n;
            for (std::size_t i = 0; i < n; ++i)
                if (names[i] == key) idx = i;
            if (idx == n) fail("got an unexpected keyword argument '" + key + "'");
            if (bound[idx]) fail("got multiple values for argument '" + key + "'");
            bound[idx] = py::reinterpret_borrow<py::object>(item.second);
        }
        std::vector<std::string> missing;
        for (std::size_t i = 0; i < n; ++i) {
            if (bound[i]) continue;
            if (defaults[i]) bound[i] = defaults[i];
            else missing.push_back("'" + names[i] + "'");
        }
        if (!missing.empty()) {
            std::ostringstream msg;
            msg << "missing " << missing.size() << " required positional argument"
                << (missing.size() == 1 ? "" : "s") << ": ";
            for (std::size_t i = 0; i < missing.size(); ++i) {
                if (i > 0) msg << (missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", "));
                msg << missing[i];
            }
            fail(msg.str());
        }
        return bound;
    }
};

constexpr const char *kTypeName = "native_function";

py::object new_function(NativeFunction fn, const std::string &module, py::object signature,
                        py::dict annotations, const char *doc) {
    std::string name = fn.name, qualname = fn.qualname;
    py::object obj = py::cast(std::move(fn));
    obj.attr("__name__") = name;
    obj.attr("__qualname__") = qualname;
    obj.attr("__module__") = module;
    obj.attr("__doc__") = doc ? py::object(py::str(doc)) : py::object(py::none());
    obj.attr("__annotations__") = annotations;
    obj.attr("__signature__") = signature;
    return obj;
}

} // namespace

void register_function_type(py::module_ &m) {
    auto type = py::class_<NativeFunction>(m, kTypeName, py::dynamic_attr(), py::module_local());
    type
        .def("__call__",
             [](NativeFunction &f, py::args args, py::kwargs kwargs) {
                 return f.call(std::move(args), std::move(kwargs));
             })
        // Found on an instance, a function becomes a bound method; found on the class, it is
        // returned as it is.
        .def(
            "__get__",
            [](py::object self, py::object obj, py::object) -> py::object {
                if (obj.is_none()) return self;
                PyObject *bound = PyMethod_New(self.ptr(), obj.ptr());
                if (!bound) throw py::error_already_set();
                return py::reinterpret_steal<py::object>(bound);
            },
            py::arg("instance"), py::arg("owner") = py::none())
        .def("__repr__", [](py::object self) -> py::str {
            std::ostringstream at;
            at << static_cast<const void *>(self.ptr());
            return py::str("<function {} at {}>").format(self.attr("__qualname__"), at.str());
        });
    // The module namespace was the type's only owner; the type lives as long as the process,
    // like a static type.
    type.inc_ref();
    py::delattr(m, kTypeName);
}

py::object make_function(const Globals &g, const FunctionSpec &spec, Body body) {
    py::module_ inspect = py::module_::import("inspect");
    py::object Parameter = inspect.attr("Parameter");
    py::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
    py::list params;
    py::dict annotations;
    NativeFunction fn{spec.name, spec.qualname, {}, {}, false, g, std::move(body), {}};
    for (const Param &p : spec.params) {
        fn.names.emplace_back(p.name);
        fn.defaults.push_back(p.default_value);
        py::dict opts;
        if (p.default_value) opts["default"] = p.default_value;
        if (p.annotation) {
            opts["annotation"] = p.annotation;
            annotations[p.name] = p.annotation;
        }
        params.append(Parameter(p.name, kind, **opts));
    }
    py::object signature = inspect.attr("Signature")(params);
    std::string module = py::str(g.dict()["__name__"]);
    return new_function(std::move(fn), module, signature, annotations, spec.doc);
}

py::object make_varargs_function(const Globals &g, const std::string &name,
                                 const std::string &qualname, VarBody body) {
    py::module_ inspect = py::module_::import("inspect");
    py::object Parameter = inspect.attr("Parameter");
    py::list params;
    params.append(Parameter("args", Parameter.attr("VAR_POSITIONAL")));
    params.append(Parameter("kwargs", Parameter.attr("VAR_KEYWORD")));
    NativeFunction fn{name, qualname, {}, {}, true, g, {}, std::move(body)};
    std::string module = py::str(g.dict()["__name__"]);
    return new_function(std::move(fn), module, inspect.attr("Signature")(params), py::dict(),
                        nullptr);
}

py::object make_class(const std::string &module, const std::string &name, py::tuple bases,
                      py::dict ns) {
    py::dict full;
    full["__module__"] = module;
    full["__qualname__"] = name;
    for (auto item : ns) full[item.first] = item.second;
    return py::module_::import("builtins").attr("type")(name, bases, full);
}

} // namespace marvane
