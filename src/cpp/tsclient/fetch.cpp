// Reading one remote value: GET, then the validating reader (unpickler.hpp).
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"
#include "safepickle/reader.hpp"

namespace marvane::client {

O load_df_from_tsdb(G g, O self, O key) {
    py::object payload = self.attr(PN("r")).attr(PN("get"))(key);
    if (payload.is_none()) raise_missing_key(g, key);
    return unpickle::checked_loads(g, payload);
}

} // namespace marvane::client
