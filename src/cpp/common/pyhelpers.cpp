#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iomanip>
#include <random>
#include <sstream>
#include <sys/types.h>
#include <unistd.h>

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

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
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

namespace {

void fsync_path(const std::string &path, bool directory) {
    // The flush waits for the disk: other threads (the other months' tasks) run meanwhile.
    int fd, rc = 0, err = 0;
    {
        py::gil_scoped_release nogil;
        fd = ::open(path.c_str(), directory ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
        if (fd < 0) {
            err = errno;
        } else {
            rc = ::fsync(fd);
            err = errno;
            ::close(fd);
        }
    }
    if (fd < 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    if (rc != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
}

std::atomic<unsigned long> tmp_counter{0};

constexpr const char *kTmpPrefix = names::kTemporaryPrefix;

// A path as the operating system takes it (os.fsencode: undecodable bytes survive).
std::string native_path(py::handle path) {
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// The pid in a temporary name ".marvane-tmp-<pid>-<n>-<random hex>" (or the older
// ".marvane-tmp-<pid>-<n>"), or 0 when the name is not one.
pid_t temporary_owner(const char *name) {
    const std::size_t n = std::strlen(kTmpPrefix);
    if (std::strncmp(name, kTmpPrefix, n) != 0) return 0;
    const char *p = name + n;
    char *end = nullptr;
    errno = 0;
    long pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-' || errno != 0 || pid <= 0) return 0;
    const char *q = end + 1;
    const char *digits = q;
    while (*q >= '0' && *q <= '9') ++q;
    if (q == digits) return 0;
    if (*q == '-') {
        const char *hex = ++q;
        while ((*q >= '0' && *q <= '9') || (*q >= 'a' && *q <= 'f')) ++q;
        if (q == hex) return 0;
    }
    return *q == '\0' ? static_cast<pid_t>(pid) : 0;
}

// A fresh, empty temporary file in `directory`, created exclusively: O_EXCL|O_NOFOLLOW never
// opens what already stands under the name (a planted symlink included), and the random part
// makes the name unpredictable. The directory itself is followed (a category directory may
// be a link the user made). Returns the temporary's path as Python sees it.
py::str create_temporary(py::handle os, py::handle directory) {
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
        std::ostringstream name;
        name << kTmpPrefix << ::getpid() << "-" << tmp_counter.fetch_add(1) << "-" << std::hex;
        for (int i = 0; i < 2; ++i) name << std::setw(8) << std::setfill('0') << random();
        py::str tmp = os.attr("path").attr("join")(directory, py::str(name.str()));
        const std::string native = native_path(tmp);
        int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return tmp;
        }
        if (errno != EEXIST || attempt >= 16) {
            int err = errno;
            py::object error = py::module_::import("builtins").attr("OSError")(
                err, std::strerror(err), tmp);
            PyErr_SetObject(PyExc_OSError, error.ptr());
            throw py::error_already_set();
        }
    }
}

// A writer killed between creating its temporary file and the rename leaves the temporary
// behind. Readers never take it for a stored file (its name neither ends in ".parquet" nor
// holds a year-month group); the next write in the directory removes those whose process no
// longer runs. Temporaries of running processes (this one's other threads included) are left
// alone. Best effort: a failure here never fails the write.
void remove_dead_temporaries(const std::string &dir) {
    DIR *d = ::opendir(dir.c_str());
    if (!d) return;
    const pid_t self = ::getpid();
    while (dirent *entry = ::readdir(d)) {
        pid_t owner = temporary_owner(entry->d_name);
        if (owner == 0 || owner == self) continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue; // running, or not ours to judge
        ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    ::closedir(d);
}

} // namespace

void write_atomically(const Globals &g, py::handle path,
                      const std::function<void(py::str tmp)> &write) {
    py::object os = g("os");
    py::str final_path = py::str(os.attr("fspath")(path));
    py::str directory = os.attr("path").attr("dirname")(final_path);
    // The temporary name neither ends in ".parquet" nor carries a year-month group, so no
    // reader or listing of the store takes it for a stored file.
    std::string dir = native_path(directory);
    if (dir.empty()) dir = ".";
    remove_dead_temporaries(dir);
    py::str tmp = create_temporary(os, directory);
    const std::string tmp_native = native_path(tmp);
    try {
        write(tmp);
        fsync_path(tmp_native, false);
        os.attr("replace")(tmp, final_path);
    } catch (py::error_already_set &e) {
        ::unlink(tmp_native.c_str()); // best effort; the original error wins
        // Writers such as the Parquet one report a full disk without a file name; name the
        // file that could not be written (not the temporary, which is gone). An error without
        // an errno keeps its own message.
        if (e.matches(PyExc_OSError) && e.value().attr("filename").is_none() &&
            !e.value().attr("errno").is_none())
            e.value().attr("filename") = final_path;
        throw;
    } catch (...) {
        ::unlink(tmp_native.c_str());
        throw;
    }
    fsync_path(dir, true);
}

// ---------------------------------------------------------------------------------------

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
