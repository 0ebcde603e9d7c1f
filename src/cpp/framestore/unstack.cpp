// Long "unstack" tables: one file per category, records identified by key columns.
#include "common/pyhelpers.hpp"
#include "framestore/durable_write.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

namespace marvane::store {

namespace {

bool is_text(G g, py::handle column) {
    return truthy(g("pd").attr("api").attr("types").attr("is_string_dtype")(column));
}

// pandas' `str` dtype: text with NaN for missing (what pandas 3 reads text back as).
bool is_str_dtype(G g, py::handle dtype) {
    if (!py::isinstance(dtype, g("pd").attr("StringDtype"))) return false;
    py::object na_value = py::getattr(dtype, "na_value", py::none());
    return PyFloat_Check(na_value.ptr()) && truthy(g("pd").attr("isna")(na_value));
}

// Whether a batch equals the stored table, as DataFrame.equals tells, with one exception:
// a text column of the batch whose dtype is object, against a stored column that reads back
// as `str` (pandas 3 reads text back as str; data unpickled from older pandas carry object),
// compares by its texts. Any other difference of dtype (datetime unit, category, the
// nullable "string") is a difference, and the file is rewritten.
bool same_table(G g, py::handle stored, py::handle batch) {
    if (truthy(stored.attr("equals")(batch))) return true;
    if (!py_equal(stored.attr("shape"), batch.attr("shape")) ||
        !truthy(stored.attr("index").attr("equals")(batch.attr("index"))) ||
        !truthy(stored.attr("columns").attr("equals")(batch.attr("columns"))))
        return false;
    py::object s_iloc = stored.attr("iloc"), b_iloc = batch.attr("iloc");
    py::object object_dtype = py::module_::import("numpy").attr("dtype")("O");
    const auto all = py::slice(py::none(), py::none(), py::none());
    for (std::size_t i = 0; i < py::len(stored.attr("columns")); ++i) {
        py::object a = s_iloc[py::make_tuple(all, i)], b = b_iloc[py::make_tuple(all, i)];
        if (py_equal(a.attr("dtype"), b.attr("dtype"))) {
            if (!truthy(a.attr("equals")(b))) return false;
            continue;
        }
        if (!is_str_dtype(g, a.attr("dtype")) || !py_equal(b.attr("dtype"), object_dtype) || !is_text(g, b))
            return false;
        py::object a_null = a.attr("isna")(), b_null = b.attr("isna")();
        if (!truthy(a_null.attr("equals")(b_null))) return false;
        py::object present = a_null.attr("__invert__")();
        py::object av = a[present].attr("to_numpy")("dtype"_a = "object");
        py::object bv = b[present].attr("to_numpy")("dtype"_a = "object");
        if (!truthy(av.attr("__eq__")(bv).attr("all")())) return false;
    }
    return true;
}

void write_table(G g, py::handle table, py::handle path) {
    write_store_file(g, table, path);
}

} // namespace

O update_unstack_df(G g, O original_df, O new_data, O key_columns) {
    require_frame(g, original_df, "original_df");
    require_frame(g, new_data, "new_data");
    if (!py::isinstance<py::list>(key_columns)) key_columns = list_of(key_columns);
    if (py::len(key_columns) == 0)
        raise(PyExc_ValueError, texts::kNoKeyColumns);
    py::object combined = g("pd").attr("concat")(list_of(original_df, new_data));
    return combined.attr("drop_duplicates")("subset"_a = key_columns, "keep"_a = "last");
}

O update_unstack_category(G g, O self, O category, O sub_df, O key_columns) {
    require_frame(g, sub_df, "sub_df");
    require_storable(sub_df);
    py::object file_path = self.attr("_get_unstack_file_path")(category);
    if (truthy(g("os").attr("path").attr("exists")(file_path))) {
        py::object existing_df = read_file(g, file_path);
        if (!same_table(g, existing_df, sub_df)) {
            existing_df = store_class(g).attr("update_unstack_df")(
                "original_df"_a = existing_df, "new_data"_a = sub_df, "key_columns"_a = key_columns);
            write_table(g, existing_df, file_path);
            print_line(g, {texts::unstack_updated(file_path)});
        } else {
            print_line(g, {texts::unstack_identical(file_path)});
        }
    } else {
        write_table(g, sub_df, file_path);
        print_line(g, {texts::unstack_created(file_path)});
    }
    return py::none();
}

O read_unstack_category(G g, O self, O category) {
    py::object file_path = self.attr("_get_unstack_file_path")(category);
    return read_file(g, file_path);
}

} // namespace marvane::store
