#pragma once
// Large read-only tables (the pruning tables of the solvers, tens of MB to
// gigabytes) kept on disk between processes. A table is built once, into a
// file of the cache directory, and every later process maps that file
// read-only and shared: it is ready in the time its checksum takes to
// verify, and any number of processes hold one copy of it in the page cache.
//
// The cache never turns a table into an error: a directory that cannot be
// used, a damaged file, a disk that fills up while the table is written, all
// end with the table built in memory and a warning text that names the file
// or directory and what went wrong. Only the build itself may fail (it is
// stopped, or memory runs out), and then its exception reaches the caller.
//
// Files and what they are for, in the cache directory:
//   NAME.tbl           the table: a header page, then the contents at
//                      content_offset (file layout below)
//   NAME.lock          taken (flock) by whoever builds NAME.tbl, so that one
//                      process builds it while the others wait and then map it
//   NAME.tmp-PID-N     a table being built (its blocks reserved; the table
//                      itself is built in memory and written here once),
//                      renamed to NAME.tbl when whole

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/work_control.hpp"

namespace turnsmith {

// One table as this process holds it.
struct TableReport {
    std::string name;
    std::string path;  // the cache file it is mapped from; empty when held in memory
    std::size_t bytes;
    bool built_here;  // built by this process, not mapped from an earlier one's file
    double seconds;   // what loading or building it took
};

}  // namespace turnsmith

namespace turnsmith::tables {

// A table's format number from the numbers its layout depends on (a layout
// version, sizes, pieces), mixed so that any change gives another number:
// FNV-1a over their bytes, low byte first.
constexpr std::uint64_t format_hash(std::initializer_list<std::uint64_t> parts) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (const std::uint64_t part : parts) {
        for (unsigned byte = 0; byte < 8; ++byte) {
            hash ^= (part >> (8 * byte)) & 0xff;
            hash *= 0x100000001b3;
        }
    }
    return hash;
}

// One table: what its file is called, which generator made it, its size, and
// how to make it again. `fill` writes all of `out`, which holds zeros when it
// is called; it may throw (Stopped when `control` asks it to stop, bad_alloc,
// anything), and the exception then reaches the caller of load_or_build.
struct TableKind {
    std::string name;      // the file's stem: letters, digits, '_' and '-', at most 63 of them
    std::uint64_t format;  // a hash of the generator's parameters: another one means another table
    std::size_t bytes;     // the exact size of the contents, more than zero
    std::function<void(std::span<std::byte> out, WorkControl& control)> fill;
};

// A table's bytes, mapped from its file or held in anonymous memory; released
// when this ends.
class TableBytes {
public:
    TableBytes() noexcept = default;
    TableBytes(TableBytes&& other) noexcept { swap(other); }
    TableBytes& operator=(TableBytes&& other) noexcept {
        TableBytes(std::move(other)).swap(*this);
        return *this;
    }
    TableBytes(const TableBytes&) = delete;
    TableBytes& operator=(const TableBytes&) = delete;
    ~TableBytes();

    std::span<const std::byte> bytes() const noexcept { return {data_, size_}; }
    // The file the bytes are mapped from; empty when they are held in memory.
    const std::string& path() const noexcept { return path_; }
    // Whether this call built the table (rather than loading it).
    bool built_here() const noexcept { return built_here_; }
    // How long the call that made this took, load or build.
    double seconds() const noexcept { return seconds_; }

private:
    friend struct TableBytesMaker;

    void swap(TableBytes& other) noexcept;

    const std::byte* data_ = nullptr;  // a mapping of its own, released by munmap
    std::size_t size_ = 0;
    std::string path_;
    bool built_here_ = false;
    double seconds_ = 0;
};

// The report of `table`, of kind `kind`, as this process made it ready.
inline TableReport report_of(const TableKind& kind, const TableBytes& table) {
    return {kind.name, table.path(), kind.bytes, table.built_here(), table.seconds()};
}

