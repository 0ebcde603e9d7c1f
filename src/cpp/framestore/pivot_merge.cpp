// Merging one month of a pivot table into its month partition file.
#include "common/pyhelpers.hpp"
#include "framestore/durable_write.hpp"
#include "framestore/label_plan.hpp"
#include "framestore/merge_kernel.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

#include <optional>
#include <tuple>
#include <utility>

namespace marvane::store {

bool all_float64(py::handle table) {
    py::object float64 = py::module_::import("numpy").attr("dtype")("float64");
    for (py::handle dtype : table.attr("dtypes"))
        if (!py_equal(dtype, float64)) return false;
    return true;
}

namespace {

bool is_arrow_table(py::handle value) {
    py::object arrow = py::module_::import("sys").attr("modules").attr("get")("pyarrow");
    return !arrow.is_none() && py::isinstance(value, arrow.attr("Table"));
}

// The labels of the stored month and of the new data, and which of them are identical (the
// same labels in the same order), each told once: an identical axis needs no set operation.
struct Labels {
    py::object ecols, ncols, eidx, nidx;
    bool same_cols, same_rows;
    Labels(py::handle existing, py::handle incoming)
        : ecols(existing.attr("columns")), ncols(incoming.attr("columns")), eidx(existing.attr("index")),
          nidx(incoming.attr("index")), same_cols(truthy(ecols.attr("equals")(ncols))),
          same_rows(truthy(eidx.attr("equals")(nidx))) {}
};

bool one_side_only(py::handle a, py::handle b) {
    return py::len(a.attr("difference")(b)) > 0 || py::len(b.attr("difference")(a)) > 0 ||
           py::len(a) != py::len(b); // or repeated labels on one side
}

// Whether the stored month and the new data differ in anything a merge could change: a date
// or instrument on one side only, or an aligned cell where the values differ. Null against a
// value (0 and False included) is a difference; null against null is not.
bool needs_merge(py::handle existing, py::handle incoming, const Labels &l, bool float64) {
    const py::object &ecols = l.ecols, &eidx = l.eidx;
    const bool same_order = l.same_rows && l.same_cols;
    if ((!l.same_cols && one_side_only(l.ecols, l.ncols)) || (!l.same_rows && one_side_only(l.eidx, l.nidx)))
        return true;
    // Same labels, possibly in another order: align the new data on the stored labels.
    py::object aligned = same_order ? py::reinterpret_borrow<py::object>(incoming)
                                    : incoming.attr("reindex")("index"_a = eidx, "columns"_a = ecols);
    if (float64) { // reindexing a float64 table keeps it float64
        // The same test on the float64 values at once, in one pass over both tables.
        return merge_kernel::cells_differ(
            merge_kernel::contiguous(existing.attr("to_numpy")("dtype"_a = "float64")),
            merge_kernel::contiguous(aligned.attr("to_numpy")("dtype"_a = "float64")));
    }
    py::object e_null = existing.attr("isna")(), n_null = aligned.attr("isna")();
    if (!truthy(e_null.attr("equals")(n_null))) return true;
    py::object eq;
    try {
        eq = existing.attr("eq")(aligned);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return true; // values that cannot be compared count as different
    }
    // Nullable dtypes compare to NA where a side is null; those cells are null on both sides.
    py::object same = eq.attr("fillna")(false).attr("astype")("bool").attr("__or__")(e_null);
    return !truthy(same.attr("to_numpy")().attr("all")());
}

// pandas' combine_first hands the stored table's attrs (and flags) on to the merged month,
// through pandas' own __finalize__; the merges made on the values do the same.
py::object keeping_attrs(py::handle existing, py::object merged) {
    if (py::len(existing.attr("attrs")) > 0) merged = merged.attr("__finalize__")(existing, "method"_a = "combine_first");
    return merged;
}

// For tables of plain float64 columns with unique labels named alike on both sides (what a
// month of prices is), combine_first is one fill on the aligned values (merge_kernel.hpp): stored
// cells win, nulls take the new value; rows left empty are dropped. pandas' combine_first
// does the same fill one column at a time, with an alignment per column, which costs far
// more than the month's I/O.
py::object fill_from(G g, py::handle existing, py::handle incoming, py::handle index, py::handle columns) {
    auto aligned = [&](py::handle table) {
        py::object values =
            table.attr("reindex")("index"_a = index, "columns"_a = columns).attr("to_numpy")("dtype"_a = "float64");
        return merge_kernel::contiguous(values);
    };
    // Rows left without any value are dropped here, on the values, as drop_empty_rows would.
    auto [values, keep] = merge_kernel::fill_cells(aligned(existing), aligned(incoming));
    py::object rows = py::reinterpret_borrow<py::object>(index);
    if (!keep.is_none()) {
        values = values[keep];
        rows = rows[keep];
    }
    return g("pd").attr("DataFrame")(values, "index"_a = rows, "columns"_a = columns, "copy"_a = false);
}

// The fill stands in for pandas' own combine_first only: a combine_first replaced on the
// class (a subclass, a patch) is called as it is.
bool pandas_combine_first(py::handle existing) {
    py::object f = py::type::of(existing).attr("combine_first");
    return defined_as(f, "pandas.core.frame", "DataFrame.combine_first");
}

bool fast_fill_applies(py::handle existing, const Labels &l, bool float64) {
    if (!float64 || !pandas_combine_first(existing)) return false;
    // An identical pair of labels is unique on both sides when it is on one.
    for (auto [a, b, same] : {std::tuple(l.eidx, l.nidx, l.same_rows), std::tuple(l.ecols, l.ncols, l.same_cols)}) {
        if (!py_equal(a.attr("names"), b.attr("names")) || !py_equal(a.attr("dtype"), b.attr("dtype")) ||
            !truthy(a.attr("is_unique")) || (!same && !truthy(b.attr("is_unique"))))
            return false;
    }
    return true;
}

// The merged month, without rows left empty. combine_first gives the union of labels; the
// union of two different label sets comes out ascending, an identical pair keeps its order
// (pandas 3 would append new labels at the end).
py::object merged_month(G g, py::handle existing, py::handle incoming, const Labels &l, bool float64) {
    if (fast_fill_applies(existing, l, float64)) {
        py::object cols = l.same_cols ? l.ecols : l.ecols.attr("union")(l.ncols);
        py::object idx = l.same_rows ? l.eidx : l.eidx.attr("union")(l.nidx);
        return keeping_attrs(existing, fill_from(g, existing, incoming, idx, cols));
    }
    py::object merged = existing.attr("combine_first")(incoming);
    py::dict target;
    if (!l.same_cols) target["columns"] = l.ecols.attr("union")(l.ncols);
    if (!l.same_rows) target["index"] = l.eidx.attr("union")(l.nidx);
    if (py::len(target) > 0) merged = merged.attr("reindex")(**target);
    return drop_empty_rows(merged);
}

// The float64 merge with its labels decided once (label_plan.hpp): whether the month changes
// and the merged cells, read through position maps, without pandas' set operations or
// reindexing. Nothing when the month is not of that kind (the caller then goes the general
// way); None when nothing would change; else the merged month, rows left empty dropped.
std::optional<py::object> planned_merge(G g, py::handle existing, py::handle incoming, bool float64) {
    if (!float64 || !pandas_combine_first(existing)) return std::nullopt;
    py::object pd = g("pd");
    py::object eidx = existing.attr("index"), nidx = incoming.attr("index");
    py::object ecols = existing.attr("columns"), ncols = incoming.attr("columns");
    for (auto [a, b] : {std::pair(eidx, nidx), std::pair(ecols, ncols)})
        if (!py_equal(a.attr("names"), b.attr("names")) || !py_equal(a.attr("dtype"), b.attr("dtype")))
            return std::nullopt;
    const auto cols = label_plan::day_axis(pd, ecols, ncols);
    if (!cols) return std::nullopt;
    const auto rows = label_plan::text_axis(pd, eidx, nidx);
    if (!rows) return std::nullopt;
    auto values = [](py::handle table) {
        return merge_kernel::contiguous(table.attr("to_numpy")("dtype"_a = "float64"));
    };
    py::object stored = values(existing), fresh = values(incoming);
    // A label on one side only changes the month; otherwise the aligned cells tell.
    const bool unchanged =
        rows->same_set && cols->same_set &&
        !(rows->identical && cols->identical
              ? merge_kernel::cells_differ(stored, fresh)
              : merge_kernel::cells_differ_at(stored, fresh, rows->incoming_of_stored, cols->incoming_of_stored));
    if (unchanged) return py::none();
    merge_kernel::Filled filled = merge_kernel::fill_at(stored, fresh, rows->stored_at, rows->incoming_at,
                                                        cols->stored_at, cols->incoming_at);
    py::object index = label_plan::union_index(eidx, nidx, *rows, filled.all_kept ? nullptr : &filled.kept);
    py::object columns = label_plan::union_index(ecols, ncols, *cols);
    return keeping_attrs(existing,
                         pd.attr("DataFrame")(filled.values, "index"_a = index, "columns"_a = columns, "copy"_a = false));
}

} // namespace

O update_pivot_parquet(G g, O file_path, O sub_df, O date_format) {
    return update_pivot_month(g, file_path, sub_df, date_format, py::none());
}

O update_pivot_month(G g, O file_path, O sub_df, O date_format, O read_ahead) {
    require_frame(g, sub_df, "sub_df");
    require_storable(sub_df);
    const MonthSlot slot;
    py::object pd = g("pd");
    auto write = [&](py::object table) {
        write_store_file(g, table, file_path);
    };
    if (!truthy(g("os").attr("path").attr("exists")(file_path))) {
        // A new month file: the caller's table is not changed.
        sub_df = drop_empty_rows(sub_df);
        sub_df.attr("columns") = day_labels(g, sub_df.attr("columns")).attr("strftime")(date_format);
        write(sub_df);
        py::object cols = sub_df.attr("columns");
        print_line(g, {texts::month_created(file_path, sub_df.attr("shape"), cols[py::int_(0)],
                                            cols[py::int_(-1)])});
        return py::none();
    }
    auto read_existing = [&]() {
        py::object table = read_file(g, file_path);
        try {
            table.attr("columns") = stored_dates(g, table.attr("columns"));
        } catch (py::error_already_set &e) {
            // The message is pandas' and does not say which of the category's files is foreign.
            if (py::hasattr(e.value(), "add_note"))
                e.value().attr("add_note")(texts::labels_not_dates_note(file_path));
            throw;
        }
        return table;
    };
    // A month read ahead comes as a pandas table, or as the Arrow table pandas would convert.
    py::object existing_df = take_read_ahead(g, file_path, read_ahead);
    py::object arrow_month = py::none();
    if (is_arrow_table(existing_df)) std::swap(arrow_month, existing_df);
    else if (existing_df.is_none()) existing_df = read_existing();
    sub_df.attr("columns") = day_labels(g, sub_df.attr("columns")); // the caller's object
    // Both tables plain float64 (a month of prices): the value tests below run on the values.
    const bool new_float64 = all_float64(sub_df);
    sub_df = drop_empty_rows(sub_df, new_float64);
    if (!arrow_month.is_none()) {
        py::object same = new_float64 ? unchanged_month(g, arrow_month, sub_df) : py::object(py::none());
        arrow_month = py::none();
        if (!same.is_none()) {
            py::tuple days_shape = same;
            py::object cols = days_shape[0];
            print_line(g, {texts::month_identical(file_path, cols[py::int_(0)], cols[py::int_(-1)], days_shape[1])});
            return py::none();
        }
        existing_df = read_existing();
    }
    const bool float64 = new_float64 && all_float64(existing_df);

    std::optional<py::object> merged = planned_merge(g, existing_df, sub_df, float64);
    if (!merged) {
        const Labels labels(existing_df, sub_df);
        merged = needs_merge(existing_df, sub_df, labels, float64)
                     ? merged_month(g, existing_df, sub_df, labels, float64)
                     : py::object(py::none());
    }
    if (!merged->is_none()) {
        existing_df = *merged;
        existing_df.attr("columns") =
            pd.attr("to_datetime")(existing_df.attr("columns")).attr("strftime")(date_format);
        write(existing_df);
        py::object cols = existing_df.attr("columns");
        print_line(g, {texts::month_updated(file_path, cols[py::int_(0)], cols[py::int_(-1)],
                                            existing_df.attr("shape"))});
        print_empty(g);
    } else {
        py::object cols = existing_df.attr("columns");
        print_line(g, {texts::month_identical(file_path, cols[py::int_(0)], cols[py::int_(-1)],
                                              existing_df.attr("shape"))});
    }
    return py::none();
}

} // namespace marvane::store
