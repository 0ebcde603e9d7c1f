// What the rule families share: the library classes rules compare against, the checks of a
// call's shape (arguments, states, plain data, named fields), of sizes against the payload's
// bound, and the two rules any family names (a plain call, a class never called).
#pragma once

#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace marvane::safepickle::rules {

using Obj = py::object;

// repr(h), cut to 80 characters, for refusals.
std::string short_repr(py::handle h);
// pickle.UnpicklingError("refused to load '<global>': <why>").
[[noreturn]] void refuse(Load &L, const Rule &r, const std::string &why);

// A class or function of an installed library, looked up once per process: the rules compare
// against these and call them for every value. Dots in `path` walk attributes.
py::handle lib(const char *module_name, const char *path);

bool is_a(py::handle obj, py::handle cls);
// An integer of the payload that fits a long long (larger ones are refused like non-integers).
bool is_int(py::handle h);
inline bool is_str(py::handle h) { return PyUnicode_Check(h.ptr()); }
bool is_ndarray(py::handle h);
bool is_index(py::handle h);
bool is_extension_array(py::handle h);
// A numpy array, an extension array or an Index: what pandas takes as an array of values.
bool is_array_like(py::handle h);
bool is_dtype(py::handle h); // a numpy dtype (rules_numpy.cpp)
// Dates and durations where pandas holds them (its arrays, indexes and blocks) only in the
// units it holds: s, ms, us, ns (rules_pandas_arrays.cpp).
void expect_pandas_time_unit(Load &L, const Rule &r, py::handle dtype, const char *what);
inline std::size_t length(py::handle h) { return py::len(h); }
std::size_t ndim(py::handle a);
std::string kind(py::handle array);
// The ids of Arrow's string and large_string types (rules_arrow.cpp).
bool is_text_type_id(int id);

// f(*args) for the tuple the pickle recorded, passed on as it is.
Obj call(py::handle f, const py::tuple &args);
// The rule name of a stand-in class given as an argument, or "" when it is not one.
std::string standin_name(py::handle h);

void expect_args(Load &L, const Rule &r, Call &c, std::size_t lo, std::size_t hi);
void expect_states(Load &L, const Rule &r, Call &c, std::size_t lo, std::size_t hi);
// Arguments of plain data only: no stand-in class anywhere inside (a class, a function or a
// module never reaches a real callable as data).
void plain(Load &L, const Rule &r, py::handle h, int depth = 0);
// Plain arguments, no keyword arguments, no BUILD.
void expect_plain_call(Load &L, const Rule &r, Call &c);
// A dict of named fields, of which only `allowed` may appear.
py::dict fields(Load &L, const Rule &r, py::handle state, std::initializer_list<const char *> allowed);
// d[key], or None when it is not there.
Obj get(py::dict d, py::handle key);
Obj get(py::dict d, const char *key);
// `_readonly` of a state, copied into `kept` when it is there (it must be a bool).
void keep_readonly(Load &L, const Rule &r, const py::dict &state, py::dict &kept);

// The items of an array of `shape`, within the payload's bound.
std::uint64_t checked_product(Load &L, const Rule &r, py::handle shape);
// Codes of a categorical or a MultiIndex level: integers within [-1, size).
void check_codes(Load &L, const Rule &r, py::handle codes, std::size_t size, const char *what);
// A time zone key as the zone database names them: no absolute path, no parent directory.
void zone_key(Load &L, const Rule &r, py::handle key);

// A new object of the real class with a checked state, as BUILD would set it.
Obj new_with_state(Load &L, const Rule &r, py::handle state);

// A call of the real global with plain arguments, no BUILD.
Obj call_plain(Load &L, const Rule &r, Call &c);
// A marker: a class only ever named as an argument of another rule.
Obj not_callable(Load &L, const Rule &r, Call &c);

} // namespace marvane::safepickle::rules
