#include "solvers/table_cache.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "base/fault.hpp"
#include "engine/pool.hpp"

namespace turnsmith::tables {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static_assert(sizeof(TableFileHeader) == 8 * 8 + 64, "the header has no padding");
static_assert(std::is_trivially_copyable_v<TableFileHeader>);

namespace {

// The header takes the file's first page; the contents follow at
// table_content_offset, with a hole between.
constexpr std::size_t header_page_bytes = 4096;
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
constexpr std::size_t max_name_length = sizeof(TableFileHeader::name) - 1;

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

std::string error_text(int error) { return std::generic_category().message(error); }

// ---------------------------------------------------------------------------
// The checksum
//
// Four lanes of 8-byte words per 32-byte stripe, each lane stepped by
// v = rotl(v + w * a, 31) * b: with a and b odd, every step is a bijection of
// the word and of the lane, so a change of one word always changes its lane,
// and the merges below are bijections in each of their inputs, so it always
// reaches the checksum. Pieces of a MiB are summed on the pool and merged in
// order: the result does not depend on how many workers there are.

constexpr std::uint64_t odd_a = 0x9E37'79B9'7F4A'7C15;
constexpr std::uint64_t odd_b = 0xBF58'476D'1CE4'E5B9;
constexpr std::uint64_t odd_c = 0x94D0'49BB'1331'11EB;
constexpr std::size_t stripe_bytes = 32;
constexpr std::size_t checksum_piece_bytes = std::size_t{1} << 20;

// A bijection that spreads every input bit over the whole word.
constexpr std::uint64_t mixed(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= odd_b;
    x ^= x >> 27;
    x *= odd_c;
    return x ^ (x >> 31);
}

std::uint64_t word_at(const std::byte* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

struct Lanes {
    std::array<std::uint64_t, 4> v;

    void take(const std::byte* stripe) noexcept {
        for (std::size_t i = 0; i < v.size(); ++i) {
            v[i] = std::rotl(v[i] + word_at(stripe + 8 * i) * odd_a, 31) * odd_b;
        }
    }
};

std::uint64_t piece_checksum(std::span<const std::byte> piece, std::uint64_t index) noexcept {
    Lanes lanes{{mixed(4 * index + 1), mixed(4 * index + 2), mixed(4 * index + 3), mixed(4 * index + 4)}};
    const std::size_t whole = piece.size() / stripe_bytes * stripe_bytes;
    for (std::size_t at = 0; at < whole; at += stripe_bytes) lanes.take(piece.data() + at);
    if (whole < piece.size()) {
        std::byte last[stripe_bytes] = {};
        std::memcpy(last, piece.data() + whole, piece.size() - whole);
        lanes.take(last);
    }
    std::uint64_t sum = piece.size();
    for (const std::uint64_t lane : lanes.v) sum = (sum ^ mixed(lane)) * odd_c;
    return mixed(sum);
}

// ---------------------------------------------------------------------------
// Memory: mappings of whole pages, released by munmap

std::size_t page_bytes() noexcept {
    static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(std::byte* data, std::size_t bytes) noexcept : data_(data), bytes_(bytes) {}
    Mapping(Mapping&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (data_ != nullptr) munmap(data_, bytes_);
    }

    explicit operator bool() const noexcept { return data_ != nullptr; }
    std::byte* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return bytes_; }
    std::span<std::byte> span() const noexcept { return {data_, bytes_}; }
    std::byte* release() noexcept {
        bytes_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    std::byte* data_ = nullptr;
    std::size_t bytes_ = 0;
};

// Maps `bytes` as mmap would, at an address on a huge-page boundary when the
// mapping spans one or more huge pages: only then can the kernel back it
// with huge pages. A region larger by a huge page is reserved first, the
// mapping is placed inside it, and the rest is given back. Sets errno and
// returns an empty mapping on failure.
Mapping map_aligned(std::size_t bytes, int protection, int flags, int fd, off_t offset) noexcept {
    if (bytes < huge_page_bytes) {
        void* data = mmap(nullptr, bytes, protection, flags, fd, offset);
        return data == MAP_FAILED ? Mapping() : Mapping(static_cast<std::byte*>(data), bytes);
    }
    const std::size_t reserved_bytes = bytes + huge_page_bytes;
    void* reserved =
        mmap(nullptr, reserved_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) return {};
    const auto begin = reinterpret_cast<std::uintptr_t>(reserved);
    const std::uintptr_t aligned = (begin + huge_page_bytes - 1) & ~std::uintptr_t{huge_page_bytes - 1};
    void* data = mmap(reinterpret_cast<void*>(aligned), bytes, protection, flags | MAP_FIXED, fd, offset);
    if (data == MAP_FAILED) {
        const int error = errno;
        munmap(reserved, reserved_bytes);
        errno = error;
        return {};
    }
    const std::size_t head = aligned - begin;
    const std::size_t used = (bytes + page_bytes() - 1) / page_bytes() * page_bytes();
    if (head > 0) munmap(reserved, head);
    if (head + used < reserved_bytes) {
        munmap(reinterpret_cast<std::byte*>(aligned) + used, reserved_bytes - head - used);
    }
    return {static_cast<std::byte*>(data), bytes};
}

// Zeroed memory for a table held in memory; the lookups land all over it, so
// huge pages spare most of the TLB misses.
Mapping anonymous_memory(const TableKind& kind) {
    Mapping memory = map_aligned(kind.bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (!memory) {
        out_of_memory("the table '" + kind.name + "' (" + std::to_string(kind.bytes) + " bytes)");
    }
    madvise(memory.data(), memory.size(), MADV_HUGEPAGE);  // advice only: refusal changes nothing
    return memory;
}

// From here on the table is only read: a stray write faults instead of
// corrupting it.
void make_read_only(const Mapping& memory) noexcept { mprotect(memory.data(), memory.size(), PROT_READ); }

// ---------------------------------------------------------------------------
// Files

class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Reads all of `out` from `offset`; false with errno set (0 at the end of
// the file) when it cannot.
bool read_all(int fd, std::span<std::byte> out, off_t offset) noexcept {
    while (!out.empty()) {
        const ssize_t got = pread(fd, out.data(), out.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = 0;
            return false;
        }
        out = out.subspan(static_cast<std::size_t>(got));
        offset += got;
    }
    return true;
}

bool write_all(int fd, std::span<const std::byte> bytes, off_t offset) noexcept {
    while (!bytes.empty()) {
        const ssize_t put = pwrite(fd, bytes.data(), bytes.size(), offset);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(put));
        offset += put;
    }
    return true;
}

std::uint64_t header_checksum(const TableFileHeader& header) noexcept {
    return table_checksum(
        std::as_bytes(std::span(&header, 1)).first(offsetof(TableFileHeader, header_checksum)));
}

TableFileHeader header_for(const TableKind& kind, std::uint64_t content_checksum) noexcept {
    TableFileHeader header{};
    std::memcpy(header.magic, table_magic, sizeof header.magic);
    header.byte_order = byte_order_mark;
    header.header_version = table_header_version;
    header.format = kind.format;
    header.content_offset = table_content_offset;
    header.content_bytes = kind.bytes;
    header.content_checksum = content_checksum;
    std::memcpy(header.name, kind.name.data(), kind.name.size());
    header.header_checksum = header_checksum(header);
    return header;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// What is wrong with a header read from a file of `file_bytes` bytes for
// `kind`, or nothing; the contents are checked after.
std::string header_problem(const TableFileHeader& header, std::uint64_t file_bytes, const TableKind& kind) {
    if (std::memcmp(header.magic, table_magic, sizeof header.magic) != 0) {
        return "is not a table file (it does not start with the table mark)";
    }
    if (header.byte_order == __builtin_bswap64(byte_order_mark)) {
        return "was written on a machine of the other byte order";
    }
    if (header.byte_order != byte_order_mark || header.header_checksum != header_checksum(header)) {
        return "has a damaged header (its checksum does not match)";
    }
    if (header.header_version != table_header_version) {
        return "has header version " + std::to_string(header.header_version) + ", and this build reads " +
               std::to_string(table_header_version);
    }
    const std::string name(header.name, strnlen(header.name, sizeof header.name));
    if (name != kind.name) return "holds the table '" + name + "', not '" + kind.name + "'";
    if (header.format != kind.format) {
        return "holds format " + hex(header.format) + " of the table, and this build uses format " +
               hex(kind.format);
    }
    if (header.content_offset != table_content_offset) {
        return "has its contents at byte " + std::to_string(header.content_offset) + ", not at " +
               std::to_string(table_content_offset);
    }
    if (header.content_bytes != kind.bytes) {
        return "holds " + std::to_string(header.content_bytes) + " bytes of contents, and the table has " +
               std::to_string(kind.bytes);
    }
    const std::uint64_t expected = table_content_offset + kind.bytes;
    if (file_bytes < expected) {
        return "is truncated (" + std::to_string(file_bytes) + " bytes, " + std::to_string(expected) +
               " expected)";
    }
    if (file_bytes > expected) {
        return "is too long (" + std::to_string(file_bytes) + " bytes, " + std::to_string(expected) +
               " expected)";
    }
    return {};
}

// The contents of a whole table file, mapped read-only and shared with every
// other process that maps it.
Mapping map_contents(int fd, const TableKind& kind) noexcept {
    Mapping contents = map_aligned(kind.bytes, PROT_READ, MAP_SHARED, fd, table_content_offset);
    if (contents) madvise(contents.data(), contents.size(), MADV_HUGEPAGE);
    return contents;
}

// A table file looked at: its contents mapped when it is whole; otherwise
// whether it is there at all and what is wrong with it.
struct Inspection {
    Mapping contents;
    bool missing = false;
    std::string problem;
};

Inspection inspect(const fs::path& path, const TableKind& kind) {
    Inspection found;
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) {
            found.missing = true;
        } else {
            found.problem = "cannot be opened (" + error_text(errno) + ")";
        }
        return found;
    }
    struct stat status;
    if (fstat(file.get(), &status) != 0) {
        found.problem = "cannot be examined (" + error_text(errno) + ")";
        return found;
    }
    if (!S_ISREG(status.st_mode)) {
        found.problem = "is not a regular file";
        return found;
    }
    const auto file_bytes = static_cast<std::uint64_t>(status.st_size);
    TableFileHeader header;
    if (file_bytes < sizeof header) {
        found.problem = "is truncated (" + std::to_string(file_bytes) + " bytes, shorter than its header)";
        return found;
    }
    if (!read_all(file.get(), std::as_writable_bytes(std::span(&header, 1)), 0)) {
        found.problem = "cannot be read (" + error_text(errno) + ")";
        return found;
    }
    found.problem = header_problem(header, file_bytes, kind);
    if (!found.problem.empty()) return found;

    Mapping contents = map_contents(file.get(), kind);
    if (!contents) {
        found.problem = "cannot be mapped (" + error_text(errno) + ")";
        return found;
    }
    // The checksum reads every page once, so ask for all of them now; after
    // that the reads land anywhere, and pages brought back after eviction
    // need no neighbours read with them.
    madvise(contents.data(), contents.size(), MADV_WILLNEED);
    if (table_checksum(contents.span()) != header.content_checksum) {
        found.problem = "has contents that do not match their checksum";
        return found;
    }
    madvise(contents.data(), contents.size(), MADV_RANDOM);
    found.contents = std::move(contents);
    return found;
}

// ---------------------------------------------------------------------------
// The build lock
//
// flock belongs to the open file description, which a child forked during a
// build shares: had the builder only closed its file, the child's copy would
// keep the lock until that child exits, and every other process would wait
// for it. So the builder lets go with LOCK_UN, which frees the description
// for every copy.

class BuildLock {
public:
    // Opens (creates) the lock file; open_error() tells why when it cannot.
    explicit BuildLock(const fs::path& path)
        : file_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)), open_error_(file_ ? 0 : errno) {}
    ~BuildLock() {
        if (locked_) flock(file_.get(), LOCK_UN);
    }
    BuildLock(const BuildLock&) = delete;
    BuildLock& operator=(const BuildLock&) = delete;

