// marvane.FrameStore: the local Parquet store. This file only wires the module namespace and
// the method table of ParquetDataManager; the operations live in the files named after them.
#include "common/pyfunction.hpp"
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

MARVANE_MODULE(FrameStore, m) {
    using namespace marvane;
    namespace s = marvane::store;
    namespace t = marvane::store::texts;
    // Module globals, in this order.
    m.attr("os") = py::module_::import("os");
    py::module_ futures = py::module_::import("concurrent.futures");
    m.attr("ThreadPoolExecutor") = futures.attr("ThreadPoolExecutor");
    m.attr("as_completed") = futures.attr("as_completed");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
    m.attr("re") = py::module_::import("re");

    // After the imports: a failed import can be tried again, and the function type is
    // registered once only.
    register_function_type(m);
    Globals g(m.attr("__dict__"));
    const std::string cls = "ParquetDataManager";
    const bool STATIC = true, INSTANCE = false;
    py::list shared_key_columns; // one list, shared by every call that omits key_columns
    py::dict ns;
    // clang-format off
    define(ns, g, cls, "__init__", {arg("root_dir"), arg("max_workers", py::int_(10))},
           t::kInitDoc, INSTANCE, s::init);
    define(ns, g, cls, "_if_exists_unstack_category", {arg("category")}, nullptr, INSTANCE,
           s::if_exists_unstack_category);
    define(ns, g, cls, "_if_exists_pivot_category", {arg("category")}, nullptr, INSTANCE,
           s::if_exists_pivot_category);
    define(ns, g, cls, "_get_category_path", {arg("category")},
           t::kGetCategoryPathDoc, INSTANCE, s::get_category_path);
    define(ns, g, cls, "GSOI", {arg("choice"), arg("df")}, nullptr, STATIC, s::gsoi);
    define(ns, g, cls, "extract_year_month", {arg("input_string")}, nullptr, STATIC,
           s::extract_year_month);
    define(ns, g, cls, "_get_pivot_year_month", {arg("category")}, nullptr, INSTANCE,
           s::get_pivot_year_month);
    define(ns, g, cls, "_get_pivot_file_path", {arg("category"), arg("year"), arg("month")},
           t::kGetPivotFilePathDoc, INSTANCE, s::get_pivot_file_path);
    define(ns, g, cls, "_get_unstack_file_path", {arg("category")},
           t::kGetUnstackFilePathDoc, INSTANCE, s::get_unstack_file_path);
    define(ns, g, cls, "update_pivot_category",
           {arg("df"), arg("category"), arg("strf", py::str("%Y-%m-%d"))},
           t::kUpdatePivotCategoryDoc, INSTANCE, s::update_pivot_category);
    define(ns, g, cls, "read_pivot_category",
           {arg("category"), arg("start_date", py::none()), arg("end_date", py::none()),
            arg("column_type", py::str("str"))},
           t::kReadPivotCategoryDoc, INSTANCE, s::read_pivot_category);
    define(ns, g, cls, "read_parquet", {arg("file_path")}, nullptr, STATIC, s::read_parquet);
    define(ns, g, cls, "update_unstack_category",
           {arg("category"), arg("sub_df"), arg("key_columns", shared_key_columns)},
           t::kUpdateUnstackCategoryDoc, INSTANCE, s::update_unstack_category);
    define(ns, g, cls, "read_unstack_category", {arg("category")}, nullptr, INSTANCE,
           s::read_unstack_category);
    define(ns, g, cls, "update_unstack_df",
           {arg("original_df"), arg("new_data"), arg("key_columns")}, nullptr, STATIC,
           s::update_unstack_df);
    define(ns, g, cls, "update_pivot_parquet",
           {arg("file_path"), arg("sub_df"), arg("date_format", py::str("%Y-%m-%d"))},
           t::kUpdatePivotParquetDoc, STATIC, s::update_pivot_parquet);
    define(ns, g, cls, "run_concurrently",
           {arg("tasks"), arg("worker_function"), arg("max_workers", py::int_(5)),
            arg("task_desc", py::str(t::kDefaultTaskDesc))},
           nullptr, STATIC, s::run_concurrently);
    define(ns, g, cls, "get_download_days", {arg("category"), arg("template_date")}, nullptr,
           INSTANCE, s::get_download_days);
    // clang-format on
    m.attr("ParquetDataManager") = make_class("marvane.FrameStore", cls, py::tuple(), ns);
}
