// The cell loops of the float64 month merge (the rule is stated in merge_kernel.hpp).
#include "common/pyhelpers.hpp"
#include "framestore/merge_kernel.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marvane::merge_kernel {

namespace {

// float64 in the machine's byte order, taken as it is (never cast from another dtype).
using Array = py::array_t<double, 0>;

enum class Order { Rows, Columns }; // row after row (C), column after column (Fortran)

struct Pair {
    Array stored, incoming;
    std::size_t rows = 0, cols = 0;
    Order order = Order::Rows; // the stored table's; the merged cells come out in it too
    bool same_order = true;    // the new table's cells lie in that order as well
};

Array float_array(py::handle value, const char *name) {
    if (!Array::check_(value)) {
        std::string what = py::isinstance<py::array>(value)
                               ? "an array of " + std::string(py::str(value.attr("dtype")))
                               : std::string(py::str(py::type::of(value).attr("__qualname__")));
        raise(PyExc_TypeError, std::string(name) + " must be a float64 array, not " + what);
    }
    return py::reinterpret_borrow<Array>(value);
}

Pair checked(py::handle stored, py::handle incoming) {
    Pair p{float_array(stored, "stored"), float_array(incoming, "incoming")};
    if (p.stored.ndim() != 2 || p.incoming.ndim() != 2)
        raise(PyExc_ValueError, "stored and incoming must be tables (arrays of 2 dimensions)");
    if (p.stored.shape(0) != p.incoming.shape(0) || p.stored.shape(1) != p.incoming.shape(1))
        raise(PyExc_ValueError, "stored and incoming differ in shape: " +
                                    std::string(py::str(stored.attr("shape"))) + " against " +
                                    std::string(py::str(incoming.attr("shape"))));
    p.rows = static_cast<std::size_t>(p.stored.shape(0));
    p.cols = static_cast<std::size_t>(p.stored.shape(1));
    const auto flags = [](const Array &a, int style) { return (a.flags() & style) != 0; };
    for (const Array *a : {&p.stored, &p.incoming})
        if (!flags(*a, py::array::c_style) && !flags(*a, py::array::f_style))
            raise(PyExc_ValueError, "stored and incoming must each be contiguous (row or column order)");
    p.order = flags(p.stored, py::array::c_style) ? Order::Rows : Order::Columns;
    p.same_order = flags(p.incoming, p.order == Order::Rows ? py::array::c_style : py::array::f_style);
    return p;
}

// Calls cell(row, k_stored, k_incoming) for every cell, in the stored table's memory order;
// k_ are the cell's places in the two buffers.
template <typename Cell>
void each_cell(const Pair &p, Cell cell) {
    const bool by_rows = p.order == Order::Rows;
    const std::size_t outer = by_rows ? p.rows : p.cols, inner = by_rows ? p.cols : p.rows;
    for (std::size_t a = 0, k = 0; a < outer; ++a)
        for (std::size_t b = 0; b < inner; ++b, ++k) {
            const std::size_t i = by_rows ? a : b, j = by_rows ? b : a;
            cell(i, k, p.same_order ? k : (by_rows ? j * p.rows + i : i * p.cols + j));
        }
}

// A new cell differs from the stored one unless they are equal or both NaN.
inline bool cell_differs(double stored, double incoming) {
    return !(stored == incoming) & !(std::isnan(stored) & std::isnan(incoming));
}

#if defined(__SSE2__)
// cell_differs on two cells at once: all bits set in a lane whose cells differ.
inline __m128d cells_differ_pd(__m128d a, __m128d b) {
    const __m128d not_both_nan = _mm_or_pd(_mm_cmpord_pd(a, a), _mm_cmpord_pd(b, b));
    return _mm_and_pd(_mm_cmpneq_pd(a, b), not_both_nan);
}
#endif

// Whether any of the cells from..to differs.
bool any_cell_differs(const double *s, const double *n, std::size_t from, std::size_t to) {
    std::size_t k = from;
#if defined(__SSE2__)
    // Two cells at a time: compilers do not vectorise a floating-point comparison reduced to an
    // integer on plain SSE2, and this test is most of the cost of a month that did not change.
    __m128d found = _mm_setzero_pd();
    for (; k + 2 <= to; k += 2) found = _mm_or_pd(found, cells_differ_pd(_mm_loadu_pd(s + k), _mm_loadu_pd(n + k)));
    if (_mm_movemask_pd(found) != 0) return true;
#endif
    bool found_one = false;
    for (; k < to; ++k) found_one = found_one || cell_differs(s[k], n[k]);
    return found_one;
}

// The merged cell: the stored value, or the new one where the stored cell is NaN.
inline double merged(double stored, double incoming) { return std::isnan(stored) ? incoming : stored; }

} // namespace

