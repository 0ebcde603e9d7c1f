// Rules of time: zones (zoneinfo keys, pytz and dateutil zones, a zone key never a path), date
// offsets (pandas' offset classes with their known fields, each checked), timestamps and
// durations (a known resolution, seconds to nanoseconds) and NaT. datetime's own types are
// plain calls.
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

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

// dateutil zones, made from what names them only. tzutc: nothing. tzoffset: NEWOBJ with BUILD
// of a name and an offset under a day. tzfile: (None, path) with BUILD of the zone file's
// parsed transitions: the zone is made anew from its key, the path's part after "zoneinfo/"
// (or the path itself when it is a bare key); neither the path nor the pickled transitions are
// used. _ttinfo: the transitions' entries, which that state holds and nothing else uses
// (read only where the installed dateutil still has the class, as pickle.loads needs it).
Obj dateutil_utc(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 0, 1);
    if (c.states.size() == 1 && !c.states[0].is_none()) fields(L, r, c.states[0], {});
    return L.real(r)();
}

Obj dateutil_offset(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 1);
    Obj name = py::none(), delta = py::none();
    if (c.states.size() == 1) {
        expect_args(L, r, c, 0, 0);
        py::dict d = fields(L, r, c.states[0], {"_name", "_offset"});
        name = get(d, PN("_name"));
        delta = get(d, PN("_offset"));
    } else {
        expect_args(L, r, c, 2, 2);
        name = c.args[0];
        delta = c.args[1];
    }
    if (!name.is_none() && (!is_str(name) || length(name) > 64)) refuse(L, r, "zone name " + short_repr(name));
    py::handle timedelta = lib("datetime", "timedelta");
    if (is_int(delta)) delta = timedelta("seconds"_a = delta);
    if (!is_a(delta, timedelta) || std::abs(delta.attr(PN("total_seconds"))().cast<double>()) >= 86400)
        refuse(L, r, "offset " + short_repr(delta));
    return L.real(r)(name, delta);
}

Obj dateutil_file(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 1);
    if (!c.args[0].is_none() || !is_str(c.args[1])) refuse(L, r, "arguments " + short_repr(c.args));
    std::string path = py::str(c.args[1]);
    std::size_t at = path.rfind("zoneinfo/");
    std::string key = at == std::string::npos ? path : path.substr(at + 9);
    zone_key(L, r, py::str(key));
    Obj zone = lib("dateutil.tz", "gettz")(py::str(key));
    if (!is_a(zone, lib("datetime", "tzinfo"))) refuse(L, r, "unknown time zone " + short_repr(py::str(key)));
    // a dateutil whose zones this pandas cannot convert with (its internals moved) is refused
    // here, as pickle.loads fails there, rather than giving a frame that fails when used
    try {
        lib("pandas", "Timestamp")("2000-01-01", "tz"_a = zone);
    } catch (py::error_already_set &e) {
        refuse(L, r, "a dateutil zone this pandas cannot use: " + std::string(py::str(e.value())));
    }
    return zone;
}

Obj dateutil_ttinfo(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 0, 1);
    // a dateutil without the class (4.0 on) cannot read such a zone, nor can pandas: refused too
    L.real(r);
    if (c.states.size() == 1) {
        py::dict d = fields(L, r, c.states[0], {"offset", "delta", "isdst", "abbr", "isstd", "isgmt", "dstoffset"});
        plain(L, r, d);
    }
    return py::none();
}

// datetime.tzinfo(): the empty state protocols 0 and 1 give a dateutil zone's base.
Obj tzinfo_base(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 0);
    expect_states(L, r, c, 0, 0);
    return L.real(r)();
}

// pytz.FixedOffset(minutes): under a day; without pytz, the same offset from datetime.
Obj pytz_fixed(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 1);
    expect_states(L, r, c, 0, 0);
    if (!is_int(c.args[0]) || std::llabs(c.args[0].cast<long long>()) >= 1440) refuse(L, r, "offset " + short_repr(c.args[0]));
    try {
        return call(L.real(r), c.args);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return lib("datetime", "timezone")(lib("datetime", "timedelta")("minutes"_a = c.args[0]));
}

