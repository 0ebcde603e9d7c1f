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

namespace marvane::merge_kernel {

// Whether any new cell differs from the stored cell at its place.
bool cells_differ(py::handle stored, py::handle incoming);

// The merged cells, in the stored table's memory order, and the rows that keep at least one
// value: a bool array with one entry per row, or None when every row does.
std::pair<py::object, py::object> fill_cells(py::handle stored, py::handle incoming);

// The rows of one table (float64, contiguous in row or column order) that hold at least one
// value: a bool array with one entry per row, or None when every row does.
py::object rows_with_values(py::handle values);

// A numpy array as the kernel takes it: itself when contiguous in row or column order, else
// a copy in row order.
py::object contiguous(py::handle values);

} // namespace marvane::merge_kernel
