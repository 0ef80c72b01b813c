#pragma once
// The two cube types, and the one place where a cube type chosen at run time
// (2 or 3, as Python names it) becomes one chosen at compile time. Everything
// else that differs between them asks the type (`C::has_edges`) or its
// solving traits, never the number.

#include <cstdint>

#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith {

constexpr bool is_cube_type(std::int64_t number) noexcept {
    return number == Cube2x2::cube_type || number == Cube3x3::cube_type;
}

// `f.template operator()<C>()` for the type that `cube_type` names; the
// caller has checked it with is_cube_type.
template <class F>
decltype(auto) visit_cube_type(unsigned cube_type, F&& f) {
    if (cube_type == Cube2x2::cube_type) return f.template operator()<Cube2x2>();
    return f.template operator()<Cube3x3>();
}

}  // namespace turnsmith
