#pragma once
// One-hot rows, the input that networks read: sticker s of colour c is a 1 at
// value 6 * s + c of its cube's row, every other value 0.
//
// The row is written straight from the words: for every slot and every value
// its field can hold, a table gives the places of the slot's ones, so that a
// cube costs a load and a store per sticker and no sticker array in between.
// The row comes zero-filled (fresh pages from the kernel), and only its ones
// are stored: a sixth of a float row, so the page is barely touched beyond
// the kernel's own zeroing.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "cube/colours.hpp"
#include "cube/cube.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith {

inline constexpr std::size_t one_hot_width = face_count;  // a value per colour

namespace one_hot_detail {

// places[slot][field][facet]: where the one of that facet's colour goes.
template <std::size_t Slots, std::size_t Facets>
using Places = std::array<std::array<std::array<std::uint16_t, Facets>, 32>, Slots>;

template <std::size_t Slots, std::size_t Facets, class Indexes, class Colours>
constexpr Places<Slots, Facets> places(const Indexes& sticker_indexes, const Colours& facet_colours) {
    Places<Slots, Facets> table{};
    for (std::size_t slot = 0; slot < Slots; ++slot) {
        for (std::size_t field = 0; field < 32; ++field) {
            for (std::size_t facet = 0; facet < Facets; ++facet) {
                table[slot][field][facet] = static_cast<std::uint16_t>(
                    one_hot_width * sticker_indexes[slot][facet] + facet_colours[field][facet]);
            }
        }
    }
    return table;
}

inline constexpr auto corner_places_2x2 =
    places<corner_slots, 3>(corner_sticker_indexes_2x2, corner_facet_colours);
inline constexpr auto corner_places_3x3 =
    places<corner_slots, 3>(corner_sticker_indexes_3x3, corner_facet_colours);
inline constexpr auto edge_places = places<edge_slots, 2>(edge_sticker_indexes, edge_facet_colours);

template <std::size_t Slots, std::size_t Facets, class T>
void place_word(Word word, const Places<Slots, Facets>& table, T* out, T one) {
    for (unsigned slot = 0; slot < Slots; ++slot) {
        for (const std::uint16_t at : table[slot][slot_field(word, slot)]) out[at] = one;
    }
}

}  // namespace one_hot_detail

// Writes the ones of `cube`'s row into `out` (C::sticker_dim * 6 values,
// zero already); `one` is the bit pattern of 1 in T. The 3x3 stops at an edge
// piece of 12 or more, as its sticker projection does.
template <class T>
void one_hot_row(const Cube2x2& cube, T* out, T one) {
    one_hot_detail::place_word(cube.corners, one_hot_detail::corner_places_2x2, out, one);
}

template <class T>
void one_hot_row(const Cube3x3& cube, T* out, T one) {
    const Word corners = cube.corners;  // local copies: a byte output may alias the cube
    const Word edges = cube.edges;
    if (const Word too_large = edges & (edges << 1) & edge_piece_bit3; too_large != 0) [[unlikely]] {
        const auto slot = static_cast<unsigned>(std::countr_zero(too_large)) / slot_bits;
        edge_piece_out_of_range(slot, edge_piece(slot_field(edges, slot)));
    }
    for (std::size_t face = 0; face < face_count; ++face) out[one_hot_width * (9 * face + 4) + face] = one;
    one_hot_detail::place_word(corners, one_hot_detail::corner_places_3x3, out, one);
    one_hot_detail::place_word(edges, one_hot_detail::edge_places, out, one);
}

}  // namespace turnsmith
