// The module functions that prepare and report the solvers' tables.
#pragma once

#include "python/python.hpp"

namespace turnsmith::py {

PyMethodDef& prepare_tables_def();
PyMethodDef& zero_large_table_def();
PyMethodDef& table_cache_dir_def();
// For tests: a small table of a kind of its own, through the same cache.
PyMethodDef& cache_test_table_def();

}  // namespace turnsmith::py
