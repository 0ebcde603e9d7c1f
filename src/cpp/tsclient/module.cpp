// marvane.TSClient: the client of the remote data service. This file only wires the module
// namespace and the method table of TesselClient; the operations live in the files named
// after what they do (login, fetch, sync, readers, timing).
#include "common/pyfunction.hpp"
#include "common/pyhelpers.hpp"
#include "tsclient/client.hpp"

namespace {

// `from .FrameStore import ParquetDataManager`, resolved against this module's package.
py::object import_store_class(py::module_ &m) {
    py::dict context;
    context["__name__"] = m.attr("__name__");
    context["__package__"] = m.attr("__name__").attr("rpartition")(".")[py::int_(0)];
    py::tuple fromlist = py::make_tuple("ParquetDataManager");
    PyObject *store = PyImport_ImportModuleLevel("FrameStore", context.ptr(), nullptr,
                                                 fromlist.ptr(), 1);
    if (!store) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(store).attr("ParquetDataManager");
}

} // namespace

MARVANE_MODULE(TSClient, m) {
    using namespace marvane;
    namespace c = marvane::client;
    // Module globals, in this order. The operations carry no docstrings.
    m.attr("os") = py::module_::import("os");
    m.attr("pickle") = py::module_::import("pickle");
    m.attr("time") = py::module_::import("time");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("redis") = py::module_::import("redis");
    m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
    m.attr("ParquetDataManager") = import_store_class(m);

    // After the imports: a failed import can be tried again, and the function type is
    // registered once only.
    register_function_type(m);
    Globals g(m.attr("__dict__"));
    m.attr("timing_decorator") = make_function(
        g, {"timing_decorator", "timing_decorator", {arg("func")}, nullptr},
        body(c::timing_decorator));

    const std::string cls = "TesselClient";
    const bool STATIC = true, INSTANCE = false;
    py::str text("str"); // the dates are annotated with the text "str", not the type
    py::dict ns;
    // clang-format off
    define(ns, g, cls, "__init__", {arg("account"), arg("api_token"), arg("save_path")}, nullptr, INSTANCE, c::init);
    define(ns, g, cls, "get_auth_ping", {arg("host"), arg("account"), arg("api_token")}, nullptr, STATIC, c::get_auth_ping);
    define(ns, g, cls, "measure_latency", {arg("r")}, nullptr, STATIC, c::measure_latency);
    define(ns, g, cls, "get_host_info", {}, nullptr, INSTANCE, c::get_host_info);
    define(ns, g, cls, "auth", {arg("account"), arg("api_token")}, nullptr, INSTANCE, c::auth);
    define(ns, g, cls, "load_df_from_tsdb", {arg("key")}, nullptr, INSTANCE, c::load_df_from_tsdb);
    define(ns, g, cls, "UpdateUnstackParquet", {arg("category")}, nullptr, INSTANCE, c::UpdateUnstackParquet);
    define(ns, g, cls, "UpdatePivotParquet",
           {arg("category"), Param{"start_date", {}, text}, Param{"end_date", {}, text}, arg("strf", py::str("%Y-%m-%d"))},
           nullptr, INSTANCE, c::UpdatePivotParquet);
    define(ns, g, cls, "GetUnstackCategory", {arg("category")}, nullptr, INSTANCE, c::GetUnstackCategory);
    define(ns, g, cls, "GetPivotCategory", {arg("category"), arg("start_date"), arg("end_date")}, nullptr, INSTANCE, c::GetPivotCategory);
    // clang-format on
    m.attr("TesselClient") = make_class("marvane.TSClient", cls, py::tuple(), ns);
}
