// Rules of builtins and codecs: bytes and bytearray only from bytes, latin1 text, the pickle's
// integers or a size within the payload's bound; sets only from the pickle's own items or a
// range within the bound; _codecs.encode only with "latin1"; getattr only as read at load
// (zoneinfo's _unpickle); copy_reg._reconstructor only of a class of the allow-list over
// object (a dateutil zone over datetime.tzinfo), read as that class's own rule.
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <string>

namespace marvane::safepickle::rules {

Obj codecs_encode(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    if (!is_str(c.args[0]) || !py_equal(c.args[1], py::str("latin1")))
        refuse(L, r, "only text encoded as \"latin1\" is accepted, not " + short_repr(c.args[1]));
    return call_plain(L, r, c);
}

// bytes / bytearray: from bytes, from text and an encoding, from a list of the pickle's
// integers, or a zero-filled size within the bound.
Obj bytes_like(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 2);
    if (c.args.size() >= 1) {
        py::handle a = c.args[0];
        if (is_int(a) && a.cast<long long>() > static_cast<long long>(L.item_bound()))
            L.over_limit("size (" + global_name(r) + " of " + short_repr(a) + " bytes)");
        if (!is_int(a) && !is_str(a) && !PyBytes_Check(a.ptr()) && !PyByteArray_Check(a.ptr()) &&
            !PyList_Check(a.ptr()))
            refuse(L, r, "made from " + short_repr(a));
        if (c.args.size() == 2 && !(is_str(a) && py_equal(c.args[1], py::str("latin1"))))
            refuse(L, r, "only text encoded as \"latin1\" is accepted");
    }
    return call_plain(L, r, c);
}

// range(...): lazy, but counted at its length (a set or an index spells it out).
Obj lazy_range(Load &L, const Rule &r, Call &c) {
    Obj made = call_plain(L, r, c);
    if (length(made) > L.item_bound()) L.over_limit("size (" + global_name(r) + " of " + short_repr(made) + ")");
    return made;
}

Obj set_like(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 0, 1);
    if (c.args.size() == 1) {
        py::handle a = c.args[0];
        bool container = PyList_Check(a.ptr()) || PyTuple_Check(a.ptr()) || PyAnySet_Check(a.ptr());
        if (PyRange_Check(a.ptr())) {
            if (length(a) > L.item_bound()) L.over_limit("size (" + global_name(r) + " of " + short_repr(a) + ")");
        } else if (!container) refuse(L, r, "made from " + short_repr(a));
    }
    return call_plain(L, r, c);
}

// getattr is read at load time (see standins.cpp): it is met here only when called again.
Obj getattr_rule(Load &L, const Rule &r, Call &) { refuse(L, r, "getattr of anything else"); }

// protocols 0 and 1: copy_reg._reconstructor(cls, object, None) (or a dateutil zone over
// datetime.tzinfo), then BUILD; read as the
// class's own rule would read NEWOBJ(cls) and the same BUILD.
Obj reconstructor(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    const Rule *target = rule_of(c.args[0]);
    std::string base = standin_name(c.args[1]);
    // a time zone class of dateutil: (cls, datetime.tzinfo, tzinfo()), its base's empty state
    bool zone = target && std::string(target->module) == "dateutil.tz.tz" && base == "tzinfo" &&
                Py_TYPE(c.args[2].ptr()) == reinterpret_cast<PyTypeObject *>(lib("datetime", "tzinfo").ptr());
    if (!target || !target->build || !((base == "object" && c.args[2].is_none()) || zone))
        refuse(L, r, "reconstructing " + short_repr(c.args[0]));
    Call inner{py::tuple(), py::none(), c.states};
    return target->build(L, *target, inner);
}

} // namespace marvane::safepickle::rules
