// Planning downloads: which template days a pivot category does not hold yet.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

O get_download_days(G g, O self, O category, O template_date) {
    py::object pd = g("pd");
    // min first, then max (an empty template fails in min); the order in which C++ evaluates
    // call arguments is unspecified, so each bound is taken on its own line.
    py::object first = g("min")(template_date);
    py::object last = g("max")(template_date);
    py::object exists_df = self.attr("read_pivot_category")("category"_a = category, "start_date"_a = first,
                                                            "end_date"_a = last);
    // Days match by calendar day, whatever form the template and the labels take. Labels
    // are parsed one by one: months written with different date formats sit side by side.
    py::set stored;
    for (py::handle label : exists_df.attr("columns"))
        stored.add(pd.attr("Timestamp")(label).attr("normalize")());
    py::list missing;
    for (py::handle day : py::set(template_date))
        if (!stored.contains(pd.attr("Timestamp")(day).attr("normalize")())) missing.append(day);
    missing.attr("sort")();
    return list_of(exists_df, missing);
}

} // namespace marvane::store
