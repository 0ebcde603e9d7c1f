// Whether a stored month, read as an Arrow table, already holds exactly the new month: the
// common outcome of a sync, where most months did not change. Telling it on Arrow's columns
// spares the conversion of the whole month into a pandas table (which holds the interpreter
// lock) only to find nothing to write. The test is strict: anything it does not recognise
// (a file not written as a pandas table of float64 days with one text index, labels in
// another order, a value it cannot place) answers "not known", and the merge then reads the
// month as always and decides as always.
#include "common/pyhelpers.hpp"
#include "framestore/merge_kernel.hpp"
#include "framestore/store.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace marvane::store {

namespace {

// One chunk of a stored float64 column: `length` values from row `row` of the month on.
struct Chunk {
    const unsigned char *validity; // null: every value present
    const double *values;
    std::size_t bit_offset, length, row, column;
};

// Sizes in 64 bits: an offset near the top of a 32-bit size_t must not wrap the checks below.
std::uint64_t size_of(py::handle value) { return value.cast<std::uint64_t>(); }

const unsigned char *address_of(py::handle buffer, std::uint64_t needed_bytes) {
    if (py::hasattr(buffer, "is_cpu") && !truthy(buffer.attr("is_cpu"))) throw std::runtime_error("buffer off the CPU");
    if (size_of(buffer.attr("size")) < needed_bytes) throw std::runtime_error("buffer shorter than its array");
    return reinterpret_cast<const unsigned char *>(static_cast<std::uintptr_t>(buffer.attr("address").cast<unsigned long long>()));
}

// The chunks of the stored day columns, or an exception when a buffer is not as expected.
std::vector<Chunk> chunks_of(py::handle table, const std::vector<py::ssize_t> &fields, std::size_t rows) {
    std::vector<Chunk> out;
    for (std::size_t j = 0; j < fields.size(); ++j) {
        std::size_t row = 0;
        py::object column = table.attr("column")(fields[j]);
        py::list pieces = column.attr("chunks");
        for (py::handle chunk : pieces) {
            const std::uint64_t offset = size_of(chunk.attr("offset")), length = py::len(chunk);
            py::list buffers = chunk.attr("buffers")();
            if (py::len(buffers) != 2 || buffers[1].is_none()) throw std::runtime_error("not a float64 array");
            const unsigned char *validity = nullptr;
            if (!buffers[0].is_none() && truthy(chunk.attr("null_count")))
                validity = address_of(buffers[0], (offset + length + 7) / 8);
            const auto *values =
                reinterpret_cast<const double *>(address_of(buffers[1], (offset + length) * sizeof(double)));
            out.push_back({validity, values, static_cast<std::size_t>(offset), static_cast<std::size_t>(length), row, j});
            row += static_cast<std::size_t>(length);
        }
        if (row != rows) throw std::runtime_error("a column of another length than the table");
    }
    return out;
}

// The new month's values against the stored chunks, by the merge's rule: null (or NaN) on
// both sides is no difference, null against a value is one, two values must be equal.
bool any_cell_differs(const std::vector<Chunk> &chunks, const double *v, std::size_t rows, std::size_t cols,
                      bool column_order) {
    for (const Chunk &c : chunks) {
        bool differ = false;
        for (std::size_t i = 0; i < c.length; ++i) {
            const std::size_t r = c.row + i, at = c.bit_offset + i;
            const bool present = c.validity == nullptr || ((c.validity[at >> 3] >> (at & 7)) & 1) != 0;
            const double s = present ? c.values[at] : NAN;
            const double n = column_order ? v[c.column * rows + r] : v[r * cols + c.column];
            differ = differ || (!(s == n) && !(std::isnan(s) && std::isnan(n)));
        }
        if (differ) return true;
    }
    return false;
}

bool text_of(py::handle value) { return PyUnicode_Check(value.ptr()) != 0; }

// Days since 1970-01-01 of a proleptic Gregorian date.
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// Whether the stored day names ("YYYY-MM-DD", as the store writes them) are, in order, the
// midnights of the new month's day labels (a DatetimeIndex without time zone). Anything else
// is "not known", and the stored labels are then parsed as dates by the merge as always.
} // namespace

