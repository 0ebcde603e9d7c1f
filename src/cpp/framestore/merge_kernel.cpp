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
    Order order = Order::Rows;
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
    if (flags(p.stored, py::array::c_style) && flags(p.incoming, py::array::c_style))
        p.order = Order::Rows;
    else if (flags(p.stored, py::array::f_style) && flags(p.incoming, py::array::f_style))
        p.order = Order::Columns;
    else
        raise(PyExc_ValueError, "stored and incoming must be contiguous in the same memory order");
    return p;
}

// A new cell differs from the stored one unless they are equal or both NaN.
inline bool cell_differs(double stored, double incoming) {
    return !(stored == incoming) & !(std::isnan(stored) & std::isnan(incoming));
}

// Whether any of the cells from..to differs.
bool any_cell_differs(const double *s, const double *n, std::size_t from, std::size_t to) {
    std::size_t k = from;
#if defined(__SSE2__)
    // Two cells at a time: compilers do not vectorise a floating-point comparison reduced to an
    // integer on plain SSE2, and this test is most of the cost of a month that did not change.
    __m128d found = _mm_setzero_pd();
    for (; k + 2 <= to; k += 2) {
        const __m128d a = _mm_loadu_pd(s + k), b = _mm_loadu_pd(n + k);
        const __m128d not_both_nan = _mm_or_pd(_mm_cmpord_pd(a, a), _mm_cmpord_pd(b, b));
        found = _mm_or_pd(found, _mm_and_pd(_mm_cmpneq_pd(a, b), not_both_nan));
    }
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
        // Block by block, without a branch per cell; the answer is looked at after each block.
        constexpr std::size_t kBlock = 4096;
        for (std::size_t from = 0; from < count && !differ; from += kBlock)
            differ = any_cell_differs(s, n, from, std::min(count, from + kBlock));
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
        if (p.order == Order::Rows) {
            for (std::size_t i = 0, k = 0; i < p.rows; ++i)
                for (std::size_t j = 0; j < p.cols; ++j, ++k) {
                    o[k] = merged(s[k], n[k]);
                    kept[i] = kept[i] || !std::isnan(o[k]);
                }
        } else {
            for (std::size_t j = 0, k = 0; j < p.cols; ++j)
                for (std::size_t i = 0; i < p.rows; ++i, ++k) {
                    o[k] = merged(s[k], n[k]);
                    kept[i] = kept[i] || !std::isnan(o[k]);
                }
        }
        for (std::size_t i = 0; i < p.rows; ++i) kept_rows += kept[i] ? 1 : 0;
    }
    py::object rows_kept = kept_rows == p.rows ? py::object(py::none()) : py::object(keep);
    return {std::move(out), std::move(rows_kept)};
}

std::pair<py::object, py::object> same_order(py::handle stored, py::handle incoming) {
    auto order = [](py::handle x, int style) {
        return py::isinstance<py::array>(x) && (py::reinterpret_borrow<py::array>(x).flags() & style) != 0;
    };
    py::object a = py::reinterpret_borrow<py::object>(stored), b = py::reinterpret_borrow<py::object>(incoming);
    for (int style : {py::array::c_style, py::array::f_style})
        if (order(a, style) && order(b, style)) return {a, b};
    py::object to_columns = py::module_::import("numpy").attr("asfortranarray");
    return {to_columns(a), to_columns(b)};
}

} // namespace marvane::merge_kernel
