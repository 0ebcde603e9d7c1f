// Month partition helpers: reading one file, year and month from a file name, the months of
// a category directory, and choosing a table's label set.
#include "common/pyhelpers.hpp"
#include "framestore/durable_write.hpp"
#include "framestore/merge_kernel.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

#include <atomic>
#include <cerrno>

namespace marvane::store {

namespace {

// Reads of read_parquet in progress, and reads begun so far.
std::atomic<unsigned> reads_in_progress{0};
std::atomic<unsigned> reads_begun{0};

} // namespace

// Arrow keeps what a decoding used (pages, the columns before they became the table) in the
// reading thread's part of its pool for later reads; months read on many threads at once, as
// the pivot read does, would otherwise hold about as much again as the months themselves. The
// hand-back costs the next read of the thread its page faults (about 1.7 ms for a 0.5 MB
// month), so it is made only after a read that overlapped others (another read in progress
// when it began or ended, or begun meanwhile): what one read alone keeps is one month's worth,
// which its next read uses again. The store's own single reads (merges, the unstack file)
// keep the pool as it is.
O read_parquet(G g, O file_path) {
    const unsigned begun = reads_begun.fetch_add(1) + 1;
    bool overlapped = reads_in_progress.fetch_add(1) > 0;
    py::object table;
    try {
        table = read_file(g, file_path, true);
    } catch (...) {
        reads_in_progress.fetch_sub(1);
        throw;
    }
    overlapped = reads_in_progress.fetch_sub(1) > 1 || overlapped || reads_begun.load() != begun;
    if (overlapped) release_arrow_memory();
    return table;
}

namespace {

// The Parquet engine pandas uses when none is named: the io.parquet.engine option, where
// "auto" takes pyarrow when it imports and fastparquet otherwise. Decided at every call, so
// that a machine without pyarrow (there is none for 32-bit Arm) works with fastparquet.
bool engine_is_pyarrow(G g) {
    py::object engine = g("pd").attr("get_option")("io.parquet.engine");
    if (py_equal(engine, py::str("pyarrow"))) return true;
    if (!py_equal(engine, py::str("auto"))) return false;
    try {
        py::module_::import("pyarrow");
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return false;
    }
}

// pandas' own read_parquet, not a function a caller put in its place (who then gets exactly
// what the store was given).
bool pandas_reader(G g) {
    py::object io = py::module_::import("sys").attr("modules").attr("get")("pandas.io.parquet");
    if (io.is_none()) return false;
    return py::getattr(g("pd"), "read_parquet", py::none()).is(py::getattr(io, "read_parquet", py::none()));
}

// A str or os.PathLike naming a regular file (not a directory, buffer or file object).
bool regular_file_path(G g, py::handle path) {
    py::object os = g("os");
    if (!PyUnicode_Check(path.ptr()) && !py::isinstance(path, os.attr("PathLike"))) return false;
    return truthy(os.attr("path").attr("isfile")(path));
}

bool text_values(G g, py::handle values) {
    return py_equal(values.attr("dtype"), py::str("object")) &&
           py_equal(g("pd").attr("api").attr("types").attr("infer_dtype")(values, "skipna"_a = true),
                    py::str("string"));
}

// fastparquet returns text as object columns where pyarrow returns pandas' str dtype (when
// pandas infers str, as pandas 3 does); the frames the store returns are the same under
// either engine.
py::object text_as_str(G g, py::object table) {
    py::object pd = g("pd");
    // pandas' own choice for text, as a constructor without a dtype makes it
    if (py_equal(pd.attr("Index")(list_of(py::str(""))).attr("dtype"), py::str("object"))) return table;
    if (!py::isinstance(table, pd.attr("DataFrame"))) return table;
    py::object iloc = table.attr("iloc");
    const auto all = py::slice(py::none(), py::none(), py::none());
    const std::size_t n = py::len(table.attr("columns"));
    for (std::size_t i = 0; i < n; ++i) {
        py::object column = iloc[py::make_tuple(all, i)];
        if (text_values(g, column)) table.attr("isetitem")(i, column.attr("astype")("str"));
    }
    for (const char *axis : {"index", "columns"}) {
        py::object labels = table.attr(axis);
        if (py::isinstance(labels, pd.attr("MultiIndex"))) {
            py::list levels;
            bool changed = false;
            for (py::handle level : labels.attr("levels")) {
                bool text = text_values(g, level);
                levels.append(text ? level.attr("astype")("str") : py::reinterpret_borrow<py::object>(level));
                changed = changed || text;
            }
            if (changed) py::setattr(table, axis, labels.attr("set_levels")(levels));
        } else if (text_values(g, labels)) {
            py::setattr(table, axis, labels.attr("astype")("str"));
        }
    }
    return table;
}

} // namespace

// A path to a regular file is read through one open handle: pandas would otherwise open the
// path more than once (footer, then data), and a rewrite landing in between would mix two
// versions of the file. Under pyarrow the handle is Arrow's own file (read where the data
// lies, no copy of the whole file first), so Arrow's threads never call back into Python,
// which could abort a process that exits while they wind down; fastparquet reads a Python
// file on the calling thread. Anything else (a directory, a buffer, a file object, or a
// pd.read_parquet put in place by a caller) goes to pd.read_parquet as it was given. The
// store's own reads of its files (any_source false) refuse a path that is there but is not a
// regular file: a directory in place of a stored file is damage, not an empty table. A regular
// file's shape is checked before the engine sees it (footer.cpp).
O read_file(G g, O file_path, bool any_source) {
    py::object pd = g("pd");
    if (!any_source) {
        py::object path = g("os").attr("path");
        if (truthy(path.attr("exists")(file_path)) && !truthy(path.attr("isfile")(file_path))) {
            const bool dir = truthy(path.attr("isdir")(file_path));
            py::object builtins = py::module_::import("builtins");
            py::object err = builtins.attr(dir ? "IsADirectoryError" : "OSError")(
                dir ? EISDIR : EINVAL, dir ? texts::kIsDirectory : texts::kNotRegularFile, file_path);
            raise_error(err);
        }
    }
    if (!pandas_reader(g)) return pd.attr("read_parquet")(file_path);
    const bool pyarrow = engine_is_pyarrow(g);
    py::object table;
    if (!regular_file_path(g, file_path)) {
        table = pd.attr("read_parquet")(file_path);
        return pyarrow ? table : text_as_str(g, table);
    }
    try {
        py::object handle = pyarrow ? py::module_::import("pyarrow").attr("OSFile")(g("os").attr("fspath")(file_path))
                                    : g("open")(file_path, "rb");
        with_context(handle, [&](py::object file) {
            check_parquet_file(file, file_path);
            table = pd.attr("read_parquet")(file);
        });
    } catch (py::error_already_set &e) {
        // The reader knows only the open file; say which stored file it was.
        py::str where = py::str(g("os").attr("fspath")(file_path));
        if (!truthy(py::str(e.value()).attr("__contains__")(where)) && py::hasattr(e.value(), "add_note"))
            e.value().attr("add_note")(texts::while_reading_note(where));
        throw;
    }
    return pyarrow ? table : text_as_str(g, table);
}

// The whole file as the Arrow table that pandas' read_parquet would convert, when the store's
// read of it is that read through pyarrow; None otherwise (the caller then reads as usual),
// also when `days` is given and the file's day columns (told by the footer alone) are not
// those days. The file's shape is checked first, as for every read.
O read_arrow_table(G g, O file_path, py::handle days) {
    if (!pandas_reader(g) || !engine_is_pyarrow(g) || !regular_file_path(g, file_path)) return py::none();
    py::object table = py::none();
    py::object handle = py::module_::import("pyarrow").attr("OSFile")(g("os").attr("fspath")(file_path));
    with_context(handle, [&](py::object file) {
        check_parquet_file(file, file_path);
        py::object parquet = py::module_::import("pyarrow.parquet").attr("ParquetFile")(file);
        if (!days.is_none()) {
            py::list names, all_names = parquet.attr("schema_arrow").attr("names");
            for (py::handle name : all_names)
                if (is_iso_day(name)) names.append(name);
            if (!stored_days_are(names, days, g("pd"))) return;
        }
        table = parquet.attr("read")("use_pandas_metadata"_a = true);
    });
    return table;
}

void release_arrow_memory() {
    py::object none = py::none();
    py::object arrow = py::module_::import("sys").attr("modules").attr("get")("pyarrow");
    py::object pool = py::getattr(arrow, "default_memory_pool", none);
    if (!pool.is_none()) pool().attr("release_unused")();
}

// DataFrame.to_parquet(path). fastparquet stores an unnamed index as a column named "index",
// which every reader then gives back as the index's name, and cannot write a MultiIndex with
// an unnamed level at all: under fastparquet, unnamed levels are written under pandas' own
// placeholder names (__index_level_0__, ...), which both engines read back as unnamed.
void to_parquet_file(G g, py::handle table, py::handle path) {
    py::object out = py::reinterpret_borrow<py::object>(table);
    py::object pd = g("pd");
    py::object index = out.attr("index");
    if (!py::isinstance(index, pd.attr("RangeIndex")) && !engine_is_pyarrow(g)) {
        py::list names;
        bool unnamed = false;
        std::size_t i = 0;
        for (py::handle name : index.attr("names")) {
            if (name.is_none()) {
                names.append(py::str("__index_level_" + std::to_string(i) + "__"));
                unnamed = true;
            } else {
                names.append(name);
            }
            ++i;
        }
        if (unnamed) {
            out = out.attr("copy")("deep"_a = false); // the caller's frame keeps its index
            out.attr("index") = index.attr("set_names")(names);
        }
    }
    if (engine_is_pyarrow(g)) {
        py::object arrow_table = float_month_table(g, out);
        if (!arrow_table.is_none()) {
            // What pandas' to_parquet hands pyarrow, with its defaults.
            py::module_::import("pyarrow.parquet").attr("write_table")(arrow_table, path, "compression"_a = "snappy");
            return;
        }
    }
    out.attr("to_parquet")(path);
}

void write_store_file(G g, py::handle table, py::handle path) {
    const auto rows = static_cast<std::int64_t>(py::len(table));
    const auto columns = static_cast<std::int64_t>(py::len(table.attr("columns")));
    write_atomically(g, path, [&](py::str tmp) {
        to_parquet_file(g, table, tmp);
        check_written_parquet(tmp, path, rows, columns);
    });
}

O extract_year_month(G g, O input_string) {
    py::object match = g("re").attr("search")(R"(_(\d{4})-(\d{2})\.)", input_string);
    if (match.is_none()) return py::make_tuple(py::none(), py::none());
    return py::make_tuple(match.attr("group")(1), match.attr("group")(2));
}

O get_pivot_year_month(G g, O self, O category) {
    py::object directory = self.attr("_get_category_path")(category);
    py::object extract = store_class(g).attr("extract_year_month");
    py::list out;
    for (py::handle x : g("os").attr("listdir")(directory)) out.append(extract(x));
    return out;
}

O gsoi(G, O choice, O df) {
    if (py_equal(choice, py::int_(1))) return df.attr("columns");
    if (py_equal(choice, py::int_(0))) return df.attr("index");
    return py::str(texts::kInvalidChoice);
}

O drop_empty_rows(O table, bool float64) {
    py::object keep;
    if (float64) {
        // NaN is the only null of float64 columns: one pass over the values tells the rows.
        keep = merge_kernel::rows_with_values(merge_kernel::contiguous(table.attr("to_numpy")("dtype"_a = "float64")));
    } else {
        // axis by keyword: pandas 3 warns on positional arguments to reductions.
        keep = table.attr("notnull")().attr("sum")("axis"_a = 1).attr("gt")(0);
        if (truthy(keep.attr("all")())) keep = py::none();
    }
    // Every row kept: a new table over the same values, as indexing would give, without
    // copying them.
    if (keep.is_none()) return table.attr("copy")("deep"_a = false);
    return table[keep];
}

O drop_empty_rows(O table) { return drop_empty_rows(table, all_float64(table)); }

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
            raise(PyExc_ValueError, texts::nested_too_deep(where, kMaxNesting));
}

} // namespace

void require_storable(py::handle table) {
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
        raise(PyExc_TypeError, texts::not_a_frame(name, value));
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
