// The optimal search's large table (phase 1 and the corners' cosets): its
// build, and what its values are.
//
//   large_table_bench build PATH [tetrads|layers]
//       Builds the table into PATH (or loads it when PATH holds it), printing
//       progress, then the count of entries of each residue.
//   large_table_bench values PATH [tetrads|layers] [states=100000] [seed=1]
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
#include "solvers/phase1_corners_3x3.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/table_cache.hpp"
#include "solvers/two_phase_solver.hpp"

using namespace turnsmith;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const two_phase::Phase1View& phase1() {
    static const two_phase::Phase1View view = [] {
        std::vector<std::string> warnings;
        WorkControl control;
        return two_phase_solver(warnings, control).phase1_view();
    }();
    return view;
}

tables::TableBytes load(const std::string& path, bool build, phase1_corners::CornerDetail detail) {
    const tables::TableKind kind = phase1_corners::table_kind(detail, phase1());
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
        table = tables::load_or_build_file(kind, path, warnings, control);
    } else if (auto found = tables::load_file(kind, path, warnings)) {
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
    std::vector<std::array<std::uint64_t, 4>> parts(pool_worker_count() * 64);
    std::atomic<std::size_t> next_part = 0;
    constexpr std::size_t piece = std::size_t{1} << 24;
    const std::size_t pieces = (table.bytes().size() + piece - 1) / piece;
    parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
        std::array<std::uint64_t, 4> here{};
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t last = std::min(table.bytes().size(), (p + 1) * piece);
            for (std::size_t i = p * piece; i < last; ++i)
                for (unsigned k = 0; k < 8; k += 2) ++here[(bytes[i] >> k) & 3];
        }
        parts[next_part.fetch_add(1) % parts.size()] = here;
    });
    std::array<std::uint64_t, 4> total{};
    for (const auto& part : parts)
        for (unsigned v = 0; v < 4; ++v) total[v] += part[v];
    std::printf("residue  entries (3: padding)\n");
    for (unsigned v = 0; v < 4; ++v) std::printf("%7u  %14llu\n", v, static_cast<unsigned long long>(total[v]));
}

void values(const tables::TableBytes& table, phase1_corners::CornerDetail detail, std::size_t count,
            std::uint64_t seed) {
    const phase1_corners::Moves moves(detail, phase1());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(table.bytes().data());
    std::array<std::uint64_t, 32> one{}, three{}, six{};
    for (std::size_t i = 0; i < count; ++i) {
        SeededRng rng = seeded_rng(seed, i);
        const Cube3x3 cube = random_cube_3x3(rng);
        unsigned largest = 0, both = 0;
        for (const Cube3x3& state : {cube, symmetry_3x3::inverse_of(cube)}) {
            for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
                const Cube3x3 seen = symmetry_3x3::conjugate(state, symmetry_3x3::axis_turns()[axis]);
                const unsigned value = moves.distance(bytes, moves.place_of(seen));
                if (state == cube && axis == 0) ++one[value];
                if (state == cube) largest = std::max(largest, value);
                both = std::max(both, value);
            }
        }
        ++three[largest];
        ++six[both];
    }
    double mean_one = 0, mean_three = 0, mean_six = 0;
    std::printf("value  one axis  three axes  three of the state and its inverse (shares of %zu random states)\n",
                count);
    for (unsigned v = 0; v < 32; ++v) {
        const double a = static_cast<double>(one[v]) / static_cast<double>(count);
        const double b = static_cast<double>(three[v]) / static_cast<double>(count);
        const double c = static_cast<double>(six[v]) / static_cast<double>(count);
        mean_one += v * a;
        mean_three += v * b;
        mean_six += v * c;
        if (a != 0 || b != 0 || c != 0) std::printf("%5u  %.6f  %.6f  %.6f\n", v, a, b, c);
    }
    std::printf("mean   %.3f  %.3f  %.3f\n", mean_one, mean_three, mean_six);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: large_table_bench build|values PATH [tetrads|layers] [states] [seed]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const auto number = [&](int i, std::uint64_t fallback) {
        return argc > i ? std::strtoull(argv[i], nullptr, 10) : fallback;
    };
    std::printf("workers: %zu\n", pool_worker_count());
    const auto detail = argc > 3 && std::string(argv[3]) == "layers" ? phase1_corners::CornerDetail::layers
                                                                     : phase1_corners::CornerDetail::tetrads;
    const tables::TableBytes table = load(argv[2], mode == "build", detail);
    if (mode == "build") {
        counts(table);
    } else {
        values(table, detail, number(4, 100'000), number(5, 1));
    }
}
