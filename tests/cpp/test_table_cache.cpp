// The on-disk cache of large tables: a table is built once into its file and
// mapped from it afterwards, a damaged file is rebuilt with a warning, and
// nothing that goes wrong with the disk ever costs more than a warning.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "solvers/table_cache.hpp"

namespace turnsmith::tables {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable (or unsets it, for null) for the life of this
// object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::byte expected_byte(std::size_t at, std::uint64_t format) {
    return static_cast<std::byte>((at * 131 + at / 251 + format) & 0xFF);
}

std::vector<std::byte> expected_bytes(std::size_t bytes, std::uint64_t format) {
    std::vector<std::byte> out(bytes);
    for (std::size_t at = 0; at < bytes; ++at) out[at] = expected_byte(at, format);
    return out;
}

// Counts its fills and notes whether each one found its memory zeroed.
struct FillLog {
    std::atomic<int> fills = 0;
    std::atomic<bool> saw_garbage = false;
};

TableKind counted_kind(std::size_t bytes, std::uint64_t format, FillLog& log) {
    return TableKind{
        .name = "counted",
        .format = format,
        .bytes = bytes,
        .fill =
            [&log, format](std::span<std::byte> out, WorkControl&) {
                ++log.fills;
                if (std::any_of(out.begin(), out.end(), [](std::byte b) { return b != std::byte{0}; })) {
                    log.saw_garbage = true;
                }
                for (std::size_t at = 0; at < out.size(); ++at) out[at] = expected_byte(at, format);
            },
    };
}

bool same_bytes(std::span<const std::byte> a, std::span<const std::byte> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

std::set<std::string> file_names(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// Every test gets a cache directory of its own, not yet created.
class TableCache : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/turnsmith-table-cache-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        cache_ = root_ / "cache" / "below";
        env_.emplace("TURNSMITH_CACHE_DIR", cache_.c_str());
    }
    void TearDown() override {
        env_.reset();
        fs::remove_all(root_);
    }

    TableBytes load(const TableKind& kind) {
        WorkControl control;
        return load_or_build(kind, warnings_, control);
    }

    fs::path root_;
    fs::path cache_;
    std::optional<ScopedEnv> env_;
    std::vector<std::string> warnings_;
    FillLog log_;
};

// The first call builds the file, the second maps it: the same bytes, and no
// second fill.
TEST_F(TableCache, BuildsOnceThenMapsTheFile) {
    constexpr std::size_t bytes = (3 << 20) + 5;  // several checksum pieces and a ragged end
    const TableKind kind = counted_kind(bytes, 7, log_);
    const std::vector<std::byte> expected = expected_bytes(bytes, 7);
    const fs::path path = table_path(cache_, kind);

    const TableBytes built = load(kind);
    EXPECT_TRUE(built.built_here());
    EXPECT_EQ(built.path(), path.string());
    EXPECT_TRUE(same_bytes(built.bytes(), expected));

    const TableBytes loaded = load(kind);
    EXPECT_FALSE(loaded.built_here());
    EXPECT_EQ(loaded.path(), path.string());
    EXPECT_TRUE(same_bytes(loaded.bytes(), expected));
    EXPECT_EQ(log_.fills, 1);
    EXPECT_FALSE(log_.saw_garbage);
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(file_names(cache_), (std::set<std::string>{"counted.tbl", "counted.lock"}));

    // The file as another reader sees it: the contents at their offset.
    std::ifstream file(path, std::ios::binary);
    std::vector<char> on_disk(table_content_offset + bytes + 1);
    file.read(on_disk.data(), static_cast<std::streamsize>(on_disk.size()));
    ASSERT_EQ(file.gcount(), static_cast<std::streamsize>(table_content_offset + bytes));
    EXPECT_EQ(std::memcmp(on_disk.data() + table_content_offset, expected.data(), bytes), 0);
}

// A damaged file: what is done to it, and what the warning then says.
struct Damage {
    const char* name;
    std::uint64_t written_format;  // the format of the table in the file
    void (*damage)(const fs::path& file);
    const char* problem;
};

void flip_content_byte(const fs::path& file) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    const auto at = static_cast<std::streamoff>(table_content_offset + 70'000);
    stream.seekg(at);
    const char old = static_cast<char>(stream.get());
    stream.seekp(at);
    stream.put(static_cast<char>(old ^ 0x10));
}

