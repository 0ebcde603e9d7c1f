// Bringing categories of the local store up to date from the remote store.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"
#include "tsclient/client.hpp"
#include "tsclient/texts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace marvane::client {

namespace {

// At most 200 characters of a name, as "%.200s" puts it into a message.
py::str cut_name(const char *name) {
    py::str text = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(std::strlen(name)), "replace"));
    if (!text) throw py::error_already_set();
    PyObject *cut = PyUnicode_Substring(text.ptr(), 0, 200);
    if (!cut) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(cut);
}

void require_str(py::handle value, const char *argument) {
    if (PyUnicode_CheckExact(value.ptr())) return;
    PyErr_SetObject(PyExc_TypeError,
                    texts::wrong_argument_type(cut_name(argument), cut_name("str"),
                                               cut_name(Py_TYPE(value.ptr())->tp_name))
                        .ptr());
    throw py::error_already_set();
}

// YYYYMM of every month that has at least one day in start..end, ascending; as in the store,
// a range starting on the 15th includes that month.
py::list months_of(G g, py::handle start_date, py::handle end_date) {
    py::object days = g("pd").attr("date_range")("start"_a = start_date, "end"_a = end_date,
                                                 "freq"_a = "D", "normalize"_a = true);
    return days.attr("to_period")("M").attr("unique")().attr("strftime")("%Y%m").attr("tolist")();
}

// A fetched value that is not a table is refused before anything is written: a Series would
// be joined as one column labelled 0, which the store reads as the date 1970-01-01.
py::object fetch_table(G g, py::handle self, py::handle key) {
    py::object value = self.attr("load_df_from_tsdb")(key);
    int r = PyObject_IsInstance(value.ptr(), g("pd").attr("DataFrame").ptr());
    if (r < 0) throw py::error_already_set();
    if (r == 0)
        raise(PyExc_TypeError, texts::not_a_table(key, py::type::of(value).attr("__qualname__")));
    return value;
}

// The rows of a pivot month are instruments, named by text (str hashes are seeded per process).
// pandas hashes labels of other kinds (numbers, dates, durations) by a fixed function of the
// value, so a served month could pick labels that all fall in one probe chain and make every
// alignment of the sync quadratic; the store's layout never holds them: refused as served,
// before anything is written.
void require_text_rows(G g, py::handle key, py::handle table) {
    py::object pd = g("pd");
    py::object index = table.attr("index");
    py::object dtype = index.attr("dtype");
    if (py::type::of(index).is(pd.attr("Index"))) {
        if (py::isinstance(dtype, pd.attr("StringDtype"))) return;
        if (py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O') {
            py::str kind = pd.attr("api").attr("types").attr("infer_dtype")(index, "skipna"_a = false);
            if (py_equal(kind, py::str("string")) || py_equal(kind, py::str("empty"))) return;
            dtype = join_text({"object (", kind, ")"});
        }
    }
    raise(PyExc_ValueError, texts::rows_not_text(key, py::type::of(index).attr("__qualname__"), dtype));
}

// Whether a cell holds a complex number, in itself or inside the lists, tuples, dicts and
// arrays the Parquet writer would convert (as deep as the store lets cells nest).
bool holds_complex(py::handle cell, py::handle complex_scalar, int depth = 0) {
    PyObject *v = cell.ptr();
    if (PyComplex_Check(v)) return true;
    if (PyUnicode_Check(v) || PyFloat_Check(v) || PyLong_Check(v) || v == Py_None) return false; // the usual cells
    const int scalar = PyObject_IsInstance(v, complex_scalar.ptr());
    if (scalar < 0) throw py::error_already_set();
    if (scalar == 1) return true;
    if (depth >= 64) return false;
    py::object items;
    if (PyList_Check(v) || PyTuple_Check(v)) items = py::reinterpret_borrow<py::object>(cell);
    else if (PyDict_Check(v)) items = cell.attr("values")();
    else if (py::isinstance<py::array>(cell)) {
        const char k = py::reinterpret_borrow<py::array>(cell).dtype().kind();
        if (k == 'c') return true;
        if (k != 'O') return false;
        items = cell.attr("flat");
    } else return false;
    for (py::handle item : items)
        if (holds_complex(item, complex_scalar, depth + 1)) return true;
    return false;
}

