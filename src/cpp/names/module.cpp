// marvane._names: the store's file naming, for the package's Python tools (`python -m marvane
// info`), so that they tell month files, unstack files and temporaries apart by the very rule
// the store itself uses.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"

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
}