// Date offsets: cls(n, normalize, <the class's own fields>) as every pandas since 1.1 pickles
// them, or NEWOBJ with BUILD of plain fields (older). Only pandas' offset classes with known
// fields are made: n and normalize bounded, weekdays and months within their range, holidays a
// bounded list of dates, a weekmask of day names or 0/1 digits, times of day, a timedelta.
namespace {

constexpr long long kMaxOffsetN = 1000000000LL;
constexpr std::size_t kMaxHolidays = 10000;

enum class Field { N, Normalize, Weekday, Month, DayOfMonth, Weekmask, Holidays, Calendar, Delta, Times };

const std::vector<Field> &offset_fields(const std::string &name) {
    using F = Field;
    static const std::map<std::string, std::vector<Field>> table = {
        {"Day", {F::N, F::Normalize}}, {"Hour", {F::N, F::Normalize}}, {"Minute", {F::N, F::Normalize}},
        {"Second", {F::N, F::Normalize}}, {"Milli", {F::N, F::Normalize}}, {"Micro", {F::N, F::Normalize}},
        {"Nano", {F::N, F::Normalize}},
        {"MonthEnd", {F::N, F::Normalize}}, {"MonthBegin", {F::N, F::Normalize}},
        {"BusinessMonthEnd", {F::N, F::Normalize}}, {"BusinessMonthBegin", {F::N, F::Normalize}},
        {"Week", {F::N, F::Normalize, F::Weekday}},
        {"QuarterEnd", {F::N, F::Normalize, F::Month}}, {"QuarterBegin", {F::N, F::Normalize, F::Month}},
        {"BQuarterEnd", {F::N, F::Normalize, F::Month}}, {"BQuarterBegin", {F::N, F::Normalize, F::Month}},
        {"YearEnd", {F::N, F::Normalize, F::Month}}, {"YearBegin", {F::N, F::Normalize, F::Month}},
        {"BYearEnd", {F::N, F::Normalize, F::Month}}, {"BYearBegin", {F::N, F::Normalize, F::Month}},
        {"SemiMonthEnd", {F::N, F::Normalize, F::DayOfMonth}}, {"SemiMonthBegin", {F::N, F::Normalize, F::DayOfMonth}},
        {"BusinessDay", {F::N, F::Normalize, F::Delta}},
        {"BusinessHour", {F::N, F::Normalize, F::Times, F::Times, F::Delta}},
        {"CustomBusinessDay", {F::N, F::Normalize, F::Weekmask, F::Holidays, F::Calendar, F::Delta}},
    };
    static const std::vector<Field> none;
    auto it = table.find(name);
    return it == table.end() ? none : it->second;
}

void offset_argument(Load &L, const Rule &r, Field f, py::handle v) {
    auto bad = [&](const char *what) { refuse(L, r, std::string(what) + " " + short_repr(v)); };
    auto int_in = [&](long long lo, long long hi) {
        return is_int(v) && v.cast<long long>() >= lo && v.cast<long long>() <= hi;
    };
    switch (f) {
    case Field::N:
        if (!int_in(-kMaxOffsetN, kMaxOffsetN)) bad("n");
        break;
    case Field::Normalize:
        if (!PyBool_Check(v.ptr())) bad("normalize");
        break;
    case Field::Weekday:
        if (!v.is_none() && !int_in(0, 6)) bad("weekday");
        break;
    case Field::Month:
        if (!v.is_none() && !int_in(1, 12)) bad("month");
        break;
    case Field::DayOfMonth:
        if (!v.is_none() && !int_in(1, 31)) bad("day of month");
        break;
    case Field::Weekmask: {
        if (!is_str(v) || length(v) > 64) bad("weekmask");
        for (char ch : std::string(py::str(v)))
            if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '0' || ch == '1' || ch == ' ')) bad("weekmask");
        break;
    }
    case Field::Holidays:
        if (!PyTuple_Check(v.ptr()) && !PyList_Check(v.ptr())) bad("holidays");
        if (length(v) > kMaxHolidays) L.over_limit("size (" + std::to_string(length(v)) + " holidays)");
        for (py::handle day : v)
            if (!is_a(day, lib("numpy", "datetime64")) && !is_a(day, lib("datetime", "date"))) bad("a holiday");
        break;
    case Field::Calendar:
        if (!v.is_none()) bad("calendar");
        break;
    case Field::Delta:
        if (!v.is_none() && !is_a(v, lib("datetime", "timedelta"))) bad("offset");
        break;
    case Field::Times:
        if (!PyTuple_Check(v.ptr()) && !PyList_Check(v.ptr()) && !is_str(v) && !is_a(v, lib("datetime", "time"))) bad("hours");
        if (PyTuple_Check(v.ptr()) || PyList_Check(v.ptr())) {
            if (length(v) > 24) bad("hours");
            for (py::handle t : v)
                if (!is_a(t, lib("datetime", "time")) && !is_str(t)) bad("hours");
        }
        break;
    }
}

} // namespace

