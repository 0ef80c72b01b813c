#pragma once
// What solving a cube means for each cube type: the 2x2 reads its distance
// table, the 3x3 runs the two-phase search or, for optimal solutions, an IDA*
// search. Whatever solves, bounds or measures cubes is written once over the
// cube type; this is the one place where the two solvers differ.
//
// The tables are made ready by make_ready, make_optimal_ready and
// make_large_ready (each on a detached thread, stoppable through its
// WorkControl, appending what the cache warned of); the rest reads tables
// that are ready.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "cube/work_cost.hpp"
#include "engine/pool.hpp"
#include "engine/row_buffer.hpp"
#include "engine/work_control.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "solvers/exact_operations_2x2.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/solution_rows.hpp"
#include "solvers/two_phase_solver.hpp"

namespace turnsmith {

template <Cube C>
struct Solving;

template <>
struct Solving<Cube2x2> {
    static constexpr unsigned diameter = max_distance_2x2;
    // Its states are numbered (rank), and every distance is read from a table
    // in the order of the numbers: ranks and distances modulo rotation come
    // with it.
    static constexpr bool has_distance_table = true;

    static bool ready() noexcept { return distance_table_2x2_if_built() != nullptr; }
    // Progress counts the table's bytes, all of them once it is ready.
    static void make_ready(std::vector<std::string>& warnings, WorkControl& control) {
        const std::uint64_t bytes = DistanceTable2x2::table_kind().bytes;
        control.set_total(bytes);
        (void)distance_table_2x2(warnings, control);
        control.add_done(bytes);
    }
    // The table, once ready.
    static const DistanceTable2x2& table() noexcept { return *distance_table_2x2_if_built(); }

    // Its solutions are the optimal ones either way, and it has no large table.
    static bool optimal_ready() noexcept { return ready(); }
    static void make_optimal_ready(std::vector<std::string>& warnings, WorkControl& control) {
        make_ready(warnings, control);
    }
    static bool large_looked_for() noexcept { return true; }
    static void look_for_large(std::vector<std::string>&) {}
    static bool large_ready(std::size_t) noexcept { return true; }
    static void make_large_ready(std::size_t, std::vector<std::string>&, WorkControl&) {}

    // Optimal solutions, cut to `max_length`: row i of `rows` (`width` wide)
    // gets cube i's moves and -1 after them, lengths[i] their number, or -1
    // in every place when the cube lies farther than `max_length`.
    static void solve_many(std::span<const Cube2x2> cubes, unsigned max_length, bool /*optimal*/,
                           std::int8_t* rows, std::size_t width, std::int16_t* lengths, WorkControl& control) {
        constexpr std::size_t block = 256;
        parallel_for((cubes.size() + block - 1) / block, [&](std::size_t begin, std::size_t end) {
            std::array<std::int8_t, block * max_distance_2x2> found;
            for (std::size_t b = begin; b < end; ++b) {
                const std::size_t first = b * block;
                const auto some = cubes.subspan(first, std::min(block, cubes.size() - first));
                table().solutions(some, found.data());
                for (std::size_t i = 0; i < some.size(); ++i) {
                    const std::int8_t* moves = found.data() + i * max_distance_2x2;
                    const auto length = static_cast<std::size_t>(
                        std::find(moves, moves + max_distance_2x2, std::int8_t{-1}) - moves);
                    write_solution_row(rows, width, lengths, first + i, std::span(moves, length), max_length);
                }
                control.add_done(some.size());
            }
        });
    }

    // Every cube's distance into `out`, on the pool. Each is read from the
    // table: bounds known on them (negative for none) change nothing.
    static void distances(std::span<const Cube2x2> cubes, bool modulo_rotation, std::uint8_t* out,
                          WorkControl& control, std::span<const std::int64_t> /*upper_bounds*/ = {}) {
        parallel_for(cubes.size(), [&](std::size_t begin, std::size_t end) {
            distances_into(table(), cubes.subspan(begin, end - begin), modulo_rotation,
                           std::span(out + begin, end - begin));
            control.add_done(end - begin);
        });
    }

