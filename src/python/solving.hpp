// What the Python methods that solve cubes share beyond the solving traits
// (solvers/solving.hpp) and the path of their calls (python/long_call.hpp):
// the bound on a solution's length, read and refused.
#pragma once

#include "python/python.hpp"

namespace turnsmith::py {

// The largest bound a caller may ask for.
inline constexpr unsigned longest_bound = 255;

// A `max_length` argument: None (or left out) for the cube type's diameter,
// else an int in 0..longest_bound.
unsigned to_max_length(PyObject* value, unsigned diameter);

// The error of a bound below a cube's distance.
[[noreturn]] void no_solution_within(unsigned max_length);

}  // namespace turnsmith::py
