// Reading one remote value: GET, then the validating reader (unpickler.hpp).
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"
#include "tsclient/unpickler.hpp"

namespace marvane::client {

namespace {

// Both a KeyError and, for callers that caught what a plain unpickle of the missing value
// raised, a TypeError.
[[noreturn]] void raise_missing_key(G g, py::handle key) {
    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__str__"] = builtins.attr("BaseException").attr("__str__");
    py::object error = make_class(py::str(g.dict()["__name__"]), "MissingKeyError",
                                  py::make_tuple(builtins.attr("KeyError"), builtins.attr("TypeError")), ns);
    PyErr_SetObject(error.ptr(),
                    join_text({"the remote store has no key ", py::repr(key)}).ptr());
    throw py::error_already_set();
}

} // namespace

O load_df_from_tsdb(G g, O self, O key) {
    py::object data_ = self.attr("r").attr("get")(key);
    if (data_.is_none()) raise_missing_key(g, key);
    return unpickle::checked_loads(g, data_);
}

} // namespace marvane::client
