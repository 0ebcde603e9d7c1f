// Reading a pivot category back over a date range.
#include "common/pyhelpers.hpp"
#include "common/store_names.hpp"
#include "framestore/store.hpp"
#include "framestore/texts.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace marvane::store {

namespace {

// The month tables in date order, with the dates of their columns.
struct Months {
    py::list frames;
    py::object dates; // the column labels of all frames, in order, as datetimes
};

// The dates of every table's column labels, as stored_dates reads them table by table. When
// all labels of all tables are plain "YYYY-MM-DD" texts, they are read in one go and each
// table's dates are its slice of them: one parse of a few hundred labels costs less than
// two dozen parses of a month's labels each.
py::list dates_of(G g, const py::list &frames) {
    py::list out;
    py::list labels;
    std::vector<std::size_t> sizes;
    bool iso = true;
    for (py::handle f : frames) {
        py::list texts = f.attr("columns").attr("tolist")();
        if (py::len(texts) == 0) iso = false;
        for (py::handle label : texts)
            if (!iso || !PyUnicode_Check(label.ptr()) || !is_iso_day(label)) {
                iso = false;
                break;
            }
        if (!iso) break;
        sizes.push_back(py::len(texts));
        for (py::handle label : texts) labels.append(label);
    }
    if (iso && !sizes.empty()) {
        try {
            py::object parsed = g("pd").attr("DatetimeIndex")(labels);
            std::size_t at = 0, i = 0;
            for (py::handle f : frames) {
                const auto from = static_cast<py::ssize_t>(at), to = static_cast<py::ssize_t>(at + sizes[i++]);
                out.append(parsed[py::slice(from, to, 1)].attr("rename")(f.attr("columns").attr("name")));
                at = static_cast<std::size_t>(to);
            }
            return out;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw; // a label that is no calendar day: as below
            out = py::list();
        }
    }
    for (py::handle f : frames) out.append(stored_dates(g, f.attr("columns")));
    return out;
}

// Reads finish in any order; put the months back in date order so that the rows of the
// joined table come out the same on every call. Each file's labels are parsed on their own:
// a file holds one date format, but two months may have been written with different ones.
Months in_month_order(G g, py::list frames) {
    py::object pd = g("pd");
    py::list dates_list = dates_of(g, frames);
    if (py::len(frames) == 1) return {frames, dates_list[0]};
    py::list keyed;
    std::size_t i = 0;
    for (py::handle f : frames) {
        py::object dates = dates_list[i++];
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

// pandas' own concat (the function its reshape module defines), or None when a caller has put
// another in its place.
py::object own_concat(G g) {
    py::object none = py::none();
    py::object concat = py::getattr(g("pd"), "concat", none);
    py::object defined = py::getattr(py::module_::import("pandas.core.reshape.concat"), "concat", none);
    return concat.is(defined) ? concat : none;
}

// The joined rows of months whose labels are plain pd.Index objects of one dtype and name,
// as the join computes them: every label in the order of its first appearance, month by month.
// All months' labels are numbered at once (pd.factorize numbers them in that order), and each
// month's own labels become their numbers in `keys`, so that putting a month on the joined
// rows looks up integers: looking up text labels of pandas' str dtype converts them to
// Python objects at every lookup (the union, then every month's indexer), which cost the read
// more than the join itself. None when a month's labels are not such, are missing (NaN) or
// repeat within the month.
py::object numbered_rows(G g, const py::list &frames, py::list &keys) {
    py::object pd = g("pd");
    py::object index_type = pd.attr("Index");
    py::object first = frames[0].attr("index");
    py::object dtype = first.attr("dtype"), name = first.attr("name");
    py::list rest;
    bool later = false;
    for (py::handle f : frames) {
        py::object index = f.attr("index");
        if (!py::type::of(index).is(index_type) || !py_equal(index.attr("dtype"), dtype) ||
            !py_equal(index.attr("name"), name))
            return py::none();
        if (later) rest.append(index);
        later = true;
    }
    py::object all = py::len(rest) ? first.attr("append")(rest) : first;
    py::tuple numbered = pd.attr("factorize")(all);
    py::object codes = numbered[0], rows = numbered[1];
    if (truthy(codes.attr("__lt__")(0).attr("any")()) || !py_equal(rows.attr("dtype"), dtype)) return py::none();
    std::size_t at = 0;
    for (py::handle f : frames) {
        const std::size_t size = py::len(f.attr("index"));
        py::object key = pd.attr("Index")(codes[py::slice(static_cast<py::ssize_t>(at), static_cast<py::ssize_t>(at + size), 1)]);
        at += size;
        if (!truthy(key.attr("is_unique"))) return py::none();
        keys.append(key);
    }
    rows.attr("name") = name;
    return rows;
}

// A join of the months as they are read holds every month twice at its peak: the months, and
// the joined table built of their rows put on the union of instruments. Float64 months with
// unique labels are instead put on the union's rows one at a time, each dropped as soon as its
// aligned copy exists, so that the join only places them side by side (pandas keeps columns
// already on the joined rows without copying them). Arrow keeps the memory of a month it
// decoded for its own later use; it is asked to give it back as each month goes. When pandas'
// concat was replaced, or any month is empty, has repeated labels or other dtypes, the months
// go to the join as read.
void align_months(G g, py::list &frames) {
    const std::size_t n = py::len(frames);
    py::object concat = own_concat(g);
    if (n < 2 || concat.is_none()) return;
    for (py::handle f : frames)
        if (py::len(f.attr("index")) == 0 || !all_float64(f)) return;
    // Each month is put on key_rows by its labels in keys, and then given the labels rows.
    py::list keys;
    py::object rows = numbered_rows(g, frames, keys);
    py::object key_rows;
    if (rows.is_none()) {
        // Other labels (a MultiIndex, dates, ...): the union is the one the join computes,
        // taken from the same join of the months without their columns.
        py::list bare;
        keys = py::list();
        for (py::handle f : frames) {
            py::object index = f.attr("index");
            if (!truthy(index.attr("is_unique"))) return;
            bare.append(f.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::slice(0, 0, 1))]);
            keys.append(index);
        }
        key_rows = concat(bare, "axis"_a = 1).attr("index");
        for (py::handle f : frames)
            if (!py_equal(f.attr("index").attr("dtype"), key_rows.attr("dtype"))) return;
        rows = key_rows;
    } else {
        key_rows = g("pd").attr("RangeIndex")(py::len(rows));
    }
    // What the reads used besides the months (pages, decoded columns) goes first.
    release_arrow_memory();
    for (std::size_t i = 0; i < n; ++i) {
        py::object month = frames[i];
        py::object key = keys[i];
        if (truthy(key.attr("equals")(key_rows))) {
            if (!key_rows.is(rows)) month.attr("index") = rows;
            continue;
        }
        if (!key.is(month.attr("index"))) month.attr("index") = key;
        py::object aligned = month.attr("reindex")(key_rows);
        frames[i] = aligned;
        month = py::object(); // the last reference to the month as read
        if (!key_rows.is(rows)) aligned.attr("index") = rows;
        aligned = py::object();
        release_arrow_memory();
    }
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

// A bound left as None is taken from the latest stored month: its first day for the start,
// its last day for the end.
void default_bounds(G g, py::handle latest, O &start_date, O &end_date) {
    py::object pd = g("pd");
    if (py_equal(start_date, py::none())) start_date = join_text({latest, "-01"});
    if (py_equal(end_date, py::none()))
        end_date = (pd.attr("Timestamp")(latest) + pd.attr("offsets").attr("MonthEnd")(0)).attr("strftime")("%Y-%m-%d");
}

// Year, month and day of a plain "YYYY-MM-DD" text naming a calendar day of the years 1000 to
// 9999; false for any other value.
bool calendar_day(py::handle value, int &year, int &month) {
    if (!PyUnicode_CheckExact(value.ptr()) || !is_iso_day(value)) return false;
    const char *s = PyUnicode_AsUTF8(value.ptr());
    if (!s) {
        PyErr_Clear();
        return false;
    }
    const auto number = [s](int at, int digits) {
        int v = 0;
        for (int i = at; i < at + digits; ++i) v = v * 10 + (s[i] - '0');
        return v;
    };
    year = number(0, 4);
    month = number(5, 2);
    const int day = number(8, 2);
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1000 || month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= month_days[month - 1] + (month == 2 && leap ? 1 : 0);
}

// YYYY-MM of every month with at least one day in start..end, ascending. Bounds given as plain
// "YYYY-MM-DD" texts (the defaults are such) are counted directly, the same months that a
// range of their days gives.
py::list months_in_range(G g, py::handle start_date, py::handle end_date) {
    int y0 = 0, m0 = 0, y1 = 0, m1 = 0;
    if (calendar_day(start_date, y0, m0) && calendar_day(end_date, y1, m1)) {
        py::list months;
        if (py::str(start_date).cast<std::string>() > py::str(end_date).cast<std::string>()) return months;
        for (int y = y0, m = m0; y < y1 || (y == y1 && m <= m1); m == 12 ? (++y, m = 1) : ++m) {
            char text[16];
            std::snprintf(text, sizeof text, "%04d-%02d", y, m);
            months.append(py::str(text));
        }
        return months;
    }
    py::object days = g("pd").attr("date_range")("start"_a = start_date, "end"_a = end_date, "freq"_a = "D",
                                                 "normalize"_a = true);
    return days.attr("to_period")("M").attr("unique")().attr("strftime")("%Y-%m").attr("tolist")();
}

// The month files of the months, read in parallel by the class's runner; the tables in the
// order the reads finished. An entry under a month's name that is not a month file (a
// directory, say) is not read: pandas' engines disagree on what reading a directory gives.
py::list read_month_files(G g, py::handle self, py::handle directory, py::handle category,
                          const py::list &months, const py::list &stored, py::handle label) {
    py::object cls = store_class(g);
    py::set stored_set(stored);
    py::object exists = g("os").attr("path").attr("exists");
    py::list tasks;
    for (py::handle x : months) {
        py::str path = join_text({directory, "/", names::month_file_name(category, x)});
        if (!stored_set.contains(x) && truthy(exists(path))) continue;
        tasks.append(list_of(path));
    }
    return cls.attr("run_concurrently")(tasks, cls.attr("read_parquet"), "max_workers"_a = self.attr("max_workers"),
                                        "task_desc"_a = label);
}

// The joined table's columns within start..end, in date order. Cut by the labels' dates, so
// that any date format works; datetime labels replace the texts when asked for.
py::object cut_to_range(G g, py::object joined, py::object dates, py::handle start_date, py::handle end_date,
                        bool as_datetime) {
    py::object pd = g("pd");
    py::object start = parse_bound(g, start_date), end = parse_bound(g, end_date);
    if (!as_datetime) {
        // Text labels are cut by the bounds' calendar days, as comparing them with the
        // bounds' "%Y-%m-%d" texts would; datetime labels by the bounds themselves.
        start = start.attr("normalize")();
        end = end.attr("normalize")();
    }
    // Every column kept and already in date order (a range of whole months): the joined
    // table is the result as it stands, without another copy of it.
    if (ascending_within(dates, start, end)) {
        if (as_datetime) joined.attr("columns") = dates;
        return joined;
    }
    py::object keep = dates.attr("__ge__")(start) & dates.attr("__le__")(end);
    py::object kept_dates = dates[keep];
    py::object order = kept_dates.attr("argsort")("kind"_a = "stable");
    py::object positions = pd.attr("RangeIndex")(py::len(dates))[keep][order];
    bool whole = py::len(positions) == py::len(dates) &&
                 truthy(positions.attr("equals")(pd.attr("RangeIndex")(py::len(dates))));
    py::object result = whole ? joined
                              : joined.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), positions)];
    if (as_datetime) result.attr("columns") = kept_dates[order];
    return result;
}

} // namespace