bool cells_differ(py::handle stored, py::handle incoming) {
    const Pair p = checked(stored, incoming);
    const double *s = p.stored.data(), *n = p.incoming.data();
    const std::size_t count = p.rows * p.cols;
    bool differ = false;
    {
        py::gil_scoped_release nogil;
        if (p.same_order) {
            // Block by block, without a branch per cell; the answer is looked at after each block.
            constexpr std::size_t kBlock = 4096;
            for (std::size_t from = 0; from < count && !differ; from += kBlock)
                differ = any_cell_differs(s, n, from, std::min(count, from + kBlock));
        } else {
            // The new cells lie across the stored ones: tiles of kTile rows, small enough that
            // the cache lines of both tables are used whole; the answer looked at after each.
            constexpr std::size_t kTile = 64;
            const bool by_rows = p.order == Order::Rows;
            const auto in_rows = [&](std::size_t i, std::size_t j) { return i * p.cols + j; };
            const auto in_cols = [&](std::size_t i, std::size_t j) { return j * p.rows + i; };
            for (std::size_t i0 = 0; i0 < p.rows && !differ; i0 += kTile) {
                const std::size_t i1 = std::min(p.rows, i0 + kTile);
                unsigned found = 0;
                const auto at_s = [&](std::size_t i, std::size_t j) { return by_rows ? in_rows(i, j) : in_cols(i, j); };
                const auto at_n = [&](std::size_t i, std::size_t j) { return by_rows ? in_cols(i, j) : in_rows(i, j); };
                for (std::size_t j = 0; j < p.cols; ++j) {
                    std::size_t i = i0;
#if defined(__SSE2__)
                    __m128d lanes = _mm_setzero_pd();
                    for (; i + 2 <= i1; i += 2)
                        lanes = _mm_or_pd(lanes, cells_differ_pd(_mm_set_pd(s[at_s(i + 1, j)], s[at_s(i, j)]),
                                                                 _mm_set_pd(n[at_n(i + 1, j)], n[at_n(i, j)])));
                    found |= static_cast<unsigned>(_mm_movemask_pd(lanes));
#endif
                    for (; i < i1; ++i) found |= static_cast<unsigned>(cell_differs(s[at_s(i, j)], n[at_n(i, j)]));
                }
                differ = found != 0;
            }
        }
    }
    return differ;
}

std::pair<py::object, py::object> fill_cells(py::handle stored, py::handle incoming) {
    const Pair p = checked(stored, incoming);
    const auto rows = static_cast<py::ssize_t>(p.rows), cols = static_cast<py::ssize_t>(p.cols);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    std::vector<py::ssize_t> strides = p.order == Order::Rows ? std::vector<py::ssize_t>{cols * item, item}
                                                              : std::vector<py::ssize_t>{item, rows * item};
    py::array_t<double> out(std::vector<py::ssize_t>{rows, cols}, strides);
    py::array_t<bool> keep(rows);
    const double *s = p.stored.data(), *n = p.incoming.data();
    double *o = out.mutable_data();
    bool *kept = keep.mutable_data();
    std::size_t kept_rows = 0;
    {
        py::gil_scoped_release nogil;
        for (std::size_t i = 0; i < p.rows; ++i) kept[i] = false;
        each_cell(p, [&](std::size_t i, std::size_t ks, std::size_t kn) {
            o[ks] = merged(s[ks], n[kn]);
            kept[i] = kept[i] || !std::isnan(o[ks]);
        });
        for (std::size_t i = 0; i < p.rows; ++i) kept_rows += kept[i] ? 1 : 0;
    }
    py::object rows_kept = kept_rows == p.rows ? py::object(py::none()) : py::object(keep);
    return {std::move(out), std::move(rows_kept)};
}

py::object rows_with_values(py::handle values) {
    const Pair p = checked(values, values);
    py::array_t<bool> keep(static_cast<py::ssize_t>(p.rows));
    const double *v = p.stored.data();
    bool *kept = keep.mutable_data();
    std::size_t kept_rows = 0;
    {
        py::gil_scoped_release nogil;
        for (std::size_t i = 0; i < p.rows; ++i) kept[i] = false;
        each_cell(p, [&](std::size_t i, std::size_t k, std::size_t) { kept[i] = kept[i] || !std::isnan(v[k]); });
        for (std::size_t i = 0; i < p.rows; ++i) kept_rows += kept[i] ? 1 : 0;
    }
    return kept_rows == p.rows ? py::object(py::none()) : py::object(keep);
}

py::object contiguous(py::handle values) {
    py::array a = py::reinterpret_borrow<py::array>(values);
    if (a.flags() & (py::array::c_style | py::array::f_style)) return a;
    return py::module_::import("numpy").attr("ascontiguousarray")(a);
}

} // namespace marvane::merge_kernel
