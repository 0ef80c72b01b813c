// The optimal search's large table (corners and flips, 6.2 GB): its build,
// and what its values are.
//
//   large_table_bench build PATH
//       Builds the table into PATH (or loads it when PATH holds it), printing
//       progress, then the count of entries of each value.
//   large_table_bench values PATH [states=1000000] [seed=1]
//       The share of uniformly random states with each value, read along one
//       axis and the largest along three: what the search gains.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cube/random.hpp"
#include "cube/random_state.hpp"
#include "engine/pool.hpp"
#include "solvers/corner_flips_3x3.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/table_cache.hpp"

using namespace turnsmith;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

tables::TableBytes load(const std::string& path, bool build) {
    std::vector<std::string> warnings;
    WorkControl control;
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> done = false;
    std::thread watch([&] {
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::printf("  %7.0f s: %llu of %llu entries\n", seconds_since(start),
                        static_cast<unsigned long long>(control.done()),
                        static_cast<unsigned long long>(control.total()));
            std::fflush(stdout);
        }
    });
    tables::TableBytes table;
    if (build) {
        table = tables::load_or_build_file(corner_flips::table_kind(), path, warnings, control);
    } else if (auto found = tables::load_file(corner_flips::table_kind(), path, warnings)) {
        table = std::move(*found);
    }
    done = true;
    watch.join();
    for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
    if (table.bytes().empty()) {
        std::printf("no table at %s\n", path.c_str());
        std::exit(1);
    }
    std::printf("%s in %.1f s\n", table.built_here() ? "built" : "loaded", table.seconds());
    return table;
}

void counts(const tables::TableBytes& table) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(table.bytes().data());
    std::vector<std::array<std::uint64_t, 16>> parts(pool_worker_count() * 64);
    std::atomic<std::size_t> next_part = 0;
    constexpr std::size_t piece = std::size_t{1} << 24;
    const std::size_t pieces = (table.bytes().size() + piece - 1) / piece;
    parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
        std::array<std::uint64_t, 16> here{};
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t last = std::min(table.bytes().size(), (p + 1) * piece);
            for (std::size_t i = p * piece; i < last; ++i) {
                ++here[bytes[i] & 0xf];
                ++here[bytes[i] >> 4];
            }
        }
        parts[next_part.fetch_add(1) % parts.size()] = here;
    });
    std::array<std::uint64_t, 16> total{};
    for (const auto& part : parts)
        for (unsigned v = 0; v < 16; ++v) total[v] += part[v];
    double mean = 0;
    for (unsigned v = 0; v < 16; ++v) {
        if (total[v] == 0) continue;
        std::printf("%5u  %14llu\n", v, static_cast<unsigned long long>(total[v]));
        mean += v * static_cast<double>(total[v]) / static_cast<double>(corner_flips::entries);
    }
    std::printf("mean over entries %.3f\n", mean);
}

void values(const tables::TableBytes& table, std::size_t count, std::uint64_t seed) {
    const corner_flips::Moves moves;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(table.bytes().data());
    std::array<std::uint64_t, 16> one{}, three{};
    for (std::size_t i = 0; i < count; ++i) {
        SeededRng rng = seeded_rng(seed, i);
        const Cube3x3 cube = random_cube_3x3(rng);
        unsigned largest = 0;
        for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
            const Cube3x3 seen = symmetry_3x3::conjugate(cube, symmetry_3x3::axis_turns()[axis]);
            const unsigned value = corner_flips::entry_at(bytes, moves.index(moves.place_of(seen)));
            if (axis == 0) ++one[value];
            largest = std::max(largest, value);
        }
        ++three[largest];
    }
    double mean_one = 0, mean_three = 0;
    std::printf("value  one axis  three axes (shares of %zu random states)\n", count);
    for (unsigned v = 0; v < 16; ++v) {
        const double a = static_cast<double>(one[v]) / static_cast<double>(count);
        const double b = static_cast<double>(three[v]) / static_cast<double>(count);
        mean_one += v * a;
        mean_three += v * b;
        if (a != 0 || b != 0) std::printf("%5u  %.6f  %.6f\n", v, a, b);
    }
    std::printf("mean   %.3f  %.3f\n", mean_one, mean_three);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: large_table_bench build|values PATH [states] [seed]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const auto number = [&](int i, std::uint64_t fallback) {
        return argc > i ? std::strtoull(argv[i], nullptr, 10) : fallback;
    };
    std::printf("workers: %zu\n", pool_worker_count());
    const tables::TableBytes table = load(argv[2], mode == "build");
    if (mode == "build") {
        counts(table);
    } else {
        values(table, number(3, 1'000'000), number(4, 1));
    }
}
