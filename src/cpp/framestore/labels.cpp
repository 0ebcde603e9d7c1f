// The column labels of a pivot table as days. pandas reads a number as a time since 1970 (the
// label 20240105 would be filed as 1970-01-01), and a day outside the years that a month file
// name holds would be written to a file the store never finds again: both are refused before
// anything is written.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

#include <string>

namespace marvane::store {

O day_labels(G g, O labels) {
    py::object pd = g("pd");
    py::object days;
    if (py::type::of(labels).is(pd.attr("DatetimeIndex"))) {
        days = labels; // what to_datetime gives back for it, without its fixed cost
    } else {
        std::string kind = py::str(pd.attr("api").attr("types").attr("infer_dtype")(labels, "skipna"_a = false));
        if (kind != "string" && kind != "datetime64" && kind != "datetime" && kind != "date" && kind != "empty") {
            py::object number = py::module_::import("numbers").attr("Number");
            for (py::handle label : labels)
                if (py::isinstance(label, number))
                    raise(PyExc_ValueError, texts::label_is_number(label));
        }
        days = pd.attr("to_datetime")(labels);
    }
    if (!py::hasattr(py::type::of(days), "year")) return days; // mixed time zones: left to the caller's use
    // Years only grow with time: the earliest and the latest day tell whether any is outside.
    // Missing days (NaT) are skipped here; the path of their month fails later.
    py::object lo = days.attr("min")(), hi = days.attr("max")();
    if (truthy(pd.attr("isna")(lo))) return days; // no day at all
    const long long first = lo.attr("year").cast<long long>(), last = hi.attr("year").cast<long long>();
    if (first >= names::kFirstYear && last <= names::kLastYear) return days;
    py::object years = days.attr("year").attr("to_numpy")("dtype"_a = "float64");
    py::object np = py::module_::import("numpy");
    py::object outside = np.attr("logical_or")(years.attr("__lt__")(names::kFirstYear),
                                               years.attr("__gt__")(names::kLastYear));
    py::ssize_t at = np.attr("argmax")(outside).cast<py::ssize_t>();
    raise(PyExc_ValueError, texts::label_year_outside(labels[py::int_(at)], py::int_(years[py::int_(at)]),
                                                      names::kFirstYear, names::kLastYear));
}

} // namespace marvane::store