// Complex numbers load (real pickles hold them in object cells) but no Parquet engine writes
// them: a served table holding any is refused before anything is written, naming its key.
void require_writable(py::handle key, py::handle table) {
    py::object complex_scalar = py::module_::import("numpy").attr("complexfloating");
    py::object columns = table.attr("columns");
    py::list dtypes = table.attr("dtypes").attr("tolist")();
    auto check = [&](py::object values, py::handle where) {
        auto array = values.cast<py::array>();
        const char k = array.dtype().kind();
        if (k == 'c') raise(PyExc_ValueError, texts::not_storable(key, where, "complex numbers"));
        if (k != 'O') return;
        for (py::handle cell : values)
            if (holds_complex(cell, complex_scalar))
                raise(PyExc_ValueError, texts::not_storable(key, where, "complex numbers"));
    };
    for (std::size_t i = 0; i < py::len(dtypes); ++i) {
        py::handle dtype = dtypes[i];
        if (!py::isinstance<py::dtype>(dtype)) continue; // extension dtypes hold no complex numbers
        const char k = py::reinterpret_borrow<py::dtype>(dtype).kind();
        if (k != 'c' && k != 'O') continue;
        check(table.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(i))]
                  .attr("to_numpy")(),
              join_text({"column ", py::repr(columns[py::int_(i)])}));
    }
    py::object index = table.attr("index");
    if (py::isinstance<py::dtype>(index.attr("dtype")) && !py::isinstance(index, py::module_::import("pandas").attr("MultiIndex")))
        check(index.attr("to_numpy")(), py::str("the row labels"));
}

// Whether `f` is the named method of marvane's own store, neither replaced on its class nor
// shadowed by another callable.
bool own_native(py::handle f, const char *module, const char *qualname) {
    if (!f || f.is_none()) return false;
    return py_equal(py::type::of(f).attr("__name__"), py::str("native_function")) && defined_as(f, module, qualname);
}

// The months can go to the store's month tasks one by one, without the joined table, only
// when the join, the store's update and its runner are pandas' and marvane's own (a replaced
// one is called as documented) and the store module works with the same pandas.
py::object direct_store_class(G g, py::handle db) {
    py::object none = py::none();
    // pandas' own concat is the function its reshape module defines (pandas names its
    // public module on it since 3.0, its defining module before).
    py::object concat = py::getattr(g("pd"), "concat", none);
    py::object defined = py::getattr(py::module_::import("pandas.core.reshape.concat"), "concat", none);
    if (!concat.is(defined) || !py_equal(py::getattr(concat, "__qualname__", none), py::str("concat")))
        return none;
    if (py::hasattr(db, "__dict__") && db.attr("__dict__").contains("update_pivot_category")) return none;
    if (!own_native(py::getattr(py::type::of(db), "update_pivot_category", none), "marvane.FrameStore",
                    "ParquetDataManager.update_pivot_category"))
        return none;
    py::object store_module = py::module_::import("marvane.FrameStore");
    if (!py::getattr(store_module, "pd", none).is(g("pd"))) return none;
    py::object cls = store_module.attr("ParquetDataManager");
    if (!own_native(py::getattr(cls, "run_concurrently", none), "marvane.FrameStore",
                    "ParquetDataManager.run_concurrently"))
        return none;
    return cls;
}

// The stored months of a sync read on two threads while the caller's thread fetches: each
// month's merge then finds its file already read (framestore/read_ahead.cpp) instead of
// starting with the read. Only reads run ahead; nothing is written before every month has
// been fetched. The threads are joined before the sync returns or raises.
class ReadAhead {
public:
    ReadAhead() = default;
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;
    ~ReadAhead() { stop(); }

