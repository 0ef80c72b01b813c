#pragma once
// The 3x3x3 cube: a corner word and an edge word, its twelve quarter turns and
// its sticker projection.

#include <array>
#include <cstdint>
#include <source_location>
#include <string>
#include <type_traits>

#include "cube/colours.hpp"
#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/layer_turns.hpp"

namespace turnsmith {

// R, L, F and B turns of the edge word. Slots: 0 UB, 1 UR, 2 UF, 3 UL,
// 4 DB, 5 DR, 6 DF, 7 DL, 8 BL, 9 BR, 10 FR, 11 FL.
namespace edge_word {

inline constexpr std::size_t piece_count = edge_slots;

// "to <- from"; the field travels unchanged.
struct EdgeMove {
    unsigned to;
    unsigned from;
};

template <EdgeMove A, EdgeMove B, EdgeMove C, EdgeMove D>
constexpr Word cycle(Word w) noexcept {
    constexpr Word cleared = mask_of_slots(A.to, B.to, C.to, D.to);
    return (w & ~cleared) | (slot_field(w, A.from) << slot_shift(A.to)) |
           (slot_field(w, B.from) << slot_shift(B.to)) | (slot_field(w, C.from) << slot_shift(C.to)) |
           (slot_field(w, D.from) << slot_shift(D.to));
}

constexpr Word flip_bits(unsigned a, unsigned b, unsigned c, unsigned d) noexcept {
    return (Word{1} << (slot_shift(a) + flip_shift)) | (Word{1} << (slot_shift(b) + flip_shift)) |
           (Word{1} << (slot_shift(c) + flip_shift)) | (Word{1} << (slot_shift(d) + flip_shift));
}

// F and B flip the four edges they move. The toggle is applied after the move,
// at the edges' new slots, which are the same four slots.
inline constexpr Word front_flips = flip_bits(2, 6, 10, 11);
inline constexpr Word back_flips = flip_bits(0, 4, 8, 9);
static_assert(front_flips == 0x840000400004000);
static_assert(back_flips == 0x2100001000010);

constexpr Word r(Word w) noexcept {
    return cycle<EdgeMove{1, 10}, EdgeMove{5, 9}, EdgeMove{9, 1}, EdgeMove{10, 5}>(w);
}
constexpr Word r_prime(Word w) noexcept {
    return cycle<EdgeMove{1, 9}, EdgeMove{5, 10}, EdgeMove{9, 5}, EdgeMove{10, 1}>(w);
}
constexpr Word l(Word w) noexcept {
    return cycle<EdgeMove{3, 8}, EdgeMove{7, 11}, EdgeMove{8, 7}, EdgeMove{11, 3}>(w);
}
constexpr Word l_prime(Word w) noexcept {
    return cycle<EdgeMove{3, 11}, EdgeMove{7, 8}, EdgeMove{8, 3}, EdgeMove{11, 7}>(w);
}
constexpr Word f(Word w) noexcept {
    return cycle<EdgeMove{2, 11}, EdgeMove{6, 10}, EdgeMove{10, 2}, EdgeMove{11, 6}>(w) ^ front_flips;
}
constexpr Word f_prime(Word w) noexcept {
    return cycle<EdgeMove{2, 10}, EdgeMove{6, 11}, EdgeMove{10, 6}, EdgeMove{11, 2}>(w) ^ front_flips;
}
constexpr Word b(Word w) noexcept {
    return cycle<EdgeMove{0, 9}, EdgeMove{4, 8}, EdgeMove{8, 0}, EdgeMove{9, 4}>(w) ^ back_flips;
}
constexpr Word b_prime(Word w) noexcept {
    return cycle<EdgeMove{0, 8}, EdgeMove{4, 9}, EdgeMove{8, 4}, EdgeMove{9, 0}>(w) ^ back_flips;
}

}  // namespace edge_word

// Colours of each edge piece in facet order. Facet 0 is the U or D sticker for
// the U and D layers, the F or B sticker for the middle layer.
inline constexpr std::array<std::array<Colour, 2>, edge_word::piece_count> edge_colours = {{
    {0, 5},  // UB: W B
    {0, 1},  // UR: W R
    {0, 2},  // UF: W G
    {0, 4},  // UL: W O
    {3, 5},  // DB: Y B
    {3, 1},  // DR: Y R
    {3, 2},  // DF: Y G
    {3, 4},  // DL: Y O
    {5, 4},  // BL: B O
    {5, 1},  // BR: B R
    {2, 1},  // FR: G R
    {2, 4},  // FL: G O
}};

// The colours an edge slot shows on facets 0 and 1 for every value of its
// field: piece p shows colour (flip XOR facet) of its row. Fields naming a
// piece of 12 or more are never read (the projection stops first).
inline constexpr auto edge_facet_colours = [] {
    std::array<std::array<Colour, 2>, 32> table{};
    for (Word field = 0; field < table.size(); ++field) {
        const Word piece = edge_piece(field);
        if (piece >= edge_word::piece_count) continue;
        for (unsigned facet = 0; facet < 2; ++facet) {
            table[field][facet] = edge_colours[piece][edge_flip(field) ^ facet];
        }
    }
    return table;
}();

// Sticker index (9 * face + 3 * row + column) of each facet of each slot.
inline constexpr std::array<std::array<std::uint8_t, 3>, 8> corner_sticker_indexes_3x3 = {{
    {0, 47, 36},   // ULB
    {2, 11, 45},   // UBR
    {8, 20, 9},    // URF
    {6, 38, 18},   // UFL
    {33, 42, 53},  // DLB
    {35, 51, 17},  // DBR
    {29, 15, 26},  // DRF
    {27, 24, 44},  // DFL
}};

inline constexpr std::array<std::array<std::uint8_t, 2>, edge_word::piece_count> edge_sticker_indexes = {{
    {1, 46},   // UB
    {5, 10},   // UR
    {7, 19},   // UF
    {3, 37},   // UL
    {34, 52},  // DB
    {32, 16},  // DR
    {28, 25},  // DF
    {30, 43},  // DL
    {50, 39},  // BL
    {48, 14},  // BR
    {23, 12},  // FR
    {21, 41},  // FL
}};

// An edge piece number of 12..15 fits the 4-bit field but names no piece;
// no sequence of turns produces one, so meeting it is an internal fault.
[[noreturn]] void edge_piece_out_of_range(unsigned slot, Word piece,
                                          std::source_location where = std::source_location::current());

struct Cube3x3 {
    Word corners = solved_corners;
    Word edges = solved_edges;

