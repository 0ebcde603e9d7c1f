// The reader's own parts, shared by its files (callers include safepickle.hpp only).
//
// A value is read in three steps, none of which hands a numpy, pandas or pyarrow constructor
// anything the payload chose without checking it first:
//   1. screen (screen.cpp): one pass over the opcodes, before anything is built: lengths
//      within the payload, memo indices only those the pickle defined, nesting depth and
//      size spelled out bounded; persistent ids, extension codes and out-of-band buffers
//      refused.
//   2. load (standins.cpp): Python's own pickle machine runs over the bytes, but every global
//      resolves to a stand-in class of the allow-list; calling one (REDUCE, NEWOBJ) or BUILD
//      on its result only records what was asked. BUILD on a class is refused.
//   3. build (load.cpp, with the rules of rules_*.cpp): the finished tree is turned into real
//      objects bottom-up; each recorded call goes through its rule, which checks the (already
//      built) arguments and state and makes the object through a checked path.
#pragma once

#include "common/pyhelpers.hpp"
#include "safepickle/safepickle.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marvane::safepickle {

class Load;
struct Rule;

// What a rule gets: the arguments of the call (a tuple; stand-in classes among them stay
// stand-ins, see rule_of), its keyword arguments (None when there were none) and the states
// BUILD applied to the result, in order (usually none or one).
struct Call {
    py::tuple args;
    py::object kwargs;
    py::list states;
};

using Build = py::object (*)(Load &, const Rule &, Call &);

struct Rule {
    const char *module;
    const char *name;
    Build build;         // makes the object; null for a constant (the global itself)
    const char *accepts; // what the rule accepts, for errors and readers of the table
};

// "module.name" of a rule's global, as errors name it.
std::string global_name(const Rule &rule);

// Raises pickle.UnpicklingError(message).
[[noreturn]] void raise_unpickling(const std::string &message);

// An imported module from sys.modules (importing it only when it is not there yet).
py::object module(const char *name);
// obj.a.b.c for the path "a.b.c".
py::object dotted_attr(py::object obj, const std::string &path);

// The rule of a global, or null when the allow-list has none (allow_list.cpp).
const Rule *find_rule(std::string_view module, std::string_view name);
// The rule behind a stand-in class, or null when `obj` is not one (standins.cpp).
const Rule *rule_of(py::handle obj);

// One value being read: its limits and the ways a rule reports a refusal.
class Load {
public:
    // `text` is the payload's bytes, kept alive by the caller for the whole read.
    Load(const Globals &g, std::size_t payload_size, std::string_view text = {})
        : g_(g), payload_(payload_size), text_(text) {}

    // Items (elements, bytes) any one built thing may hold: proportional to the payload.
    std::uint64_t item_bound() const { return 16 * static_cast<std::uint64_t>(payload_) + 4096; }
    // Rows a sparse array may span: only its points are materialised, so a column of low
    // density outgrows the payload's bound; a fixed cap holds it instead.
    static constexpr std::uint64_t kMaxSparseLength = std::uint64_t{1} << 26;
    // Labels a lazy axis (a RangeIndex) may span: the payload's bound, or the sparse cap where
    // the value names sparse arrays, whose frames have as many rows as their columns span.
    std::uint64_t lazy_bound() const {
        return names_sparse() ? std::max(item_bound(), kMaxSparseLength) : item_bound();
    }
    // n <= lazy_bound(); the payload is searched for the sparse index's name only for a count
    // beyond its own bound (a search of a month value's megabyte cost a tenth of its read).
    bool within_lazy_bound(std::uint64_t n) const { return n <= item_bound() || n <= lazy_bound(); }
    std::size_t payload_size() const { return payload_; }
    // Objects a value may hold spelled out (shared parts counted at every place they appear):
    // a payload of a few kilobytes gives its objects a million places at most, a larger one
    // 32 per byte.
    std::uint64_t spelled_bound() const { return 1000000 + 32 * static_cast<std::uint64_t>(payload_); }

    // pickle.UnpicklingError("refused to load <what>").
    [[noreturn]] void refuse(const std::string &what) const;
    // pickle.UnpicklingError naming the limit a value went over.
    [[noreturn]] void over_limit(const std::string &limit) const;

    // The real global a rule stands for, imported now (numpy 1.x and 2.x internal module
    // names both resolve in the installed numpy; pyarrow is imported only here, when a value
    // holds Arrow data).
    py::object real(const Rule &rule) const;
    py::object real(const char *module, const char *name) const;

    // The built form of a node of the loaded tree (see load.cpp).
    py::object real_as_data(const Rule &rule);
    py::object build(py::handle node, std::size_t depth, bool as_argument);

    const Globals &globals() const { return g_; }

private:
    py::object built_call(py::handle pending, std::size_t depth);
    py::object rebuilt_list(py::handle list, std::size_t depth, bool as_argument);
    py::object rebuilt_dict(py::handle dict, std::size_t depth, bool as_argument);
    py::object rebuilt_tuple_or_set(py::handle items, std::size_t depth, bool as_argument);

    const Globals &g_;
    // Whether the payload names sparse arrays' index (searched once, when first asked).
    bool names_sparse() const {
        if (names_sparse_ < 0) names_sparse_ = text_.find("IntIndex") != std::string_view::npos;
        return names_sparse_ == 1;
    }

    std::size_t payload_;
    std::string_view text_;
    mutable int names_sparse_ = -1;
    struct Seen;
    Seen *seen_ = nullptr;
    friend py::object checked_loads(const Globals &g, py::handle data);
};

// The opcode pass (screen.cpp); raises pickle.UnpicklingError.
void screen(const Load &load, const char *data, std::size_t size);

} // namespace marvane::safepickle