Obj offset(Load &L, const Rule &r, Call &c) {
    expect_states(L, r, c, 0, 1);
    const std::vector<Field> &known = offset_fields(r.name);
    if (c.states.size() == 0) {
        // cls(n, normalize, fields...): each argument checked for the field it fills
        expect_args(L, r, c, 0, known.size());
        for (std::size_t i = 0; i < c.args.size(); ++i) offset_argument(L, r, known[i], c.args[i]);
        return call(L.real(r), c.args);
    }
    expect_args(L, r, c, 0, 0);
    py::dict d = fields(L, r, c.states[0], {"n", "normalize", "_cache", "offset", "_offset", "_use_relativedelta",
                                            "weekday", "startingMonth", "month", "_period_dtype_code", "_n"});
    py::dict kept;
    for (auto kv : d) {
        std::string key = py::str(kv.first);
        if (key == "_cache") continue;
        py::handle v = kv.second;
        if (key == "n" || key == "_n") offset_argument(L, r, Field::N, v);
        else if (key == "normalize") offset_argument(L, r, Field::Normalize, v);
        else if (key == "weekday") offset_argument(L, r, Field::Weekday, v);
        else if (key == "startingMonth" || key == "month") offset_argument(L, r, Field::Month, v);
        else if (!(is_int(v) || v.is_none() || is_a(v, lib("datetime", "timedelta"))))
            refuse(L, r, "offset field " + short_repr(kv.first));
        kept[kv.first] = v;
    }
    return new_with_state(L, r, kept);
}

// _unpickle_timestamp(value, freq, tz, reso) and _timedelta_unpickle(value, reso): a known
// resolution (seconds to nanoseconds).
// pandas 1.x pickled a Timestamp as (value, freq, tz), without a resolution; pandas 3 drops
// the freq. The Timedelta class itself: Timedelta(nanoseconds) (pandas 1.3 and 1.4).
Obj time_scalar(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    std::size_t n = c.args.size();
    if (n < 1 || !is_int(c.args[0])) refuse(L, r, "arguments " + short_repr(c.args));
    std::string name = r.name;
    bool timestamp = name == "_unpickle_timestamp";
    if (name == "Timedelta" && n != 1) refuse(L, r, "arguments " + short_repr(c.args));
    if (timestamp && (n < 3 || n > 4)) refuse(L, r, "arguments " + short_repr(c.args));
    if (timestamp) {
        py::handle freq = c.args[1], tz = c.args[2];
        if (!freq.is_none() && !is_str(freq) && !is_a(freq, lib("pandas._libs.tslibs.offsets", "BaseOffset")))
            refuse(L, r, "freq " + short_repr(freq));
        if (!tz.is_none() && !is_a(tz, lib("datetime", "tzinfo"))) refuse(L, r, "tz " + short_repr(tz));
    }
    py::handle reso = c.args[n - 1];
    if (n == (timestamp ? 4 : 2) && (!is_int(reso) || reso.cast<long long>() < 7 || reso.cast<long long>() > 10))
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
