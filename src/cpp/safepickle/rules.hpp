// The rules the allow-list (allow_list.cpp) names, by family. A rule receives the call the
// pickle recorded, with its arguments and states already built by the rules below it, checks
// them and makes the real object through a checked path: a public constructor, or the
// library's own unpickling function given a state rebuilt from checked parts. Rules never pass
// a payload's dict of keyword arguments on unread: only known keys are kept. Rules any family
// names (call_plain, not_callable) are in rule_checks.hpp.
#pragma once

#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"

namespace marvane::safepickle::rules {

// builtins and codecs (rules_builtins.cpp)
py::object codecs_encode(Load &, const Rule &, Call &);
py::object bytes_like(Load &, const Rule &, Call &);
py::object set_like(Load &, const Rule &, Call &);
py::object lazy_range(Load &, const Rule &, Call &);
py::object getattr_rule(Load &, const Rule &, Call &);
py::object reconstructor(Load &, const Rule &, Call &);

// time: zones, offsets, timestamps (rules_time.cpp)
py::object zone_unpickle(Load &, const Rule &, Call &);
py::object pytz_zone(Load &, const Rule &, Call &);
py::object pytz_fixed(Load &, const Rule &, Call &);
py::object tzinfo_base(Load &, const Rule &, Call &);
py::object dateutil_utc(Load &, const Rule &, Call &);
py::object dateutil_offset(Load &, const Rule &, Call &);
py::object dateutil_file(Load &, const Rule &, Call &);
py::object dateutil_ttinfo(Load &, const Rule &, Call &);
py::object offset(Load &, const Rule &, Call &);
py::object time_scalar(Load &, const Rule &, Call &);
py::object nat(Load &, const Rule &, Call &);

// numpy (rules_numpy.cpp)
py::object numpy_dtype(Load &, const Rule &, Call &);
py::object numpy_reconstruct(Load &, const Rule &, Call &);
py::object numpy_frombuffer(Load &, const Rule &, Call &);
py::object numpy_scalar(Load &, const Rule &, Call &);

// Arrow (rules_arrow.cpp)
py::object arrow_restore(Load &, const Rule &, Call &);
py::object arrow_buffer(Load &, const Rule &, Call &);
py::object arrow_timestamp(Load &, const Rule &, Call &);
py::object arrow_type(Load &, const Rule &, Call &);
py::object arrow_chunked(Load &, const Rule &, Call &);

// pandas frames, managers and indexes (rules_pandas_frames.cpp)
py::object ndframe(Load &, const Rule &, Call &);
py::object block_manager(Load &, const Rule &, Call &);
py::object unpickle_block(Load &, const Rule &, Call &);
py::object new_block(Load &, const Rule &, Call &);
py::object new_index(Load &, const Rule &, Call &);

// pandas arrays and dtypes (rules_pandas_arrays.cpp)
py::object ndarray_backed(Load &, const Rule &, Call &);
py::object interval_mixin(Load &, const Rule &, Call &);
py::object masked_array(Load &, const Rule &, Call &);
py::object arrow_backed(Load &, const Rule &, Call &);
py::object sparse_array(Load &, const Rule &, Call &);
py::object sparse_int_index(Load &, const Rule &, Call &);
py::object categorical_dtype(Load &, const Rule &, Call &);
py::object datetime_tz_dtype(Load &, const Rule &, Call &);
py::object interval_dtype(Load &, const Rule &, Call &);
py::object simple_dtype(Load &, const Rule &, Call &);
py::object string_dtype(Load &, const Rule &, Call &);
py::object arrow_dtype(Load &, const Rule &, Call &);
py::object sparse_dtype(Load &, const Rule &, Call &);
py::object interval_scalar(Load &, const Rule &, Call &);

} // namespace marvane::safepickle::rules
