// Bringing categories of the local store up to date from the remote store.
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"

#include <cstring>

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
                    py::str("Argument '{}' has incorrect type (expected {}, got {})")
                        .format(cut_name(argument), cut_name("str"), cut_name(Py_TYPE(value.ptr())->tp_name))
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
        raise(PyExc_TypeError, std::string(join_text({"the value of the remote key ", py::repr(key), " is a ",
                                                      py::type::of(value).attr("__qualname__"),
                                                      ", not a pandas DataFrame"})));
    return value;
}

} // namespace

O UpdatePivotParquet(G g, O self, O category, O start_date, O end_date, O strf) {
    require_str(start_date, "start_date");
    require_str(end_date, "end_date");
    py::object keys = self.attr("keys");
    py::list target_columns;
    for (py::handle x : months_of(g, start_date, end_date)) {
        py::str key = join_text({"ts1-", category, "-", x});
        if (keys.contains(key)) target_columns.append(key);
    }
    py::object db = self.attr("TS_db");
    if (py::len(target_columns) > 0) {
        py::list tables;
        for (py::handle column : g("tqdm")(target_columns))
            tables.append(fetch_table(g, self, column));
        py::object df = g("pd").attr("concat")(tables, "axis"_a = 1);
        db.attr("update_pivot_category")("df"_a = df, "category"_a = category, "strf"_a = strf);
        return py::none();
    }
    if (!truthy(db.attr("_if_exists_pivot_category")(category)))
        raise(PyExc_ValueError,
              std::string(join_text({"nothing to update for ", category, ": the data service has no month of ",
                                     start_date, " to ", end_date,
                                     " and the local store holds no month of it either"})));
    py::object df = self.attr("GetPivotCategory")(category, py::none(), py::none());
    py::object columns = df.attr("columns");
    print_line(g, {category, " are Latest Date: ", columns[py::int_(-1)]});
    return py::none();
}

O UpdateUnstackParquet(G g, O self, O category) {
    py::object unstack_df = fetch_table(g, self, join_text({"ts1-", category}));
    self.attr("TS_db").attr("update_unstack_category")(
        "category"_a = category, "sub_df"_a = unstack_df,
        "key_columns"_a = list_of(py::str("order_book_id"), py::str("start_date"), py::str("end_date")));
    return py::none();
}

} // namespace marvane::client
