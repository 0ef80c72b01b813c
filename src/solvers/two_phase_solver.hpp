#pragma once
// The process's 3x3 solver: the two-phase search over its pruning tables,
// which are mapped from the on-disk cache or built (and stored there) once
// per process, on first use.

#include <cstdint>
#include <string>
#include <vector>

#include "solvers/two_phase.hpp"
#include "engine/work_control.hpp"

namespace turnsmith {

// One table as this process holds it.
struct TableReport {
    std::string name;
    std::string path;  // the cache file it is mapped from; empty when held in memory
    std::size_t bytes;
    bool built_here;  // built by this process, not mapped from an earlier one's file
    double seconds;   // what loading or building it took
};

// The solver, its tables loaded or built by the first call (the thread that
// builds runs loops on the pool, and may be stopped through `control`; other
// callers wait for it, and build again themselves if the builder was
// stopped). What the cache could not do is appended to `warnings`, for the
// caller that loaded or built. Call it detached from the interpreter.
const two_phase::Solver& two_phase_solver(std::vector<std::string>& warnings, WorkControl& control);
// The solver if its tables are ready, or null; never waits.
const two_phase::Solver* two_phase_solver_if_ready() noexcept;
// The tables as loaded, empty until they are.
std::vector<TableReport> two_phase_table_reports();
// How many loads or builds of them this process has started.
std::uint64_t two_phase_table_loads() noexcept;

}  // namespace turnsmith
