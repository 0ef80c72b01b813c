// What solving a cube means for each cube type, for the Python methods that
// solve single cubes and batches: the 2x2 reads its distance table, the 3x3
// runs the two-phase search or, for optimal solutions, an IDA* search. The methods are written once over the
// cube type; this is the one place where the two differ.
#pragma once

#include "python/python.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "engine/pool.hpp"
#include "python/errors.hpp"
#include "python/long_call.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/solution_rows.hpp"
#include "solvers/two_phase_solver.hpp"

namespace turnsmith::py {

template <Cube C>
struct Solving;

template <>
struct Solving<Cube2x2> {
    static constexpr unsigned diameter = max_distance_2x2;

    // Makes the table ready; call detached.
    static void make_ready(std::vector<std::string>&, WorkControl&) { (void)distance_table_2x2(); }

    // Its solutions are the optimal ones either way.
    static void make_optimal_ready(std::vector<std::string>& warnings, WorkControl& control) {
        make_ready(warnings, control);
    }
    static bool optimal_ready() noexcept { return distance_table_2x2_if_built() != nullptr; }
    // It has no large table.
    static bool large_looked_for() noexcept { return true; }
    static void look_for_large(std::vector<std::string>&) {}

    // Optimal solutions, cut to `max_length`: row i of `rows` (`width` wide)
    // gets cube i's moves and -1 after them, lengths[i] their number, or -1
    // in every place when the cube lies farther than `max_length`.
    static void solve_many(std::span<const Cube2x2> cubes, unsigned max_length, bool /*optimal*/,
                           std::int8_t* rows, std::size_t width, std::int16_t* lengths,
                           WorkControl& control) {
        const DistanceTable2x2& table = *distance_table_2x2_if_built();
        constexpr std::size_t block = 256;
        parallel_for((cubes.size() + block - 1) / block, [&](std::size_t begin, std::size_t end) {
            std::array<std::int8_t, block * max_distance_2x2> found;
            for (std::size_t b = begin; b < end; ++b) {
                const std::size_t first = b * block;
                const auto some = cubes.subspan(first, std::min(block, cubes.size() - first));
                table.solutions(some, found.data());
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
};

template <>
struct Solving<Cube3x3> {
    static constexpr unsigned diameter = two_phase::max_solution_length;

    static void make_ready(std::vector<std::string>& warnings, WorkControl& control) {
        (void)two_phase_solver(warnings, control);
    }

    // The optimal solver's tables: the 2x2's corners and the edge patterns.
    static void make_optimal_ready(std::vector<std::string>& warnings, WorkControl& control) {
        (void)optimal::optimal_solver(warnings, control);
    }
    static bool optimal_ready() noexcept { return optimal::optimal_solver_if_ready() != nullptr; }
    // The large table, looked for once per process by the first search.
    static bool large_looked_for() noexcept { return optimal::large_table_looked_for(); }
    static void look_for_large(std::vector<std::string>& warnings) {
        optimal::look_for_large_table(*optimal::optimal_solver_if_ready(), warnings);
    }

    // Two-phase solutions, or with `optimal` the least optimal ones.
    static void solve_many(std::span<const Cube3x3> cubes, unsigned max_length, bool optimal,
                           std::int8_t* rows, std::size_t width, std::int16_t* lengths,
                           WorkControl& control) {
        if (optimal) {
            optimal::optimal_solver_if_ready()->solve_many(cubes, max_length, rows, width, lengths, control);
        } else {
            two_phase_solver_if_ready()->solve_many(cubes, max_length, rows, width, lengths, control);
        }
    }
};

// Calls `f.template operator()<C>()` with C the cube type numbered
// `cube_type` (2 or 3).
template <class F>
decltype(auto) with_cube_type(unsigned cube_type, F&& f) {
    if (cube_type == 2) return f.template operator()<Cube2x2>();
    return f.template operator()<Cube3x3>();
}

// Issues each text as a RuntimeWarning on the calling thread (where
// warnings.catch_warnings sees it); raises when a filter turns one into an
// error.
inline void warn_all(const std::vector<std::string>& warnings) {
    for (const std::string& text : warnings) check(PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1));
}

// Makes the tables of cube type C ready, detached and interruptible, with
// progress reported through `progress` (a parameter as LongCall takes it),
// and issues what the cache warned of. Does nothing when they are ready.
template <Cube C>
void tables_ready(PyObject* progress, const char* parameter) {
    const bool ready = [] {
        if constexpr (std::is_same_v<C, Cube2x2>) {
            return distance_table_2x2_if_built() != nullptr;
        } else {
            return two_phase_solver_if_ready() != nullptr;
        }
    }();
    if (ready) return;
    std::vector<std::string> warnings;
    LongCall call(progress, parameter, "bytes");
    call.run([&] { Solving<C>::make_ready(warnings, call.control()); });
    warn_all(warnings);
}

// The same for the tables of the optimal search. A search also looks for the
// large table (once per process, warning when there is none); bounds never
// read it.
enum class OptimalUse { search, bounds };
template <Cube C>
void optimal_tables_ready(PyObject* progress, const char* parameter, OptimalUse use = OptimalUse::search) {
    const bool searching = use == OptimalUse::search;
    if (Solving<C>::optimal_ready() && (!searching || Solving<C>::large_looked_for())) return;
    std::vector<std::string> warnings;
    LongCall call(progress, parameter, "units");
    call.run([&] {
        Solving<C>::make_optimal_ready(warnings, call.control());
        if (searching) Solving<C>::look_for_large(warnings);
    });
    warn_all(warnings);
}

// A `max_length` argument: None (or left out) for the cube type's diameter,
// else an int in 0..255.
unsigned to_max_length(PyObject* value, unsigned diameter);

}  // namespace turnsmith::py