bool stored_days_are(py::handle names, py::handle columns, py::handle pd) {
    if (!py::type::of(columns).is(pd.attr("DatetimeIndex")) || !columns.attr("tz").is_none()) return false;
    const std::size_t n = py::len(names);
    if (py::len(columns) != n) return false;
    py::object np = py::module_::import("numpy");
    py::tuple unit = np.attr("datetime_data")(columns.attr("dtype"));
    const std::string name = py::str(unit[0]);
    long long per_day;
    if (name == "s") per_day = 86400LL;
    else if (name == "ms") per_day = 86400LL * 1000;
    else if (name == "us") per_day = 86400LL * 1000000;
    else if (name == "ns") per_day = 86400LL * 1000000000;
    else return false;
    if (unit[1].cast<long long>() != 1) return false;
    py::array_t<long long, 0> values = np.attr("ascontiguousarray")(columns.attr("asi8"));
    if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != n) return false;
    static const unsigned month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (std::size_t k = 0; k < n; ++k) {
        py::handle label = PyList_GET_ITEM(names.ptr(), static_cast<Py_ssize_t>(k));
        if (!is_iso_day(label)) return false;
        const char *t = PyUnicode_AsUTF8(label.ptr());
        const auto digits = [t](int from, int count) {
            unsigned v = 0;
            for (int i = from; i < from + count; ++i) v = v * 10 + static_cast<unsigned>(t[i] - '0');
            return v;
        };
        const unsigned y = digits(0, 4), m = digits(5, 2), d = digits(8, 2);
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (m < 1 || m > 12 || d < 1 || d > month_days[m - 1] || (m == 2 && d == 29 && !leap)) return false;
        // Divided rather than multiplied: a far year in nanoseconds would not fit in 64 bits.
        const long long v = values.at(static_cast<py::ssize_t>(k));
        if (v % per_day != 0 || v / per_day != days_from_civil(y, m, d)) return false;
    }
    return true;
}

O unchanged_month(G g, py::handle table, py::handle month) {
    try {
        py::object pa = py::module_::import("pyarrow");
        py::object schema = table.attr("schema");
        py::object meta = schema.attr("pandas_metadata");
        if (!PyDict_Check(meta.ptr())) return py::none();
        py::dict m = py::reinterpret_borrow<py::dict>(meta);
        if (!m.contains("index_columns") || !m.contains("columns")) return py::none();
        py::list index_columns = m["index_columns"];
        if (py::len(index_columns) != 1 || !text_of(index_columns[0])) return py::none();
        py::str index_name = index_columns[0];
        if (m.contains("column_indexes")) {
            py::list levels = m["column_indexes"];
            if (py::len(levels) > 1) return py::none();
            for (py::handle level : levels)
                if (!py_equal(level.attr("get")("pandas_type"), py::str("unicode"))) return py::none();
        }
        // Every stored column a float64 day named as its field, in the schema's order, and
        // the one index field text.
        py::list names = table.attr("column_names");
        std::vector<py::ssize_t> fields;
        py::list days;
        py::ssize_t index_field = -1;
        py::object is_float64 = pa.attr("types").attr("is_float64");
        for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(py::len(names)); ++i) {
            py::object type = schema.attr("field")(i).attr("type");
            if (py_equal(names[static_cast<std::size_t>(i)], index_name)) {
                if (index_field >= 0) return py::none();
                if (!truthy(pa.attr("types").attr("is_string")(type)) &&
                    !truthy(pa.attr("types").attr("is_large_string")(type)))
                    return py::none();
                index_field = i;
            } else {
                if (!truthy(is_float64(type))) return py::none();
                fields.push_back(i);
                days.append(names[static_cast<std::size_t>(i)]);
            }
        }
        if (index_field < 0) return py::none();
        std::size_t described = 0;
        for (py::handle column : py::list(m["columns"])) {
            if (!PyDict_Check(column.ptr())) return py::none();
            py::dict c = py::reinterpret_borrow<py::dict>(column);
            if (!c.contains("field_name") || py_equal(c["field_name"], index_name)) continue;
            if (described >= py::len(days) || !py_equal(c["field_name"], days[described]) ||
                !c.contains("name") || !py_equal(c["name"], c["field_name"]) || !c.contains("pandas_type") ||
                !py_equal(c["pandas_type"], py::str("float64")))
                return py::none();
            ++described;
        }
        if (described != py::len(days)) return py::none();

        // The same days in the same order, the same rows in the same order.
        py::object pd = g("pd");
        py::object columns = month.attr("columns");
        if (!stored_days_are(days, columns, pd)) return py::none();
        py::object index = month.attr("index");
        const std::size_t rows = py::len(index), cols = fields.size();
        if (size_of(table.attr("num_rows")) != rows) return py::none();
        if (!py_equal(index.attr("inferred_type"), py::str("string"))) return py::none();
        py::object stored_index = table.attr("column")(index_field);
        py::object new_index = pa.attr("chunked_array")(
            list_of(pa.attr("array")(index, "type"_a = stored_index.attr("type"))));
        if (!truthy(stored_index.attr("equals")(new_index))) return py::none();

        py::array values = merge_kernel::contiguous(month.attr("to_numpy")("dtype"_a = "float64"));
        if (values.ndim() != 2 || static_cast<std::size_t>(values.shape(0)) != rows ||
            static_cast<std::size_t>(values.shape(1)) != cols)
            return py::none();
        const bool column_order = (values.flags() & py::array::c_style) == 0;
        const std::vector<Chunk> chunks = chunks_of(table, fields, rows);
        const auto *v = static_cast<const double *>(values.data());
        bool differ;
        {
            py::gil_scoped_release nogil;
            differ = any_cell_differs(chunks, v, rows, cols, column_order);
        }
        if (differ) return py::none();
        return py::make_tuple(columns, py::make_tuple(rows, cols));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw; // an interrupt is not an answer
        return py::none();
    } catch (std::exception &) {
        return py::none();
    }
}

} // namespace marvane::store
