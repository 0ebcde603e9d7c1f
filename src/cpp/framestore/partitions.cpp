// Month partition helpers: reading one file, year and month from a file name, the months of
// a category directory, and choosing a table's label set.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

O read_parquet(G g, O file_path) { return read_file(g, file_path); }

// pandas 3 hands a local path to the Parquet reader, which opens it more than once (footer,
// then data); a rewrite landing in between would mix two versions of the file. Reading the
// bytes through one open file always sees one whole version. The reader gets them as an Arrow
// buffer, not as a Python file: Arrow's own threads then never call back into Python, which
// could abort a process that exits while they wind down.
O read_file(G g, O file_path) {
    py::object table;
    try {
        with_context(g("open")(file_path, "rb"), [&](py::object file) {
            py::object data = py::module_::import("pyarrow").attr("BufferReader")(file.attr("read")());
            table = g("pd").attr("read_parquet")(data);
        });
    } catch (py::error_already_set &e) {
        // The reader knows only the open file ("<Buffer>"); say which stored file it was.
        py::str where = py::str(g("os").attr("fspath")(file_path));
        if (!truthy(py::str(e.value()).attr("__contains__")(where)) && py::hasattr(e.value(), "add_note"))
            e.value().attr("add_note")(join_text({"while reading the stored file ", where}));
        throw;
    }
    return table;
}

O extract_year_month(G g, O input_string) {
    py::object match = g("re").attr("search")(R"(_(\d{4})-(\d{2})\.)", input_string);
    if (match.is_none()) return py::make_tuple(py::none(), py::none());
    return py::make_tuple(match.attr("group")(1), match.attr("group")(2));
}

O get_pivot_year_month(G g, O self, O category) {
    py::object directory = self.attr("_get_category_path")(category);
    py::object extract = the_class(g).attr("extract_year_month");
    py::list out;
    for (py::handle x : g("os").attr("listdir")(directory)) out.append(extract(x));
    return out;
}

O gsoi(G g, O choice, O df) {
    (void)g;
    if (py_equal(choice, py::int_(1))) return df.attr("columns");
    if (py_equal(choice, py::int_(0))) return df.attr("index");
    return py::str("Invalid input. Please enter 1 for columns or 0 for index.");
}

O drop_empty_rows(O table) {
    // axis by keyword: pandas 3 warns on positional arguments to reductions.
    py::object keep = table.attr("notnull")().attr("sum")("axis"_a = 1).attr("gt")(0);
    // Every row kept: a new table over the same values, as indexing would give, without
    // copying them.
    if (truthy(keep.attr("all")())) return table.attr("copy")("deep"_a = false);
    return table[keep];
}

namespace {

// Deeper than this, the Parquet writer's conversion of object cells recurses until the
// interpreter's limit or, deeper still, past the C stack: the whole process crashes.
constexpr int kMaxNesting = 64;

bool nested_too_deep(py::handle value, int depth) {
    PyObject *v = value.ptr();
    if (v == Py_None || PyUnicode_Check(v) || PyBytes_Check(v) || PyFloat_Check(v) || PyLong_Check(v))
        return false;
    bool container = PyList_Check(v) || PyTuple_Check(v) || PyAnySet_Check(v) || PyDict_Check(v);
    if (!container && py::hasattr(value, "dtype") && py::hasattr(value, "flat"))
        container = py_equal(value.attr("dtype"), py::str("object")); // numpy object array
    if (!container) return false;
    if (depth >= kMaxNesting) return true;
    py::object items = PyDict_Check(v) ? py::object(value.attr("items")())
                                       : py::reinterpret_borrow<py::object>(value);
    if (!PyDict_Check(v) && !PyList_Check(v) && !PyTuple_Check(v) && !PyAnySet_Check(v))
        items = value.attr("flat");
    for (py::handle item : items)
        if (nested_too_deep(item, depth + 1)) return true;
    return false;
}

void check_cells(py::handle values, const std::string &where) {
    for (py::handle cell : values)
        if (nested_too_deep(cell, 0))
            raise(PyExc_ValueError, where + " holds a value nested more than " +
                                        std::to_string(kMaxNesting) +
                                        " levels deep, which the Parquet writer cannot store");
}

} // namespace

void require_storable(G g, py::handle table) {
    (void)g;
    py::object dtypes = table.attr("dtypes").attr("tolist")();
    py::object columns = table.attr("columns");
    py::object iloc = table.attr("iloc");
    const auto all = py::slice(py::none(), py::none(), py::none());
    for (std::size_t i = 0; i < py::len(dtypes); ++i) {
        if (!py_equal(dtypes[py::int_(i)], py::str("object"))) continue;
        py::object column = iloc[py::make_tuple(all, i)];
        check_cells(column.attr("to_numpy")(),
                    "column " + std::string(py::str(py::repr(columns[py::int_(i)]))));
    }
    py::object index = table.attr("index");
    if (py_equal(index.attr("dtype"), py::str("object"))) check_cells(index, "the index");
}

void require_frame(G g, py::handle value, const char *name) {
    int r = PyObject_IsInstance(value.ptr(), g("pd").attr("DataFrame").ptr());
    if (r < 0) throw py::error_already_set();
    if (r == 0)
        raise(PyExc_TypeError, std::string(name) + " must be a pandas DataFrame, not " +
                                   std::string(py::str(py::type::of(value).attr("__qualname__"))));
}

bool is_iso_day(py::handle text) {
    Py_ssize_t size = 0;
    const char *s = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    if (size != 10 || s[4] != '-' || s[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// Labels written with the default format parse without pandas guessing a format first (the
// guess costs more than the parse); any other labels take pandas' inference as before.
// Labels that are all plain "YYYY-MM-DD" texts go through the DatetimeIndex constructor,
// which reads such dates into the same index as to_datetime with that format, at a fraction
// of its fixed cost per call (a month has about 21 labels, a category one file per month).
O stored_dates(G g, O labels) {
    py::object pd = g("pd");
    py::object index = pd.attr("Index")(labels);
    if (py_equal(index.attr("inferred_type"), py::str("string"))) {
        bool iso = true;
        for (py::handle label : index)
            if (!PyUnicode_Check(label.ptr()) || !is_iso_day(label)) {
                iso = false;
                break;
            }
        if (iso) {
            try {
                return pd.attr("DatetimeIndex")(index, "name"_a = index.attr("name"));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_ValueError)) throw; // not a calendar day: as below
            }
        }
        try {
            return pd.attr("to_datetime")(index, "format"_a = "%Y-%m-%d");
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return pd.attr("to_datetime")(labels);
}

} // namespace marvane::store
