// The merge rule of float64 months, in one place. A month is a table of instruments by days;
// once the stored and the new month are aligned on the same labels, each cell is decided on
// its own:
//   - the new cell differs from the stored one when exactly one of them is NaN, or when both
//     are numbers and unequal (NaN against NaN is no difference);
//   - the merged cell is the stored value, or the new one where the stored cell is NaN;
//   - a merged row left without any value is dropped.
// Both tables come as float64 arrays of one shape (rows x columns), each contiguous in row or
// in column order; anything else is refused with a ValueError or TypeError. The loops run
// without the GIL, so the other months' tasks go on meanwhile.
#pragma once

#include "common/pyhelpers.hpp"

#include <utility>
#include <vector>

namespace marvane::merge_kernel {

// Whether any new cell differs from the stored cell at its place.
bool cells_differ(py::handle stored, py::handle incoming);

// The merged cells, in the stored table's memory order, and the rows that keep at least one
// value: a bool array with one entry per row, or None when every row does.
std::pair<py::object, py::object> fill_cells(py::handle stored, py::handle incoming);

// The rows of one table (float64, contiguous in row or column order) that hold at least one
// value: a bool array with one entry per row, or None when every row does.
py::object rows_with_values(py::handle values);

// The same rule through position maps (merge_kernel_mapped.cpp), for tables whose labels lie
// in different places: each map entry is a row or column place in one table, -1 where the
// label is not in that table. Neither table is reindexed.
using Places = std::vector<py::ssize_t>;

// Whether any stored cell differs from the new cell of its labels; every stored row and
// column has its place in the new table (incoming_rows, incoming_cols).
bool cells_differ_at(py::handle stored, py::handle incoming, const Places &incoming_rows, const Places &incoming_cols);

// The merged table over the union of labels: output row u takes stored row stored_rows[u]
// and new row incoming_rows[u] (likewise for columns). Rows left without a value are
// dropped. The values come in column order; `kept` lists the union rows kept, and is empty
// with all_kept set when every row is.
struct Filled {
    py::object values;
    Places kept;
    bool all_kept = true;
};
Filled fill_at(py::handle stored, py::handle incoming, const Places &stored_rows, const Places &incoming_rows,
               const Places &stored_cols, const Places &incoming_cols);

// A numpy array as the kernel takes it: itself when contiguous in row or column order, else
// a copy in row order.
py::object contiguous(py::handle values);

} // namespace marvane::merge_kernel
