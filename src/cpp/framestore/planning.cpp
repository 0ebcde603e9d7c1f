// Planning downloads: which template days a pivot category does not hold yet.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

namespace {

// Days match by calendar day, whatever form the template and the labels take: each is what
// pd.Timestamp(x).normalize() makes of it. Labels are read one by one, since months written
// with different date formats sit side by side, except those of the default "YYYY-MM-DD" form,
// which are read together (their midnights). Should any of those not read together, every
// label is read one by one, so that a bad label fails as it always did.
py::set stored_days(G g, py::handle labels) {
    py::object pd = g("pd");
    py::object timestamp = pd.attr("Timestamp");
    py::set stored;
    py::list iso, other;
    for (py::handle label : labels)
        (PyUnicode_CheckExact(label.ptr()) && is_iso_day(label) ? iso : other).append(label);
    bool together = py::len(iso) > 0;
    if (together) {
        try {
            for (py::handle day : pd.attr("DatetimeIndex")(iso)) stored.add(day);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            together = false;
            stored = py::set();
        }
    }
    py::object one_by_one = together ? py::object(other) : py::reinterpret_borrow<py::object>(labels);
    for (py::handle label : one_by_one) stored.add(timestamp(label).attr("normalize")());
    return stored;
}

// The days of the template (each once) whose calendar day is not stored, in no set order.
// Days that are all pandas Timestamps without a time zone are normalized together.
py::list missing_days(G g, py::handle template_date, const py::set &stored) {
    py::object pd = g("pd");
    py::object timestamp = pd.attr("Timestamp");
    py::list days(py::set(py::reinterpret_borrow<py::object>(template_date)));
    py::object normalized;
    bool naive = py::len(days) > 0;
    for (py::handle day : days)
        if (!py::type::of(day).is(timestamp) || !day.attr("tzinfo").is_none()) {
            naive = false;
            break;
        }
    if (naive) {
        try {
            normalized = pd.attr("DatetimeIndex")(days).attr("normalize")().attr("tolist")();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    py::list missing;
    const std::size_t n = py::len(days);
    for (std::size_t i = 0; i < n; ++i) {
        py::object day = days[i];
        py::object key = normalized ? py::object(normalized[py::int_(i)]) : timestamp(day).attr("normalize")();
        if (!stored.contains(key)) missing.append(day);
    }
    return missing;
}

} // namespace

O get_download_days(G g, O self, O category, O template_date) {
    // min first, then max (an empty template fails in min); the order in which C++ evaluates
    // call arguments is unspecified, so each bound is taken on its own line.
    py::object first = g("min")(template_date);
    py::object last = g("max")(template_date);
    py::object exists_df = self.attr("read_pivot_category")("category"_a = category, "start_date"_a = first,
                                                            "end_date"_a = last);
    py::set stored = stored_days(g, exists_df.attr("columns"));
    py::list missing = missing_days(g, template_date, stored);
    missing.attr("sort")();
    return list_of(exists_df, missing);
}

} // namespace marvane::store
