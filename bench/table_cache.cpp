// How fast the table cache is, and how much a build writes to disk.
//
//     turnsmith_table_cache_bench [MEGABYTES]    (600 by default)
//         The checksum on memory already in place, and the test table's build
//         into its file and its load from it (the page cache warm, as for the
//         second process on a machine, and cold: the file's pages evicted, as
//         after a reboot).
//     turnsmith_table_cache_bench tables
//         The two-phase tables and the edge tables built into an empty cache.
//     turnsmith_table_cache_bench large [tetrads|layers]    (tetrads by default)
//         The optimal search's large table of that kind (2.5 GB,
//         four minutes on two CPUs) built into an empty directory,
//         the two-phase tables it reads taken from the usual cache first.
//
// For every build: its seconds, the file's size, what the process sent toward
// the disk meanwhile (write_bytes of /proc/self/io) and its ratio to the
// file's size, and the memory as free(1) counts it (used, buff/cache) when
// the fill ends (just before the write), after the build (the file written
// and flushed), and the highest seen while building, sampled every 50 ms.
//
// Files go to a fresh directory under TMPDIR (or /tmp), removed at the end.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/pool.hpp"
#include "solvers/phase1_corners_3x3.hpp"
#include "solvers/edge_patterns_3x3.hpp"
#include "solvers/table_cache.hpp"
#include "solvers/two_phase.hpp"
#include "solvers/two_phase_solver.hpp"

namespace {

using namespace turnsmith;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// write_bytes of /proc/self/io: what the process has sent toward the disk.
std::uint64_t bytes_written() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:") return value;
    }
    return 0;
}

// The memory as free(1) counts it, in MiB.
struct Memory {
    std::uint64_t used = 0;
    std::uint64_t cache = 0;  // buff/cache: Buffers, Cached and SReclaimable
};

Memory memory_now() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    std::uint64_t total = 0, free = 0, cache = 0;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemTotal:") total = kib;
        if (key == "MemFree:") free = kib;
        if (key == "Buffers:" || key == "Cached:" || key == "SReclaimable:") cache += kib;
    }
    return {(total - free - cache) >> 10, cache >> 10};
}

// The highest memory use seen while it lives, sampled on a thread of its own.
class MemoryPeaks {
public:
    MemoryPeaks()
        : sampler_([this] {
              while (!done_) {
                  const Memory now = memory_now();
                  peak_.used = std::max(peak_.used, now.used);
                  peak_.cache = std::max(peak_.cache, now.cache);
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
              }
          }) {}
    ~MemoryPeaks() { stop(); }
    Memory stop() {
        done_ = true;
        if (sampler_.joinable()) sampler_.join();
        return peak_;
    }

private:
    std::atomic<bool> done_ = false;
    Memory peak_;
    std::thread sampler_;
};

// Builds `kind` into the empty directory `directory` and prints what it cost.
void measure_build(tables::TableKind kind, const std::filesystem::path& directory, bool named_file) {
    Memory at_fill_end;
    const auto fill = kind.fill;
    kind.fill = [&](std::span<std::byte> out, WorkControl& control) {
        fill(out, control);
        at_fill_end = memory_now();
    };
    const std::filesystem::path path = tables::table_path(directory, kind);
    std::vector<std::string> warnings;
    MemoryPeaks peaks;
    const std::uint64_t before = bytes_written();
    const tables::TableBytes table = named_file
                                         ? tables::load_or_build_file(kind, path, warnings, unwatched_work())
                                         : tables::load_or_build(kind, warnings, unwatched_work());
    const std::uint64_t written = bytes_written() - before;
    const Memory after = memory_now();
    const Memory peak = peaks.stop();
    const std::uint64_t file_bytes = std::filesystem::file_size(path);
    std::printf("%-28s %8.2f s  file %11llu  written %11llu  ratio %5.3f  used/cache MiB:", kind.name.c_str(),
                table.seconds(), static_cast<unsigned long long>(file_bytes),
                static_cast<unsigned long long>(written),
                static_cast<double>(written) / static_cast<double>(file_bytes));
    const std::pair<const char*, Memory> memories[] = {
        {"fill end", at_fill_end}, {"after", after}, {"peak", peak}};
    for (const auto& [when, memory] : memories) {
        std::printf(" %s %llu/%llu", when, static_cast<unsigned long long>(memory.used),
                    static_cast<unsigned long long>(memory.cache));
    }
    std::printf("%s\n", table.built_here() ? "" : "  (not built: loaded)");
    for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
}

std::filesystem::path fresh_directory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/turnsmith-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    setenv("TURNSMITH_CACHE_DIR", pattern.c_str(), 1);
    return pattern;
}

// The solver tables' builds, each into the empty directory.
int measure_solver_tables(bool large, phase1_corners::CornerDetail detail) {
    std::optional<two_phase::Phase1View> phase1;
    if (large) {
        std::vector<std::string> warnings;
        WorkControl control;
        phase1 = two_phase_solver(warnings, control).phase1_view();
    }
    const std::filesystem::path directory = fresh_directory();
    std::printf("%zu workers, files in %s\n", pool_worker_count(), directory.c_str());
    if (phase1) {
        measure_build(phase1_corners::table_kind(detail, *phase1),
                      directory, true);
    } else {
        for (const two_phase::TableSpec& spec : two_phase::table_specs()) {
            measure_build({spec.name, spec.format, spec.bytes, spec.fill}, directory, false);
        }
        for (const unsigned first : edge_patterns::table_first_pieces) {
            measure_build(edge_patterns::table_kind(first), directory, false);
        }
    }
    std::filesystem::remove_all(directory);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "tables" || mode == "large")
        return measure_solver_tables(mode == "large", argc > 2 && std::string_view(argv[2]) == "layers"
                                                          ? phase1_corners::CornerDetail::layers
                                                          : phase1_corners::CornerDetail::tetrads);
    const std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
    const std::size_t bytes = megabytes << 20;
    const std::filesystem::path directory = fresh_directory();
    std::printf("table of %zu MiB, %zu workers, cache in %s\n", megabytes, pool_worker_count(),
                directory.c_str());

    const tables::TableKind kind = tables::test_table_kind(bytes);
    std::vector<std::string> warnings;
    measure_build(kind, directory, false);
    {
        const tables::TableBytes built = tables::load_or_build(kind, warnings, unwatched_work());

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
