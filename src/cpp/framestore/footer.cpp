// The shape of a Parquet file checked before an engine reads it: the magic bytes at both ends,
// a footer length within the file, a footer that is well-formed Thrift compact encoding, with
// every length and count within the footer's own bytes, and the data of every column chunk
// within the file. A damaged or hostile file is refused here with one clear error, whichever
// engine is in use, rather than handed to an engine that may allocate what its lengths claim,
// misread it differently on a 32-bit machine, or fail with an error that names nothing.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace marvane::store {

namespace {

// Deep enough for any footer a writer makes (file, row group, column chunk, column metadata,
// statistics, a few levels of logical types); deeper is a hostile file.
constexpr int kMaxDepth = 24;

// The largest list and the longest string an engine's reader takes from a footer (pyarrow's
// defaults; fastparquet's are no smaller). A file beyond them is written but never read back.
constexpr std::uint64_t kReaderMaxCount = 1000000;
constexpr std::uint64_t kReaderMaxBytes = 100000000;

struct Bad {
    std::string why;
};

// Where a walk is in the file's metadata, by Thrift field ids from the top.
enum class At { other, file, schema, row_group, column_chunk, column_meta };

class FooterWalk {
public:
    FooterWalk(const unsigned char *begin, const unsigned char *end, std::uint64_t data_end,
               bool reader_limits = false)
        : p_(begin), end_(end), data_end_(data_end), reader_limits_(reader_limits) {}

    std::int64_t rows = -1;          // the file's row count
    std::int64_t row_group_rows = 0; // the sum of its row groups' counts
    std::uint64_t leaves = 0;        // the schema's leaf columns

    void file() {
        read_struct(At::file, 0);
        if (p_ != end_) throw Bad{"the footer's metadata ends before the footer does"};
    }

private:
    const unsigned char *p_;
    const unsigned char *end_;
    std::uint64_t data_end_;
    bool reader_limits_;

    std::uint64_t left() const { return static_cast<std::uint64_t>(end_ - p_); }

    unsigned char byte() {
        if (p_ == end_) throw Bad{"the footer's metadata is cut short"};
        return *p_++;
    }

    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            const unsigned char b = byte();
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return value;
        }
        throw Bad{"a number in the footer's metadata is too long"};
    }

    std::int64_t zigzag() {
        const std::uint64_t v = varint();
        return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
    }

    void skip_bytes(std::uint64_t n) {
        if (reader_limits_ && n > kReaderMaxBytes)
            throw Bad{"a string of " + std::to_string(n) + " bytes in the footer, more than a reader takes"};
        if (n > left()) throw Bad{"a length in the footer's metadata runs past the footer"};
        p_ += static_cast<std::ptrdiff_t>(n);
    }

    // Every element of a list takes at least one byte, so a count is bounded by what is left.
    void check_count(std::uint64_t n) {
        if (reader_limits_ && n > kReaderMaxCount)
            throw Bad{"a list of " + std::to_string(n) + " entries in the footer, more than a reader takes"};
        if (n > left()) throw Bad{"a count in the footer's metadata exceeds the footer's size"};
    }

    static bool valid_type(unsigned t) { return t >= 1 && t <= 12; }

    // One value of compact type t; a field's own value is returned for the integer types.
    std::int64_t value(unsigned t, At at, int depth) {
        switch (t) {
        case 1: case 2: return 0;              // a bool in a field header carries its value
        case 3: byte(); return 0;
        case 4: case 5: case 6: return zigzag();
        case 7: skip_bytes(8); return 0;
        case 8: skip_bytes(varint()); return 0;
        case 9: case 10: {
            const unsigned char h = byte();
            std::uint64_t n = static_cast<unsigned>(h) >> 4;
            const unsigned et = static_cast<unsigned>(h) & 0x0Fu;
            if (n == 15) n = varint();
            // an empty list may name no element type (fastparquet writes 0 there)
            if (n != 0 && !valid_type(et)) throw Bad{"an unknown type in the footer's metadata"};
            check_count(n);
            for (std::uint64_t i = 0; i < n; ++i) {
                if (et == 1 || et == 2) byte();  // a bool element is a byte of its own
                else value(et, at, depth + 1);
            }
            return 0;
        }
        case 11: {
            const std::uint64_t n = varint();
            if (n == 0) return 0;
            const unsigned char kv = byte();
            const unsigned kt = static_cast<unsigned>(kv) >> 4, vt = static_cast<unsigned>(kv) & 0x0Fu;
            if (!valid_type(kt) || !valid_type(vt)) throw Bad{"an unknown type in the footer's metadata"};
            check_count(n);
            for (std::uint64_t i = 0; i < n; ++i) {
                if (kt <= 2) byte(); else value(kt, At::other, depth + 1);
                if (vt <= 2) byte(); else value(vt, At::other, depth + 1);
            }
            return 0;
        }
        case 12: read_struct(at, depth + 1); return 0;
        default: throw Bad{"an unknown type in the footer's metadata"};
        }
    }

    // The place a struct-valued field (or the structs of a list field) leads to.
    static At inner(At at, std::int64_t field) {
        if (at == At::file && field == 2) return At::schema;             // schema
        if (at == At::file && field == 4) return At::row_group;          // row_groups
        if (at == At::row_group && field == 1) return At::column_chunk;  // columns
        if (at == At::column_chunk && field == 3) return At::column_meta; // meta_data
        return At::other;
    }

    void read_struct(At at, int depth) {
        if (depth > kMaxDepth) throw Bad{"the footer's metadata is nested too deeply"};
        std::int64_t field = 0;
        std::int64_t compressed = -1, data_offset = -1, dictionary_offset = -1;
        bool has_children = false;
        for (;;) {
            const unsigned char h = byte();
            if (h == 0) break;
            const unsigned t = static_cast<unsigned>(h) & 0x0Fu;
            const unsigned delta = static_cast<unsigned>(h) >> 4;
            field = delta != 0 ? field + delta : zigzag();
            if (!valid_type(t)) throw Bad{"an unknown type in the footer's metadata"};
            const std::int64_t v = value(t, inner(at, field), depth);
            const bool integer = t >= 4 && t <= 6;
            if ((at == At::file && field == 3) || (at == At::row_group && field == 3)) {
                if (integer && v < 0) throw Bad{"a negative row count"};
                if (integer && at == At::file) rows = v;
                if (integer && at == At::row_group) row_group_rows += v;
            } else if (at == At::schema && field == 5) {
                has_children = true;
            } else if (at == At::column_meta && integer) {
                if (field == 7) compressed = v;
                if (field == 9) data_offset = v;
                if (field == 11) dictionary_offset = v;
            }
        }
        if (at == At::schema && !has_children) ++leaves;
        if (at == At::column_meta) {
            // A chunk's pages start at its first page's offset (the dictionary's, when there is
            // one); an empty row group may give 0 for the data page. Every offset lies within
            // the data, and the chunk's bytes end before the footer.
            std::uint64_t start = data_end_;
            for (const std::int64_t offset : {data_offset, dictionary_offset}) {
                if (offset < -1 || (offset > 0 && static_cast<std::uint64_t>(offset) > data_end_))
                    throw Bad{"a column's data lies outside the file"};
                if (offset >= 4 && static_cast<std::uint64_t>(offset) < start) start = static_cast<std::uint64_t>(offset);
            }
            if (start == data_end_) start = 4;
            if (compressed < 0 || static_cast<std::uint64_t>(compressed) > data_end_ - start)
                throw Bad{"a column's data lies outside the file"};
        }
    }
};