O read_pivot_category(G g, O self, O category, O start_date, O end_date, O column_type) {
    py::object pd = g("pd");
    py::object directory = self.attr("_get_category_path")(category);
    py::list stored = names::stored_months(g("os"), directory, category);
    if (py::len(stored) > 0) default_bounds(g, stored[py::len(stored) - 1], start_date, end_date);
    // A month belongs to the range when any of its days does.
    py::list target_ms = months_in_range(g, start_date, end_date);
    if (py::len(stored) == 0) {
        // No month is stored: every month of the range is missing (ascending, as listed).
        print_line(g, {texts::category_missing(category, target_ms)});
        return pd.attr("DataFrame")();
    }
    py::list frames = read_month_files(g, self, directory, category, target_ms, stored,
                                       texts::reading_desc(category, start_date, end_date));
    if (py::len(frames) == 0) raise(PyExc_ValueError, texts::kReadFailed);
    Months months = in_month_order(g, frames);
    frames = py::list(); // the months are held by months.frames alone from here
    align_months(g, months.frames);
    // One month is the join of itself: pandas' own concat would only copy it.
    py::object joined = py::len(months.frames) == 1 && !own_concat(g).is_none()
                            ? py::object(months.frames[0])
                            : pd.attr("concat")(months.frames, "axis"_a = 1);
    return cut_to_range(g, joined, months.dates, start_date, end_date,
                        py_equal(column_type, py::str("datetime")));
}

} // namespace marvane::store
