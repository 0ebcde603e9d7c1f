// The opcode pass run before a value is loaded. It walks every opcode once, keeping for each
// stack entry only how deeply it nests, and refuses before anything is built:
//  - an argument or length running past the end of the payload;
//  - a memo index the pickle did not define (GET), or one far past what it could define (PUT:
//    the memo is an array, so PUT 2**28 alone would ask for gigabytes);
//  - values nested deeper than kMaxDepth (a tuple nested 200,000 deep, used as a dict key,
//    overflows the C stack when hashed);
//  - persistent ids, extension codes and out-of-band buffers, which no value of ours uses.
// Depths are exact for tuples, frozensets and calls; lists and dicts filled after they were
// memoized may end up deeper than counted here, which the build pass checks on the result.
#include "common/pyhelpers.hpp"
#include "tsclient/unpickler.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace marvane::client::unpickle {

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
            // atoms with a text argument
            case 'F': case 'I': case 'L': case 'S': case 'V': line(); push(0); break;
            case 'J': skip(4); push(0); break;
            case 'K': skip(1); push(0); break;
            case 'M': skip(2); push(0); break;
            case 'G': skip(8); push(0); break;
            case 'N': case '\x88': case '\x89': push(0); break;
            case 'T': case '\x8b': skip(signed_length()); push(0); break; // BINSTRING, LONG4
            case 'U': case 'C': case '\x8c': skip(le(1)); push(0); break;
            case 'X': case 'B': skip(le(4)); push(0); break;
            case '\x8a': skip(le(1)); push(0); break; // LONG1

            case '\x8d': case '\x8e': case '\x96': skip(le(8)); push(0); break;
            case '}': case ']': case ')': case '\x8f': push(1); break; // empty containers
            case 'c': line(); line(); push(0); break;                 // GLOBAL
            case 'i': line(); line(); push(1 + pop_mark()); break;    // INST
            case '\x93': pop(); pop(); push(0); break;                // STACK_GLOBAL
            case 'R': case '\x81': { // REDUCE, NEWOBJ
                std::uint32_t a = pop(), f = pop();
                push(1 + std::max(a, f));
                break;
            }
            case '\x92': { // NEWOBJ_EX
                std::uint32_t k = pop(), a = pop(), c = pop();
                push(1 + std::max({k, a, c}));
                break;
            }
            case 'o': { // OBJ: class and arguments after a mark
                if (above_mark() < 1) malformed("OBJ without a class");
                push(1 + pop_mark());
                break;
            }
            case 'b': { std::uint32_t s = pop(); grow(1 + s); break; } // BUILD
            case 'd': case 'l': case 't': case '\x91': push(1 + pop_mark()); break;
            case '\x85': { std::uint32_t a = pop(); push(1 + a); break; }
            case '\x86': { std::uint32_t a = pop(), b = pop(); push(1 + std::max(a, b)); break; }
            case '\x87': {
                std::uint32_t a = pop(), b = pop(), c = pop();
                push(1 + std::max({a, b, c}));
                break;
            }
            case 'a': { std::uint32_t v = pop(); grow(1 + v); break; }             // APPEND
            case 's': { std::uint32_t v = pop(), k = pop(); grow(1 + std::max(v, k)); break; }
            case 'e': case 'u': case '\x90': { std::uint32_t d = pop_mark(); grow(1 + d); break; }
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
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02x", op);
                malformed(std::string("invalid opcode ") + hex);
            }
            }
        }
    }

private:
    const Load &load_;
    const unsigned char *p_;
    std::size_t n_, pos_ = 0;
    std::vector<std::uint32_t> stack_; // nesting depth of each entry
    std::vector<std::size_t> marks_;
    std::vector<std::uint32_t> memo_; // depth + 1 of each defined index; 0: undefined
    std::size_t memo_defined_ = 0;

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
    void push(std::uint32_t depth) {
        depth_check(depth);
        stack_.push_back(depth);
    }
    std::uint32_t top() const {
        if (above_mark() < 1) malformed("stack underflow");
        return stack_.back();
    }
    std::uint32_t pop() {
        std::uint32_t v = top();
        stack_.pop_back();
        return v;
    }
    void grow(std::uint32_t depth) {
        if (above_mark() < 1) malformed("stack underflow");
        depth_check(depth);
        stack_.back() = std::max(stack_.back(), depth);
    }
    // Everything above the last mark, dropped with the mark; their greatest depth.
    std::uint32_t pop_mark() {
        if (marks_.empty()) malformed("no mark on the stack");
        std::size_t at = marks_.back();
        marks_.pop_back();
        std::uint32_t d = 0;
        for (std::size_t i = at; i < stack_.size(); ++i) d = std::max(d, stack_[i]);
        stack_.resize(at);
        return d;
    }
    void get(std::uint64_t index) {
        if (index >= memo_.size() || memo_[static_cast<std::size_t>(index)] == 0)
            load_.over_limit("memo (index " + std::to_string(index) + " was never defined)");
        push(memo_[static_cast<std::size_t>(index)] - 1);
    }
    void put(std::uint64_t index, std::size_t ops) {
        if (index > ops)
            load_.over_limit("memo (index " + std::to_string(index) +
                             " is past what the pickle can define)");
        std::uint32_t depth = top();
        std::size_t i = static_cast<std::size_t>(index);
        if (i >= memo_.size()) memo_.resize(std::max(i + 1, memo_.size() * 2), 0);
        if (memo_[i] == 0) ++memo_defined_;
        memo_[i] = depth + 1;
    }
};

} // namespace

void screen(const Load &load, const char *data, std::size_t size) {
    Screen(load, data, size).run();
}

} // namespace marvane::client::unpickle
