// Construction, the host table, latency probes and the login.
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"
#include "tsclient/texts.hpp"

namespace marvane::client {

namespace {

// A probe failed when it returned the int 999 (a live host's figure is a float).
bool probe_failed(py::handle latency) {
    return PyLong_CheckExact(latency.ptr()) && py_equal(latency, py::int_(999));
}

bool less_than(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The label of the fastest host. Any host whose probe answered ranks ahead of every host
// whose probe failed; among equals the host listed first wins.
py::object fastest(G g, const py::dict &ping_dict) {
    // No host at all: min's own ValueError, as min(ping_dict, key=ping_dict.get) raises it.
    if (py::len(ping_dict) == 0) return g("min")(ping_dict, "key"_a = ping_dict.attr("get"));
    py::object best;
    bool best_failed = true;
    for (auto item : ping_dict) {
        bool failed = probe_failed(item.second);
        bool better = !best || (best_failed && !failed) ||
                      (best_failed == failed && less_than(item.second, ping_dict[best]));
        if (better) {
            best = py::reinterpret_borrow<py::object>(item.first);
            best_failed = failed;
        }
    }
    return best;
}

// Key names as text; bytes that are not UTF-8 are kept as backslash escapes.
py::list decode_names(py::handle names) {
    py::list keys;
    for (py::handle x : names) keys.append(x.attr("decode")("utf-8", "backslashreplace"));
    return keys;
}

// The second "-"-separated field of every name that has one, distinct and sorted.
py::list categories_of(const py::list &keys) {
    py::set found;
    for (py::handle s : keys) {
        py::list fields = s.attr("split")("-");
        if (py::len(fields) > 1) found.add(fields[1]);
    }
    py::list out(found);
    out.attr("sort")();
    return out;
}

} // namespace

O connect(G g, O host, O account, O api_token) {
    py::str password = join_text({py::str(account), ":", py::str(api_token)});
    return g("redis").attr("Redis")("host"_a = host, "port"_a = 6379, "password"_a = password);
}

O init(G g, O self, O account, O api_token, O save_path) {
    py::setattr(self, "account", account);
    py::setattr(self, "api_token", api_token);
    self.attr("auth")(account, api_token);
    py::object os = g("os");
    if (py_equal(os.attr("path").attr("exists")(save_path), py::bool_(false))) {
        os.attr("makedirs")(save_path);
        print_line(g, {texts::saving_dir_created(save_path)});
    } else {
        print_line(g, {texts::saving_dir_found(save_path)});
    }
    py::setattr(self, "save_path", save_path);
    py::setattr(self, "TS_db", g("ParquetDataManager")(save_path));
    return py::none();
}

O get_host_info(G, O) {
    // The deployment's host; callers reach their own service by overriding this method.
    py::dict host_dict;
    host_dict["上海-1"] = py::str("shanghai-1.tessel.invalid");
    return host_dict;
}

O get_auth_ping(G g, O host, O account, O api_token) {
    try {
        py::object temp_r = connect(g, host, account, api_token);
        return g("TesselClient").attr("measure_latency")(temp_r);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::int_(999);
    }
}

O measure_latency(G g, O r) {
    py::object start_time = g("time").attr("time")();
    r.attr("ping")();
    py::object latency_ms = (g("time").attr("time")() - start_time) * py::int_(1000);
    return g("round")(latency_ms, 2);
}

O auth(G g, O self, O account, O api_token) {
    py::object host_dict = self.attr("get_host_info")();
    py::object probe = g("TesselClient").attr("get_auth_ping");
    py::dict ping_dict;
    for (py::handle k : host_dict) ping_dict[k] = probe(host_dict[k], account, api_token);
    py::object min_key = fastest(g, ping_dict);
    print_line(g, {texts::host_chosen(min_key, ping_dict[min_key])});

    py::setattr(self, "r", connect(g, host_dict[min_key], account, api_token));
    if (truthy(self.attr("r").attr("ping")())) {
        print_line(g, {texts::auth_succeeded(account)});
        py::list keys = decode_names(self.attr("r").attr("keys")());
        py::setattr(self, "keys", keys);
        py::setattr(self, "r_category", categories_of(keys));
    }
    return py::none();
}

} // namespace marvane::client
