// The labels of a month merge decided once: where each label of the stored month and of the
// new data goes in their union, and what the union is. An axis is planned only when both
// sides hold unique labels of one kind the plan reads exactly (text rows as UTF-8, over the
// Arrow buffers of pandas' Arrow-backed text or from exact str objects otherwise; day columns as
// datetime64 values); anything else has no plan and the caller keeps pandas' own set
// operations.
//
// The union is the one Index.union gives for two axes of one dtype and name: an identical
// axis keeps its order, an empty side gives the other side as it is, and otherwise the labels
// of both come out ascending (text by code point, which for UTF-8 is byte order).
#pragma once

#include "common/pyhelpers.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace marvane::label_plan {

using Places = std::vector<py::ssize_t>; // -1 where a label has no place

// A one-to-one mix of 64-bit values seeded once per process: equal values stay equal, while
// values chosen to collide in a hash table of a fixed function (pandas' for integers and
// dates) or in this one cannot be chosen without the seed.
std::uint64_t seeded_mix(std::uint64_t x);

struct AxisPlan {
    bool identical = false; // the same labels in the same order
    bool same_set = false;  // the same labels, in any order
    Places new_labels;      // places in the new axis of the labels not stored, ascending
    // The union, as places in the stored labels followed by the new_labels.
    Places order;
    Places stored_at, incoming_at;  // for each union place, the label's place on either side
    Places incoming_of_stored;      // for each stored label, its place in the new axis
    bool order_is_identity() const; // the union is the stored labels followed by the new ones
};

// Row labels: both Index objects of plain type with object or pandas string dtype, every
// label an exact str encodable as UTF-8 (Arrow-backed text: no missing label, valid UTF-8),
// no label twice on one side.
std::optional<AxisPlan> text_axis(py::handle pd, py::handle stored, py::handle incoming);

// Day labels: both DatetimeIndex objects without NaT, no day twice on one side.
std::optional<AxisPlan> day_axis(py::handle pd, py::handle stored, py::handle incoming);

// The union as an Index built by pandas from the two axes (so of their dtype and name),
// restricted to the union places in `kept` when given.
py::object union_index(py::handle stored, py::handle incoming, const AxisPlan &plan, const Places *kept = nullptr);

} // namespace marvane::label_plan
