// The rows of a batch that a key picks, as NumPy's indexing of the batch's
// words would pick them: a slice, a bool mask of one entry per row, or
// integer indexes of any integer dtype (negative ones counting from the end).
#pragma once

#include "python/python.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace turnsmith::py {

// The positions picked from `count` rows, each in 0..count-1, in the key's
// order (repeats kept). An index out of range or a mask of another length is
// an IndexError; other values are refused as integer arrays are.
std::vector<std::int64_t> selected_rows(PyObject* key, std::size_t count, const char* parameter);

}  // namespace turnsmith::py
