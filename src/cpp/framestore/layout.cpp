// The on-disk layout: root directory, one directory per category, and the paths of month
// partition files and unstack files.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

#include <cerrno>

namespace marvane::store {

namespace {

// makedirs that tolerates a directory created by another thread or process after the
// existence test.
void ensure_directory(G g, py::handle path) {
    py::object os = g("os");
    if (!truthy(os.attr("path").attr("exists")(path))) os.attr("makedirs")(path, "exist_ok"_a = true);
}

// A category's directory, made when missing. Something else under its name (a file) would
// otherwise fail every later step on a path inside it; the error names the category's path.
void ensure_category_directory(G g, py::handle path) {
    py::object os = g("os");
    if (!truthy(os.attr("path").attr("exists")(path))) {
        os.attr("makedirs")(path, "exist_ok"_a = true);
    } else if (!truthy(os.attr("path").attr("isdir")(path))) {
        raise_error(py::module_::import("builtins").attr("NotADirectoryError")(
            ENOTDIR, texts::kCategoryNotDirectory, os.attr("fspath")(path)));
    }
}

// Category names may come from remote key names: anything but one plain path component
// would lead outside the store root.
void check_category(G g, py::handle category) {
    if (!py::isinstance<py::str>(category)) {
        if (py::hasattr(category, "__fspath__")) return check_category(g, g("os").attr("fspath")(category));
        raise(PyExc_TypeError, texts::category_not_str(category));
    }
    // A name that is not valid text (a lone surrogate, as undecodable bytes of a file name
    // come back) could be neither printed nor named in an error: refused as such.
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(category.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        raise(PyExc_ValueError, texts::category_not_text(category));
    }
    std::string name(utf8, static_cast<std::size_t>(size));
    py::object path = g("os").attr("path");
    std::string sep = py::str(g("os").attr("sep"));
    py::object altsep = g("os").attr("altsep");
    bool bad = name.empty() || name == "." || name == ".." ||
               name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
               name.find(sep) != std::string::npos ||
               (!altsep.is_none() && name.find(std::string(py::str(altsep))) != std::string::npos) ||
               truthy(path.attr("isabs")(category));
    if (bad)
        raise(PyExc_ValueError, texts::category_invalid(category));
}

} // namespace

O init(G g, O self, O root_dir, O max_workers) {
    self.attr("root_dir") = root_dir;
    self.attr("max_workers") = max_workers;
    ensure_directory(g, self.attr("root_dir"));
    return py::none();
}

O get_category_path(G g, O self, O category) {
    check_category(g, category);
    py::object dir_path = g("os").attr("path").attr("join")(self.attr("root_dir"), category);
    ensure_category_directory(g, dir_path);
    return dir_path;
}

O get_pivot_file_path(G, O self, O category, O year, O month) {
    py::object directory = self.attr("_get_category_path")(category);
    return join_text({directory, "/", names::month_file_name(category, year, month)});
}

O get_unstack_file_path(G, O self, O category) {
    py::object directory = self.attr("_get_category_path")(category);
    return join_text({directory, "/", names::unstack_file_name(category)});
}

O if_exists_unstack_category(G g, O self, O category) {
    py::object path = self.attr("_get_unstack_file_path")(category);
    return py::bool_(truthy(g("os").attr("path").attr("exists")(path)));
}

// True only when the category holds at least one of its own month partition files.
O if_exists_pivot_category(G g, O self, O category) {
    py::object dir_path = self.attr("_get_category_path")(category);
    py::object os = g("os");
    for (py::handle name : os.attr("listdir")(dir_path))
        if (!names::stored_month(os, dir_path, category, name).is_none()) return py::bool_(true);
    return py::bool_(false);
}

O store_class(G g) { return g("ParquetDataManager"); }

} // namespace marvane::store
