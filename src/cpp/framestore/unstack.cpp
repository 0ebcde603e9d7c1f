// Long "unstack" tables: one file per category, records identified by key columns.
#include "common/pyhelpers.hpp"
#include "framestore/durable_write.hpp"
#include "framestore/label_plan.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

#include <pybind11/numpy.h>

#include <cstdint>

namespace marvane::store {

namespace {

// pandas hashes integers, dates and durations by a fixed function of the value, so a batch
// could carry keys that all fall in one probe chain and make the search for repeated keys
// quadratic. Those key columns are matched through a seeded one-to-one mix of their values
// (label_plan::seeded_mix): equal keys stay equal (missing dates too), chosen collisions do not.
py::array mixed_values(py::array values) {
    auto in = py::array_t<std::uint64_t, py::array::c_style>::ensure(values);
    if (!in) throw py::error_already_set();
    py::array_t<std::uint64_t> out(in.size());
    const std::uint64_t *v = in.data();
    std::uint64_t *o = out.mutable_data();
    for (py::ssize_t i = 0; i < in.size(); ++i) o[i] = label_plan::seeded_mix(v[i]);
    return std::move(out);
}

// The key columns as arrays to find repeated keys on, those of integers, dates and durations
// mixed as above; nothing when no key is of those kinds, or a key is missing or named twice
// (pandas' own drop_duplicates then decides, and says what is wrong).
py::object matching_keys(G g, py::handle combined, py::handle key_columns) {
    py::object columns = combined.attr("columns");
    if (!truthy(columns.attr("is_unique"))) return py::none();
    py::dict keys;
    py::set seen;
    bool mixed = false;
    for (py::handle name : key_columns) {
        if (!columns.contains(name) || seen.contains(name)) return py::none();
        seen.add(name);
        py::object column = combined[name];
        if (!py::type::of(column).is(g("pd").attr("Series"))) return py::none(); // a level of several columns
        py::object dtype = column.attr("dtype");
        py::object values = column.attr("array");
        if (py::isinstance<py::dtype>(dtype)) {
            const char k = py::reinterpret_borrow<py::dtype>(dtype).kind();
            if (k == 'i' || k == 'u' || k == 'M' || k == 'm') {
                py::object raw = column.attr("to_numpy")();
                // the values as 64-bit integers, one to one within their kind
                raw = k == 'M' || k == 'm' ? raw.attr("view")("u8")
                                           : raw.attr("astype")(k == 'i' ? "i8" : "u8").attr("view")("u8");
                values = mixed_values(raw);
                mixed = true;
            }
        }
        keys[py::int_(py::len(keys))] = values;
    }
    return mixed ? keys : py::object(py::none());
}

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
    py::object keys = matching_keys(g, combined, key_columns);
    if (keys.is_none()) return combined.attr("drop_duplicates")("subset"_a = key_columns, "keep"_a = "last");
    // What drop_duplicates keeps: the last row of each key, the rows in their order.
    py::object repeated = g("pd").attr("DataFrame")(keys, "copy"_a = false).attr("duplicated")("keep"_a = "last");
    return combined[repeated.attr("to_numpy")().attr("__invert__")()];
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
