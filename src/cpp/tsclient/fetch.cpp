// Reading one remote value: GET, then the validating reader (safepickle/safepickle.hpp).
#include "common/pyhelpers.hpp"
#include "safepickle/safepickle.hpp"
#include "tsclient/client.hpp"

namespace marvane::client {

O load_df_from_tsdb(G g, O self, O key) {
    py::object payload = self.attr(PN("r")).attr(PN("get"))(key);
    if (payload.is_none()) raise_missing_key(g, key);
    return safepickle::checked_loads(g, payload);
}

} // namespace marvane::client