    bool opened() const noexcept { return static_cast<bool>(file_); }
    int open_error() const noexcept { return open_error_; }

    // Waits for the lock, asking `control` between tries whether to stop
    // (then throws Stopped). False when the file system offers no lock: the
    // build then goes on without one, and the atomic rename still keeps
    // every reader from seeing half a table.
    bool take(WorkControl& control) {
        auto pause = std::chrono::milliseconds(1);
        constexpr auto longest_pause = std::chrono::milliseconds(50);
        for (;;) {
            if (flock(file_.get(), LOCK_EX | LOCK_NB) == 0) {
                locked_ = true;
                return true;
            }
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) return false;
            control.throw_if_stopped();
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, longest_pause);
        }
    }

private:
    FileDescriptor file_;
    int open_error_;
    bool locked_ = false;
};

// ---------------------------------------------------------------------------
// Writing a table file

// A file being written, removed unless it was renamed into place.
class TemporaryFile {
public:
    // Creates a fresh file beside `target`; error() tells why when it cannot.
    explicit TemporaryFile(const fs::path& target) {
        static std::atomic<std::uint64_t> counter = 0;
        for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
            path_ = target;
            path_.replace_extension(".tmp-" + std::to_string(getpid()) + "-" +
                                    std::to_string(counter.fetch_add(1, std::memory_order_relaxed)));
            file_ = FileDescriptor(open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            if (!file_ && errno != EEXIST) break;
        }
        if (!file_) error_ = errno;
    }
    ~TemporaryFile() {
        if (file_ && !renamed_) unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool created() const noexcept { return static_cast<bool>(file_); }
    int error() const noexcept { return error_; }
    int fd() const noexcept { return file_.get(); }
    bool rename_to(const fs::path& target) noexcept {
        renamed_ = rename(path_.c_str(), target.c_str()) == 0;
        return renamed_;
    }

private:
    fs::path path_;
    FileDescriptor file_;
    int error_ = 0;
    bool renamed_ = false;
};

// Removes what builders of this table that died left behind. Only with the
// build lock held: then no other builder of it is running.
void remove_abandoned_files(const fs::path& target) {
    const std::string prefix = target.stem().string() + ".tmp-";
    std::error_code error;
    for (fs::directory_iterator entry(target.parent_path(), error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().filename().string().starts_with(prefix)) fs::remove(entry->path(), error);
    }
}

// The table built into anonymous memory.
Mapping build_in_memory(const TableKind& kind, WorkControl& control) {
    Mapping memory = anonymous_memory(kind);
    kind.fill(memory.span(), control);
    make_read_only(memory);
    return memory;
}

// The header page and the contents, each with one write_all: the kernel takes
// up to about 2 GiB a call, and write_all goes on where a call stopped short.
// Empty when they are written, else the step that failed, with errno set.
std::string_view write_file(int fd, const TableKind& kind, std::span<const std::byte> contents) {
    const TableFileHeader header = header_for(kind, table_checksum(contents));
    std::array<std::byte, header_page_bytes> page{};
    std::memcpy(page.data(), &header, sizeof header);
    if (!write_all(fd, page, 0)) return "writing its header";
    if (!write_all(fd, contents, table_content_offset)) return "writing its contents";
    if (fsync(fd) != 0) return "flushing it to disk";
    return {};
}

// A table built and written to its file, or why its file could not be
// written; `contents` holds the built table even then, and is empty only
// when the file failed before the build.
struct Written {
    Mapping contents;
    bool mapped = false;  // `contents` is the file's mapping, not private memory
    std::string failure;
};

// The table is built in private memory and its file written once when the
// build ends. A build in a shared mapping of the file would have the kernel
// write back its dirty pages every half minute, and every pass of a
// breadth-first fill dirties them again: many times the file's size on disk.
Written write_table(const fs::path& target, const TableKind& kind, WorkControl& control) {
    Written written;
    const auto fail = [&written](std::string_view step, int error) {
        written.failure = std::string(step) + ": " + error_text(error);
        return std::move(written);
    };
    TemporaryFile file(target);
    if (!file.created()) return fail("creating a temporary file", file.error());
    // Blocks reserved now cannot run out later: a full disk or a file size
    // limit shows here, before the build, rather than after it.
    for (const auto& [offset, bytes] : {std::pair<off_t, std::size_t>{0, header_page_bytes},
                                        std::pair<off_t, std::size_t>{table_content_offset, kind.bytes}}) {
        if (const int error = posix_fallocate(file.fd(), offset, static_cast<off_t>(bytes)); error != 0) {
            return fail("reserving " + std::to_string(table_content_offset + kind.bytes) + " bytes", error);
        }
    }
    written.contents = build_in_memory(kind, control);  // throws past the temporary file's removal
    if (const std::string_view step = write_file(file.fd(), kind, written.contents.span()); !step.empty()) {
        return fail(step, errno);
    }
    if (!file.rename_to(target)) return fail("renaming it into place", errno);
    // Makes the rename itself durable; the file is in place either way.
    if (const FileDescriptor directory(
            open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        directory) {
        fsync(directory.get());
    }
    // The table from here on is the file's mapping, and the private memory
    // goes: the process then holds what every later process maps, one copy
    // in the page cache shared by all of them (the pages just written are
    // still there, so this reads nothing), rather than a copy of its own
    // beside it. Without a mapping the private memory stays the table.
    if (Mapping mapped = map_contents(file.fd(), kind); mapped) {
        madvise(mapped.data(), mapped.size(), MADV_RANDOM);
        written.contents = std::move(mapped);
        written.mapped = true;
    }
    return written;
}

std::string gibibytes(std::uint64_t bytes) {
    const std::uint64_t tenths = bytes * 10 / (std::uint64_t{1} << 30);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " GiB";
}

// Free bytes for this user on the file system of `directory`, or nullopt
// when it cannot be told.
std::optional<std::uint64_t> free_disk(const fs::path& directory) {
    struct statvfs status;
    if (statvfs(directory.c_str(), &status) != 0) return std::nullopt;
    return std::uint64_t{status.f_bavail} * status.f_frsize;
}

// What a directory lacks in free disk for the file of `kind`, or nothing.
std::string room_problem(const TableKind& kind, const fs::path& directory) {
    const std::uint64_t needed = table_content_offset + kind.bytes;
    const std::optional<std::uint64_t> room = free_disk(directory);
    if (!room || *room >= needed) return {};
    return "the table '" + kind.name + "' needs " + gibibytes(needed) + " of disk in " + quoted(directory) +
           ", which has " + gibibytes(*room) + " free";
}

// What stood in the way of a table's file, for each caller to word its own
// way: as a warning (the cache) or as an error (a named file).
enum class Obstacle { none, directory, lock, room, write };

// A table made ready at its file. After an obstacle, `contents` holds the
// table when it was built all the same, else nothing.
struct Ready {
    Mapping contents;
    bool built_here = false;
    bool mapped = false;  // `contents` is the file's mapping
    Obstacle obstacle = Obstacle::none;
    std::string reason;  // the obstacle's
};

fs::path directory_of(const fs::path& path) {
    return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

fs::path lock_path_of(const fs::path& path) {
    fs::path lock_path = path;
    lock_path.replace_extension(".lock");
    return lock_path;
}

// The one way to a table's file, for the cache and for named files: maps
// `path` when it holds the table whole; otherwise, under the file's build
// lock, builds the table (when `check_room`, only if the disk has room for
// it) and writes it there. A file found unusable is warned of as `damaged`
// followed by its name and problem.
Ready map_or_build(const TableKind& kind, const fs::path& path, bool check_room, std::string_view damaged,
                   std::vector<std::string>& warnings, WorkControl& control) {
    Ready ready;
    const auto stopped = [&ready](Obstacle obstacle, std::string reason) {
        ready.obstacle = obstacle;
        ready.reason = std::move(reason);
        return std::move(ready);
    };
    const auto mapped = [&ready](Inspection& found) {
        ready.contents = std::move(found.contents);
        ready.mapped = true;
        return std::move(ready);
    };
    Inspection found = inspect(path, kind);
    if (found.contents) return mapped(found);
    const fs::path directory = directory_of(path);
    std::error_code error;
    fs::create_directories(directory, error);  // also an error when a file stands there
    if (error) return stopped(Obstacle::directory, error.message());
    BuildLock lock(lock_path_of(path));
    if (!lock.opened()) return stopped(Obstacle::lock, error_text(lock.open_error()));
    const bool locked = lock.take(control);
    // Whoever held the lock may have just built the table.
    found = inspect(path, kind);
    if (found.contents) return mapped(found);
    if (!found.missing) {
        warnings.push_back(std::string(damaged) + quoted(path) + " " + found.problem + "; building it again");
    }
    if (locked) remove_abandoned_files(path);
    if (std::string short_of_room = check_room ? room_problem(kind, directory) : ""; !short_of_room.empty()) {
        return stopped(Obstacle::room, std::move(short_of_room));
    }
    Written written = write_table(path, kind, control);
    ready.contents = std::move(written.contents);
    ready.built_here = true;
    ready.mapped = written.mapped;
    if (!written.failure.empty()) return stopped(Obstacle::write, std::move(written.failure));
    return ready;
}

void check_kind(const TableKind& kind) {
    const bool name_usable = !kind.name.empty() && kind.name.size() <= max_name_length &&
                             std::all_of(kind.name.begin(), kind.name.end(), [](char c) {
                                 return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                        (c >= '0' && c <= '9') || c == '_' || c == '-';
                             });
    if (!name_usable) {
        throw std::invalid_argument("a table name is 1 to " + std::to_string(max_name_length) +
                                    " letters, digits, '_' or '-', not '" + kind.name + "'");
    }
    if (kind.bytes == 0) throw std::invalid_argument("the table '" + kind.name + "' has no bytes");
    if (!kind.fill) throw std::invalid_argument("the table '" + kind.name + "' has no fill");
}

}  // namespace

// ---------------------------------------------------------------------------
// The public side

struct TableBytesMaker {
    static TableBytes make(Mapping contents, std::string path, bool built_here, Clock::time_point start) {
        TableBytes table;
        table.size_ = contents.size();
        table.data_ = contents.release();
        table.path_ = std::move(path);
        table.built_here_ = built_here;
        table.seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
        return table;
    }
    // `from`'s bytes now held in `copy`, as built or loaded as `from` was.
    static TableBytes copied(TableBytes from, Mapping copy) {
        TableBytes table;
        table.size_ = copy.size();
        table.data_ = copy.release();
        table.built_here_ = from.built_here_;
        table.seconds_ = from.seconds_;
        return table;
    }
};

TableBytes::~TableBytes() {
    if (data_ != nullptr) munmap(const_cast<std::byte*>(data_), size_);
}

void TableBytes::swap(TableBytes& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(path_, other.path_);
    std::swap(built_here_, other.built_here_);
    std::swap(seconds_, other.seconds_);
}

std::uint64_t table_checksum(std::span<const std::byte> bytes) {
    const std::size_t pieces = (bytes.size() + checksum_piece_bytes - 1) / checksum_piece_bytes;
    if (pieces <= 1) return mixed(piece_checksum(bytes, 0));
    std::vector<std::uint64_t> sums(pieces);
    parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            sums[i] = piece_checksum(
                bytes.subspan(i * checksum_piece_bytes)
                    .first(std::min(checksum_piece_bytes, bytes.size() - i * checksum_piece_bytes)),
                i);
        }
    });
    std::uint64_t total = 0;
    for (const std::uint64_t sum : sums) total = mixed(total ^ sum);
    return total;
}

