// The month merge's label plan (label_plan.hpp): one hash table per axis gives every stored
// and every new label its place in the union.
#include "common/pyhelpers.hpp"
#include "framestore/label_plan.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string_view>
#include <type_traits>
#include <utility>

namespace marvane::label_plan {

namespace {

// The plan of one axis over keys that compare as the labels do. Any label twice on one side,
// or a table whose probes run far past their expected count (keys made to collide), gives no
// plan: the caller then uses pandas' own operations.
template <typename Key, typename Hash>
std::optional<AxisPlan> plan_axis(const std::vector<Key> &stored, const std::vector<Key> &incoming, Hash hash) {
    const std::size_t ne = stored.size(), nn = incoming.size();
    AxisPlan p;
    p.incoming_of_stored.assign(ne, -1);
    std::size_t capacity = 16;
    while (capacity < 2 * (ne + nn)) capacity *= 2;
    const std::size_t mask = capacity - 1;
    std::vector<py::ssize_t> slots(capacity, -1); // a key's id: its stored place, or ne + its new_labels place
    const auto key_of = [&](py::ssize_t id) -> const Key & {
        const auto k = static_cast<std::size_t>(id);
        return k < ne ? stored[k] : incoming[static_cast<std::size_t>(p.new_labels[k - ne])];
    };
    const std::size_t budget = 8 * (ne + nn) + 64;
    std::size_t probes = 0;
    bool exhausted = false;
    // The id already holding `key`, or -1 after giving the key the id `id`.
    const auto find_or_add = [&](const Key &key, py::ssize_t id) -> py::ssize_t {
        for (std::size_t s = hash(key) & mask;; s = (s + 1) & mask) {
            if (++probes > budget) {
                exhausted = true;
                return -1;
            }
            const py::ssize_t at = slots[s];
            if (at < 0) {
                slots[s] = id;
                return -1;
            }
            if (key_of(at) == key) return at;
        }
    };
    for (std::size_t i = 0; i < ne; ++i)
        if (find_or_add(stored[i], static_cast<py::ssize_t>(i)) >= 0 || exhausted) return std::nullopt;
    // The same labels in the same order (a month's usual case): the stored labels, found unique
    // above, are the new ones.
    const bool same_sequence = ne == nn && std::equal(stored.begin(), stored.end(), incoming.begin());
    if (same_sequence) std::iota(p.incoming_of_stored.begin(), p.incoming_of_stored.end(), py::ssize_t{0});
    for (std::size_t j = 0; j < nn && !same_sequence; ++j) {
        const py::ssize_t at = find_or_add(incoming[j], static_cast<py::ssize_t>(ne + p.new_labels.size()));
        if (exhausted) return std::nullopt;
        if (at < 0) {
            p.new_labels.push_back(static_cast<py::ssize_t>(j));
        } else {
            const auto k = static_cast<std::size_t>(at);
            if (k >= ne || p.incoming_of_stored[k] >= 0) return std::nullopt; // twice in the new axis
            p.incoming_of_stored[k] = static_cast<py::ssize_t>(j);
        }
    }
    p.same_set = ne == nn && p.new_labels.empty();
    p.identical = p.same_set;
    for (std::size_t i = 0; i < ne && p.identical; ++i)
        p.identical = p.incoming_of_stored[i] == static_cast<py::ssize_t>(i);

    const std::size_t total = ne + p.new_labels.size();
    p.order.resize(total);
    std::iota(p.order.begin(), p.order.end(), py::ssize_t{0});
    // pandas' union: an identical axis, or an empty side, gives the labels as they are.
    if (!p.identical && ne > 0 && nn > 0) {
        if constexpr (std::is_same_v<Key, std::string_view>) {
            // Text compares first on its leading 8 bytes as one number (zero padded, which keeps
            // the order: a shorter text sorts before its extensions), then in full on a tie.
            std::vector<std::pair<std::uint64_t, py::ssize_t>> keyed(total);
            for (std::size_t u = 0; u < total; ++u) {
                const std::string_view text = key_of(static_cast<py::ssize_t>(u));
                std::uint64_t lead = 0;
                for (std::size_t b = 0; b < 8; ++b)
                    lead = (lead << 8) | (b < text.size() ? static_cast<unsigned char>(text[b]) : 0U);
                keyed[u] = {lead, static_cast<py::ssize_t>(u)};
            }
            std::sort(keyed.begin(), keyed.end(), [&](const auto &a, const auto &b) {
                return a.first != b.first ? a.first < b.first : key_of(a.second) < key_of(b.second);
            });
            for (std::size_t u = 0; u < total; ++u) p.order[u] = keyed[u].second;
        } else {
            std::sort(p.order.begin(), p.order.end(), [&](py::ssize_t a, py::ssize_t b) { return key_of(a) < key_of(b); });
        }
    }
    p.stored_at.resize(total);
    p.incoming_at.resize(total);
    for (std::size_t u = 0; u < total; ++u) {
        const auto k = static_cast<std::size_t>(p.order[u]);
        p.stored_at[u] = k < ne ? static_cast<py::ssize_t>(k) : -1;
        p.incoming_at[u] = k < ne ? p.incoming_of_stored[k] : p.new_labels[k - ne];
    }
    return p;
}

// Whether the bytes are UTF-8 as a str encodes it: shortest forms only, no surrogate, nothing
// past U+10FFFF. Only then do equal labels have equal bytes and byte order follow code points.
bool valid_utf8(std::string_view text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        // Eight ASCII bytes at a time, the usual case.
        std::uint64_t eight;
        if (n - i >= 8 && (std::memcpy(&eight, s + i, 8), (eight & 0x8080808080808080ULL) == 0)) {
            i += 8;
            continue;
        }
        const unsigned lead = s[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t point = 0, least = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, point = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, point = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, point = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (n - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            point = (point << 6) | (s[i + k] & 0x3F);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// pandas' Arrow-backed text read over the array's own offsets and bytes, without making a
// str per label. Nothing for a missing label, a kind of array not read here, offsets outside
// the bytes, or bytes that are not UTF-8. `owner` keeps the buffers alive.
std::optional<std::vector<std::string_view>> arrow_labels(py::handle index, py::object &owner) {
    py::object array = index.attr("array").attr("__arrow_array__")();
    py::list chunks = py::hasattr(array, "chunks") ? py::list(array.attr("chunks")) : list_of(array);
    py::list views;
    owner = py::make_tuple(array, views);
    std::vector<std::string_view> out;
    out.reserve(static_cast<std::size_t>(py::len(index)));
    for (py::handle chunk : chunks) {
        const std::string type = py::str(chunk.attr("type"));
        const std::size_t width = type == "string" ? 4 : type == "large_string" ? 8 : 0;
        if (width == 0 || chunk.attr("null_count").cast<py::ssize_t>() != 0) return std::nullopt;
        const auto first = chunk.attr("offset").cast<py::ssize_t>();
        const auto count = static_cast<py::ssize_t>(py::len(chunk));
        if (count == 0) continue;
        py::list buffers = chunk.attr("buffers")();
        if (py::len(buffers) != 3 || buffers[1].is_none() || first < 0) return std::nullopt;
        // memoryviews over the buffers: their bytes as the buffer protocol gives them
        py::object offsets_view = py::module_::import("builtins").attr("memoryview")(buffers[1]);
        views.append(offsets_view);
        Py_buffer *offsets = PyMemoryView_GET_BUFFER(offsets_view.ptr());
        std::string_view bytes;
        if (!buffers[2].is_none()) {
            py::object data_view = py::module_::import("builtins").attr("memoryview")(buffers[2]);
            views.append(data_view);
            Py_buffer *data = PyMemoryView_GET_BUFFER(data_view.ptr());
            bytes = std::string_view(static_cast<const char *>(data->buf), static_cast<std::size_t>(data->len));
        }
        const auto ends = static_cast<std::size_t>(first) + static_cast<std::size_t>(count) + 1;
        if (offsets->len < 0 || static_cast<std::size_t>(offsets->len) / width < ends) return std::nullopt;
        const auto *raw = static_cast<const unsigned char *>(offsets->buf);
        const auto offset_at = [&](std::size_t k) -> std::int64_t {
            if (width == 4) {
                std::int32_t v;
                std::memcpy(&v, raw + k * 4, 4);
                return v;
            }
            std::int64_t v;
            std::memcpy(&v, raw + k * 8, 8);
            return v;
        };
        std::int64_t start = offset_at(static_cast<std::size_t>(first));
        for (std::size_t k = static_cast<std::size_t>(first) + 1; k < ends; ++k) {
            const std::int64_t end = offset_at(k);
            if (start < 0 || end < start || static_cast<std::uint64_t>(end) > bytes.size()) return std::nullopt;
            const std::string_view label =
                bytes.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
            if (!valid_utf8(label)) return std::nullopt;
            out.push_back(label);
            start = end;
        }
    }
    if (out.size() != static_cast<std::size_t>(py::len(index))) return std::nullopt;
    return out;
}

// The UTF-8 bytes of each label, or nothing when a label is not an exact str or cannot be
// encoded (a lone surrogate). `owner` keeps the str objects, and so the bytes, alive.
std::optional<std::vector<std::string_view>> utf8_labels(py::handle pd, py::handle index, py::object &owner) {
    if (!py::type::of(index).is(pd.attr("Index"))) return std::nullopt;
    py::object dtype = index.attr("dtype");
    const bool arrow_text =
        py::isinstance(dtype, pd.attr("StringDtype")) && py_equal(dtype.attr("storage"), py::str("pyarrow"));
    if (arrow_text) return arrow_labels(index, owner);
    const bool text = py::isinstance(dtype, pd.attr("StringDtype")) ||
                      (py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O');
    if (!text) return std::nullopt;
    owner = index.attr("to_numpy")("dtype"_a = "object");
    if (!py::isinstance<py::array>(owner)) return std::nullopt;
    auto values = py::reinterpret_borrow<py::array>(owner);
    if (values.ndim() != 1 || values.dtype().kind() != 'O') return std::nullopt;
    const auto count = static_cast<std::size_t>(values.shape(0));
    const py::ssize_t stride = values.strides(0);
    const char *data = static_cast<const char *>(values.data());
    std::vector<std::string_view> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *label = *reinterpret_cast<PyObject *const *>(data + static_cast<py::ssize_t>(i) * stride);
        if (label == nullptr || !PyUnicode_CheckExact(label)) return std::nullopt;
        Py_ssize_t size = 0;
        const char *bytes = PyUnicode_AsUTF8AndSize(label, &size);
        if (bytes == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        out.emplace_back(bytes, static_cast<std::size_t>(size));
    }
    return out;
}

std::optional<std::vector<std::int64_t>> day_values(py::handle pd, py::handle index) {
    if (!py::type::of(index).is(pd.attr("DatetimeIndex"))) return std::nullopt;
    auto values = index.attr("asi8").cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>();
    if (values.ndim() != 1) return std::nullopt;
    const std::int64_t *v = values.data();
    std::vector<std::int64_t> out(v, v + values.shape(0));
    for (std::int64_t day : out)
        if (day == std::numeric_limits<std::int64_t>::min()) return std::nullopt; // NaT
    return out;
}

py::array_t<py::ssize_t> as_array(const Places &places) {
    return py::array_t<py::ssize_t>(static_cast<py::ssize_t>(places.size()), places.data());
}

} // namespace

std::uint64_t seeded_mix(std::uint64_t x) {
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
    x += seed; // then splitmix64's finaliser: one to one
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

bool AxisPlan::order_is_identity() const {
    for (std::size_t u = 0; u < order.size(); ++u)
        if (order[u] != static_cast<py::ssize_t>(u)) return false;
    return true;
}

std::optional<AxisPlan> text_axis(py::handle pd, py::handle stored, py::handle incoming) {
    py::object stored_owner, incoming_owner;
    auto e = utf8_labels(pd, stored, stored_owner);
    if (!e) return std::nullopt;
    auto n = utf8_labels(pd, incoming, incoming_owner);
    if (!n) return std::nullopt;
    py::gil_scoped_release nogil;
    return plan_axis(*e, *n, std::hash<std::string_view>{});
}

std::optional<AxisPlan> day_axis(py::handle pd, py::handle stored, py::handle incoming) {
    auto e = day_values(pd, stored);
    if (!e) return std::nullopt;
    auto n = day_values(pd, incoming);
    if (!n) return std::nullopt;
    return plan_axis(*e, *n, [](std::int64_t day) { return static_cast<std::size_t>(seeded_mix(static_cast<std::uint64_t>(day))); });
}

py::object union_index(py::handle stored, py::handle incoming, const AxisPlan &plan, const Places *kept) {
    py::object labels = py::reinterpret_borrow<py::object>(stored);
    if (!plan.new_labels.empty()) {
        labels = stored.attr("append")(incoming.attr("take")(as_array(plan.new_labels)));
        // append infers the dtype of text anew (object labels come out as str under pandas 3);
        // the union keeps the axes' own.
        py::object dtype = stored.attr("dtype");
        if (!py_equal(labels.attr("dtype"), dtype)) labels = labels.attr("astype")(dtype);
    }
    if (kept == nullptr) return plan.order_is_identity() ? labels : labels.attr("take")(as_array(plan.order));
    Places places(kept->size());
    for (std::size_t k = 0; k < kept->size(); ++k) places[k] = plan.order[static_cast<std::size_t>((*kept)[k])];
    return labels.attr("take")(as_array(places));
}

} // namespace marvane::label_plan
