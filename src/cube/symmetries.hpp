#pragma once
// The 48 symmetries of the cube: its 24 turns as a whole, each with and
// without a mirror. A symmetry S acts on a state c as S c S^-1: the state seen
// in the turned or mirrored cube with its colours renamed back. It carries
// each quarter turn to a quarter turn (a mirror reverses its direction) and
// solved to solved, so a state and its images lie equally far from solved.
//
// Numbering: symmetry k = q + 4 h + 8 a + 24 m is the cube
//   mirrored through the plane between L and R when m = 1, then
//   given a half turn about the F-B axis (U and D swap) when h = 1, then
//   turned q quarter turns about the U-D axis (F onto R each turn), then
//   turned so that the U-D axis lies where a names it: 0 U-D, 1 R-L (a quarter
//   turn about the F-B axis, U onto L), 2 F-B (a quarter turn about the R-L
//   axis, U onto F).
// So 0 is the identity, 0..23 are the turns of the whole cube, 24..47 the
// mirrored ones, and k % 24 < 8 the sixteen that keep the U-D axis.
//
// A symmetry moves whole pieces: slot j of the image holds, recoloured, what
// slot source[j] held. So each is a source slot and a field map per slot, made
// once from the sticker view and applied to words with no stickers at all.
// The 2x2's word is the 3x3's corner word, and a symmetry moves corners among
// corners, so the corner half serves both cube types.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "cube/cube.hpp"
#include "cube/group.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith::symmetries {

inline constexpr unsigned symmetry_count = 48;
inline constexpr unsigned rotation_count = 24;     // the first 24: no mirror
inline constexpr unsigned axis_keeping_count = 8;  // of each 24, the first 8 keep the U-D axis

// The three parts of a symmetry's number, and the number of three parts.
struct SymmetryParts {
    unsigned quarters;  // 0..3 about the U-D axis
    unsigned half;      // 0..1 about the F-B axis
    unsigned axis;      // 0..2: where the U-D axis goes
    unsigned mirror;    // 0..1 through the L-R plane
};
constexpr unsigned symmetry_number(const SymmetryParts& parts) noexcept {
    return parts.quarters + 4 * parts.half + axis_keeping_count * parts.axis + rotation_count * parts.mirror;
}

struct Symmetry {
    std::array<std::uint8_t, corner_slots> corner_source;
    std::array<std::array<std::uint8_t, 32>, corner_slots> corner_field;  // by the source's field
    std::array<std::uint8_t, edge_slots> edge_source;
    std::array<std::array<std::uint8_t, 32>, edge_slots> edge_field;
    // The turn that a turn becomes: S (c M) S^-1 = (S c S^-1) moved[M].
    std::array<std::uint8_t, move_count> moved;
};

// Points and directions of the cube: x towards R, y towards U, z towards F.
using Vector = std::array<int, 3>;
using Matrix = std::array<Vector, 3>;  // rows

// The symmetry of the cube moved by `m` (an orthogonal matrix of 0 and +-1).
// Throws std::logic_error for a matrix that is no symmetry of the cube.
Symmetry make(const Matrix& m);

// All 48 in the order above, made on first use.
const std::array<Symmetry, symmetry_count>& all();
// inverses()[k] undoes symmetry k.
const std::array<std::uint8_t, symmetry_count>& inverses();
// products()[a][b] is symmetry a applied after symmetry b: S_a (S_b c S_b^-1) S_a^-1.
const std::array<std::array<std::uint8_t, symmetry_count>, symmetry_count>& products();

// ---- applying one --------------------------------------------------------

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
inline Cube2x2 conjugate(const Cube2x2& cube, const Symmetry& s) noexcept {
    return Cube2x2(conjugate_corners(cube.corners, s));
}

// ---- inverse states ------------------------------------------------------

// The word that undoes `corners` (group.hpp), for least images that start
// from the corners alone.
constexpr Word inverse_corners(Word corners) noexcept {
    return group_detail::inverse_word<group_detail::corner_kind>(corners);
}
using turnsmith::inverse_of;

// ---- the least image ------------------------------------------------------

// The corner halves of all 48, slot by slot: what the search for the least
// image reads, 12 KB together instead of spread over the 48 symmetries.
struct CornerTables {
    std::array<std::array<std::uint8_t, symmetry_count>, corner_slots> source;  // by slot, then symmetry
    std::array<std::array<std::array<std::uint8_t, 32>, symmetry_count>, corner_slots> field;
};
const CornerTables& corner_tables();