std::optional<fs::path> cache_directory() {
    if (const char* own = std::getenv("TURNSMITH_CACHE_DIR")) {
        if (*own == '\0') return std::nullopt;
        return fs::path(own);
    }
    // A relative XDG_CACHE_HOME is invalid, and is ignored as the base
    // directory convention asks.
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg == '/') {
        return fs::path(xdg) / "turnsmith";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return fs::path(home) / ".cache" / "turnsmith";
    }
    return std::nullopt;
}

fs::path table_path(const fs::path& directory, const TableKind& kind) {
    return directory / (kind.name + ".tbl");
}

namespace {

// The table `made` holds, named by its file when it is the file's mapping;
// built in memory when `made` holds none.
TableBytes table_of(Ready made, const fs::path& path, const TableKind& kind, WorkControl& control,
                    Clock::time_point start) {
    if (!made.contents) {
        made.contents = build_in_memory(kind, control);
        made.built_here = true;
    }
    return TableBytesMaker::make(std::move(made.contents), made.mapped ? path.string() : std::string(),
                                 made.built_here, start);
}

}  // namespace

TableBytes load_or_build(const TableKind& kind, std::vector<std::string>& warnings, WorkControl& control) {
    check_kind(kind);
    const Clock::time_point start = Clock::now();
    const std::optional<fs::path> directory = cache_directory();
    if (!directory) return table_of({}, {}, kind, control, start);
    const fs::path path = table_path(*directory, kind);
    Ready made = map_or_build(kind, path, false, "the cached table file ", warnings, control);
    const auto unusable_directory = [&](const std::string& reason) {
        warnings.push_back("the table cache directory " + quoted(*directory) + " cannot be used (" + reason +
                           "); the table '" + kind.name + "' is built in memory and not kept");
    };
    switch (made.obstacle) {
        case Obstacle::none:
        case Obstacle::room:
            break;
        case Obstacle::directory:
            unusable_directory(made.reason);
            break;
        case Obstacle::lock:
            unusable_directory("creating " + lock_path_of(path).filename().string() + ": " + made.reason);
            break;
        case Obstacle::write:
            warnings.push_back("the table file " + quoted(path) + " could not be written (" + made.reason +
                               "); the table is built in memory and not kept");
            break;
    }
    return table_of(std::move(made), path, kind, control, start);
}

