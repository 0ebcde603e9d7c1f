// Planning downloads: which template days a pivot category does not hold yet.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

O get_download_days(G g, O self, O category, O template_date) {
    py::object pd = g("pd");
    py::object exists_df = self.attr("read_pivot_category")(
        "category"_a = category, "start_date"_a = g("min")(template_date),
        "end_date"_a = g("max")(template_date));
    // Days match by calendar day, whatever form the template and the labels take.
    py::set stored;
    for (py::handle day : stored_dates(g, exists_df.attr("columns")).attr("normalize")())
        stored.add(day);
    py::list missing;
    for (py::handle day : py::set(template_date))
        if (!stored.contains(pd.attr("Timestamp")(day).attr("normalize")())) missing.append(day);
    missing.attr("sort")();
    return list_of(exists_df, missing);
}

} // namespace marvane::store
