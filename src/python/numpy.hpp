// NumPy array exchange. NumPy is not a build dependency: its C-API table is
// located at run time through the `_ARRAY_API` capsule of its multiarray
// module, on the first call that makes or reads an array, once per process.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/row_buffer.hpp"

namespace turnsmith::py {

// NumPy type numbers of the element types exchanged on 64-bit Linux.
template <class T>
inline constexpr int npy_type_number = -1;
template <>
inline constexpr int npy_type_number<bool> = 0;
template <>
inline constexpr int npy_type_number<std::int8_t> = 1;
template <>
inline constexpr int npy_type_number<std::uint8_t> = 2;
template <>
inline constexpr int npy_type_number<std::int16_t> = 3;  // NPY_SHORT
template <>
inline constexpr int npy_type_number<std::int64_t> = 7;  // NPY_LONG
template <>
inline constexpr int npy_type_number<std::uint64_t> = 8;  // NPY_ULONG

// Locates the C API now (raising PanicException if it cannot, and ImportError
// if the running NumPy's C interface is not one the module can call), so that
// a batch call fails before doing its work rather than after.
void require_numpy();

// An array of `shape` (one or two dimensions, C order) over `memory`, which it
// owns through a keeper object set as its base.
PyObject* make_result_array(row_memory::Owned memory, int type_number, std::size_t element_size,
                            std::span<const std::size_t> shape);

// A 2-D array of the buffer's rows, or with `flat` a 1-D one of its rows'
// single values.
template <class T>
PyObject* make_result_array(Rows<T> buffer, bool flat = false) {
    static_assert(npy_type_number<T> >= 0, "an element type NumPy is handed");
    const std::size_t shape[2] = {buffer.rows(), buffer.cols()};
    return make_result_array(buffer.release(), npy_type_number<T>, sizeof(T),
                             std::span<const std::size_t>(shape, flat ? 1 : 2));
}

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

// An argument of integers with one or two dimensions, read as C-contiguous
// elements of T: in place when it is already such an array, otherwise
// converted as numpy.ascontiguousarray(value, dtype=T) would, once any
// integer values are known to fit. Floats, objects and other non-integers are
// a TypeError, and so are bools when `bool_hint` is given (it ends the
// message); only then is a shape of other than 1 or 2 dimensions a
// ValueError; a value that T cannot hold is a ValueError naming its row.
template <class T>
class IntegerArray {
public:
    IntegerArray(PyObject* value, const char* parameter, const char* bool_hint = nullptr);

    std::span<const T> elements() const noexcept { return elements_; }
    int dimensions() const noexcept { return dimensions_; }
    std::size_t rows() const noexcept { return shape_[0]; }
    std::size_t cols() const noexcept { return dimensions_ == 2 ? shape_[1] : 1; }
    // "(5,)" or "(5, 2)", for messages.
    std::string shape_text() const;

private:
    Ref array_;
    std::span<const T> elements_;
    int dimensions_ = 1;
    std::size_t shape_[2] = {0, 0};
};

// Whether `value` is an ndarray of exactly T, aligned and C-contiguous: one
// that IntegerArray<T> reads in place.
template <class T>
bool is_contiguous_array_of(PyObject* value);

// The values of `value` when NumPy reads it as bools (a bool ndarray, a list of
// True and False), one byte each in C order, and its number of dimensions;
// nothing when NumPy reads it as anything else.
struct BoolValues {
    std::vector<std::uint8_t> values;
    int dimensions;
};
std::optional<BoolValues> read_bools(PyObject* value);

// The data of `value` for the call to write into: it must be an ndarray of
// NumPy type `type_number` (named `dtype_name` in messages), else TypeError,
// and of `shape`, C-contiguous, aligned and writeable, else ValueError.
void* writable_array_data(PyObject* value, const char* parameter, int type_number, const char* dtype_name,
                          std::span<const std::size_t> shape);

extern template class IntegerArray<std::int64_t>;
extern template class IntegerArray<std::uint64_t>;
extern template class IntegerArray<std::uint8_t>;
extern template class IntegerArray<std::int8_t>;

}  // namespace turnsmith::py
