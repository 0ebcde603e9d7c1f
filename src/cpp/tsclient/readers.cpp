// The local store's reads, reached through the client.
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"

namespace marvane::client {

O GetUnstackCategory(G, O self, O category) {
    return self.attr("TS_db").attr("read_unstack_category")(category);
}

O GetPivotCategory(G, O self, O category, O start_date, O end_date) {
    return self.attr("TS_db").attr("read_pivot_category")(category, start_date, end_date);
}

} // namespace marvane::client
