// How fast the table cache is: the checksum on memory already in place, and
// a table's build into its file and its load from it (the page cache warm,
// as for the second process on a machine, and cold: the file's pages evicted,
// as after a reboot).
//
//     turnsmith_table_cache_bench [MEGABYTES]    (600 by default)
//
// The table is the test table; its file goes to a fresh directory under
// TMPDIR (or /tmp), removed at the end.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/pool.hpp"
#include "solvers/table_cache.hpp"

namespace {

using namespace turnsmith;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
    const std::size_t bytes = megabytes << 20;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/turnsmith-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path directory = pattern;
    setenv("TURNSMITH_CACHE_DIR", directory.c_str(), 1);
    std::printf("table of %zu MiB, %zu workers, cache in %s\n", megabytes, pool_worker_count(),
                directory.c_str());

    const tables::TableKind kind = tables::test_table_kind(bytes);
    std::vector<std::string> warnings;
    double build_seconds = 0;
    {
        const tables::TableBytes built = tables::load_or_build(kind, warnings, unwatched_work());
        build_seconds = built.seconds();
        std::printf("build into the file: %.3f s (the fill, checksum, fsync)\n", build_seconds);

        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            const Clock::time_point start = Clock::now();
            volatile std::uint64_t sum = tables::table_checksum(built.bytes());
            (void)sum;
            best = std::min(best, seconds_since(start));
        }
        std::printf("checksum, memory mapped: best of 5 %.3f s, %.0f MB/s\n", best,
                    static_cast<double>(bytes) / 1e6 / best);
    }
    double best_load = 1e9;
    for (int round = 0; round < 5; ++round) {
        const tables::TableBytes loaded = tables::load_or_build(kind, warnings, unwatched_work());
        if (loaded.built_here()) std::printf("loaded table was built again\n");
        best_load = std::min(best_load, loaded.seconds());
        std::printf("load %d: %.3f s\n", round, loaded.seconds());
    }
    std::printf("load, page cache warm: best of 5 %.3f s, %.0f MB/s\n", best_load,
                static_cast<double>(bytes) / 1e6 / best_load);
    {
        // Only this file's pages leave the page cache: the rest of the
        // machine keeps its own.
        const std::filesystem::path path = tables::table_path(directory, kind);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) {
            std::perror("evicting the table file");
        }
        if (fd >= 0) close(fd);
        const tables::TableBytes loaded = tables::load_or_build(kind, warnings, unwatched_work());
        std::printf("load, file evicted from the page cache: %.3f s, %.0f MB/s\n", loaded.seconds(),
                    static_cast<double>(bytes) / 1e6 / loaded.seconds());
    }
    for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
    std::filesystem::remove_all(directory);
    return warnings.empty() ? 0 : 1;
}
