// The module functions that prepare and report the solvers' tables.
#pragma once

#include "python/python.hpp"

#include <span>

namespace turnsmith::py {

// Their rows, in the order the module adds them (none is in __all__):
// prepare_tables, _attach_zero_large_table (for tests), table_cache_dir and
// _cache_test_table (for tests: a small table of a kind of its own, through
// the same cache). Static storage: the function objects point at them.
std::span<PyMethodDef> table_functions();

}  // namespace turnsmith::py
