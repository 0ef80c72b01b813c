// NumPy array exchange. NumPy is not a build dependency: its C-API table is
// located at run time through the `_ARRAY_API` capsule of its multiarray
// module, on the first call that makes or reads an array, once per process.
#pragma once

#include "module/python.hpp"

#include <cstdint>
#include <span>

#include "cubeBatch/row_buffer.hpp"

namespace turnsmith::py {

// NumPy type numbers of the two element types exchanged on 64-bit Linux.
inline constexpr int npy_long = 7;
inline constexpr int npy_ulong = 8;

// Locates the C API now (raising PanicException if it cannot), so that a batch
// call fails before doing its work rather than after.
void require_numpy();

// A 2-D int64 array that owns `buffer` through a keeper object set as its base.
PyObject* make_result_array(RowBuffer buffer);

// A 1-D argument array read in place for the length of one call. The array is
// kept alive by the reader; its elements are never copied.
template <class T>
class ArrayRead {
public:
    ArrayRead(PyObject* value, const char* parameter);
    std::span<const T> elements() const noexcept { return elements_; }

private:
    Ref array_;
    std::span<const T> elements_;
};

extern template class ArrayRead<std::int64_t>;
extern template class ArrayRead<std::uint64_t>;

}  // namespace turnsmith::py