// The least corner word among the images of `corners` under all 48, and
// which symmetries reach it (bit k for symmetry k). The word is compared from
// its highest slot down: the least image's slot 7 is the least of the 48
// images' slot 7, and only the symmetries that reach it go on to slot 6, and
// so on. After a slot or two one symmetry is left, and it makes the rest.
struct LeastCorners {
    Word word;
    std::uint64_t reached_by;
};

inline LeastCorners least_corners(Word corners, const CornerTables& tables) noexcept {
    std::array<std::uint8_t, corner_slots> fields;  // of the word, by slot
    for (unsigned slot = 0; slot < corner_slots; ++slot)
        fields[slot] = static_cast<std::uint8_t>(slot_field(corners, slot));
    constexpr unsigned top = corner_slots - 1;
    std::array<std::uint8_t, symmetry_count> image_top;
    std::uint8_t least = 31;
    for (unsigned k = 0; k < symmetry_count; ++k) {
        image_top[k] = tables.field[top][k][fields[tables.source[top][k]]];
        least = std::min(least, image_top[k]);
    }
    std::uint64_t reached_by = 0;
    for (unsigned k = 0; k < symmetry_count; ++k) reached_by |= std::uint64_t{image_top[k] == least} << k;
    Word word = Word{least} << slot_shift(top);
    for (unsigned slot = top; slot-- > 0;) {
        if ((reached_by & (reached_by - 1)) == 0) {  // one left: it makes the rest
            const auto k = static_cast<unsigned>(std::countr_zero(reached_by));
            for (unsigned rest = 0; rest <= slot; ++rest)
                word |= Word{tables.field[rest][k][fields[tables.source[rest][k]]]} << slot_shift(rest);
            return {word, reached_by};
        }
        least = 31;
        std::uint64_t at_least = 0;
        for (std::uint64_t left = reached_by; left != 0; left &= left - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(left));
            const std::uint8_t field = tables.field[slot][k][fields[tables.source[slot][k]]];
            if (field < least) {
                least = field;
                at_least = 0;
            }
            if (field == least) at_least |= std::uint64_t{1} << k;
        }
        reached_by = at_least;
        word |= Word{least} << slot_shift(slot);
    }
    return {word, reached_by};
}

// The representative of a state's class: the least of its 48 images, words
// compared as unsigned numbers, the corner word first. With `with_inverse`,
// the least of the 96 images of the state and of its inverse.
inline Cube2x2 least_image(const Cube2x2& cube, bool with_inverse,
                           const std::array<Symmetry, symmetry_count>&, const CornerTables& tables) noexcept {
    Word least = least_corners(cube.corners, tables).word;
    if (with_inverse) {
        const Word other = least_corners(inverse_corners(cube.corners), tables).word;
        if (other < least) least = other;
    }
    return Cube2x2(least);
}

namespace detail {
// The least edge word among the images under the symmetries of `reached_by`.
inline Word least_edges(Word edges, std::uint64_t reached_by,
                        const std::array<Symmetry, symmetry_count>& symmetries) noexcept {
    Word least = ~Word{0};
    for (unsigned k = 0; k < symmetry_count; ++k) {
        if ((reached_by >> k) & 1) {
            const Word image = conjugate_edges(edges, symmetries[k]);
            if (image < least) least = image;
        }
    }
    return least;
}
}  // namespace detail

inline Cube3x3 least_image(const Cube3x3& cube, bool with_inverse,
                           const std::array<Symmetry, symmetry_count>& symmetries,
                           const CornerTables& tables) noexcept {
    const LeastCorners corners = least_corners(cube.corners, tables);
    Cube3x3 least(corners.word, detail::least_edges(cube.edges, corners.reached_by, symmetries));
    if (with_inverse) {
        const Cube3x3 inverse = inverse_of(cube);
        const LeastCorners other = least_corners(inverse.corners, tables);
        if (other.word <= least.corners) {
            const Word edges = detail::least_edges(inverse.edges, other.reached_by, symmetries);
            if (other.word < least.corners || edges < least.edges) least = Cube3x3(other.word, edges);
        }
    }
    return least;
}

}  // namespace turnsmith::symmetries
