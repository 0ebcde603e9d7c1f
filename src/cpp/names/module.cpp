// marvane._names: the store's file naming, for the package's Python tools (`python -m marvane
// info`), so that they tell month files, unstack files and temporaries apart by the very rule
// the store itself uses; and, for tests of its own, the cell loops and the label plan of the
// float64 month merge.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/label_plan.hpp"
#include "framestore/merge_kernel.hpp"
#include "framestore/store.hpp"

PYBIND11_MODULE(_names, m) {
    namespace n = marvane::names;
    m.attr("TEMPORARY_PREFIX") = n::kTemporaryPrefix;
    m.def(
        "classify",
        [](py::object directory, py::object category, py::object name) {
            return n::classify(py::module_::import("os"), directory, category, name);
        },
        py::arg("directory"), py::arg("category"), py::arg("name"),
        "What the entry `name` of a category directory is: ('month', 'YYYY-MM'), ('unstack', None),\n"
        "('temporary', None) or ('other', None).");
    m.def(
        "month_file_name",
        [](py::object category, py::object year, py::object month) {
            return n::month_file_name(category, year, month);
        },
        py::arg("category"), py::arg("year"), py::arg("month"),
        "The name of the month file of `category` for `year` and `month` (integers).");
    m.def(
        "unstack_file_name", [](py::object category) { return n::unstack_file_name(category); },
        py::arg("category"), "The name of the unstack file of `category`.");

    m.def(
        "check_file",
        [](py::object path) {
            // the store's own check, made before any read: magic bytes, footer, column data
            py::object file = py::module_::import("io").attr("open")(path, "rb");
            marvane::with_context(file, [&](py::object f) { marvane::store::check_parquet_file(f, path); });
        },
        py::arg("path"),
        "Raise ValueError naming `path` when the file's shape is not a readable Parquet file's\n"
        "(magic bytes at both ends, a well-formed footer, column data within the file); only the\n"
        "ends of the file are read.");

    namespace k = marvane::merge_kernel;
    m.def(
        "_cells_differ", [](py::object stored, py::object incoming) { return k::cells_differ(stored, incoming); },
        py::arg("stored"), py::arg("incoming"),
        "Whether any cell of `incoming` differs from the cell of `stored` at its place (NaN equals NaN).");
    m.def(
        "_fill_cells",
        [](py::object stored, py::object incoming) {
            auto [values, keep] = k::fill_cells(stored, incoming);
            return py::make_tuple(values, keep);
        },
        py::arg("stored"), py::arg("incoming"),
        "(values, keep): the stored cells, NaN cells taking the new value; keep marks the rows left\n"
        "with a value, or is None when every row is.");
    m.def(
        "_label_union",
        [](py::object stored, py::object incoming) -> py::object {
            py::object pd = py::module_::import("pandas");
            auto plan = marvane::label_plan::text_axis(pd, stored, incoming);
            if (!plan) plan = marvane::label_plan::day_axis(pd, stored, incoming);
            if (!plan) return py::none();
            return marvane::label_plan::union_index(stored, incoming, *plan);
        },
        py::arg("stored"), py::arg("incoming"),
        "The union of two row (text) or day axes as the month merge's label plan makes it, or None\n"
        "when the plan leaves them to pandas.");
}
