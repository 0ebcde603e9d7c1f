// Rules of Arrow (pyarrow.lib): arrays rebuilt from a state whose layout is the one its type asks
// for (buffers and children counted, lengths within the payload's bound), then validated in
// full before anything uses them: text arrays over their buffers here (offsets, validity,
// null count, UTF-8), others by pyarrow; buffers only from bytes; types from a bounded
// description (timestamps of a known unit and a zone key, decimals, fields, lists, structs,
// dictionaries); chunked arrays of validated chunks. pyarrow is imported only when a value holds Arrow data.
#include "common/pyhelpers.hpp"
#include "safepickle/rule_checks.hpp"
#include "safepickle/rules.hpp"

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <utility>

namespace marvane::safepickle::rules {

namespace {

// The type ids of Arrow's string and large_string (what pyarrow.types.is_string and
// is_large_string compare against), read once.
std::pair<int, int> text_type_ids() {
    static const std::pair<int, int> ids(lib("pyarrow", "string")().attr(PN("id")).cast<int>(),
                                         lib("pyarrow", "large_string")().attr(PN("id")).cast<int>());
    return ids;
}

// One array state and those of its children and dictionary: the layout the type asks for
// (pyarrow builds the array from it without checking: a missing buffer crashes it).
void check_arrow_state(Load &L, const Rule &r, py::handle s, int depth) {
    if (depth > 64) L.over_limit("nesting depth (Arrow children)");
    if (!PyTuple_Check(s.ptr()) || length(s) != 7) refuse(L, r, "state " + short_repr(s));
    py::tuple st = py::reinterpret_borrow<py::tuple>(s);
    if (!is_a(st[0], lib("pyarrow", "DataType")) || !is_int(st[1]) || !is_int(st[2]) || !is_int(st[3]) ||
        !PyList_Check(st[4].ptr()) || !PyList_Check(st[5].ptr()))
        refuse(L, r, "state " + short_repr(s));
    long long len = st[1].cast<long long>(), nulls = st[2].cast<long long>(), offset = st[3].cast<long long>();
    if (len < 0 || offset < 0 || static_cast<std::uint64_t>(len) + static_cast<std::uint64_t>(offset) > L.item_bound())
        L.over_limit("size (Arrow length " + short_repr(st[1]) + " at offset " + short_repr(st[3]) + ")");
    if (nulls < -1 || nulls > len) refuse(L, r, "null count " + short_repr(st[2]));
    Obj type = st[0];
    if (length(st[4]) != type.attr(PN("num_buffers")).cast<std::size_t>())
        refuse(L, r, std::to_string(length(st[4])) + " buffers for Arrow type " + short_repr(type));
    for (py::handle b : st[4])
        if (!b.is_none() && !is_a(b, lib("pyarrow", "Buffer"))) refuse(L, r, "a buffer " + short_repr(b));
    if (length(st[5]) != type.attr(PN("num_fields")).cast<std::size_t>())
        refuse(L, r, std::to_string(length(st[5])) + " children for Arrow type " + short_repr(type));
    // each child of the type its field names, the dictionary of the type's values (pyarrow
    // takes the type's word for them and aborts the process on a child of another type)
    std::size_t i = 0;
    for (py::handle child : st[5]) {
        check_arrow_state(L, r, child, depth + 1);
        Obj field = py::hasattr(type, "field") ? Obj(type.attr(PN("field"))(i)) : Obj(type.attr(PN("value_field")));
        if (!py_equal(py::reinterpret_borrow<py::tuple>(child)[0], field.attr(PN("type"))))
            refuse(L, r, "a child of a type other than its field's in Arrow type " + short_repr(type));
        ++i;
    }
    bool dictionary = is_a(type, lib("pyarrow", "DictionaryType"));
    if (dictionary == st[6].is_none()) refuse(L, r, "a dictionary that does not match Arrow type " + short_repr(type));
    if (dictionary) {
        check_arrow_state(L, r, st[6], depth + 1);
        if (!py_equal(py::reinterpret_borrow<py::tuple>(st[6])[0], type.attr(PN("value_type"))))
            refuse(L, r, "a dictionary of a type other than the values of Arrow type " + short_repr(type));
    }
}

// The bytes of an Arrow buffer of the payload, read in place (none for a missing buffer).
class BufferBytes {
public:
    explicit BufferBytes(py::handle buffer) {
        if (buffer.is_none()) return;
        if (PyObject_GetBuffer(buffer.ptr(), &view_, PyBUF_SIMPLE) < 0) throw py::error_already_set();
        held_ = true;
    }
    ~BufferBytes() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferBytes(const BufferBytes &) = delete;
    BufferBytes &operator=(const BufferBytes &) = delete;
    bool present() const { return held_; }
    const unsigned char *data() const { return static_cast<const unsigned char *>(view_.buf); }
    std::uint64_t size() const { return held_ ? static_cast<std::uint64_t>(view_.len) : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// No byte past ASCII in s[0, n): the bytes OR-ed together and tested once, a loop compilers
// vectorize (the text of a frame is mostly ASCII).
bool all_ascii(const unsigned char *s, std::size_t n) {
    unsigned char seen = 0;
    for (std::size_t i = 0; i < n; ++i) seen |= s[i];
    return seen < 0x80;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(const unsigned char *s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        std::uint64_t word;
        if (i + 8 <= n && (std::memcpy(&word, s + i, 8), (word & 0x8080808080808080ULL) == 0)) {
            i += 8;
            continue;
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t follow;
        unsigned char lo = 0x80, hi = 0xBF; // the allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) follow = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else return false;
        if (n - i - 1 < follow || s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k <= follow; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += follow + 1;
    }
    return true;
}

// A text array's buffers (validity, offsets, data) checked as Arrow's full validation checks
// them, in one pass over the offsets: the validity bitmap covers the values and its nulls are
// the null count; offsets start at or after 0, never go back and end within the data; every
// value that is not null is well-formed UTF-8.
template <typename Offset>
void check_text_buffers(Load &L, const Rule &r, const BufferBytes &validity, const BufferBytes &offsets,
                        const BufferBytes &data, std::uint64_t offset, std::uint64_t length, long long nulls) {
    auto invalid = [&](const std::string &why) { refuse(L, r, "an invalid Arrow array: " + why); };
    std::uint64_t end = offset + length; // both bounded by the payload's item bound
    if (validity.present() && validity.size() < (end + 7) / 8)
        invalid("a validity bitmap of " + std::to_string(validity.size()) + " bytes for " + std::to_string(end) +
                " values");
    if (offsets.size() / sizeof(Offset) < end + 1)
        invalid("an offsets buffer of " + std::to_string(offsets.size()) + " bytes for " + std::to_string(length) +
                " values at offset " + std::to_string(offset));
    std::size_t n = static_cast<std::size_t>(length);
    const unsigned char *raw = offsets.data() + static_cast<std::size_t>(offset) * sizeof(Offset);
    auto at = [raw](std::size_t i) {
        Offset v;
        std::memcpy(&v, raw + i * sizeof(Offset), sizeof(Offset));
        return v;
    };
    Offset first = at(0), last = at(n);
    if (first < 0 || last < first || static_cast<std::uint64_t>(last) > data.size())
        invalid("offsets from " + std::to_string(first) + " to " + std::to_string(last) + " over " +
                std::to_string(data.size()) + " bytes of text");
    // Offsets go back where a step, taken as unsigned, has its top bit set: exact while every
    // offset is below a quarter of the type's range (checked alongside); any doubt, and the exact
    // loop below decides. Unlike a compare of signed 64-bit values, this loop vectorizes on
    // every x86-64.
    using Unsigned = std::make_unsigned_t<Offset>;
    constexpr int width = 8 * sizeof(Offset);
    Unsigned spread = static_cast<Unsigned>(at(n)), steps = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Unsigned a = static_cast<Unsigned>(at(i)), b = static_cast<Unsigned>(at(i + 1));
        spread |= a;
        steps |= static_cast<Unsigned>(b - a);
    }
    bool back = (steps >> (width - 1)) != 0 || (spread >> (width - 2)) != 0;
    if (back)
        for (std::size_t i = 0; i < n; ++i)
            if (at(i + 1) < at(i)) invalid("offsets that go back at value " + std::to_string(i));
    const unsigned char *bits = validity.present() ? validity.data() : nullptr;
    auto valid = [bits, offset](std::size_t i) {
        std::uint64_t b = offset + i;
        return !bits || ((bits[static_cast<std::size_t>(b / 8)] >> (b % 8)) & 1) != 0;
    };
    if (bits) {
        std::uint64_t counted = 0;
        for (std::size_t i = 0; i < n; ++i) counted += valid(i) ? 0U : 1U;
        if (nulls >= 0 && counted != static_cast<std::uint64_t>(nulls))
            invalid("a null count of " + std::to_string(nulls) + " over " + std::to_string(counted) + " nulls");
    } else if (nulls > 0)
        invalid("a null count of " + std::to_string(nulls) + " without a validity bitmap");
    const unsigned char *text = data.data();
    // A value can only split a character when the text holds any byte past ASCII.
    if (all_ascii(text + first, static_cast<std::size_t>(last - first))) return;
    for (std::size_t i = 0; i < n; ++i)
        if (valid(i) && !valid_utf8(text + at(i), static_cast<std::size_t>(at(i + 1) - at(i))))
            invalid("value " + std::to_string(i) + " is not valid UTF-8");
}

// Text arrays (string, large_string) with their offsets and text present are checked here over
// their buffers, which costs a fraction of pyarrow's full validation; true when this one was.
bool checked_text_array(Load &L, const Rule &r, py::tuple st) {
    int id = st[0].attr(PN("id")).cast<int>();
    if (!is_text_type_id(id)) return false;
    bool large = id == text_type_ids().second;
    py::list buffers = st[4];
    BufferBytes validity(buffers[0]), offsets(buffers[1]), data(buffers[2]);
    if (!offsets.present() || !data.present()) return false;
    auto offset = static_cast<std::uint64_t>(st[3].cast<long long>());
    auto length = static_cast<std::uint64_t>(st[1].cast<long long>());
    long long nulls = st[2].cast<long long>();
    if (!large) check_text_buffers<std::int32_t>(L, r, validity, offsets, data, offset, length, nulls);
    else check_text_buffers<std::int64_t>(L, r, validity, offsets, data, offset, length, nulls);
    return true;
}

} // namespace

bool is_text_type_id(int id) { return id == text_type_ids().first || id == text_type_ids().second; }

// pyarrow.lib.timestamp(unit, tz): a known unit, a zone name or none.
Obj arrow_timestamp(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 2);
    static const std::set<std::string> units = {"s", "ms", "us", "ns"};
    if (!is_str(c.args[0]) || !units.count(std::string(py::str(c.args[0]))))
        refuse(L, r, "unit " + short_repr(c.args[0]));
    if (c.args.size() == 2 && !c.args[1].is_none()) zone_key(L, r, c.args[1]);
    return call_plain(L, r, c);
}

// Arrow types from a bounded description: each constructor gets only what it names, checked
// (decimal precision and scale within Arrow's range, a byte width, a field's text name and
// type, a dictionary's integer index type); nested types arrive already made by these rules.
namespace {
bool is_arrow_type(py::handle h) { return is_a(h, lib("pyarrow", "DataType")); }
} // namespace

Obj arrow_type(Load &L, const Rule &r, Call &c) {
    plain(L, r, c.args);
    expect_states(L, r, c, 0, 0);
    if (!c.kwargs.is_none()) refuse(L, r, "keyword arguments are not accepted");
    std::string name = r.name;
    std::size_t n = c.args.size();
    auto int_in = [&](std::size_t i, long long lo, long long hi) {
        return i < n && is_int(c.args[i]) && c.args[i].cast<long long>() >= lo && c.args[i].cast<long long>() <= hi;
    };
    bool ok = false;
    if (name == "decimal128" || name == "decimal256") {
        long long most = name == "decimal128" ? 38 : 76;
        ok = (n == 1 || n == 2) && int_in(0, 1, most) && (n == 1 || int_in(1, -most, most));
    } else if (name == "binary") {
        ok = n == 0 || (n == 1 && int_in(0, -1, 1 << 20));
    } else if (name == "field") {
        ok = n >= 2 && n <= 4 && is_str(c.args[0]) && length(c.args[0]) <= 1024 && is_arrow_type(c.args[1]) &&
             (n < 3 || PyBool_Check(c.args[2].ptr())) && (n < 4 || c.args[3].is_none() || PyDict_Check(c.args[3].ptr()));
    } else if (name == "list_" || name == "large_list") {
        ok = n == 1 && (is_arrow_type(c.args[0]) || is_a(c.args[0], lib("pyarrow", "Field")));
    } else if (name == "struct") {
        ok = n == 1 && (PyList_Check(c.args[0].ptr()) || PyTuple_Check(c.args[0].ptr()));
        if (ok)
            for (py::handle f : c.args[0]) ok &= is_a(f, lib("pyarrow", "Field"));
    } else if (name == "dictionary") {
        ok = (n == 2 || n == 3) && is_arrow_type(c.args[0]) && is_arrow_type(c.args[1]) &&
             truthy(lib("pyarrow", "types.is_integer")(c.args[0])) && (n < 3 || PyBool_Check(c.args[2].ptr()));
    }
    if (!ok) refuse(L, r, "arguments " + short_repr(c.args));
    return call(L.real(r), c.args);
}

// chunked_array(chunks, type): Arrow arrays each made and validated by their own rule, all of
// the given type.
Obj arrow_chunked(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 2);
    expect_states(L, r, c, 0, 0);
    if (!PyList_Check(c.args[0].ptr()) && !PyTuple_Check(c.args[0].ptr())) refuse(L, r, "chunks " + short_repr(c.args[0]));
    Obj type = c.args.size() == 2 ? Obj(c.args[1]) : Obj(py::none());
    if (!type.is_none() && !is_arrow_type(type)) refuse(L, r, "type " + short_repr(type));
    for (py::handle chunk : c.args[0]) {
        if (!is_a(chunk, lib("pyarrow", "Array"))) refuse(L, r, "a chunk " + short_repr(chunk));
        if (!type.is_none() && !py_equal(chunk.attr(PN("type")), type)) refuse(L, r, "a chunk of another type");
    }
    if (length(c.args[0]) == 0 && type.is_none()) refuse(L, r, "no chunks and no type");
    return call(L.real(r), c.args);
}

// pyarrow's _restore_array((type, length, null_count, offset, buffers, children,
// dictionary)); the result is validated in full before anything else sees it.
Obj arrow_restore(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 1);
    expect_states(L, r, c, 0, 0);
    py::handle s = c.args[0];
    plain(L, r, s);
    check_arrow_state(L, r, s, 0);
    bool checked = checked_text_array(L, r, py::reinterpret_borrow<py::tuple>(s));
    Obj array = L.real(r)(s);
    try {
        // the layout checks alone when the buffers were checked above
        if (checked) array.attr(PN("validate"))();
        else array.attr(PN("validate"))("full"_a = true);
    } catch (py::error_already_set &e) {
        refuse(L, r, "an invalid Arrow array: " + std::string(py::str(e.value())));
    }
    return array;
}

Obj arrow_buffer(Load &L, const Rule &r, Call &c) {
    expect_args(L, r, c, 1, 1);
    if (!PyBytes_Check(c.args[0].ptr()) && !PyByteArray_Check(c.args[0].ptr())) refuse(L, r, "a buffer of " + short_repr(c.args[0]));
    return call_plain(L, r, c);
}

} // namespace marvane::safepickle::rules
