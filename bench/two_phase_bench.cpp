// Builds the two-phase solver's tables, then solves uniformly random states
// on the worker pool and reports cubes per second and solution lengths.
//
//   two_phase_bench [cubes=1000] [seed=1] [bound ...=26 25]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sys/resource.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cube/random.hpp"
#include "cube/random_state.hpp"
#include "engine/pool.hpp"
#include "engine/row_buffer.hpp"
#include "solvers/two_phase.hpp"

using namespace turnsmith;

namespace {

// CPU time of the whole process: on a shared machine it counts only this
// run's work, where wall time counts the others' too.
double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::vector<unsigned> bounds;
    for (int i = 3; i < argc; ++i)
        bounds.push_back(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)));
    if (bounds.empty()) bounds = {26, 25};
    std::printf("workers: %zu\n", pool_worker_count());

    // Memory with huge pages asked for, as the module keeps large tables.
    std::vector<row_memory::Owned> storage;
    std::vector<std::span<const std::byte>> views;
    std::size_t total_bytes = 0;
    const auto build_start = std::chrono::steady_clock::now();
    for (const two_phase::TableSpec& kind : two_phase::table_specs()) {
        const auto start = std::chrono::steady_clock::now();
        storage.emplace_back(row_memory::allocate_zeroed_bytes(kind.bytes), kind.bytes);
        const std::span<std::byte> table(static_cast<std::byte*>(storage.back().data()), kind.bytes);
        // A directory in TWO_PHASE_TABLES keeps the tables between runs.
        std::string path;
        if (const char* dir = std::getenv("TWO_PHASE_TABLES"))
            path = std::string(dir) + "/" + kind.name + "." + std::to_string(kind.format);
        bool loaded = false;
        if (!path.empty()) {
            if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
                loaded = std::fread(table.data(), 1, kind.bytes, file) == kind.bytes;
                std::fclose(file);
            }
        }
        if (!loaded) {
            kind.fill(table, unwatched_work());
            if (!path.empty()) {
                if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
                    std::fwrite(table.data(), 1, kind.bytes, file);
                    std::fclose(file);
                }
            }
        }
        total_bytes += kind.bytes;
        std::printf("table %-28s %11zu bytes %7.2f s\n", kind.name, kind.bytes, seconds_since(start));
    }
    for (std::size_t i = 0; i < storage.size(); ++i)
        views.emplace_back(static_cast<const std::byte*>(storage[i].data()),
                           two_phase::table_specs()[i].bytes);
    std::printf("tables: %zu bytes in %.2f s\n", total_bytes, seconds_since(build_start));
    const auto solver_start = std::chrono::steady_clock::now();
    const two_phase::Solver solver(views);
    std::printf("solver: %.3f s\n", seconds_since(solver_start));

    std::vector<Cube3x3> cubes;
    for (std::size_t i = 0; i < count; ++i) {
        SeededRng rng = seeded_rng(seed, i);
        cubes.push_back(random_cube_3x3(rng));
    }
    for (const unsigned bound : bounds) {
        std::vector<std::int8_t> rows(count * bound);
        std::vector<std::int16_t> lengths(count);
        WorkControl control;
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        solver.solve_many(cubes, bound, rows.data(), bound, lengths.data(), control);
        const double elapsed = seconds_since(start);
        const double cpu = cpu_seconds() - cpu_start;
        double sum = 0;
        int longest = 0;
        std::size_t unsolved = 0;
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int16_t length = lengths[i];
            if (length < 0) {
                ++unsolved;
                continue;
            }
            Cube3x3 cube = cubes[i];
            for (int k = 0; k < length; ++k)
                apply_move_index_internal(cube, static_cast<MoveIndex>(rows[i * bound + k]));
            wrong += !cube.is_solved() || length > static_cast<int>(bound);
            sum += length;
            longest = std::max<int>(longest, length);
        }
        // Per CPU second of all workers, times the workers: the rate an
        // otherwise idle machine would show.
        std::printf(
            "bound %u: %zu cubes in %.2f s = %.1f cubes/s (%.1f by CPU time), mean length %.2f, max %d, "
            "unsolved %zu%s\n",
            bound, count, elapsed, count / elapsed, count / cpu * static_cast<double>(pool_worker_count()),
            sum / static_cast<double>(count - unsolved), longest, unsolved,
            wrong == 0 ? "" : ", SOME SOLUTIONS WRONG");
        if (wrong != 0) return 1;
    }
}
