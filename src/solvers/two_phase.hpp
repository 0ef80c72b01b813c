#pragma once
// Short solutions of the 3x3 in quarter turns by a two-phase search. Phase 1
// turns the cube into the group H of the U and D quarter turns and the R, L, F
// and B half turns: every corner untwisted, every edge unflipped and the four
// middle-layer edges in the middle layer. Phase 2 solves it with the moves of
// H, a half turn costing two quarter turns. Phase 1 is searched ever deeper;
// each of its paths into H hands the rest of the budget to phase 2. Both
// phases prune with tables of exact distances in parts of the state, reduced
// by the sixteen symmetries that keep the U-D axis. Beside the cube itself,
// its inverse and both seen along the other two axes are searched, one
// phase-1 depth at a time for all six, which finds short solutions sooner.
//
// The tables (about 400 MB) are built on the worker pool and kept by the
// caller (in memory or mapped from files); the solver only reads them. Their
// reads land all over them: memory with huge pages makes the search markedly
// faster. One cube is one sequential search, so its answer depends only on
// the state, the bound and the tables.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "cube/cube_3x3.hpp"
#include "cube/move_rules.hpp"
#include "engine/work_control.hpp"
#include "solvers/search_result.hpp"

namespace turnsmith::two_phase {

// The metric of every length and distance here.
inline constexpr Metric metric = Metric::quarter_turns;
inline constexpr unsigned max_solution_length = MoveRules<metric>::diameter_3x3;

// One pruning table as kept on disk: its file name stem, a number that
// changes whenever its contents or layout would change, its exact size, and
// how to fill it.
struct TableSpec {
    const char* name;
    std::uint64_t format;
    std::size_t bytes;
    // Fills all of `out` (bytes long, zero-initialised) with loops on the
    // pool; between pieces, throws Stopped once a stop is requested. May throw
    // std::bad_alloc.
    void (*fill)(std::span<std::byte> out, WorkControl& control);
};

// The tables the solver needs, in a fixed order.
std::span<const TableSpec> table_specs();

struct SolverData;
struct SolverTesting;

struct Phase1View;

class Solver {
public:
    // Views of the filled tables, in the order of table_specs(), which must
    // outlive the solver; it only reads them. Builds its move tables (a
    // fraction of a second). Throws std::invalid_argument when the views do
    // not match the count and sizes of table_specs().
    explicit Solver(std::span<const std::span<const std::byte>> tables);
    ~Solver();
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    // A solution of at most `max_length` quarter turns of `cube` (a state the
    // turns reach), as move indexes written to out[0..length); out.size() >=
    // max_length. Polls `control` every 2^16 nodes and returns `stopped` once
    // a stop is requested.
    SearchResult solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                 const WorkControl& control) const;

    // Solves every cube on the pool: row i of `rows` (`width` >= max_length
    // bytes) gets cube i's moves, then -1 up to the width; lengths[i] its
    // length, or -1 when no solution of at most max_length exists. Adds 1 to
    // control's done count per cube finished. When a stop is requested,
    // returns early by throwing Stopped once the pool loop has ended; the rows
    // are then unspecified.
    void solve_many(std::span<const Cube3x3> cubes, unsigned max_length, std::int8_t* rows, std::size_t width,
                    std::int16_t* lengths, WorkControl& control) const;

    // Phase 1's distances as a bound for other searches (two_phase_moves.hpp).
    Phase1View phase1_view() const noexcept;

private:
    friend struct SolverTesting;
    std::unique_ptr<const SolverData> data_;
};

}  // namespace turnsmith::two_phase