// The header as a machine of the other byte order writes it: every number
// reversed, the mark with them.
void swap_byte_order(const fs::path& file) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    TableFileHeader header;
    stream.read(reinterpret_cast<char*>(&header), sizeof header);
    for (std::uint64_t* field :
         {&header.byte_order, &header.header_version, &header.format, &header.content_offset,
          &header.content_bytes, &header.content_checksum, &header.header_checksum}) {
        *field = __builtin_bswap64(*field);
    }
    stream.seekp(0);
    stream.write(reinterpret_cast<const char*>(&header), sizeof header);
}

void rename_the_table(const fs::path& file) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(offsetof(TableFileHeader, name));
    stream.put('C');
}

constexpr std::size_t damaged_bytes = 100'000;

const Damage damages[] = {
    {"TruncatedContents", 1, [](const fs::path& file) { fs::resize_file(file, fs::file_size(file) - 1); },
     "is truncated (2197151 bytes, 2197152 expected)"},
    {"TruncatedHeader", 1, [](const fs::path& file) { fs::resize_file(file, 100); },
     "is truncated (100 bytes, shorter than its header)"},
    {"TooLong", 1, [](const fs::path& file) { fs::resize_file(file, fs::file_size(file) + 1); },
     "is too long (2197153 bytes, 2197152 expected)"},
    {"FlippedContentByte", 1, flip_content_byte, "has contents that do not match their checksum"},
    {"AnotherFormat", 2, [](const fs::path&) {},
     "holds format 0x2 of the table, and this build uses format 0x1"},
    {"AnotherByteOrder", 1, swap_byte_order, "was written on a machine of the other byte order"},
    {"HeaderChanged", 1, rename_the_table, "has a damaged header (its checksum does not match)"},
    {"NotATableFile", 1, [](const fs::path& file) { std::ofstream(file) << std::string(5000, 'x'); },
     "is not a table file (it does not start with the table mark)"},
};

class DamagedFile : public TableCache, public ::testing::WithParamInterface<Damage> {};

// Each damage is reported once, naming the file, and the file is built again:
// the next call maps it without a word.
TEST_P(DamagedFile, IsReportedAndBuiltAgain) {
    const Damage& damage = GetParam();
    FillLog first_log;
    const fs::path path = table_path(cache_, counted_kind(damaged_bytes, 1, log_));
    ASSERT_TRUE(load(counted_kind(damaged_bytes, damage.written_format, first_log)).built_here());
    damage.damage(path);

    const TableKind kind = counted_kind(damaged_bytes, 1, log_);
    const TableBytes rebuilt = load(kind);
    EXPECT_TRUE(rebuilt.built_here());
    EXPECT_EQ(rebuilt.path(), path.string());
    EXPECT_TRUE(same_bytes(rebuilt.bytes(), expected_bytes(damaged_bytes, 1)));
    EXPECT_EQ(warnings_, std::vector<std::string>{"the cached table file '" + path.string() + "' " +
                                                  damage.problem + "; building it again"});

    warnings_.clear();
    const TableBytes loaded = load(kind);
    EXPECT_FALSE(loaded.built_here());
    EXPECT_TRUE(same_bytes(loaded.bytes(), expected_bytes(damaged_bytes, 1)));
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(log_.fills, 1);
}

