// Reading one remote value: GET, then the validating reader (safepickle/safepickle.hpp).
#include "common/pyhelpers.hpp"
#include "safepickle/safepickle.hpp"
#include "tsclient/client.hpp"

namespace marvane::client {

O load_df_from_tsdb(G g, O self, O key) {
    py::object payload = self.attr(PN("r")).attr(PN("get"))(key);
    if (payload.is_none()) raise_missing_key(g, key);
    try {
        return safepickle::checked_loads(g, payload);
    } catch (py::error_already_set &e) {
        // A refusal names the key it came from ("ts1-close-202401: <reason>"), and no file of
        // this installation: a reason quoted from a library may name one (a zone key naming a
        // directory of the zone database). The exception stays the reader's own, with its class,
        // cause and traceback.
        if (e.matches(py::module_::import("pickle").attr(PN("UnpicklingError")))) {
            py::object reason = py::module_::import("re").attr("sub")(
                R"((?<![\w.~])/[^\s'"/,;:)\]]+(?:/[^\s'"/,;:)\]]*)*)", "<a path>", py::str(e.value()));
            e.value().attr(PN("args")) = py::make_tuple(join_text({key, ": ", reason}));
        }
        throw;
    }
}

} // namespace marvane::client