// ---------------------------------------------------------------------------
// Tables built only when asked

namespace {

// MemAvailable of /proc/meminfo in bytes, or 0 when it cannot be read.
std::uint64_t available_memory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:") return kib * 1024;
    }
    return 0;
}

}  // namespace

std::optional<TableBytes> load_file(const TableKind& kind, const fs::path& path, std::vector<std::string>& warnings) {
    check_kind(kind);
    const Clock::time_point start = Clock::now();
    Inspection found = inspect(path, kind);
    if (found.contents) return TableBytesMaker::make(std::move(found.contents), path.string(), false, start);
    if (!found.missing) warnings.push_back("the table file " + quoted(path) + " " + found.problem + "; it is not used");
    return std::nullopt;
}

TableBytes load_or_build_file(const TableKind& kind, const fs::path& path, std::vector<std::string>& warnings,
                              WorkControl& control) {
    check_kind(kind);
    const Clock::time_point start = Clock::now();
    Ready made = map_or_build(kind, path, true, "the table file ", warnings, control);
    switch (made.obstacle) {
        case Obstacle::none:
            break;
        case Obstacle::directory:
            throw std::runtime_error("the directory " + quoted(directory_of(path)) +
                                     " cannot hold the table '" + kind.name + "' (" + made.reason + ")");
        case Obstacle::lock:
            throw std::runtime_error("the lock file " + quoted(lock_path_of(path)) + " cannot be created (" +
                                     made.reason + ")");
        case Obstacle::room:
            throw std::runtime_error(made.reason);
        case Obstacle::write:
            throw std::runtime_error("the table file " + quoted(path) + " could not be written (" +
                                     made.reason + ")");
    }
    return table_of(std::move(made), path, kind, control, start);
}