// The table of `kind`: mapped from its file in the cache directory when that
// holds it whole, otherwise built (into that file when it can be written,
// else in memory). Appends one text to `warnings` for each problem met on the
// way. Throws only what the build throws, std::invalid_argument for a kind
// without a usable name or size, and std::bad_alloc when the memory for a
// table built in memory is not there. May block while another thread or
// process builds the same table; it then ends early (throwing Stopped) when
// `control` is asked to stop.
TableBytes load_or_build(const TableKind& kind, std::vector<std::string>& warnings, WorkControl& control);

// A table too large to build unasked (gigabytes, an hour): its file is
// only ever read by searches, and built by an explicit call.
//
// The table of `kind` from the file `path` when that holds it whole; nullopt
// when there is no such file, and also when it is damaged, with a warning.
std::optional<TableBytes> load_file(const TableKind& kind, const std::filesystem::path& path,
                                    std::vector<std::string>& warnings);
// The table of `kind` from the file `path`, built into it first when it is
// missing or damaged (under the file's build lock, in memory, then written
// once to a temporary file renamed into place). Before building, checks that
// the file system has room for it. Throws std::runtime_error naming the file
// when there is no room or the file cannot be written, and whatever the build
// throws.
TableBytes load_or_build_file(const TableKind& kind, const std::filesystem::path& path,
                              std::vector<std::string>& warnings, WorkControl& control);
// A private copy of `table` in memory that asks for huge pages, when the
// system's available memory holds it with `spare` bytes to spare (the copy
// then needs no file and its random reads cost about half); otherwise
// `table` as it is.
TableBytes copy_to_memory(TableBytes table, std::size_t spare);

// The cache directory, read from the environment at each call:
// TURNSMITH_CACHE_DIR when set (set but empty turns the cache off: nullopt),
// else $XDG_CACHE_HOME/turnsmith, else $HOME/.cache/turnsmith (nullopt
// without HOME). Nothing is created here.
std::optional<std::filesystem::path> cache_directory();
// Where the table of `kind` lives in `directory`.
std::filesystem::path table_path(const std::filesystem::path& directory, const TableKind& kind);

// A small table for tests of the cache and of its callers: `bytes` bytes
// named "test_table_<bytes>", each 8-byte word (native order) the
// test_table_word of its index; the last word is cut short when `bytes` is
// not a multiple of 8. The fill looks at its control between pieces of 64 KiB.
TableKind test_table_kind(std::size_t bytes);
std::uint64_t test_table_word(std::uint64_t index) noexcept;

// ---------------------------------------------------------------------------
// The file

// The first bytes of a table file, written in the byte order of the machine
// that built it; the rest of the first page is zero. Every field is checked
// before the contents are used.
struct TableFileHeader {
    char magic[8];                   // "tsmtable"
    std::uint64_t byte_order;        // byte_order_mark, as the writer stored it
    std::uint64_t header_version;    // table_header_version
    std::uint64_t format;            // TableKind::format
    std::uint64_t content_offset;    // table_content_offset
    std::uint64_t content_bytes;     // TableKind::bytes; the file is content_offset + content_bytes long
    std::uint64_t content_checksum;  // table_checksum of the contents
    char name[64];                   // TableKind::name, the rest zero
    std::uint64_t header_checksum;   // table_checksum of every byte above
};
inline constexpr char table_magic[8] = {'t', 's', 'm', 't', 'a', 'b', 'l', 'e'};
// Reads as 0x0807060504030201 on a machine of the other byte order.
inline constexpr std::uint64_t byte_order_mark = 0x0102030405060708;
inline constexpr std::uint64_t table_header_version = 1;
// The contents start on a huge-page boundary of the file, so that the kernel
// can map them with huge pages; the gap after the header is a hole, it takes
// no disk space.
inline constexpr std::uint64_t table_content_offset = std::uint64_t{2} << 20;

// A 64-bit checksum of `bytes`, computed on the worker pool in pieces of a
// MiB: a single change of a byte always changes it.
std::uint64_t table_checksum(std::span<const std::byte> bytes);

}  // namespace turnsmith::tables
