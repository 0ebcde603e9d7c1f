// The operations of TesselClient and the module function timing_decorator. Each takes the
// module's globals first, then the operation's parameters in order (`self` first for
// instance methods).
#pragma once

#include "common/pyhelpers.hpp"

namespace marvane::client {

using G = const Globals &;
using O = py::object;

// login.cpp: construction, host table, latency probes, login
O init(G g, O self, O account, O api_token, O save_path);
O get_auth_ping(G g, O host, O account, O api_token);
O measure_latency(G g, O r);
O get_host_info(G g, O self);
O auth(G g, O self, O account, O api_token);

// fetch.cpp: one remote value, read with the restricted unpickler
O load_df_from_tsdb(G g, O self, O key);

// sync.cpp: remote categories into the local store
O UpdateUnstackParquet(G g, O self, O category);
O UpdatePivotParquet(G g, O self, O category, O start_date, O end_date, O strf);

// readers.cpp: the local store's reads, through the client
O GetUnstackCategory(G g, O self, O category);
O GetPivotCategory(G g, O self, O category, O start_date, O end_date);

// timing.cpp
O timing_decorator(G g, O func);

// Shared by the operations above.
O connect(G g, O host, O account, O api_token); // redis.Redis(host=, port=6379, password=)
// missing_key.cpp: the error of a fetch whose key the remote store does not hold.
[[noreturn]] void raise_missing_key(G g, py::handle key);

} // namespace marvane::client
