// Rules of numpy: dtypes rebuilt from their descriptor, byte order and datetime unit only (no
// flags, fields or subarrays); arrays whose bytes are exactly shape x item size, object arrays
// only from a list of the pickled objects of exactly shape's size, dates and durations only
// with a unit; scalars from exactly their dtype's bytes.
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <cstdint>
#include <set>
#include <string>

namespace marvane::safepickle::rules {

// dtype(descriptor, align, copy) with BUILD(state): the descriptor, byte order and a datetime
// unit are read; the state's other fields must be numpy's own for that dtype (no fields or
// subarrays, no flags or item size of their own).
Obj numpy_dtype(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 3);
    expect_states(L, r, c, 0, 1);
    if (!is_str(c.args[0])) refuse(L, r, "a descriptor that is not text");
    std::string descr = py::str(c.args[0]);
    static const std::set<std::string> fixed = {"b1", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
                                                "f2", "f4", "f8", "f16", "f12", "c8", "c16", "c32",
                                                "c24", "O4", "O8", "M8", "m8"};
    bool flexible = descr.size() >= 2 && (descr[0] == 'U' || descr[0] == 'S' || descr[0] == 'V') &&
                    descr.find_first_not_of("0123456789", 1) == std::string::npos && descr.size() <= 11;
    if (!fixed.count(descr) && !flexible) refuse(L, r, "descriptor " + short_repr(c.args[0]));
    std::string order = "";
    std::string unit;
    py::handle meta_dict = py::none();
    if (c.states.size() == 1) {
        py::handle s = c.states[0];
        if (!PyTuple_Check(s.ptr()) || length(s) < 8) refuse(L, r, "a state that is not a dtype's");
        py::tuple st = py::reinterpret_borrow<py::tuple>(s);
        if (!st[2].is_none() || !st[3].is_none() || !st[4].is_none())
            refuse(L, r, "structured or subarray dtypes");
        std::string bo = is_str(st[1]) ? std::string(py::str(st[1])) : "?";
        if (bo != "<" && bo != ">" && bo != "|" && bo != "=") refuse(L, r, "byte order " + short_repr(st[1]));
        order = bo == "|" ? "" : bo;
        if (descr == "M8" || descr == "m8") {
            // the last entry: (metadata, (unit, count, 1, 1)), or the unit tuple itself
            py::handle meta = st[length(st) - 1];
            if (PyTuple_Check(meta.ptr()) && length(meta) == 2) {
                meta_dict = py::reinterpret_borrow<py::tuple>(meta)[0];
                meta = py::reinterpret_borrow<py::tuple>(meta)[1];
            }
            if (PyTuple_Check(meta.ptr()) && length(meta) == 4) {
                py::tuple m = py::reinterpret_borrow<py::tuple>(meta);
                Obj u = m[0];
                if (PyBytes_Check(u.ptr())) u = u.attr(PN("decode"))("ascii");
                static const std::set<std::string> units = {"Y", "M", "W", "D", "h", "m", "s", "ms",
                                                            "us", "ns", "ps", "fs", "as", "generic"};
                if (!is_str(u) || !units.count(std::string(py::str(u))) || !is_int(m[1]))
                    refuse(L, r, "datetime unit " + short_repr(meta));
                long long num = m[1].cast<long long>();
                if (num < 1 || num > 1000000) refuse(L, r, "datetime unit " + short_repr(meta));
                // numpy reads a denominator and event count too; its own dtypes carry 1 in both
                if (!py_equal(m[2], py::int_(1)) || !py_equal(m[3], py::int_(1)))
                    refuse(L, r, "datetime unit " + short_repr(meta));
                unit = std::string(py::str(u));
                if (unit != "generic") unit = "[" + (num == 1 ? "" : std::to_string(num)) + unit + "]";
                else unit = "";
            }
        }
    }
    Obj made = lib("numpy", "dtype")(py::str(order + descr + unit));
    if (c.states.size() == 1) {
        // numpy applies the state's version, item size, alignment, flags and metadata as they
        // stand (an item size resizes text items; flags may claim objects): each must be what
        // numpy writes for the dtype read here, or the dtype would not be the one pickle makes
        py::tuple st = py::reinterpret_borrow<py::tuple>(c.states[0]);
        py::tuple own = made.attr(PN("__reduce__"))()[py::int_(2)];
        bool same = length(st) == length(own) && is_int(st[0]) && py_equal(st[0], own[0]);
        for (std::size_t i = 5; same && i < 8; ++i) same = is_int(st[i]) && py_equal(st[i], own[i]);
        if (!same) refuse(L, r, "a dtype state " + short_repr(st) + " other than numpy's own for " + short_repr(made));
        if (!meta_dict.is_none() && !(PyDict_Check(meta_dict.ptr()) && PyDict_Size(meta_dict.ptr()) == 0))
            refuse(L, r, "dtype metadata " + short_repr(meta_dict));
    }
    return made;
}

