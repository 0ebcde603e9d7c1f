// The opcode pass run before a value is loaded. It walks every opcode once, keeping for each
// stack entry only how deeply it nests and how large it is spelled out, and refuses before
// anything is built:
//  - an argument or length running past the end of the payload;
//  - a memo index the pickle did not define (GET), or one far past what it could define (PUT:
//    the memo is an array, so PUT 2**28 alone would ask for gigabytes);
//  - values nested deeper than kMaxDepth (a tuple nested 200,000 deep, used as a dict key,
//    overflows the C stack when hashed);
//  - values that, spelled out, hold more than a bound tied to the payload's size: memo
//    references share one object many times over, so a few hundred bytes can make a tuple of
//    2**175 leaves (each level three references to the one below), which hashing as a dict
//    key, comparing or showing would walk for ever;
//  - persistent ids, extension codes and out-of-band buffers, which no value of ours uses.
// Depths and sizes are exact for tuples, frozensets and calls; lists and dicts filled after
// they were memoized may end up deeper or larger than counted here (the build pass checks
// depth on the result; a list cannot be hashed).
#include "common/pyhelpers.hpp"
#include "safepickle/reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace marvane::safepickle {

namespace {

class Screen {
public:
    Screen(const Load &load, const char *data, std::size_t size)
        : load_(load), p_(reinterpret_cast<const unsigned char *>(data)), n_(size) {}

    void run() {
        std::size_t ops = 0;
        for (;;) {
            unsigned char op = byte();
            ++ops;
            switch (static_cast<char>(op)) {
            case '.': // STOP
                if (above_mark() < 1) malformed("STOP with an empty stack");
                return;
            case '(': marks_.push_back(stack_.size()); depth_check(marks_.size()); break;
            case '0': // POP: a value, or a mark with nothing above it
                if (above_mark() > 0) stack_.pop_back();
                else if (!marks_.empty()) marks_.pop_back();
                else malformed("POP from an empty stack");
                break;
            case '1': pop_mark(); break;
            case '2': push(top()); break;
            case '}': case ']': case ')': case '\x8f': push({1, 1}); break; // empty containers
            case 'i': line(); line(); push(holding(pop_mark())); break;     // INST
            case '\x93': pop(); pop(); push(kAtom); break;                  // STACK_GLOBAL
            case 'R': case '\x81': { // REDUCE, NEWOBJ
                Entry a = pop(), f = pop();
                push(holding(a, f));
                break;
            }
            case '\x92': { // NEWOBJ_EX
                Entry k = pop(), a = pop(), c = pop();
                push(holding(holding(k, a), c));
                break;
            }
            case 'o': { // OBJ: class and arguments after a mark
                if (above_mark() < 1) malformed("OBJ without a class");
                push(holding(pop_mark()));
                break;
            }
            case 'b': grow(pop()); break; // BUILD
            case 'd': case 'l': case 't': case '\x91': push(holding(pop_mark())); break;
            case '\x85': push(holding(pop())); break;
            case '\x86': { Entry a = pop(), b = pop(); push(holding(a, b)); break; }
            case '\x87': {
                Entry a = pop(), b = pop(), c = pop();
                push(holding(holding(a, b), c));
                break;
            }
            case 'a': grow(pop()); break; // APPEND
            case 's': { Entry v = pop(), k = pop(); grow(together(v, k)); break; }
            case 'e': case 'u': case '\x90': grow(pop_mark()); break;
            case 'g': get(decimal(line())); break;
            case 'h': get(le(1)); break;
            case 'j': get(le(4)); break;
            case 'p': put(decimal(line()), ops); break;
            case 'q': put(le(1), ops); break;
            case 'r': put(le(4), ops); break;
            case '\x94': put(memo_defined_, ops); break; // MEMOIZE
            case '\x80': skip(1); break;              // PROTO
            case '\x95': le(8); break;                // FRAME: its opcodes follow inline
            case 'P': case 'Q': load_.refuse("a persistent id");
            case '\x82': case '\x83': case '\x84': load_.refuse("an extension code");
            case '\x97': case '\x98': load_.refuse("an out-of-band buffer");
            default: {
                if (atom(op)) break;
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02x", op);
                malformed(std::string("invalid opcode ") + hex);
            }
            }
        }
    }

private:
    // An opcode that pushes one atom (a number, text, bytes, None, a bool, a global's name):
    // its argument skipped, the atom pushed. False for any other opcode.
    bool atom(unsigned char op) {
        switch (static_cast<char>(op)) {
        case 'F': case 'I': case 'L': case 'S': line(); break; // text arguments
        case 'V': escaped_text(line()); break;                 // UNICODE
        case 'J': skip(4); break;
        case 'K': skip(1); break;
        case 'M': skip(2); break;
        case 'G': skip(8); break;
        case 'N': case '\x88': case '\x89': break;
        case 'T': case '\x8b': skip(signed_length()); break; // BINSTRING, LONG4
        case 'U': case 'C': skip(le(1)); break;
        case '\x8c': text(le(1)); break; // SHORT_BINUNICODE
        case 'X': text(le(4)); break;     // BINUNICODE
        case 'B': skip(le(4)); break;
        case '\x8a': skip(le(1)); break; // LONG1
        case '\x8d': text(le(8)); break; // BINUNICODE8
        case '\x8e': case '\x96': skip(le(8)); break;
        case 'c': line(); line(); break; // GLOBAL
        default: return false;
        }
        push(kAtom);
        return true;
    }

