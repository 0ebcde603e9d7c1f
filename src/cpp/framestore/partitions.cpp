// Month partition helpers: reading one file, year and month from a file name, the months of
// a category directory, and choosing a table's label set.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

O read_parquet(G g, O file_path) { return g("pd").attr("read_parquet")(file_path); }

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
    return table[table.attr("notnull")().attr("sum")("axis"_a = 1).attr("gt")(0)];
}

// Labels written with the default format parse without pandas guessing a format first (the
// guess costs more than the parse); any other labels take pandas' inference as before.
O stored_dates(G g, O labels) {
    py::object pd = g("pd");
    py::object index = pd.attr("Index")(labels);
    if (py_equal(index.attr("inferred_type"), py::str("string"))) {
        try {
            return pd.attr("to_datetime")(index, "format"_a = "%Y-%m-%d");
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return pd.attr("to_datetime")(labels);
}

} // namespace marvane::store
