// The validating reader of pickled values that come from outside the process (the data
// service's values): bytes in, an object or pickle.UnpicklingError out. This header is all
// that its callers see of it.
//
// A value is built only from the globals of the reader's allow-list (allow_list.cpp), each
// through a rule that checks what it is given before any numpy, pandas or pyarrow constructor
// sees it. Its bounds, all refused as pickle.UnpicklingError naming the limit:
//  - nesting: values nested deeper than kMaxDepth levels;
//  - size spelled out: a value whose shared parts, counted at every place they appear, exceed
//    1,000,000 objects plus 32 per byte of the payload;
//  - any one built thing (array, bytes, set, range of a set, Arrow array): at most 16 items
//    per byte of the payload plus 4,096;
//  - the memo: indices only those the pickle defined, none past what it could define;
//  - persistent ids, extension codes and out-of-band buffers: refused outright.
// A malformed value of any kind raises pickle.UnpicklingError, the original error chained as
// its cause. MemoryError (the process itself is short of memory) and ImportError (a library a
// value needs is not installed: pyarrow, where no build of it exists) pass as they are.
#pragma once

#include "common/pyhelpers.hpp"

#include <cstddef>

namespace marvane::safepickle {

// Values nested deeper than this are refused (hashing or freeing them would recurse in C).
constexpr std::size_t kMaxDepth = 2000;

// The value pickled in `data` (bytes, or any object exposing a buffer), read with the caller
// module's globals `g`.
py::object checked_loads(const Globals &g, py::handle data);

} // namespace marvane::safepickle