    // What the screen knows of a stack entry: how deeply it nests, and how many objects it
    // holds when spelled out (shared objects counted at every place they appear; saturating).
    struct Entry {
        std::uint32_t depth;
        std::uint64_t size;
    };
    static constexpr Entry kAtom{0, 1};
    static constexpr std::uint64_t kSaturated = std::uint64_t{1} << 62;

    const Load &load_;
    const unsigned char *p_;
    std::size_t n_, pos_ = 0;
    std::vector<Entry> stack_;
    std::vector<std::size_t> marks_;
    std::vector<Entry> memo_;       // the entry of each defined index
    std::vector<bool> memo_set_;    // which indices are defined
    std::size_t memo_defined_ = 0;
    std::uint64_t max_size() const { return load_.spelled_bound(); }

    static std::uint64_t sum(std::uint64_t a, std::uint64_t b) { return std::min(kSaturated, a + b); }
    // Two entries side by side (a key and its value).
    static Entry together(Entry a, Entry b) { return {std::max(a.depth, b.depth), sum(a.size, b.size)}; }
    // A new object holding `inner` (a container of items, a call and its arguments).
    static Entry holding(Entry inner) { return {inner.depth + 1, sum(inner.size, 1)}; }
    static Entry holding(Entry a, Entry b) { return holding(together(a, b)); }

    [[noreturn]] void malformed(const std::string &why) const {
        raise_unpickling("malformed pickle at byte " + std::to_string(pos_) + ": " + why);
    }
    [[noreturn]] void truncated() const { raise_unpickling("pickle data was truncated"); }

