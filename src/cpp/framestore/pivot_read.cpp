// Reading a pivot category back over a date range.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/store.hpp"

namespace marvane::store {

namespace {

// The category's own stored months as YYYY-MM texts, ascending. Other entries are ignored.
py::list stored_months(G g, py::handle directory, O category) {
    py::object os = g("os");
    py::list months;
    for (py::handle name : os.attr("listdir")(directory)) {
        py::object month = names::stored_month(os, directory, category, name);
        if (!month.is_none()) months.append(month);
    }
    months.attr("sort")();
    return months;
}

// The month tables in date order, with the dates of their columns.
struct Months {
    py::list frames;
    py::object dates; // the column labels of all frames, in order, as datetimes
};

// Reads finish in any order; put the months back in date order so that the rows of the
// joined table come out the same on every call. Each file's labels are parsed on their own:
// a file holds one date format, but two months may have been written with different ones.
Months in_month_order(G g, py::list frames) {
    py::object pd = g("pd");
    py::list keyed;
    for (py::handle f : frames) {
        py::object dates = stored_dates(g, f.attr("columns"));
        py::object first = py::len(dates) ? dates.attr("min")() : py::object(pd.attr("NaT"));
        keyed.append(py::make_tuple(truthy(pd.attr("isna")(first)), first.attr("value"), f, dates));
    }
    py::object builtins = py::module_::import("builtins");
    py::object key = py::module_::import("operator").attr("itemgetter")(0, 1);
    Months out;
    py::list rest;
    for (py::handle item : builtins.attr("sorted")(keyed, "key"_a = key)) {
        out.frames.append(item[py::int_(2)]);
        if (!out.dates) out.dates = item[py::int_(3)];
        else rest.append(item[py::int_(3)]);
    }
    if (py::len(rest) > 0) out.dates = out.dates.attr("append")(rest);
    return out;
}

// A bound given as a plain "YYYY-MM-DD" text is that day's midnight, which pd.Timestamp reads
// directly; to_datetime would first guess the format, which costs more than the whole read of
// a small month. Anything else is read by to_datetime as before.
py::object parse_bound(G g, py::handle value) {
    py::object pd = g("pd");
    if (PyUnicode_CheckExact(value.ptr()) && is_iso_day(value)) return pd.attr("Timestamp")(value);
    return pd.attr("to_datetime")(value);
}

// Whether the dates are ascending and all of them lie within start..end, tested on the first
// and the last date; any doubt (a comparison that raises) answers no.
bool ascending_within(py::handle dates, py::handle start, py::handle end) {
    try {
        const std::size_t n = py::len(dates);
        if (n == 0 || !truthy(dates.attr("is_monotonic_increasing"))) return false;
        py::object first = dates[py::int_(0)], last = dates[py::int_(n - 1)];
        return truthy(first.attr("__ge__")(start)) && truthy(last.attr("__le__")(end));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

} // namespace

O read_pivot_category(G g, O self, O category, O start_date, O end_date, O column_type) {
    py::object pd = g("pd");
    py::object directory = self.attr("_get_category_path")(category);
    py::list exists_ms = stored_months(g, directory, category);
    if (py::len(exists_ms) > 0) {
        py::object latest = exists_ms[py::len(exists_ms) - 1];
        if (py_equal(start_date, py::none())) start_date = join_text({latest, "-01"});
        if (py_equal(end_date, py::none()))
            end_date = (pd.attr("Timestamp")(latest) + pd.attr("offsets").attr("MonthEnd")(0))
                           .attr("strftime")("%Y-%m-%d");
    }
    // A month belongs to the range when any of its days does.
    py::object days = pd.attr("date_range")("start"_a = start_date, "end"_a = end_date, "freq"_a = "D",
                                            "normalize"_a = true);
    py::list target_ms = days.attr("to_period")("M").attr("unique")().attr("strftime")("%Y-%m").attr("tolist")();

    if (py::len(exists_ms) == 0) {
        py::set have(exists_ms);
        py::list ms_delta;
        for (py::handle m : target_ms)
            if (!have.contains(m)) ms_delta.append(m);
        ms_delta.attr("sort")();
        print_line(g, {"数据不存在 ", category, ": ", ms_delta, " 数据不存在"});
        return pd.attr("DataFrame")();
    }

    py::object cls = the_class(g);
    py::str label = join_text({"Reading ", category, " From ", start_date, " To ", end_date, ": "});
    // An entry under a month's name that is not a month file (a directory, say) is not read:
    // pandas' engines disagree on what reading a directory gives.
    py::set stored(exists_ms);
    py::object exists = g("os").attr("path").attr("exists");
    py::list task_info;
    for (py::handle x : target_ms) {
        py::str path = join_text({directory, "/", names::month_file_name(category, x)});
        if (!stored.contains(x) && truthy(exists(path))) continue;
        task_info.append(list_of(path));
    }
    py::list iterators = cls.attr("run_concurrently")(task_info, cls.attr("read_parquet"),
                                                      "max_workers"_a = self.attr("max_workers"),
                                                      "task_desc"_a = label);
    if (py::len(iterators) == 0) raise(PyExc_ValueError, "读取失败");
    Months months = in_month_order(g, iterators);
    py::object dfs = pd.attr("concat")(months.frames, "axis"_a = 1);

    // Order and cut by the labels' dates, so that any date format works.
    py::object dates = months.dates;
    py::object start = parse_bound(g, start_date), end = parse_bound(g, end_date);
    bool as_datetime = py_equal(column_type, py::str("datetime"));
    if (!as_datetime) {
        // Text labels are cut by the bounds' calendar days, as comparing them with the
        // bounds' "%Y-%m-%d" texts would; datetime labels by the bounds themselves.
        start = start.attr("normalize")();
        end = end.attr("normalize")();
    }
    // Every column kept and already in date order (a range of whole months): the joined
    // table is the result as it stands, without another copy of it.
    if (ascending_within(dates, start, end)) {
        if (as_datetime) dfs.attr("columns") = dates;
        return dfs;
    }
    py::object keep = dates.attr("__ge__")(start) & dates.attr("__le__")(end);
    py::object kept_dates = dates[keep];
    py::object order = kept_dates.attr("argsort")("kind"_a = "stable");
    py::object positions = pd.attr("RangeIndex")(py::len(dates))[keep][order];
    bool whole = py::len(positions) == py::len(dates) &&
                 truthy(positions.attr("equals")(pd.attr("RangeIndex")(py::len(dates))));
    py::object result = whole ? dfs
                              : dfs.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), positions)];
    if (as_datetime) result.attr("columns") = kept_dates[order];
    return result;
}

} // namespace marvane::store
