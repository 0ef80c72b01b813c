// One-hot arrays of cubes and batches: the element type asked for, and the
// arrays made or filled.
#pragma once

#include "python/python.hpp"

#include <cstdint>

#include "python/numpy.hpp"

namespace turnsmith::py {

// The element types a one-hot array comes in.
enum class OneHotType { float32, float16, uint8 };

// The element type `value` names, as numpy.dtype(value) reads it; left out,
// float32. Anything else is a ValueError.
OneHotType to_one_hot_type(PyObject* value);

// An element type's NumPy type number and name, and the bit pattern of 1 in
// it (float16 has no C++ type here: its bits are written).
template <class T>
struct OneHotElement {
    T one;
    int type_number;
    const char* name;
};

// `body(element)` with the OneHotElement of `type`.
template <class Body>
decltype(auto) visit_one_hot_type(OneHotType type, Body&& body) {
    constexpr int npy_float32 = 11;  // NPY_FLOAT
    constexpr int npy_float16 = 23;  // NPY_HALF
    switch (type) {
        case OneHotType::float16: return body(OneHotElement<std::uint16_t>{0x3C00, npy_float16, "float16"});
        case OneHotType::uint8:
            return body(OneHotElement<std::uint8_t>{1, npy_type_number<std::uint8_t>, "uint8"});
        case OneHotType::float32: break;
    }
    return body(OneHotElement<float>{1.0f, npy_float32, "float32"});
}

}  // namespace turnsmith::py
