// What a single-cube object holds, and its two classes.
#pragma once

#include "python/python.hpp"

#include "cube/cube.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "python/access.hpp"
#include "python/type_objects.hpp"

namespace turnsmith::py {

template <Cube C>
struct CubeContents {
    explicit CubeContents(const C& state) noexcept : cube(state) {}

    AccessState access;
    C cube;
};

// The class names are those the type-mismatch texts and argument messages
// show; the types report the module "builtins" (see their specs).
template <>
struct PythonClass<CubeContents<Cube3x3>> {
    static constexpr const char* name = "Cube3x3";
    static PyTypeObject* type();
};
template <>
struct PythonClass<CubeContents<Cube2x2>> {
    static constexpr const char* name = "Cube2x2";
    static PyTypeObject* type();
};

template <Cube C>
inline constexpr const char* cube_class_name = PythonClass<CubeContents<C>>::name;

}  // namespace turnsmith::py