TableBytes copy_to_memory(TableBytes table, std::size_t spare) {
    const std::span<const std::byte> bytes = table.bytes();
    if (table.path().empty() || available_memory() < bytes.size() + spare) return table;
    Mapping copy = map_aligned(bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (!copy) return table;
    madvise(copy.data(), copy.size(), MADV_HUGEPAGE);
    constexpr std::size_t piece = std::size_t{64} << 20;
    parallel_for((bytes.size() + piece - 1) / piece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t at = i * piece;
            std::memcpy(copy.data() + at, bytes.data() + at, std::min(piece, bytes.size() - at));
        }
    });
    make_read_only(copy);
    return TableBytesMaker::copied(std::move(table), std::move(copy));
}

// ---------------------------------------------------------------------------
// The test table

std::uint64_t test_table_word(std::uint64_t index) noexcept { return mixed(index + odd_a); }

TableKind test_table_kind(std::size_t bytes) {
    constexpr std::size_t piece_bytes = std::size_t{64} << 10;
    return TableKind{
        .name = "test_table_" + std::to_string(bytes),
        .format = 1,
        .bytes = bytes,
        .fill =
            [](std::span<std::byte> out, WorkControl& control) {
                control.set_total(out.size());
                for (std::size_t begin = 0; begin < out.size(); begin += piece_bytes) {
                    control.throw_if_stopped();
                    const std::size_t end = std::min(out.size(), begin + piece_bytes);
                    for (std::size_t at = begin; at < end; at += 8) {
                        const std::uint64_t word = test_table_word(at / 8);
                        std::memcpy(out.data() + at, &word, std::min<std::size_t>(8, end - at));
                    }
                    control.add_done(end - begin);
                }
            },
    };
}

}  // namespace turnsmith::tables