    // Numbers never above the distances: here the distances themselves.
    template <class Runner>
    static Rows<std::uint8_t> lower_bounds(std::span<const Cube2x2> cubes, Runner& run) {
        return distances_internal(table(), cubes, false, run);
    }
    // Numbers never above the values of distances(), found without a search:
    // those values.
    template <class Runner>
    static Rows<std::uint8_t> distance_floors(std::span<const Cube2x2> cubes, bool modulo_rotation,
                                              Runner& run) {
        return distances_internal(table(), cubes, modulo_rotation, run);
    }

    static std::vector<TableReport> table_reports(bool /*optimal*/) {
        return {table().report()};
    }
};

template <>
struct Solving<Cube3x3> {
    static constexpr unsigned diameter = two_phase::max_solution_length;
    static constexpr bool has_distance_table = false;

    static bool ready() noexcept { return two_phase_solver_if_ready() != nullptr; }
    static void make_ready(std::vector<std::string>& warnings, WorkControl& control) {
        (void)two_phase_solver(warnings, control);
    }

    // The optimal solver's tables: the 2x2's corners and the edge patterns.
    static bool optimal_ready() noexcept { return optimal::optimal_solver_if_ready() != nullptr; }
    static void make_optimal_ready(std::vector<std::string>& warnings, WorkControl& control) {
        (void)optimal::optimal_solver(warnings, control);
    }
    // The large table, looked for once per process by the first search; the
    // optimal tables are ready.
    static bool large_looked_for() noexcept { return optimal::large_table_looked_for(); }
    static void look_for_large(std::vector<std::string>& warnings) {
        optimal::look_for_large_table(optimal_solver(), warnings);
    }
    // Built on request, of kind optimal::large_kinds[kind]; throws
    // std::runtime_error when it cannot be kept.
    static bool large_ready(std::size_t kind) noexcept {
        return optimal_solver().has_large(optimal::large_kinds[kind].detail);
    }
    static void make_large_ready(std::size_t kind, std::vector<std::string>& warnings, WorkControl& control) {
        optimal::build_large_table(optimal_solver(), optimal::large_kinds[kind].detail, warnings, control);
    }

    // Two-phase solutions, or with `optimal` the least optimal ones.
    static void solve_many(std::span<const Cube3x3> cubes, unsigned max_length, bool optimal,
                           std::int8_t* rows, std::size_t width, std::int16_t* lengths, WorkControl& control) {
        if (optimal) {
            optimal_solver().solve_many(cubes, max_length, rows, width, lengths, control);
        } else {
            two_phase_solver_if_ready()->solve_many(cubes, max_length, rows, width, lengths, control);
        }
    }

    // Every cube's distance into `out`, by the optimal search, which bounds
    // known on them (negative for none) cut short. The centres fix the
    // cube's frame: modulo_rotation changes nothing.
    static void distances(std::span<const Cube3x3> cubes, bool /*modulo_rotation*/, std::uint8_t* out,
                          WorkControl& control, std::span<const std::int64_t> upper_bounds = {}) {
        optimal_solver().distances(cubes, out, control, upper_bounds);
    }

    // The largest pattern-database value of each cube.
    template <class Runner>
    static Rows<std::uint8_t> lower_bounds(std::span<const Cube3x3> cubes, Runner& run) {
        const optimal::Solver& solver = optimal_solver();
        auto out = Rows<std::uint8_t>::zeroed(cubes.size(), 1);
        // A bound costs about ten table reads, fetched together: like a few dozen turns.
        run(cubes.size(), FixedCost<64>{}, [&](std::size_t begin, std::size_t end) {
            solver.lower_bounds(cubes.subspan(begin, end - begin), std::span(out.row(begin), end - begin));
        });
        return out;
    }
    // Numbers never above the values of distances(), found without a search.
    template <class Runner>
    static Rows<std::uint8_t> distance_floors(std::span<const Cube3x3> cubes, bool /*modulo_rotation*/,
                                              Runner& run) {
        return lower_bounds(cubes, run);
    }

    static std::vector<TableReport> table_reports(bool optimal) {
        std::vector<TableReport> reports = two_phase_table_reports();  // the optimal search reads phase 1's
        if (!optimal) return reports;
        const std::vector<TableReport> more = optimal::optimal_table_reports();
        reports.insert(reports.end(), more.begin(), more.end());
        return reports;
    }

private:
    static const optimal::Solver& optimal_solver() noexcept { return *optimal::optimal_solver_if_ready(); }
};

}  // namespace turnsmith
