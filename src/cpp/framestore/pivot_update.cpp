// Writing a whole pivot table: one task per calendar month, merged in parallel.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

namespace marvane::store {

O update_pivot_category(G g, O self, O df, O category, O strf) {
    require_frame(g, df, "df");
    py::object pd = g("pd");
    df.attr("columns") = day_labels(g, df.attr("columns")); // the caller's object
    py::object columns = df.attr("columns");

    // Group column positions by (year, month): groups come in ascending month order, each
    // keeps the table's column order and every row, and no transpose touches the dtypes.
    py::object positions = pd.attr("Series")(py::module_::import("builtins").attr("range")(py::len(columns)));
    py::list keys;
    keys.append(columns.attr("year"));
    keys.append(columns.attr("month"));
    py::object grouped = positions.attr("groupby")(keys);

    py::object cls = store_class(g);
    py::object work_function = cls.attr("update_pivot_parquet");
    py::object iloc = df.attr("iloc");
    py::object np = py::module_::import("numpy");
    py::list tasks;
    for (py::handle group : grouped) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(group);
        py::tuple year_month = pair[0];
        py::object cols = pair[1].attr("to_numpy")();
        // A month whose columns lie side by side (dates in order) is taken as a slice, which
        // shares the table's values instead of copying them.
        const auto n = static_cast<py::ssize_t>(py::len(cols));
        const auto first = cols[py::int_(0)].cast<py::ssize_t>();
        bool contiguous = cols[py::int_(-1)].cast<py::ssize_t>() - first + 1 == n &&
                          truthy(np.attr("all")(np.attr("diff")(cols).attr("__eq__")(1)));
        py::object selector = contiguous ? py::object(py::slice(first, first + n, 1)) : cols;
        py::object sub_df = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), selector)];
        py::object path = self.attr("_get_pivot_file_path")(category, year_month[0], year_month[1]);
        tasks.append(list_of(path, sub_df, strf));
    }
    cls.attr("run_concurrently")(tasks, work_function, "max_workers"_a = self.attr("max_workers"),
                                 "task_desc"_a = texts::updating_desc(category));
    return py::none();
}

} // namespace marvane::store
