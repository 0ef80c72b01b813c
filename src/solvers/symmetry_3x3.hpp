#pragma once
// The sixteen symmetries of the cube that keep the U-D axis: the four turns
// of the whole cube about that axis, each with or without a half turn that
// swaps U and D, each with or without a mirror that swaps L and R. A symmetry
// S acts on a state c as S c S^-1: the state seen in the turned or mirrored
// cube with its colours renamed back. It carries each quarter turn to a
// quarter turn, H to H and solved to solved, so a state and its image lie
// equally far from H and from solved; tables need keep one state per class.
//
// The sixteen are those of cube/symmetries.hpp that keep the U-D axis, here
// numbered quarter + 4 half + 8 mirror, the order the tables were built in.

#include <array>
#include <cstdint>

#include "cube/cube.hpp"
#include "cube/group.hpp"
#include "cube/symmetries.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith::symmetry_3x3 {

inline constexpr unsigned symmetry_count = 16;

struct Symmetry : symmetries::Symmetry {
    std::uint8_t inverse;  // the symmetry of the sixteen that undoes this one
};

// Symmetry 0 is the identity. Made on first use.
const std::array<Symmetry, symmetry_count>& symmetries();

// The identity and two turns of the whole cube that carry the U-D axis to
// the R-L and the F-B axes: a search that reads the U-D axis sees the other
// axes through them. Their `inverse` is not set; `moved` is.
inline constexpr unsigned axis_count = 3;
const std::array<Symmetry, axis_count>& axis_turns();

// The state that undoes `cube` (cube/group.hpp).
using turnsmith::inverse_of;

using symmetries::conjugate;
using symmetries::conjugate_corners;
using symmetries::conjugate_edges;

}  // namespace turnsmith::symmetry_3x3