std::string bytes_of(py::handle file, std::uint64_t n) {
    py::bytes got = file.attr("read")(n);
    return std::string(got);
}

} // namespace

namespace {

// The footer of an open file walked as above; `refuse` raises.
template <class Refuse>
FooterWalk walk_footer(py::handle file, bool reader_limits, const Refuse &refuse) {
    // Sizes as 64-bit values throughout: a file may exceed what a 32-bit size_t holds.
    const std::uint64_t size = file.attr("seek")(0, 2).cast<std::uint64_t>();
    if (size < 12) {
        refuse(std::to_string(size) + " bytes, fewer than a Parquet file has");
    }
    file.attr("seek")(0);
    const std::string head = bytes_of(file, 4);
    file.attr("seek")(size - 8);
    const std::string tail = bytes_of(file, 8);
    if (head.size() != 4 || tail.size() != 8) refuse("it could not be read whole");
    if (head != "PAR1" || tail.compare(4, 4, "PAR1") != 0) refuse("no Parquet magic bytes at both ends");
    const auto *t = reinterpret_cast<const unsigned char *>(tail.data());
    const std::uint64_t length = static_cast<std::uint64_t>(t[0]) | static_cast<std::uint64_t>(t[1]) << 8 |
                                 static_cast<std::uint64_t>(t[2]) << 16 | static_cast<std::uint64_t>(t[3]) << 24;
    if (length == 0 || length > size - 12) {
        refuse("its footer claims " + std::to_string(length) + " bytes of a " + std::to_string(size) + "-byte file");
    }
    file.attr("seek")(size - 8 - length);
    const std::string footer = bytes_of(file, length);
    if (footer.size() != length) refuse("its footer could not be read whole");
    const auto *begin = reinterpret_cast<const unsigned char *>(footer.data());
    FooterWalk walk(begin, begin + footer.size(), size - 8 - length, reader_limits);
    try {
        walk.file();
    } catch (const Bad &bad) {
        refuse(bad.why);
    }
    file.attr("seek")(0);
    return walk;
}

} // namespace

void check_parquet_file(py::handle file, py::handle path) {
    const std::string name = py::str(py::module_::import("os").attr("fspath")(path));
    walk_footer(file, false, [&](const std::string &why) {
        raise(PyExc_ValueError, "not a readable Parquet file: " + name + " (" + why + ")");
    });
}

// A file just written, read back as a reader will before it replaces the stored one: its
// footer within what the engines' readers take, `rows` rows in it and its row groups, and at
// least `columns` leaf columns (the index's are stored beside them).
void check_written_parquet(py::handle tmp, py::handle path, std::int64_t rows, std::int64_t columns) {
    const std::string name = py::str(py::module_::import("os").attr("fspath")(path));
    const auto refuse = [&](const std::string &why) {
        raise(PyExc_ValueError, "not written: " + name + " would not read back (" + why +
                                "); nothing stored was changed");
    };
    py::object handle = py::module_::import("builtins").attr("open")(tmp, "rb");
    FooterWalk walk = [&] {
        try {
            FooterWalk w = walk_footer(handle, true, refuse);
            handle.attr("close")();
            return w;
        } catch (...) {
            handle.attr("close")();
            throw;
        }
    }();
    if (walk.rows != rows || walk.row_group_rows != rows)
        refuse("its footer counts " + std::to_string(walk.rows) + " rows where " + std::to_string(rows) +
               " were written");
    if (walk.leaves < static_cast<std::uint64_t>(columns))
        refuse("its footer holds " + std::to_string(walk.leaves) + " columns where " + std::to_string(columns) +
               " were written");
}

} // namespace marvane::store