    unsigned char byte() {
        if (pos_ >= n_) truncated();
        return p_[pos_++];
    }
    void skip(std::uint64_t count) {
        if (count > n_ - pos_) truncated();
        pos_ += static_cast<std::size_t>(count);
    }
    std::uint64_t le(int width) {
        if (static_cast<std::size_t>(width) > n_ - pos_) truncated();
        std::uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = (v << 8) | p_[pos_ + static_cast<std::size_t>(i)];
        pos_ += static_cast<std::size_t>(width);
        return v;
    }
    // Text of `count` UTF-8 bytes. The pickle machine decodes it letting surrogates pass
    // (ED A0..BF); a lone surrogate makes a str that nothing can encode again (repr aside):
    // no Parquet engine writes it, so it is refused here.
    void text(std::uint64_t count) {
        const std::size_t at = pos_;
        skip(count);
        for (const unsigned char *q = p_ + at, *end = p_ + pos_;
             (q = static_cast<const unsigned char *>(std::memchr(q, 0xED, static_cast<std::size_t>(end - q)))) != nullptr; ++q)
            if (q + 1 < end && q[1] >= 0xA0 && q[1] <= 0xBF) surrogate();
    }
    // Protocol 0 text: \uXXXX and \UXXXXXXXX escapes, none of them a surrogate.
    void escaped_text(const std::string &t) {
        for (std::size_t i = t.find('\\'); i != std::string::npos && i + 1 < t.size(); i = t.find('\\', i + 1)) {
            const std::size_t digits = t[i + 1] == 'u' ? 4 : t[i + 1] == 'U' ? 8 : 0;
            if (!digits || i + 2 + digits > t.size()) continue;
            unsigned long v = 0;
            for (std::size_t k = 0; k < digits; ++k) {
                const char c = t[i + 2 + k];
                const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                if (d < 0) break;
                v = v * 16 + static_cast<unsigned long>(d);
            }
            if (v >= 0xD800 && v <= 0xDFFF) surrogate();
        }
    }
    [[noreturn]] void surrogate() const { malformed("text holding a lone surrogate"); }
    // A signed four-byte length (BINSTRING, LONG4); negative ones are malformed.
    std::uint32_t signed_length() {
        std::int32_t len = static_cast<std::int32_t>(le(4));
        if (len < 0) malformed("negative byte count");
        return static_cast<std::uint32_t>(len);
    }
    // A protocol 0 argument: the bytes up to the next newline (consumed).
    std::string line() {
        const void *nl = std::memchr(p_ + pos_, '\n', n_ - pos_);
        if (!nl) truncated();
        std::size_t end = static_cast<std::size_t>(static_cast<const unsigned char *>(nl) - p_);
        std::string text(reinterpret_cast<const char *>(p_ + pos_), end - pos_);
        pos_ = end + 1;
        return text;
    }
    std::uint64_t decimal(const std::string &text) {
        if (text.empty() || text.size() > 18) malformed("bad memo index");
        std::uint64_t v = 0;
        for (char c : text) {
            if (c < '0' || c > '9') malformed("bad memo index");
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return v;
    }

    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
    std::size_t above_mark() const { return stack_.size() - fence(); }
    void depth_check(std::size_t depth) const {
        if (depth > kMaxDepth)
            load_.over_limit("nesting depth (values are nested at most " + std::to_string(kMaxDepth) +
                             " levels deep)");
    }
    void check(Entry e) const {
        depth_check(e.depth);
        if (e.size > max_size())
            load_.over_limit("size spelled out (a value whose shared parts, counted at every place "
                             "they appear, exceed " + std::to_string(max_size()) + " objects)");
    }
    void push(Entry e) {
        check(e);
        stack_.push_back(e);
    }
    Entry top() const {
        if (above_mark() < 1) malformed("stack underflow");
        return stack_.back();
    }
    Entry pop() {
        Entry v = top();
        stack_.pop_back();
        return v;
    }
    // The entry on top takes in `added` (items appended, a state set).
    void grow(Entry added) {
        if (above_mark() < 1) malformed("stack underflow");
        Entry &e = stack_.back();
        Entry grown{std::max(e.depth, added.depth + 1), sum(e.size, added.size)};
        check(grown);
        e = grown;
    }
    // Everything above the last mark, dropped with the mark: their greatest depth, their sizes
    // together.
    Entry pop_mark() {
        if (marks_.empty()) malformed("no mark on the stack");
        std::size_t at = marks_.back();
        marks_.pop_back();
        Entry all{0, 0};
        for (std::size_t i = at; i < stack_.size(); ++i) all = together(all, stack_[i]);
        stack_.resize(at);
        return all;
    }
    void get(std::uint64_t index) {
        if (index >= memo_.size() || !memo_set_[static_cast<std::size_t>(index)])
            load_.over_limit("memo (index " + std::to_string(index) + " was never defined)");
        push(memo_[static_cast<std::size_t>(index)]);
    }
    void put(std::uint64_t index, std::size_t ops) {
        if (index > ops)
            load_.over_limit("memo (index " + std::to_string(index) +
                             " is past what the pickle can define)");
        Entry e = top();
        std::size_t i = static_cast<std::size_t>(index);
        if (i >= memo_.size()) {
            const std::size_t n = std::max(i + 1, memo_.size() * 2);
            memo_.resize(n, kAtom);
            memo_set_.resize(n, false);
        }
        if (!memo_set_[i]) ++memo_defined_;
        memo_set_[i] = true;
        memo_[i] = e;
    }
};

} // namespace

void screen(const Load &load, const char *data, std::size_t size) {
    Screen(load, data, size).run();
}

} // namespace marvane::safepickle