    // One read per month file that is there; `paths` in the order the months are fetched
    // (None for a month the store cannot name). A read ahead that cannot start (no thread to
    // be had) is simply not made. A month's read waits for the month's fetch (fetched()), and
    // the reads keep pace with the fetches: a month whose stored days are those the service
    // gave (most months of a sync) is read as an Arrow table, which the merge of an unchanged
    // month needs no more of; one whose days differ, or one of the last two (one per thread:
    // a sync of one month, the daily update, finds its month ready), as the pandas table the
    // merge reads.
    void start(const Globals &store_globals, const py::list &paths) {
        try {
            py::object future = py::module_::import("concurrent.futures").attr("Future");
            py::object reader = py::cpp_function([store_globals](py::object path, py::object fetched, bool arrow) {
                py::object days = arrow ? fetched.attr("result")() : py::object(py::none());
                return store::read_stored_month(store_globals, path, arrow, days);
            });
            pool_ = py::module_::import("concurrent.futures").attr("ThreadPoolExecutor")("max_workers"_a = 2);
            const std::size_t n = py::len(paths);
            for (std::size_t k = 0; k < n; ++k) {
                fetched_.append(future());
                py::object path = paths[k];
                if (path.is_none()) continue;
                const bool arrow = k + 2 < n;
                futures_[path] = pool_.attr("submit")(reader, path, fetched_[k], arrow);
            }
        } catch (py::error_already_set &) {
            stop();
        }
    }

    // The k-th month has been fetched: its read may start, knowing the month's days.
    void fetched(std::size_t k, py::handle table) {
        if (k >= py::len(fetched_)) return;
        fetched_[k].attr("set_result")(py::getattr(table, "columns", py::none()));
    }

    // Waits for the reads under way, drops the others and what was read. Reads still waiting
    // for their month (a fetch failed) go on as not knowing its days, or are cancelled.
    void stop() {
        futures_ = py::dict();
        for (py::handle f : fetched_) {
            try {
                if (!truthy(f.attr("done")())) f.attr("set_result")(py::none());
            } catch (py::error_already_set &) {
            }
        }
        fetched_ = py::list();
        if (!pool_) return;
        try {
            pool_.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
        } catch (py::error_already_set &) {
        }
        pool_ = py::object();
    }

    // The pending read of `path`, or None.
    py::object of(py::handle path) const {
        return futures_.contains(path) ? py::object(futures_[path]) : py::object(py::none());
    }

private:
    py::object pool_;
    py::dict futures_;
    py::list fetched_; // one Future per month, given the month's day labels once fetched
};

// The store's month merge given the month's read ahead (a future, or None).
py::object month_task(const Globals &store_globals) {
    return py::cpp_function([store_globals](py::object path, py::object sub_df, py::object strf, py::object read) {
        py::object stored = py::none();
        if (!read.is_none()) {
            try {
                stored = read.attr("result")();
            } catch (py::error_already_set &) { // the merge reads the file itself
            }
        }
        return store::update_pivot_month(store_globals, path, sub_df, strf, stored);
    });
}

struct MonthTable {
    long long key; // year * 12 + month - 1
    std::size_t fetched; // its place among the fetched tables
    py::object year, month, table;
};

