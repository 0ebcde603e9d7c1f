// The float64 month merge through position maps (merge_kernel.hpp): the cells of both tables
// are read where their labels lie, so neither table is reindexed first.
#include "common/pyhelpers.hpp"
#include "framestore/merge_kernel.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace marvane::merge_kernel {

namespace {

// A float64 table with its element strides.
struct Table {
    py::array_t<double, 0> array;
    py::ssize_t rows = 0, cols = 0, row_step = 0, col_step = 0;
    const double *data = nullptr;
    double at(py::ssize_t i, py::ssize_t j) const { return data[i * row_step + j * col_step]; }
};

Table table(py::handle values, const char *name) {
    py::object a = contiguous(values);
    if (!py::array_t<double, 0>::check_(a))
        raise(PyExc_TypeError, std::string(name) + " must be a float64 array");
    Table t{py::reinterpret_borrow<py::array_t<double, 0>>(a)};
    if (t.array.ndim() != 2) raise(PyExc_ValueError, std::string(name) + " must be a table (2 dimensions)");
    t.rows = t.array.shape(0);
    t.cols = t.array.shape(1);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    t.row_step = t.array.strides(0) / item;
    t.col_step = t.array.strides(1) / item;
    t.data = t.array.data();
    return t;
}

// Every place within 0..size-1, or -1 where `missing` allows it.
void check_places(const Places &places, py::ssize_t size, bool missing, const char *what) {
    for (py::ssize_t place : places)
        if (place >= size || place < (missing ? -1 : 0))
            raise(PyExc_ValueError, std::string(what) + " holds a place outside the table");
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

bool cells_differ_at(py::handle stored, py::handle incoming, const Places &incoming_rows, const Places &incoming_cols) {
    const Table s = table(stored, "stored"), n = table(incoming, "incoming");
    if (static_cast<py::ssize_t>(incoming_rows.size()) != s.rows ||
        static_cast<py::ssize_t>(incoming_cols.size()) != s.cols)
        raise(PyExc_ValueError, "the maps must give a place to every stored row and column");
    check_places(incoming_rows, n.rows, false, "incoming_rows");
    check_places(incoming_cols, n.cols, false, "incoming_cols");
    bool differ = false;
    {
        py::gil_scoped_release nogil;
        // Column after column (the stored table's usual order); the answer looked at after each.
        for (py::ssize_t j = 0; j < s.cols && !differ; ++j) {
            const py::ssize_t nj = incoming_cols[static_cast<std::size_t>(j)];
            bool found = false;
            for (py::ssize_t i = 0; i < s.rows; ++i) {
                const double a = s.at(i, j), b = n.at(incoming_rows[static_cast<std::size_t>(i)], nj);
                found |= !(a == b) & !(std::isnan(a) & std::isnan(b));
            }
            differ = found;
        }
    }
    return differ;
}

Filled fill_at(py::handle stored, py::handle incoming, const Places &stored_rows, const Places &incoming_rows,
               const Places &stored_cols, const Places &incoming_cols) {
    const Table s = table(stored, "stored"), n = table(incoming, "incoming");
    if (stored_rows.size() != incoming_rows.size() || stored_cols.size() != incoming_cols.size())
        raise(PyExc_ValueError, "the maps of either table must have one length per axis");
    check_places(stored_rows, s.rows, true, "stored_rows");
    check_places(incoming_rows, n.rows, true, "incoming_rows");
    check_places(stored_cols, s.cols, true, "stored_cols");
    check_places(incoming_cols, n.cols, true, "incoming_cols");
    const auto rows = static_cast<py::ssize_t>(stored_rows.size()), cols = static_cast<py::ssize_t>(stored_cols.size());
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    // Column order: each column's cells lie together, as in pandas' own blocks.
    py::array_t<double> out(std::vector<py::ssize_t>{rows, cols}, std::vector<py::ssize_t>{item, rows * item});
    double *o = out.mutable_data();
    Filled result;
    std::vector<unsigned char> kept(static_cast<std::size_t>(rows), 0);
    std::size_t kept_rows = 0;
    // The rows of both tables already in union order, each column's cells together (a month
    // whose instruments did not change): whole columns at a time, with no place to look up.
    bool in_place = s.row_step == 1 && n.row_step == 1 && s.rows == rows && n.rows == rows;
    for (py::ssize_t u = 0; u < rows && in_place; ++u)
        in_place = stored_rows[static_cast<std::size_t>(u)] == u && incoming_rows[static_cast<std::size_t>(u)] == u;
    {
        py::gil_scoped_release nogil;
        for (py::ssize_t j = 0; j < cols; ++j) {
            const py::ssize_t sj = stored_cols[static_cast<std::size_t>(j)], nj = incoming_cols[static_cast<std::size_t>(j)];
            double *column = o + j * rows;
            unsigned char *row_kept = kept.data();
            if (in_place && sj >= 0 && nj >= 0) {
                const double *a = s.data + sj * s.col_step, *b = n.data + nj * n.col_step;
                for (py::ssize_t u = 0; u < rows; ++u) {
                    const double cell = std::isnan(a[u]) ? b[u] : a[u];
                    column[u] = cell;
                    row_kept[u] |= static_cast<unsigned char>(!std::isnan(cell));
                }
                continue;
            }
            if (in_place && (sj >= 0 || nj >= 0)) { // a day on one side only
                const double *a = sj >= 0 ? s.data + sj * s.col_step : n.data + nj * n.col_step;
                for (py::ssize_t u = 0; u < rows; ++u) {
                    column[u] = a[u];
                    row_kept[u] |= static_cast<unsigned char>(!std::isnan(a[u]));
                }
                continue;
            }
            for (py::ssize_t u = 0; u < rows; ++u) {
                const py::ssize_t si = stored_rows[static_cast<std::size_t>(u)];
                const py::ssize_t ni = incoming_rows[static_cast<std::size_t>(u)];
                const double a = (sj >= 0 && si >= 0) ? s.at(si, sj) : kNaN;
                const double b = (nj >= 0 && ni >= 0) ? n.at(ni, nj) : kNaN;
                const double cell = std::isnan(a) ? b : a;
                column[u] = cell;
                kept[static_cast<std::size_t>(u)] |= static_cast<unsigned char>(!std::isnan(cell));
            }
        }
        for (unsigned char k : kept) kept_rows += k;
    }
    if (kept_rows == static_cast<std::size_t>(rows)) {
        result.values = std::move(out);
        return result;
    }
    // Rows left without a value are dropped: the kept rows copied into a table of their own.
    result.all_kept = false;
    result.kept.reserve(kept_rows);
    for (py::ssize_t u = 0; u < rows; ++u)
        if (kept[static_cast<std::size_t>(u)]) result.kept.push_back(u);
    const auto kept_count = static_cast<py::ssize_t>(kept_rows);
    py::array_t<double> compact(std::vector<py::ssize_t>{kept_count, cols},
                                std::vector<py::ssize_t>{item, kept_count * item});
    double *c = compact.mutable_data();
    {
        py::gil_scoped_release nogil;
        for (py::ssize_t j = 0; j < cols; ++j)
            for (py::ssize_t k = 0; k < kept_count; ++k)
                c[j * kept_count + k] = o[j * rows + result.kept[static_cast<std::size_t>(k)]];
    }
    result.values = std::move(compact);
    return result;
}

} // namespace marvane::merge_kernel
