#pragma once
// The sixteen symmetries of the cube that keep the U-D axis: the four turns
// of the whole cube about that axis, each with or without a half turn that
// swaps U and D, each with or without a mirror that swaps L and R. A symmetry
// S acts on a state c as S c S^-1: the state seen in the turned or mirrored
// cube with its colours renamed back. It carries each quarter turn to a
// quarter turn, H to H and solved to solved, so a state and its image lie
// equally far from H and from solved; tables need keep one state per class.
//
// A symmetry moves whole pieces: slot j of the image holds, recoloured, what
// slot source[j] held. So each is a source slot and a field map per slot, made
// once from the sticker view and applied to words with no stickers at all.

#include <array>
#include <cstdint>

#include "cube/cube.hpp"
#include "cube/group.hpp"
#include "cube3x3/utils.hpp"

namespace turnsmith::symmetry_3x3 {

inline constexpr unsigned symmetry_count = 16;

struct Symmetry {
    std::array<std::uint8_t, corner_slots> corner_source;
    std::array<std::array<std::uint8_t, 32>, corner_slots> corner_field;  // by the source's field
    std::array<std::uint8_t, edge_slots> edge_source;
    std::array<std::array<std::uint8_t, 32>, edge_slots> edge_field;
    // The turn that a turn becomes: S (c M) S^-1 = (S c S^-1) moved[M].
    std::array<std::uint8_t, move_count> moved;
    std::uint8_t inverse;  // the symmetry that undoes this one
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

inline Word conjugate_corners(Word corners, const Symmetry& s) noexcept {
    Word out = 0;
    for (unsigned slot = 0; slot < corner_slots; ++slot)
        out |= Word{s.corner_field[slot][slot_field(corners, s.corner_source[slot])]} << slot_shift(slot);
    return out;
}
inline Word conjugate_edges(Word edges, const Symmetry& s) noexcept {
    Word out = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot)
        out |= Word{s.edge_field[slot][slot_field(edges, s.edge_source[slot])]} << slot_shift(slot);
    return out;
}
inline Cube3x3 conjugate(const Cube3x3& cube, const Symmetry& s) noexcept {
    return Cube3x3(conjugate_corners(cube.corners, s), conjugate_edges(cube.edges, s));
}

}  // namespace turnsmith::symmetry_3x3