INSTANTIATE_TEST_SUITE_P(TableCache, DamagedFile, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

// A directory that cannot be made: the table is built in memory, with one
// warning that names the directory and the reason.
TEST_F(TableCache, UnusableDirectoryBuildsInMemoryWithOneWarning) {
    std::ofstream(root_ / "file") << "a regular file";
    for (const fs::path& directory : {root_ / "file", root_ / "file" / "below"}) {
        warnings_.clear();
        const ScopedEnv env("TURNSMITH_CACHE_DIR", directory.c_str());
        const TableBytes table = load(counted_kind(5000, 3, log_));
        EXPECT_TRUE(table.built_here());
        EXPECT_EQ(table.path(), "");
        EXPECT_TRUE(same_bytes(table.bytes(), expected_bytes(5000, 3)));
        EXPECT_EQ(warnings_, std::vector<std::string>{"the table cache directory '" + directory.string() +
                                                      "' cannot be used (Not a directory); the table "
                                                      "'counted' is built in memory and not kept"});
    }
}

// A file size limit (as a full disk would) stops the write before the fill:
// the table is built in memory, once, and no temporary file is left behind.
TEST_F(TableCache, FileSizeLimitBuildsInMemoryAndLeavesNoFile) {
    constexpr std::size_t bytes = 300'000;
    const TableKind kind = counted_kind(bytes, 4, log_);
    const fs::path path = table_path(cache_, kind);
    TableBytes table;
    {
        const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);  // as CPython does: writes fail with EFBIG
        rlimit old_limit;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
        rlimit limit = old_limit;
        limit.rlim_cur = 1 << 20;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        table = load(kind);
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
        std::signal(SIGXFSZ, old_handler);
    }
    EXPECT_TRUE(table.built_here());
    EXPECT_EQ(table.path(), "");
    EXPECT_TRUE(same_bytes(table.bytes(), expected_bytes(bytes, 4)));
    EXPECT_EQ(log_.fills, 1);
    EXPECT_EQ(warnings_, std::vector<std::string>{"the table file '" + path.string() +
                                                  "' could not be written (reserving 2397152 bytes: File too "
                                                  "large); the table is built in memory and not kept"});
    EXPECT_EQ(file_names(cache_), std::set<std::string>{"counted.lock"});
}

