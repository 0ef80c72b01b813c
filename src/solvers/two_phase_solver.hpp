#pragma once
// The process's 3x3 solver: the two-phase search over its pruning tables,
// which are mapped from the on-disk cache or built (and stored there) once
// per process, on first use.

#include <cstdint>
#include <string>
#include <vector>

#include "solvers/table_cache.hpp"
#include "solvers/two_phase.hpp"
#include "engine/work_control.hpp"

namespace turnsmith {

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

}  // namespace turnsmith
