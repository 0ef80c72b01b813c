#pragma once
// The optimal solver's large table as the process publishes it: between the
// file that holds the process's tables (optimal_solver.cpp) and the one that
// finds or builds the large table (optimal_large_table.cpp).

#include "solvers/optimal_3x3.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith::optimal {

// Publishes `table` of kind `detail` (ready to be read: copied into memory or
// mapped) and its report as the process's large table, unless one already
// is, and attaches the one published to `solver`.
void publish_large_table(const Solver& solver, tables::TableBytes table, TableReport report,
                         phase1_corners::CornerDetail detail);
// Whether a large table has been published.
bool large_table_published() noexcept;

}  // namespace turnsmith::optimal
