#pragma once
// Sticker colours. A colour's code is the index of the face whose centre
// carries it, in the sticker-array face order U, R, F, D, L, B.

#include <array>
#include <cstdint>

#include "cube/cube.hpp"

namespace turnsmith {

using Colour = std::uint8_t;

inline constexpr std::size_t face_count = 6;
inline constexpr std::array<char, face_count> colour_letters = {'W', 'R', 'G', 'Y', 'O', 'B'};

// Colours of each corner piece in facet order (its home slot's faces); facet 0
// is the U or D sticker and the facets run counterclockwise seen from outside.
inline constexpr std::array<std::array<Colour, 3>, 8> corner_colours = {{
    {0, 5, 4},  // ULB: W B O
    {0, 1, 5},  // UBR: W R B
    {0, 2, 1},  // URF: W G R
    {0, 4, 2},  // UFL: W O G
    {3, 4, 5},  // DLB: Y O B
    {3, 5, 1},  // DBR: Y B R
    {3, 1, 2},  // DRF: Y R G
    {3, 2, 4},  // DFL: Y G O
}};

// The colours a corner slot shows on facets 0..2, for every value of its 5-bit
// field: facet f shows colour (twist + f) mod 3 of the piece, and a twist field
// of 3, which no turn produces, reads as 0. Tabulated so that the projection,
// the inner loop of batch sticker arrays, does no division.
inline constexpr auto corner_facet_colours = [] {
    std::array<std::array<Colour, 3>, 32> table{};
    for (Word field = 0; field < table.size(); ++field) {
        const Word twist = corner_twist(field) % 3;
        for (unsigned facet = 0; facet < 3; ++facet) {
            table[field][facet] = corner_colours[corner_piece(field)][(twist + facet) % 3];
        }
    }
    return table;
}();

constexpr Colour corner_sticker_colour(Word corners, unsigned slot, unsigned facet) noexcept {
    return corner_facet_colours[slot_field(corners, slot)][facet];
}

}  // namespace turnsmith
