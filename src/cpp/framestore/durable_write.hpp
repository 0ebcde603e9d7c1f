// The crash-safe write of a store file: an exclusive temporary in the final directory,
// flushed to disk, renamed over the file, then the directory flushed.
#pragma once

#include "common/pyhelpers.hpp"

#include <functional>

namespace marvane {

// Write a file atomically: `write(tmp)` writes a temporary file in the final directory, which
// is flushed to disk and renamed onto `path` with os.replace. On any failure the temporary
// file is removed and whatever stood at `path` is left untouched.
void write_atomically(const Globals &g, py::handle path,
                      const std::function<void(py::str tmp)> &write);

} // namespace marvane