bool is_dtype(py::handle h) { return is_a(h, lib("numpy", "dtype")); }

namespace {

// Arrays and scalars of dates or durations carry a unit ("M8" alone has none); no void items,
// which no pandas operation takes.
void expect_time_unit(Load &L, const Rule &r, py::handle dtype) {
    std::string k = py::str(dtype.attr(PN("kind")));
    if (k == "V") refuse(L, r, "void items (dtype " + short_repr(dtype) + ")");
    if (k != "M" && k != "m") return;
    py::tuple data = lib("numpy", "datetime_data")(dtype);
    std::string unit = py::str(data[0]);
    if (unit == "generic") refuse(L, r, "an array of dates or durations without a unit");
}

} // namespace

// _reconstruct(ndarray, (0,), b"b") with BUILD((1, shape, dtype, fortran, data)).
Obj numpy_reconstruct(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 3, 3);
    expect_states(L, r, c, 1, 1);
    if (standin_name(c.args[0]) != "ndarray" || !py_equal(c.args[1], py::make_tuple(0)))
        refuse(L, r, "an array other than a plain ndarray");
    py::handle s = c.states[0];
    if (!PyTuple_Check(s.ptr()) || length(s) != 5) refuse(L, r, "an array state that is not (version, shape, dtype, fortran, data)");
    py::tuple st = py::reinterpret_borrow<py::tuple>(s);
    if (!is_int(st[0]) || !is_dtype(st[2]) || !PyBool_Check(st[3].ptr()))
        refuse(L, r, "an array state " + short_repr(s));
    std::uint64_t n = checked_product(L, r, st[1]);
    Obj dtype = st[2];
    py::handle data = st[4];
    if (truthy(dtype.attr(PN("hasobject")))) {
        if (!PyList_Check(data.ptr()) || length(data) != n)
            refuse(L, r, "an object array whose items are not a list of its size");
    } else {
        if (!PyBytes_Check(data.ptr()) && !PyByteArray_Check(data.ptr()))
            refuse(L, r, "array data that is not bytes");
        expect_time_unit(L, r, dtype);
        std::uint64_t itemsize = dtype.attr(PN("itemsize")).cast<std::uint64_t>();
        if (length(data) != n * itemsize)
            refuse(L, r, "array data of " + std::to_string(length(data)) + " bytes for " +
                             std::to_string(n) + " items of " + std::to_string(itemsize));
    }
    Obj array = L.real(r)(lib("numpy", "ndarray"), py::make_tuple(0), py::bytes("b"));
    array.attr(PN("__setstate__"))(py::make_tuple(st[0], st[1], dtype, st[3], data));
    return array;
}

// _frombuffer(buffer, dtype, shape, order): protocol 5's arrays.
Obj numpy_frombuffer(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 4, 4);
    expect_states(L, r, c, 0, 0);
    py::handle buf = c.args[0], dtype = c.args[1];
    if (!PyByteArray_Check(buf.ptr()) && !PyBytes_Check(buf.ptr())) refuse(L, r, "a buffer that is not bytes");
    if (!is_dtype(dtype) || truthy(dtype.attr(PN("hasobject")))) refuse(L, r, "an object dtype from a buffer");
    expect_time_unit(L, r, dtype);
    std::uint64_t n = checked_product(L, r, c.args[2]);
    if (!py_equal(c.args[3], py::str("C")) && !py_equal(c.args[3], py::str("F")))
        refuse(L, r, "order " + short_repr(c.args[3]));
    if (length(buf) != n * dtype.attr(PN("itemsize")).cast<std::uint64_t>())
        refuse(L, r, "a buffer of " + std::to_string(length(buf)) + " bytes for shape " + short_repr(c.args[2]));
    return call(L.real(r), c.args);
}

// scalar(dtype, bytes): a numpy scalar of a non-object dtype, from exactly its bytes.
Obj numpy_scalar(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 2, 2);
    expect_states(L, r, c, 0, 0);
    py::handle dtype = c.args[0], data = c.args[1];
    if (!is_dtype(dtype) || truthy(dtype.attr(PN("hasobject")))) refuse(L, r, "a scalar of dtype " + short_repr(dtype));
    if (!PyBytes_Check(data.ptr()) || length(data) != dtype.attr(PN("itemsize")).cast<std::size_t>())
        refuse(L, r, "scalar bytes that do not match its dtype");
    expect_time_unit(L, r, dtype);
    return call(L.real(r), c.args);
}

} // namespace marvane::safepickle::rules