// The fetched months as the store's update would split the joined table, or an empty list
// when the tables are not plainly one month each, in which case the join decides as before.
// A month handed over directly equals its part of the joined table once the store has dropped
// the rows without any value: the same float64 values, the same rows in the joined table's
// order (the union of the months' instruments), the same date labels.
std::vector<MonthTable> split_months(G g, const py::list &tables) {
    py::object pd = g("pd");
    py::object frame = pd.attr("DataFrame"), dti = pd.attr("DatetimeIndex"), mi = pd.attr("MultiIndex");
    py::object float64 = py::module_::import("numpy").attr("dtype")("float64");
    std::vector<MonthTable> out;
    py::object first_index, first_columns;
    bool same_rows = true;
    for (py::handle t : tables) {
        if (!py::type::of(t).is(frame) || py::len(t.attr("attrs")) > 0) return {};
        py::object cols = t.attr("columns"), idx = t.attr("index");
        // Repeated instruments are found below, on the labels themselves.
        if (!py::isinstance(cols, dti) || py::len(cols) == 0 || truthy(cols.attr("hasnans")) ||
            py::isinstance(idx, mi))
            return {};
        for (py::handle dtype : t.attr("dtypes"))
            if (!py_equal(dtype, float64)) return {};
        if (!first_index) {
            first_index = idx;
            first_columns = cols;
        } else {
            if (!py_equal(cols.attr("dtype"), first_columns.attr("dtype")) ||
                !py_equal(cols.attr("name"), first_columns.attr("name")) ||
                !py_equal(idx.attr("dtype"), first_index.attr("dtype")) ||
                !py_equal(idx.attr("name"), first_index.attr("name")))
                return {};
            same_rows = same_rows && truthy(idx.attr("equals")(first_index));
        }
        py::object lo = cols.attr("min")(), hi = cols.attr("max")();
        long long y = lo.attr("year").cast<long long>(), m = lo.attr("month").cast<long long>();
        if (hi.attr("year").cast<long long>() != y || hi.attr("month").cast<long long>() != m) return {};
        if (y < names::kFirstYear || y > names::kLastYear) return {}; // refused by the store's update
        out.push_back({y * 12 + m - 1, out.size(), lo.attr("year"), lo.attr("month"), py::reinterpret_borrow<py::object>(t)});
    }
    std::sort(out.begin(), out.end(), [](const MonthTable &a, const MonthTable &b) { return a.key < b.key; });
    for (std::size_t i = 1; i < out.size(); ++i)
        if (out[i].key == out[i - 1].key) return {}; // two tables of one month: joined as before
    if (same_rows) return truthy(first_index.attr("is_unique")) ? out : std::vector<MonthTable>{};
    if (!py::type::of(first_index).is(pd.attr("Index"))) return {}; // other kinds: the join decides
    auto label_list = [](py::handle t) { return py::list(t.attr("index").attr("tolist")()); };
    // The rows of the joined table are every month's labels in order of first appearance, the
    // months taken in the order they were fetched (how the join unites plain indexes). Each
    // month's rows go in that order; a month naming one instrument twice goes to the join.
    // The labels are made Python objects once per month: under pandas 3 each question asked
    // of an index of text (is_unique, a lookup) makes them again.
    py::dict first_seen;
    std::vector<py::list> labels;
    for (py::handle t : tables) {
        labels.push_back(label_list(t));
        for (py::handle label : labels.back()) {
            if (!PyUnicode_CheckExact(label.ptr())) return {};
            py::object n = py::int_(py::len(first_seen));
            if (!PyDict_SetDefault(first_seen.ptr(), label.ptr(), n.ptr())) throw py::error_already_set();
        }
    }
    py::object np = py::module_::import("numpy");
    for (std::size_t i = 0; i < out.size(); ++i) {
        MonthTable &mt = out[i];
        std::vector<long long> positions;
        positions.reserve(py::len(labels[mt.fetched]));
        bool ascending = true;
        for (py::handle label : labels[mt.fetched]) {
            PyObject *found = PyDict_GetItemWithError(first_seen.ptr(), label.ptr());
            if (found == nullptr) throw py::error_already_set();
            const long long at = py::reinterpret_borrow<py::object>(found).cast<long long>();
            ascending = ascending && (positions.empty() || at > positions.back());
            positions.push_back(at);
        }
        if (ascending) continue; // strictly ascending: no label twice
        std::vector<long long> sorted = positions;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return {};
        mt.table = mt.table.attr("take")(np.attr("argsort")(py::array_t<long long>(static_cast<py::ssize_t>(positions.size()), positions.data()),
                                                      "kind"_a = "stable"));
    }
    return out;
}

// The store's month files of the fetched months (their "YYYYMM" texts), None for a month it
// cannot name; an empty list when the store cannot name them (the merges then meet that).
py::list month_paths(py::handle db, py::handle category, const py::list &months) {
    py::list paths;
    // The store's own naming only, and no directory made ahead of the sync's writes: a
    // category without its directory has nothing to read.
    for (const char *name : {"_get_pivot_file_path", "_get_category_path"}) {
        if (py::hasattr(db, "__dict__") && db.attr("__dict__").contains(name)) return paths;
        std::string qualname = std::string("ParquetDataManager.") + name;
        if (!own_native(py::getattr(py::type::of(db), name, py::none()), "marvane.FrameStore", qualname.c_str()))
            return paths;
    }
    try {
        py::object os = py::module_::import("os");
        if (!PyUnicode_Check(category.ptr()) ||
            !truthy(os.attr("path").attr("isdir")(os.attr("path").attr("join")(db.attr("root_dir"), category))))
            return paths;
        for (py::handle month : months) {
            const std::string ym = py::str(month);
            if (ym.size() != 6 || !std::all_of(ym.begin(), ym.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                paths.append(py::none());
                continue;
            }
            paths.append(db.attr("_get_pivot_file_path")(category, std::stoi(ym.substr(0, 4)), std::stoi(ym.substr(4))));
        }
    } catch (py::error_already_set &) {
        return py::list();
    }
    return paths;
}

} // namespace

