// Rules of time: zones (zoneinfo keys and pytz zones, a zone key never a path), date offsets
// (plain integer, None or timedelta fields only), timestamps and durations (a known
// resolution, seconds to nanoseconds) and NaT. datetime's own types are plain calls.
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <string>

namespace marvane::safepickle::rules {

// zoneinfo.ZoneInfo._unpickle(key[, from_cache]), reached through getattr at load.
Obj zone_unpickle(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 2);
    zone_key(L, r, c.args[0]);
    return call_plain(L, r, c);
}

// pytz zones of older pickles; without pytz, the same zone from zoneinfo.
Obj pytz_zone(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_states(L, r, c, 0, 0);
    std::string name = r.name;
    if (name == "_p") {
        if (c.args.size() < 1) refuse(L, r, "no zone named");
        zone_key(L, r, c.args[0]);
    }
    try {
        return call(L.real(r), c.args);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    if (name == "_UTC" || py_equal(c.args[0], py::str("UTC")))
        return lib("datetime", "timezone").attr(PN("utc"));
    return lib("zoneinfo", "ZoneInfo")(c.args[0]);
}

// Date offsets: NEWOBJ with BUILD({n, normalize, ...}) of plain values.
Obj offset(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 1);
    if (c.states.size() == 0) return call_plain(L, r, c);
    expect_args(L, r, c, 0, 0);
    py::dict d = fields(L, r, c.states[0], {"n", "normalize", "_cache", "offset", "_offset", "_use_relativedelta",
                                            "weekday", "startingMonth", "month", "_period_dtype_code", "_n"});
    py::dict kept;
    for (auto kv : d) {
        if (py::str(kv.first).cast<std::string>() == "_cache") continue;
        py::handle v = kv.second;
        if (!(PyLong_Check(v.ptr()) || v.is_none() || is_a(v, lib("datetime", "timedelta"))))
            refuse(L, r, "offset field " + short_repr(kv.first));
        kept[kv.first] = v;
    }
    return new_with_state(L, r, kept);
}

// _unpickle_timestamp(value, freq, tz, reso) and _timedelta_unpickle(value, reso): a known
// resolution (seconds to nanoseconds).
Obj time_scalar(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    std::size_t n = c.args.size();
    if (n < 1 || !is_int(c.args[0])) refuse(L, r, "arguments " + short_repr(c.args));
    py::handle reso = c.args[n - 1];
    if (n >= 2 && (!is_int(reso) || reso.cast<long long>() < 7 || reso.cast<long long>() > 10))
        refuse(L, r, "resolution " + short_repr(reso));
    return call_plain(L, r, c);
}

// NaT, under the name the installed pandas gives it.
Obj nat(Load &L, const Rule &r, Call &c) {
    expect_plain_call(L, r, c);
    Obj m = module("pandas._libs.tslibs.nattype");
    return (py::hasattr(m, "_nat_unpickle") ? m.attr(PN("_nat_unpickle")) : m.attr(PN("__nat_unpickle")))(*c.args);
}

} // namespace marvane::safepickle::rules