    static constexpr std::size_t sticker_dim = 54;

    constexpr void do_u_move_internal() noexcept {
        corners = layer_turn::u(corners);
        edges = layer_turn::u(edges);
    }
    constexpr void do_u_prime_move_internal() noexcept {
        corners = layer_turn::u_prime(corners);
        edges = layer_turn::u_prime(edges);
    }
    constexpr void do_d_move_internal() noexcept {
        corners = layer_turn::d(corners);
        edges = layer_turn::d(edges);
    }
    constexpr void do_d_prime_move_internal() noexcept {
        corners = layer_turn::d_prime(corners);
        edges = layer_turn::d_prime(edges);
    }
    constexpr void do_r_move_internal() noexcept {
        corners = corner_word::r(corners);
        edges = edge_word::r(edges);
    }
    constexpr void do_r_prime_move_internal() noexcept {
        corners = corner_word::r_prime(corners);
        edges = edge_word::r_prime(edges);
    }
    constexpr void do_l_move_internal() noexcept {
        corners = corner_word::l(corners);
        edges = edge_word::l(edges);
    }
    constexpr void do_l_prime_move_internal() noexcept {
        corners = corner_word::l_prime(corners);
        edges = edge_word::l_prime(edges);
    }
    constexpr void do_f_move_internal() noexcept {
        corners = corner_word::f(corners);
        edges = edge_word::f(edges);
    }
    constexpr void do_f_prime_move_internal() noexcept {
        corners = corner_word::f_prime(corners);
        edges = edge_word::f_prime(edges);
    }
    constexpr void do_b_move_internal() noexcept {
        corners = corner_word::b(corners);
        edges = edge_word::b(edges);
    }
    constexpr void do_b_prime_move_internal() noexcept {
        corners = corner_word::b_prime(corners);
        edges = edge_word::b_prime(edges);
    }

    // Writes the 54 sticker colours into `out` (indexable by 0..53). Batches
    // project straight into their output rows this way: a temporary array and a
    // copy would double the stores of the projection's inner loop. Throws
    // InternalFault (after the diagnostic) on an edge piece >= 12.
    template <class Out>
    constexpr void to_sticker_array_internal(Out&& out) const {
        for (std::size_t face = 0; face < face_count; ++face) out[9 * face + 4] = face;
        for (unsigned slot = 0; slot < corner_sticker_indexes_3x3.size(); ++slot) {
            const auto& colours = corner_facet_colours[slot_field(corners, slot)];
            for (unsigned facet = 0; facet < 3; ++facet)
                out[corner_sticker_indexes_3x3[slot][facet]] = colours[facet];
        }
        for (unsigned slot = 0; slot < edge_sticker_indexes.size(); ++slot) {
            const Word field = slot_field(edges, slot);
            const Word piece = edge_piece(field);
            if (piece >= edge_word::piece_count) [[unlikely]] {
                edge_piece_out_of_range(slot, piece);
            }
            const auto& colours = edge_facet_colours[field];
            for (unsigned facet = 0; facet < 2; ++facet)
                out[edge_sticker_indexes[slot][facet]] = colours[facet];
        }
    }

    constexpr StickerArray<sticker_dim> to_sticker_array_internal() const {
        StickerArray<sticker_dim> stickers{};
        to_sticker_array_internal(stickers);
        return stickers;
    }

    std::string render_ansi_internal() const;

    constexpr bool is_solved() const noexcept { return corners == solved_corners && edges == solved_edges; }

    friend constexpr bool operator==(const Cube3x3&, const Cube3x3&) = default;
};

// Batches store states back to back and copy them by value.
static_assert(sizeof(Cube3x3) == 16);
static_assert(std::is_trivially_copyable_v<Cube3x3>);
static_assert(Cube<Cube3x3>);

}  // namespace turnsmith