// A file that cannot be put in place once the table is built (a directory
// stands there): the build is kept, in memory, and the temporary file goes.
TEST_F(TableCache, TableKeptInMemoryWhenItsFileCannotBePutInPlace) {
    const TableKind kind = counted_kind(20'000, 5, log_);
    const fs::path path = table_path(cache_, kind);
    fs::create_directories(path / "in the way");
    const TableBytes table = load(kind);
    EXPECT_TRUE(table.built_here());
    EXPECT_EQ(table.path(), "");
    EXPECT_TRUE(same_bytes(table.bytes(), expected_bytes(20'000, 5)));
    ASSERT_EQ(warnings_.size(), 2u);
    EXPECT_EQ(warnings_[0],
              "the cached table file '" + path.string() + "' is not a regular file; building it again");
    EXPECT_TRUE(warnings_[1].starts_with("the table file '" + path.string() +
                                         "' could not be written (renaming it into place: "))
        << warnings_[1];
    EXPECT_EQ(file_names(cache_), (std::set<std::string>{"counted.tbl", "counted.lock"}));
}

// What a builder that died left of its file is removed by the next build
// of the same table, and only of that table.
TEST_F(TableCache, BuildRemovesWhatDeadBuildersLeft) {
    fs::create_directories(cache_);
    for (const char* name : {"counted.tmp-1-0", "counted.tmp-77-3", "other.tmp-1-0"}) {
        std::ofstream(cache_ / name) << "half a table";
    }
    EXPECT_TRUE(load(counted_kind(5000, 13, log_)).built_here());
    EXPECT_EQ(file_names(cache_), (std::set<std::string>{"counted.tbl", "counted.lock", "other.tmp-1-0"}));
}

// While a table is built, its file's name is absent: at most the builder's
// temporary file is there, beside the lock, for the cache and a named file
// alike.
TEST_F(TableCache, DuringABuildOnlyItsTemporaryFileIsThere) {
    const std::regex temporary("counted\\.tmp-" + std::to_string(getpid()) + "-[0-9]+");
    const fs::path named = root_ / "named" / "counted.tbl";
    for (const fs::path& path : {table_path(cache_, counted_kind(1, 1, log_)), named}) {
        std::set<std::string> seen;
        TableKind kind = counted_kind(300'000, 15, log_);
        const auto fill = kind.fill;
        kind.fill = [&](std::span<std::byte> out, WorkControl& control) {
            seen = file_names(path.parent_path());
            fill(out, control);
        };
        WorkControl control;
        const TableBytes table =
            path == named ? load_or_build_file(kind, path, warnings_, control) : load(kind);
        EXPECT_EQ(table.path(), path.string());
        EXPECT_TRUE(seen.erase("counted.lock")) << path;
        const auto is_temporary = [&](const std::string& name) { return std::regex_match(name, temporary); };
        EXPECT_LE(std::erase_if(seen, is_temporary), 1u);
        EXPECT_EQ(seen, std::set<std::string>{}) << path;
    }
}

// A process that maps a table reads the same bytes while another rebuilds
// its file (here for another format): the new file takes the name, and the
// old one, still mapped, is neither cut short (SIGBUS) nor written over.
TEST_F(TableCache, AMappedTableKeepsItsBytesWhileItsFileIsRebuilt) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork in a process with threads";
#endif
    constexpr std::size_t bytes = 3 << 20;
    const std::vector<std::byte> old_bytes = expected_bytes(bytes, 1);
    const TableBytes old_table = load(counted_kind(bytes, 1, log_));
    int started[2], rebuilt[2];
    ASSERT_EQ(pipe(started), 0);
    ASSERT_EQ(pipe(rebuilt), 0);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        alarm(120);
        close(started[0]);
        close(rebuilt[1]);
        fcntl(rebuilt[0], F_SETFL, O_NONBLOCK);
        char byte = 0;
        bool same = same_bytes(old_table.bytes(), old_bytes);
        [[maybe_unused]] const ssize_t put = write(started[1], "r", 1);
        while (same && read(rebuilt[0], &byte, 1) < 0) {  // until the other end is closed
            same = same_bytes(old_table.bytes(), old_bytes);
        }
        _exit(same && same_bytes(old_table.bytes(), old_bytes) ? 0 : 1);
    }
    close(started[1]);
    close(rebuilt[0]);
    char byte = 0;
    ASSERT_EQ(read(started[0], &byte, 1), 1);
    const TableBytes new_table = load(counted_kind(bytes, 2, log_));
    EXPECT_TRUE(new_table.built_here());
    EXPECT_TRUE(same_bytes(new_table.bytes(), expected_bytes(bytes, 2)));
    close(rebuilt[1]);  // the reader's last look: a write here could raise SIGPIPE after its death
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    close(started[0]);
}

// The bytes this process has sent toward the disk (write_bytes of
// /proc/self/io), or nullopt when the kernel does not count them.
std::optional<std::uint64_t> bytes_written() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:") return value;
    }
    return std::nullopt;
}

// A build that passes over its memory several times still writes its file
// once. Each pass ends with an msync, as the kernel's periodic write-back
// would: memory shared with the file would go to disk after every pass.
TEST_F(TableCache, ABuildWritesItsFileOnce) {
    constexpr std::size_t bytes = 8 << 20;
    constexpr int passes = 4;
    TableKind kind = counted_kind(bytes, 16, log_);
    const auto fill = kind.fill;
    kind.fill = [&](std::span<std::byte> out, WorkControl& control) {
        for (int pass = 0; pass < passes; ++pass) {
            if (pass + 1 < passes) {
                std::fill(out.begin(), out.end(), std::byte(pass + 1));
            } else {
                fill(out, control);
            }
            ASSERT_EQ(msync(out.data(), out.size(), MS_SYNC), 0);
        }
    };
    const std::optional<std::uint64_t> before = bytes_written();
    if (!before) GTEST_SKIP() << "no write_bytes in /proc/self/io";
    const TableBytes table = load(kind);
    const std::uint64_t written = *bytes_written() - *before;
    if (written == 0) GTEST_SKIP() << "the file system of " << cache_ << " does not count its writes";
    const std::uint64_t file_bytes = fs::file_size(table_path(cache_, kind));
    EXPECT_TRUE(same_bytes(table.bytes(), expected_bytes(bytes, 16)));
    EXPECT_GE(written, bytes);
    EXPECT_LE(written, file_bytes * 11 / 10) << "the file holds " << file_bytes;
}

// An empty TURNSMITH_CACHE_DIR turns the cache off: no file, no directory,
// not even the default ones, and no warning.
TEST_F(TableCache, OffWhenTheDirectoryIsEmpty) {
    const ScopedEnv off("TURNSMITH_CACHE_DIR", "");
    const ScopedEnv xdg("XDG_CACHE_HOME", (root_ / "xdg").c_str());
    const ScopedEnv home("HOME", (root_ / "home").c_str());
    EXPECT_EQ(cache_directory(), std::nullopt);
    const TableBytes table = load(counted_kind(5000, 6, log_));
    EXPECT_TRUE(table.built_here());
    EXPECT_EQ(table.path(), "");
    EXPECT_TRUE(same_bytes(table.bytes(), expected_bytes(5000, 6)));
    EXPECT_FALSE(log_.saw_garbage);
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(file_names(root_), std::set<std::string>{});
}

struct DirectoryChoice {
    const char* own;   // TURNSMITH_CACHE_DIR, null for unset
    const char* xdg;   // XDG_CACHE_HOME
    const char* home;  // HOME
    std::optional<fs::path> expected;
};

TEST(CacheDirectory, FollowsTheEnvironment) {
    const DirectoryChoice choices[] = {
        {"/own", "/xdg", "/home", "/own"},
        {nullptr, "/xdg", "/home", "/xdg/turnsmith"},
        {nullptr, "", "/home", "/home/.cache/turnsmith"},
        {nullptr, "relative", "/home", "/home/.cache/turnsmith"},
        {nullptr, nullptr, "/home", "/home/.cache/turnsmith"},
        {"", "/xdg", "/home", std::nullopt},
        {nullptr, nullptr, nullptr, std::nullopt},
    };
    for (const DirectoryChoice& choice : choices) {
        const ScopedEnv own("TURNSMITH_CACHE_DIR", choice.own);
        const ScopedEnv xdg("XDG_CACHE_HOME", choice.xdg);
        const ScopedEnv home("HOME", choice.home);
        EXPECT_EQ(cache_directory(), choice.expected)
            << (choice.own ? choice.own : "unset") << " " << (choice.xdg ? choice.xdg : "unset");
    }
}

// A fill that throws: the exception reaches the caller and no file is left,
// so the next call builds the table as if nothing had happened.
TEST_F(TableCache, ThrowingFillLeavesNoFile) {
    TableKind kind = counted_kind(50'000, 8, log_);
    const auto good_fill = kind.fill;
    kind.fill = [](std::span<std::byte> out, WorkControl&) {
        std::fill(out.begin(), out.begin() + 1000, std::byte{0xEE});
        throw std::runtime_error("the build broke");
    };
    EXPECT_THROW(load(kind), std::runtime_error);
    EXPECT_EQ(file_names(cache_), std::set<std::string>{"counted.lock"});
    {
        const ScopedEnv off("TURNSMITH_CACHE_DIR", "");
        EXPECT_THROW(load(kind), std::runtime_error);
    }
    kind.fill = good_fill;
    EXPECT_TRUE(load(kind).built_here());
    EXPECT_TRUE(same_bytes(load(kind).bytes(), expected_bytes(50'000, 8)));
    EXPECT_TRUE(warnings_.empty());
}

// A name is a file's stem and nothing more: it cannot lead out of the
// directory or hide a file.
TEST_F(TableCache, RefusesKindsWithoutAUsableNameOrSize) {
    for (const char* name : {"", "../up", "a/b", ".hidden", "x.tbl", "name with blanks",
                             "a_name_of_sixty_four_characters_is_one_more_than_the_header_hold"}) {
        TableKind kind = counted_kind(100, 14, log_);
        kind.name = name;
        EXPECT_THROW(load(kind), std::invalid_argument) << name;
    }
    EXPECT_THROW(load(counted_kind(0, 14, log_)), std::invalid_argument);
    EXPECT_EQ(log_.fills, 0);
    EXPECT_FALSE(fs::exists(cache_));
}

// A kind whose fill counts its calls in a file shared between processes,
// and takes long enough for the other builder to arrive meanwhile.
TableKind slow_kind(const fs::path& count_file) {
    return TableKind{
        .name = "slow",
        .format = 9,
        .bytes = 70'000,
        .fill =
            [count_file](std::span<std::byte> out, WorkControl&) {
                const int fd = open(count_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
                if (fd < 0 || write(fd, "x", 1) != 1) throw std::runtime_error("cannot count");
                close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                for (std::size_t at = 0; at < out.size(); ++at) out[at] = expected_byte(at, 9);
            },
    };
}

// Two builders at once, threads with open files of their own: one fills, the
// other waits for the lock and then maps what the first wrote.
TEST_F(TableCache, TwoThreadsBuildOnce) {
    const fs::path count_file = root_ / "count";
    const TableKind kind = slow_kind(count_file);
    std::vector<std::string> other_warnings;
    auto other = std::async(std::launch::async, [&] {
        WorkControl control;
        return load_or_build(kind, other_warnings, control);
    });
    const TableBytes mine = load(kind);
    const TableBytes theirs = other.get();
    EXPECT_EQ(fs::file_size(count_file), 1u);
    EXPECT_NE(mine.built_here(), theirs.built_here());
    EXPECT_TRUE(same_bytes(mine.bytes(), expected_bytes(70'000, 9)));
    EXPECT_TRUE(same_bytes(theirs.bytes(), expected_bytes(70'000, 9)));
    EXPECT_TRUE(warnings_.empty());
    EXPECT_TRUE(other_warnings.empty());
}

// The same with two processes.
TEST_F(TableCache, TwoProcessesBuildOnce) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork in a process with threads";
#endif
    const fs::path count_file = root_ / "count";
    const TableKind kind = slow_kind(count_file);
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(60);
            std::vector<std::string> warnings;
            WorkControl control;
            const TableBytes table = load_or_build(kind, warnings, control);
            _exit(same_bytes(table.bytes(), expected_bytes(70'000, 9)) && warnings.empty() ? 0 : 1);
        }
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(fs::file_size(count_file), 1u);
}

// A caller that waits for another's build stops when asked to.
TEST_F(TableCache, WaitForAnotherBuildEndsOnStop) {
    std::promise<void> filling;
    std::promise<void> finish;
    std::shared_future<void> finished = finish.get_future().share();
    TableKind kind = counted_kind(10'000, 10, log_);
    const auto fill = kind.fill;
    kind.fill = [&](std::span<std::byte> out, WorkControl& control) {
        filling.set_value();
        finished.wait();
        fill(out, control);
    };
    auto builder = std::async(std::launch::async, [&] { return load(kind); });
    filling.get_future().wait();

    auto waiter = std::async(std::launch::async, [&] {
        std::vector<std::string> warnings;
        WorkControl control;
        control.request_stop();
        return load_or_build(kind, warnings, control);
    });
    // Without the stop the waiter waits for the builder, which waits for this.
    // A stopped waiter returns at once; the wait is long for a loaded machine.
    const bool waiter_ended = waiter.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    finish.set_value();
    EXPECT_TRUE(waiter_ended);
    EXPECT_THROW(waiter.get(), Stopped);
    EXPECT_TRUE(builder.get().built_here());
}

// A child forked during a build does not keep the build lock after the
// build ends: other builders would wait for that child to exit.
TEST_F(TableCache, ChildForkedDuringABuildDoesNotHoldItsLock) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork in a process with threads";
#endif
    int release_child[2];
    ASSERT_EQ(pipe(release_child), 0);
    pid_t child = -1;
    TableKind kind = counted_kind(10'000, 11, log_);
    const auto fill = kind.fill;
    kind.fill = [&](std::span<std::byte> out, WorkControl& control) {
        child = fork();
        if (child == 0) {
            char byte;
            close(release_child[1]);
            [[maybe_unused]] const ssize_t got =
                read(release_child[0], &byte, 1);  // until the parent closes it
            _exit(0);
        }
        fill(out, control);
    };
    const TableBytes table = load(kind);
    ASSERT_GT(child, 0);
    const int lock = open((cache_ / "counted.lock").c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0) << "the child still holds the lock";
    close(lock);
    close(release_child[0]);
    close(release_child[1]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
}

// One changed bit anywhere changes the checksum, pieces of a MiB and the
// ragged end alike, and so does the order of the pieces.
TEST(TableChecksum, SeesEveryChangedBit) {
    std::vector<std::byte> bytes = expected_bytes((2 << 20) + 37, 12);
    const std::uint64_t original = table_checksum(bytes);
    const std::size_t piece = 1 << 20;
    for (const std::size_t at : {std::size_t{0}, std::size_t{7}, std::size_t{8}, piece - 1, piece,
                                 piece + 12345, 2 * piece, bytes.size() - 1}) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            bytes[at] ^= std::byte{1} << bit;
            EXPECT_NE(table_checksum(bytes), original) << at << " " << bit;
            bytes[at] ^= std::byte{1} << bit;
        }
    }
    std::swap_ranges(bytes.begin(), bytes.begin() + piece, bytes.begin() + piece);
    EXPECT_NE(table_checksum(bytes), original);
}

// The test table that the Python tests use: its words, cut at the end, and a
// build that stops when asked.
TEST_F(TableCache, TestTableHoldsItsWordsAndStops) {
    const TableKind kind = test_table_kind(200'003);
    EXPECT_EQ(kind.name, "test_table_200003");
    const TableBytes table = load(kind);
    ASSERT_EQ(table.bytes().size(), 200'003u);
    for (std::size_t at = 0; at < table.bytes().size(); ++at) {
        const std::uint64_t word = test_table_word(at / 8);
        std::byte word_bytes[8];
        std::memcpy(word_bytes, &word, 8);
        ASSERT_EQ(table.bytes()[at], word_bytes[at % 8]) << at;
    }
    WorkControl stopped;
    stopped.request_stop();
    std::vector<std::string> warnings;
    EXPECT_THROW(load_or_build(test_table_kind(1000), warnings, stopped), Stopped);
}

// ---- tables built only when asked -------------------------------------------------

// A named file is only read by load_file: missing means nothing and no
// warning; damaged means nothing, one warning naming it, and the file left.
TEST_F(TableCache, AFileIsReadOnlyWhenWhole) {
    const TableKind kind = counted_kind(damaged_bytes, 3, log_);
    const fs::path path = root_ / "named" / "big.tbl";
    EXPECT_FALSE(load_file(kind, path, warnings_));
    EXPECT_TRUE(warnings_.empty());
    EXPECT_FALSE(fs::exists(path.parent_path()));

    WorkControl control;
    const TableBytes built = load_or_build_file(kind, path, warnings_, control);
    EXPECT_TRUE(built.built_here());
    EXPECT_EQ(built.path(), path.string());
    const std::optional<TableBytes> loaded = load_file(kind, path, warnings_);
    ASSERT_TRUE(loaded);
    EXPECT_FALSE(loaded->built_here());
    EXPECT_TRUE(same_bytes(loaded->bytes(), expected_bytes(damaged_bytes, 3)));
    EXPECT_EQ(load_or_build_file(kind, path, warnings_, control).built_here(), false);
    EXPECT_EQ(log_.fills, 1);

    flip_content_byte(path);
    const auto size = fs::file_size(path);
    EXPECT_FALSE(load_file(kind, path, warnings_));
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find(path.string()), std::string::npos);
    EXPECT_EQ(fs::file_size(path), size);
    EXPECT_EQ(log_.fills, 1);
}

// Too little room on the disk is told before the build starts, and leaves
// nothing behind but the lock.
TEST_F(TableCache, ABuildWithoutRoomRaisesBeforeItStarts) {
    TableKind kind = counted_kind(1, 3, log_);
    kind.bytes = std::size_t{1} << 60;  // more than any disk here
    const fs::path path = root_ / "named" / "huge.tbl";
    WorkControl control;
    try {
        (void)load_or_build_file(kind, path, warnings_, control);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("free"), std::string::npos) << error.what();
    }
    EXPECT_EQ(log_.fills, 0);
    EXPECT_EQ(file_names(path.parent_path()), std::set<std::string>{"huge.lock"});
}

// A file that cannot be written is an error, not a table in memory.
TEST_F(TableCache, AnUnwritableFileRaises) {
    const TableKind kind = counted_kind(20'000, 5, log_);
    const fs::path path = root_ / "named" / "big.tbl";
    fs::create_directories(path / "in the way");
    WorkControl control;
    EXPECT_THROW((void)load_or_build_file(kind, path, warnings_, control), std::runtime_error);
    EXPECT_EQ(file_names(path.parent_path()), (std::set<std::string>{"big.tbl", "big.lock"}));
}

// A copy in memory holds the same bytes and no file; without room for it
// beside what must be spared, the table stays as it was.
TEST_F(TableCache, ACopyInMemoryHoldsTheSameBytes) {
    const TableKind kind = counted_kind(damaged_bytes, 6, log_);
    const fs::path path = root_ / "named" / "big.tbl";
    WorkControl control;
    const TableBytes copy = copy_to_memory(load_or_build_file(kind, path, warnings_, control), 0);
    EXPECT_EQ(copy.path(), "");
    EXPECT_TRUE(copy.built_here());
    EXPECT_TRUE(same_bytes(copy.bytes(), expected_bytes(damaged_bytes, 6)));
    const TableBytes kept = copy_to_memory(load_or_build_file(kind, path, warnings_, control), std::size_t{1} << 60);
    EXPECT_EQ(kept.path(), path.string());
    EXPECT_TRUE(same_bytes(kept.bytes(), expected_bytes(damaged_bytes, 6)));
}

}  // namespace
}  // namespace turnsmith::tables