O UpdatePivotParquet(G g, O self, O category, O start_date, O end_date, O strf) {
    require_str(start_date, "start_date");
    require_str(end_date, "end_date");
    py::object keys = self.attr("keys");
    py::list month_keys, months; // the remote keys of the range's months that the service holds
    for (py::handle x : months_of(g, start_date, end_date)) {
        py::str key = join_text({"ts1-", category, "-", x});
        if (keys.contains(key)) {
            month_keys.append(key);
            months.append(x);
        }
    }
    py::object db = self.attr("TS_db");
    if (py::len(month_keys) > 0) {
        // Each month straight to its task of the store's update, as that update would cut it
        // from the joined table: the join of all months (aligning every month on the union of
        // instruments) is the largest cost of a sync that changes little.
        py::object cls = direct_store_class(g, db);
        ReadAhead ahead;
        std::unique_ptr<Globals> store_globals;
        if (!cls.is_none() && own_native(py::getattr(cls, "update_pivot_parquet", py::none()), "marvane.FrameStore",
                                         "ParquetDataManager.update_pivot_parquet")) {
            store_globals = std::make_unique<Globals>(py::module_::import("marvane.FrameStore").attr("__dict__"));
            ahead.start(*store_globals, month_paths(db, category, months));
        }
        py::list tables;
        for (py::handle key : g("tqdm")(month_keys)) {
            tables.append(fetch_table(g, self, key));
            require_text_rows(g, key, tables[py::len(tables) - 1]);
            require_writable(key, tables[py::len(tables) - 1]);
            ahead.fetched(py::len(tables) - 1, tables[py::len(tables) - 1]);
        }
        std::vector<MonthTable> months;
        if (!cls.is_none()) months = split_months(g, tables);
        if (!months.empty()) {
            py::list tasks;
            for (const MonthTable &mt : months) {
                py::object path = db.attr("_get_pivot_file_path")(category, mt.year, mt.month);
                tasks.append(store_globals ? list_of(path, mt.table, strf, ahead.of(path)) : list_of(path, mt.table, strf));
            }
            tables = py::list(); // the months live on in the tasks only
            py::object work = store_globals ? month_task(*store_globals) : py::object(cls.attr("update_pivot_parquet"));
            cls.attr("run_concurrently")(tasks, work, "max_workers"_a = db.attr("max_workers"),
                                         "task_desc"_a = store::texts::updating_desc(category));
            return py::none();
        }
        ahead.stop(); // the store's update reads the months itself
        py::object df = g("pd").attr("concat")(tables, "axis"_a = 1);
        db.attr("update_pivot_category")("df"_a = df, "category"_a = category, "strf"_a = strf);
        return py::none();
    }
    if (!truthy(db.attr("_if_exists_pivot_category")(category)))
        raise(PyExc_ValueError, texts::nothing_to_update(category, start_date, end_date));
    py::object df = self.attr("GetPivotCategory")(category, py::none(), py::none());
    py::object columns = df.attr("columns");
    print_line(g, {texts::latest_date(category, columns[py::int_(-1)])});
    return py::none();
}

O UpdateUnstackParquet(G g, O self, O category) {
    py::str key = join_text({"ts1-", category});
    py::object unstack_df = fetch_table(g, self, key);
    require_writable(key, unstack_df);
    self.attr("TS_db").attr("update_unstack_category")(
        "category"_a = category, "sub_df"_a = unstack_df,
        "key_columns"_a = list_of(py::str("order_book_id"), py::str("start_date"), py::str("end_date")));
    return py::none();
}

} // namespace marvane::client
