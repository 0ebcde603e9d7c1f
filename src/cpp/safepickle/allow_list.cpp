// The allow-list: every global a value of the service may name, one row each: module, name,
// the rule that checks and makes it (rules.hpp), and what that rule accepts. A global that is
// not here is refused by name. Every row is named by some pickle of tests/data (the rows a
// value may only reach another way say so); a row without a rule is a constant.
#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <functional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace marvane::safepickle {

namespace {

using namespace rules;

// clang-format off
const Rule kRules[] = {
    // builtins and codecs, rules_builtins.cpp ("__builtin__", "xrange" and "copy_reg" are
    // protocol 2's names)
    {"builtins", "bytearray", bytes_like, "bytes, latin1 text, or a size within the bound"},
    {"__builtin__", "bytearray", bytes_like, "bytes, latin1 text, or a size within the bound"},
    {"__builtin__", "bytes", bytes_like, "nothing (protocol 2's empty bytes), or as bytearray"},
    {"builtins", "complex", call_plain, "plain numbers or text"},
    {"__builtin__", "complex", call_plain, "plain numbers or text"},
    {"builtins", "frozenset", set_like, "the pickle's items, or a range within the bound"},
    {"__builtin__", "frozenset", set_like, "the pickle's items, or a range within the bound"},
    {"builtins", "set", set_like, "the pickle's items, or a range within the bound"},
    {"__builtin__", "set", set_like, "the pickle's items, or a range within the bound"},
    {"builtins", "range", lazy_range, "integers (stays lazy, counted at its length)"},
    {"__builtin__", "xrange", call_plain, "integers (stays lazy)"},
    {"builtins", "slice", call_plain, "plain values"},
    {"__builtin__", "slice", call_plain, "plain values"},
    {"__builtin__", "object", not_callable, "only as copy_reg._reconstructor's base"},
    {"copy_reg", "_reconstructor", reconstructor, "(class of this table, object, None): the class's own rule"},
    {"_codecs", "encode", codecs_encode, "(text, \"latin1\") only"},
    {"builtins", "getattr", getattr_rule, "(zoneinfo.ZoneInfo, \"_unpickle\") only, read at load"},
    {"__builtin__", "getattr", getattr_rule, "(zoneinfo.ZoneInfo, \"_unpickle\") only, read at load"},
    // datetime and decimal (plain calls), time zones (rules_time.cpp)
    {"datetime", "date", call_plain, "plain values"},
    {"datetime", "datetime", call_plain, "plain values and a time zone"},
    {"datetime", "time", call_plain, "plain values and a time zone"},
    {"datetime", "timedelta", call_plain, "plain values"},
    {"datetime", "timezone", call_plain, "an offset and a name"},
    {"decimal", "Decimal", call_plain, "text"},
    {"zoneinfo", "ZoneInfo", not_callable, "only through getattr(ZoneInfo, \"_unpickle\")"},
    {"zoneinfo", "ZoneInfo._unpickle", zone_unpickle, "a zone key (no path); reached through getattr"},
    {"pytz", "_p", pytz_zone, "a zone key and offsets (zoneinfo without pytz)"},
    {"pytz", "_UTC", pytz_zone, "nothing"},
    {"pytz", "FixedOffset", pytz_fixed, "minutes under a day (datetime.timezone without pytz)"},
    {"datetime", "tzinfo", tzinfo_base, "nothing: only as the base state of a dateutil zone"},
    {"dateutil.tz.tz", "tzutc", dateutil_utc, "nothing"},
    {"dateutil.tz.tz", "tzoffset", dateutil_offset, "a name and an offset under a day"},
    {"dateutil.tz.tz", "tzfile", dateutil_file, "a zone file's path, of which only the key is read"},
    {"dateutil.tz.tz", "_ttinfo", dateutil_ttinfo, "plain fields, dropped with the tzfile state holding them"},
    // numpy, rules_numpy.cpp (numpy 1.x writes numpy.core, numpy 2.x numpy._core)
    {"numpy", "dtype", numpy_dtype, "descriptor and byte order (datetime unit); no flags, fields"},
    {"numpy", "ndarray", not_callable, "only as _reconstruct's class"},
    {"numpy.core.multiarray", "_reconstruct", numpy_reconstruct, "bytes of shape x itemsize, or a list of shape's size for objects"},
    {"numpy._core.multiarray", "_reconstruct", numpy_reconstruct, "bytes of shape x itemsize, or a list of shape's size for objects"},
    {"numpy.core.numeric", "_frombuffer", numpy_frombuffer, "a buffer of shape x itemsize, no objects"},
    {"numpy._core.numeric", "_frombuffer", numpy_frombuffer, "a buffer of shape x itemsize, no objects"},
    {"numpy.core.multiarray", "scalar", numpy_scalar, "a non-object dtype and its itemsize in bytes"},
    {"numpy._core.multiarray", "scalar", numpy_scalar, "a non-object dtype and its itemsize in bytes"},
    // Arrow, rules_arrow.cpp (pyarrow is imported only when a value holds Arrow data)
    {"pyarrow.lib", "_restore_array", arrow_restore, "an array state; validated in full"},
    {"pyarrow.lib", "py_buffer", arrow_buffer, "bytes"},
    {"pyarrow.lib", "type_for_alias", call_plain, "a type name"},
    {"pyarrow.lib", "timestamp", arrow_timestamp, "a unit and a zone name"},
    {"pyarrow.lib", "decimal128", arrow_type, "a precision up to 38 and a scale"},
    {"pyarrow.lib", "decimal256", arrow_type, "a precision up to 76 and a scale"},
    {"pyarrow.lib", "binary", arrow_type, "nothing, or a byte width"},
    {"pyarrow.lib", "field", arrow_type, "a text name, a type, nullable and metadata"},
    {"pyarrow.lib", "list_", arrow_type, "a value field or type"},
    {"pyarrow.lib", "large_list", arrow_type, "a value field or type"},
    {"pyarrow.lib", "struct", arrow_type, "a list of fields"},
    {"pyarrow.lib", "dictionary", arrow_type, "an integer index type, a value type and ordered"},
    {"pyarrow.lib", "chunked_array", arrow_chunked, "validated Arrow arrays, all of the given type"},
    // pandas frames, managers and indexes, rules_pandas_frames.cpp (public names: pandas 3;
    // module names: 1.5 and 2.x)
    {"pandas", "DataFrame", ndframe, "state with a 2-D block manager"},
    {"pandas.core.frame", "DataFrame", ndframe, "state with a 2-D block manager"},
    {"pandas", "Series", ndframe, "state with a single-block manager"},
    {"pandas.core.series", "Series", ndframe, "state with a single-block manager"},
    {"pandas.core.internals.managers", "BlockManager", block_manager, "blocks as a permutation of the columns, shapes matching axes"},
    {"pandas.core.internals.managers", "SingleBlockManager", block_manager, "one block of the index's length"},
    {"pandas._libs.internals", "_unpickle_block", unpickle_block, "values matching their placement"},
    {"pandas.core.internals.blocks", "new_block", new_block, "values matching their placement, and ndim (pandas 1.3)"},
    {"functools", "partial", not_callable, "only partial(new_block, ndim=n), read when the load calls it"},
    {"pandas.core.indexes.base", "_new_Index", new_index, "an index class of this table and its known fields, checked"},
    {"pandas.core.indexes.datetimes", "_new_DatetimeIndex", new_index, "dates and known fields"},
    {"pandas.core.indexes.timedeltas", "_new_TimedeltaIndex", new_index, "durations and known fields"},
    {"pandas.core.indexes.interval", "_new_IntervalIndex", new_index, "intervals and known fields"},
    {"pandas", "Index", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.base", "Index", not_callable, "only as _new_Index's class"},
    {"pandas", "RangeIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.range", "RangeIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "MultiIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.multi", "MultiIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "DatetimeIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.datetimes", "DatetimeIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "TimedeltaIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.timedeltas", "TimedeltaIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "PeriodIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.period", "PeriodIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "CategoricalIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.category", "CategoricalIndex", not_callable, "only as _new_Index's class"},
    {"pandas", "IntervalIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.interval", "IntervalIndex", not_callable, "only as _new_Index's class"},
    {"pandas.core.indexes.numeric", "Int64Index", not_callable, "only as _new_Index's class (pandas 1.x): an Index"},
    {"pandas.core.indexes.numeric", "UInt64Index", not_callable, "only as _new_Index's class (pandas 1.x): an Index"},
    {"pandas.core.indexes.numeric", "Float64Index", not_callable, "only as _new_Index's class (pandas 1.x): an Index"},
    // pandas arrays, rules_pandas_arrays.cpp
    {"pandas._libs.arrays", "__pyx_unpickle_NDArrayBacked", ndarray_backed, "a class of this table, its dtype and an array of that kind"},
    {"pandas._libs.interval", "__pyx_unpickle_IntervalMixin", interval_mixin, "left and right bounds of one length"},
    {"pandas", "Categorical", not_callable, "only as an array class"},
    {"pandas.core.arrays.categorical", "Categorical", not_callable, "only as an array class"},
    {"pandas.arrays", "DatetimeArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.datetimes", "DatetimeArray", not_callable, "only as an array class"},
    {"pandas.arrays", "TimedeltaArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.timedeltas", "TimedeltaArray", not_callable, "only as an array class"},
    {"pandas.arrays", "PeriodArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.period", "PeriodArray", not_callable, "only as an array class"},
    {"pandas.arrays", "IntervalArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.interval", "IntervalArray", not_callable, "only as an array class"},
    {"pandas.core.arrays.string_", "StringArray", not_callable, "only as an array class"},
    {"pandas.arrays", "IntegerArray", masked_array, "integer data and a mask of its length"},
    {"pandas.core.arrays.integer", "IntegerArray", masked_array, "integer data and a mask of its length"},
    {"pandas.arrays", "FloatingArray", masked_array, "float data and a mask of its length"},
    {"pandas.core.arrays.floating", "FloatingArray", masked_array, "float data and a mask of its length"},
    {"pandas.arrays", "BooleanArray", masked_array, "boolean data and a mask of its length"},
    {"pandas.core.arrays.boolean", "BooleanArray", masked_array, "boolean data and a mask of its length"},
    {"pandas.arrays", "StringArray", not_callable, "only as an array class"},
    {"pandas.arrays", "ArrowExtensionArray", arrow_backed, "a validated Arrow array of its dtype's type"},
    {"pandas.core.arrays.arrow.array", "ArrowExtensionArray", arrow_backed, "a validated Arrow array of its dtype's type"},
    {"pandas.arrays", "SparseArray", sparse_array, "one value per index point, of the dtype's subtype"},
    {"pandas.core.arrays.sparse.array", "SparseArray", sparse_array, "one value per index point, of the dtype's subtype"},
    {"pandas._libs.sparse", "IntIndex", sparse_int_index, "a length within the bound, indices checked against it"},
    {"pandas.arrays", "ArrowStringArray", arrow_backed, "a validated Arrow text array"},
    {"pandas.core.arrays.string_arrow", "ArrowStringArray", arrow_backed, "a validated Arrow text array"},
    // pandas dtypes, rules_pandas_arrays.cpp
    {"pandas", "CategoricalDtype", categorical_dtype, "categories (an Index) and ordered"},
    {"pandas.core.dtypes.dtypes", "CategoricalDtype", categorical_dtype, "categories (an Index) and ordered"},
    {"pandas", "DatetimeTZDtype", datetime_tz_dtype, "a unit and a time zone"},
    {"pandas.core.dtypes.dtypes", "DatetimeTZDtype", datetime_tz_dtype, "a unit and a time zone"},
    {"pandas", "IntervalDtype", interval_dtype, "a subtype and closed"},
    {"pandas.core.dtypes.dtypes", "IntervalDtype", interval_dtype, "a subtype and closed"},
    {"pandas", "PeriodDtype", call_plain, "a frequency"},
    {"pandas.core.dtypes.dtypes", "PeriodDtype", call_plain, "a frequency"},
    {"pandas", "StringDtype", string_dtype, "a storage name"},
    {"pandas.core.arrays.string_", "StringDtype", string_dtype, "a storage name"},
    {"pandas", "BooleanDtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.boolean", "BooleanDtype", simple_dtype, "nothing"},
    {"pandas", "Int64Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int64Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt8Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt8Dtype", simple_dtype, "nothing"},
    {"pandas", "Float64Dtype", simple_dtype, "nothing"},
    {"pandas", "Float32Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.floating", "Float32Dtype", simple_dtype, "nothing"},
    {"pandas", "Int8Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int8Dtype", simple_dtype, "nothing"},
    {"pandas", "Int16Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int16Dtype", simple_dtype, "nothing"},
    {"pandas", "Int32Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "Int32Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt16Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt16Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt32Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt32Dtype", simple_dtype, "nothing"},
    {"pandas", "UInt64Dtype", simple_dtype, "nothing"},
    {"pandas.core.arrays.integer", "UInt64Dtype", simple_dtype, "nothing"},
    {"pandas", "ArrowDtype", arrow_dtype, "an Arrow type"},
    {"pandas.core.dtypes.dtypes", "ArrowDtype", arrow_dtype, "an Arrow type"},
    {"pandas", "SparseDtype", sparse_dtype, "a numpy subtype and a plain fill value"},
    {"pandas.core.dtypes.dtypes", "SparseDtype", sparse_dtype, "a numpy subtype and a plain fill value"},
    {"pandas.core.arrays.sparse.dtype", "SparseDtype", sparse_dtype, "as pandas.SparseDtype (pandas 1.x's path)"},
    {"pandas.core.arrays.floating", "Float64Dtype", simple_dtype, "nothing"},
    // pandas scalars: NA and Period constants and plain calls; NaT, timestamps, durations and
    // date offsets (rules_time.cpp)
    {"pandas", "NA", nullptr, "the constant"},
    {"pandas._libs.missing", "NA", nullptr, "the constant"},
    {"pandas", "Period", call_plain, "plain values"},
    {"pandas._libs.tslibs.period", "Period", call_plain, "plain values"},
    {"pandas", "Interval", interval_scalar, "two bounds and a known side"},
    {"pandas._libs.interval", "Interval", interval_scalar, "two bounds and a known side"},
    {"pandas._libs.tslibs.nattype", "__nat_unpickle", nat, "nothing"},
    {"pandas._libs.tslibs.nattype", "_nat_unpickle", nat, "nothing"},
    {"pandas._libs.tslibs.timedeltas", "_timedelta_unpickle", time_scalar, "a value and a known resolution"},
    {"pandas._libs.tslibs.timestamps", "_unpickle_timestamp", time_scalar, "a value, freq, zone and a known resolution or none"},
    {"pandas._libs.tslibs.timedeltas", "Timedelta", time_scalar, "nanoseconds (pandas 1.3 and 1.4)"},
    {"pandas._libs.tslibs.offsets", "BusinessDay", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "Day", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "Hour", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "Minute", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "Second", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "MonthEnd", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "MonthBegin", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "BusinessMonthEnd", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "Week", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "QuarterEnd", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "BQuarterEnd", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "YearEnd", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "YearBegin", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "SemiMonthEnd", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "BusinessHour", offset, "n, normalize and the class's own fields, checked"},
    {"pandas._libs.tslibs.offsets", "CustomBusinessDay", offset, "n, normalize and the class's own fields, checked"},
};
// clang-format on

using GlobalName = std::pair<std::string_view, std::string_view>; // module, name
struct GlobalNameHash {
    std::size_t operator()(const GlobalName &g) const {
        std::hash<std::string_view> h;
        return h(g.first) * 31 + h(g.second);
    }
};

} // namespace

const Rule *find_rule(std::string_view module, std::string_view name) {
    // Keyed by views of the table's own strings: a lookup copies nothing.
    static const auto *index = [] {
        auto *m = new std::unordered_map<GlobalName, const Rule *, GlobalNameHash>();
        for (const Rule &r : kRules) (*m)[GlobalName(r.module, r.name)] = &r;
        return m;
    }();
    auto it = index->find(GlobalName(module, name));
    return it == index->end() ? nullptr : it->second;
}

} // namespace marvane::safepickle
