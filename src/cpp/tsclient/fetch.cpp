// Reading one remote value: GET, then unpickle with a restricted unpickler.
//
// Values come off the network, and a plain unpickle of them would let a compromised or
// spoofed server run code here. The unpickler below resolves only the globals that pickles of
// pandas objects need, as pandas 1.5 to 3.x write them with numpy 1.x and 2.x, plus builtin
// containers and scalars and the datetime, decimal and time zone types. The table was made
// by listing the globals of real pickles with pickletools (tests/tools/pickle_globals.py over
// the pickles in tests/data, which tests/tools/make_pickles.py writes); anything else raises
// pickle.UnpicklingError naming the refused global before anything of it runs.
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"

#include <cstring>
#include <string>

namespace marvane::client {

namespace {

struct Global {
    const char *module;
    const char *name;
};

// clang-format off
const Global kAllowedGlobals[] = {
    // Builtin containers and scalars ("__builtin__" and "xrange" are protocol 2's names).
    {"builtins", "bytearray"}, {"builtins", "complex"}, {"builtins", "frozenset"},
    {"builtins", "range"}, {"builtins", "set"}, {"builtins", "slice"},
    {"__builtin__", "bytearray"}, {"__builtin__", "complex"}, {"__builtin__", "frozenset"},
    {"__builtin__", "xrange"}, {"__builtin__", "set"}, {"__builtin__", "slice"},
    {"_codecs", "encode"}, // protocol 2 writes bytes as encode(text, "latin1")
    // Only for getattr(zoneinfo.ZoneInfo, "_unpickle"); see guarded_getattr.
    {"builtins", "getattr"}, {"__builtin__", "getattr"},
    // datetime, decimal and time zones.
    {"datetime", "date"}, {"datetime", "datetime"}, {"datetime", "time"},
    {"datetime", "timedelta"}, {"datetime", "timezone"}, {"decimal", "Decimal"},
    {"zoneinfo", "ZoneInfo"}, {"pytz", "_p"}, {"pytz", "_UTC"},
    // numpy arrays (numpy 1.x writes numpy.core, numpy 2.x numpy._core).
    {"numpy", "dtype"}, {"numpy", "ndarray"},
    {"numpy.core.multiarray", "_reconstruct"}, {"numpy.core.numeric", "_frombuffer"},
    {"numpy._core.multiarray", "_reconstruct"}, {"numpy._core.numeric", "_frombuffer"},
    // pyarrow arrays behind pandas 3's str dtype.
    {"pyarrow.lib", "_restore_array"}, {"pyarrow.lib", "py_buffer"},
    {"pyarrow.lib", "type_for_alias"},
    // pandas 3: public names.
    {"pandas", "DataFrame"}, {"pandas", "Series"}, {"pandas", "Index"},
    {"pandas", "RangeIndex"}, {"pandas", "MultiIndex"}, {"pandas", "DatetimeIndex"},
    {"pandas", "TimedeltaIndex"}, {"pandas", "PeriodIndex"}, {"pandas", "CategoricalIndex"},
    {"pandas", "IntervalIndex"}, {"pandas", "Categorical"}, {"pandas", "CategoricalDtype"},
    {"pandas", "DatetimeTZDtype"}, {"pandas", "PeriodDtype"}, {"pandas", "IntervalDtype"},
    {"pandas", "StringDtype"}, {"pandas", "BooleanDtype"}, {"pandas", "Int64Dtype"},
    {"pandas", "UInt8Dtype"}, {"pandas", "Float64Dtype"}, {"pandas", "Period"}, {"pandas", "NA"},
    {"pandas.arrays", "ArrowStringArray"}, {"pandas.arrays", "BooleanArray"},
    {"pandas.arrays", "DatetimeArray"}, {"pandas.arrays", "FloatingArray"},
    {"pandas.arrays", "IntegerArray"}, {"pandas.arrays", "IntervalArray"},
    {"pandas.arrays", "PeriodArray"}, {"pandas.arrays", "TimedeltaArray"},
    // pandas 1.5 and 2.x: internal module names.
    {"pandas.core.frame", "DataFrame"}, {"pandas.core.series", "Series"},
    {"pandas.core.indexes.base", "Index"}, {"pandas.core.indexes.base", "_new_Index"},
    {"pandas.core.indexes.range", "RangeIndex"}, {"pandas.core.indexes.multi", "MultiIndex"},
    {"pandas.core.indexes.datetimes", "DatetimeIndex"},
    {"pandas.core.indexes.datetimes", "_new_DatetimeIndex"},
    {"pandas.core.indexes.timedeltas", "TimedeltaIndex"},
    {"pandas.core.indexes.timedeltas", "_new_TimedeltaIndex"},
    {"pandas.core.indexes.period", "PeriodIndex"},
    {"pandas.core.indexes.category", "CategoricalIndex"},
    {"pandas.core.indexes.interval", "IntervalIndex"},
    {"pandas.core.indexes.interval", "_new_IntervalIndex"},
    {"pandas.core.internals.managers", "BlockManager"},
    {"pandas.core.internals.managers", "SingleBlockManager"},
    {"pandas.core.arrays.boolean", "BooleanArray"}, {"pandas.core.arrays.boolean", "BooleanDtype"},
    {"pandas.core.arrays.categorical", "Categorical"},
    {"pandas.core.arrays.datetimes", "DatetimeArray"},
    {"pandas.core.arrays.floating", "FloatingArray"}, {"pandas.core.arrays.floating", "Float64Dtype"},
    {"pandas.core.arrays.integer", "IntegerArray"}, {"pandas.core.arrays.integer", "Int64Dtype"},
    {"pandas.core.arrays.integer", "UInt8Dtype"},
    {"pandas.core.arrays.interval", "IntervalArray"},
    {"pandas.core.arrays.period", "PeriodArray"},
    {"pandas.core.arrays.string_", "StringArray"}, {"pandas.core.arrays.string_", "StringDtype"},
    {"pandas.core.arrays.string_arrow", "ArrowStringArray"},
    {"pandas.core.arrays.timedeltas", "TimedeltaArray"},
    {"pandas.core.dtypes.dtypes", "CategoricalDtype"},
    {"pandas.core.dtypes.dtypes", "DatetimeTZDtype"},
    {"pandas.core.dtypes.dtypes", "IntervalDtype"}, {"pandas.core.dtypes.dtypes", "PeriodDtype"},
    // pandas' compiled internals, every version.
    {"pandas._libs.arrays", "__pyx_unpickle_NDArrayBacked"},
    {"pandas._libs.internals", "_unpickle_block"},
    {"pandas._libs.interval", "__pyx_unpickle_IntervalMixin"},
    {"pandas._libs.missing", "NA"},
    {"pandas._libs.tslibs.nattype", "__nat_unpickle"},
    {"pandas._libs.tslibs.nattype", "_nat_unpickle"},
    {"pandas._libs.tslibs.offsets", "BusinessDay"}, {"pandas._libs.tslibs.offsets", "Day"},
    {"pandas._libs.tslibs.offsets", "MonthEnd"},
    {"pandas._libs.tslibs.period", "Period"},
    {"pandas._libs.tslibs.timedeltas", "_timedelta_unpickle"},
    {"pandas._libs.tslibs.timestamps", "_unpickle_timestamp"},
};

// Globals that a later version renamed: read under the new name when the old one is gone.
const struct {
    const char *module, *old_name, *new_name;
} kRenamedGlobals[] = {
    {"pandas._libs.tslibs.nattype", "__nat_unpickle", "_nat_unpickle"}, // NaT, pandas < 3
};
// clang-format on

bool is_allowed(const std::string &module, const std::string &name) {
    for (const Global &a : kAllowedGlobals)
        if (module == a.module && name == a.name) return true;
    return false;
}

[[noreturn]] void refuse(G g, const std::string &what) {
    py::object error = g("pickle").attr("UnpicklingError");
    PyErr_SetObject(error.ptr(), py::str("refused to load " + what +
                                         ": it is not among the globals a pickled DataFrame needs")
                                     .ptr());
    throw py::error_already_set();
}

// getattr as the unpickler sees it: only ZoneInfo's own _unpickle, which zoneinfo time
// zones pickle through.
py::object guarded_getattr(G g) {
    Body get = [](const Globals &g, Args &a) -> py::object {
        py::object zone_class = py::module_::import("zoneinfo").attr("ZoneInfo");
        if (!a[0].is(zone_class) || !py_equal(a[1], py::str("_unpickle")))
            refuse(g, "getattr(" + std::string(py::str(py::repr(a[0]))) + ", " +
                          std::string(py::str(py::repr(a[1]))) + ")");
        return zone_class.attr("_unpickle");
    };
    return make_function(g, {"getattr", "getattr", {arg("obj"), arg("name")}, nullptr}, get);
}

// pytz time zones of older pickles, when pytz is not installed: the same zones from zoneinfo.
py::object pytz_replacement(G g, const std::string &name) {
    VarBody zone = [name](const Globals &, py::args args, py::kwargs) -> py::object {
        if (name == "_UTC" || py_equal(args[0], py::str("UTC")))
            return py::module_::import("datetime").attr("timezone").attr("utc");
        return py::module_::import("zoneinfo").attr("ZoneInfo")(args[0]);
    };
    return make_varargs_function(g, name, name, zone);
}

// numpy 1.x keeps its internals in numpy.core, numpy 2.x in numpy._core (numpy.core still
// imports there, with a DeprecationWarning): resolve either name in the installed one.
std::string numpy_module(const std::string &module) {
    const char *old_prefix = "numpy.core.", *new_prefix = "numpy._core.";
    std::string rest;
    if (module.rfind(old_prefix, 0) == 0) rest = module.substr(std::strlen(old_prefix));
    else if (module.rfind(new_prefix, 0) == 0) rest = module.substr(std::strlen(new_prefix));
    else return module;
    std::string version = py::str(py::module_::import("numpy").attr("__version__"));
    return (std::stoi(version) >= 2 ? new_prefix : old_prefix) + rest;
}

O find_class(G g, O self, O module, O name) {
    std::string mod = py::str(module), attr = py::str(name);
    if (!is_allowed(mod, attr)) refuse(g, "global '" + mod + "." + attr + "'");
    if (attr == "getattr") return guarded_getattr(g);
    py::object base = g("pickle").attr("Unpickler").attr("find_class");
    py::str where(numpy_module(mod));
    try {
        return base(self, where, name);
    } catch (py::error_already_set &e) {
        if (mod == "pytz" && e.matches(PyExc_ImportError)) return pytz_replacement(g, attr);
        if (e.matches(PyExc_AttributeError))
            for (const auto &r : kRenamedGlobals)
                if (mod == r.module && attr == r.old_name) return base(self, where, r.new_name);
        throw;
    }
}

py::object restricted_loads(G g, py::handle data) {
    py::dict ns;
    define(ns, g, "RestrictedUnpickler", "find_class", {arg("module"), arg("name")},
           "Resolve a global only when the allow-list names it.", false, find_class);
    py::object unpickler_class = make_class(py::str(g.dict()["__name__"]), "RestrictedUnpickler",
                                            py::make_tuple(g("pickle").attr("Unpickler")), ns);
    py::object file = py::module_::import("io").attr("BytesIO")(data);
    return unpickler_class(file).attr("load")();
}

} // namespace

O load_df_from_tsdb(G g, O self, O key) {
    py::object data_ = self.attr("r").attr("get")(key);
    if (data_.is_none()) raise_missing_key(g, key);
    return restricted_loads(g, data_);
}

} // namespace marvane::client
