#pragma once
// The 3x3x3 cube: a corner word and an edge word, its twelve quarter turns and
// its sticker projection.

#include <array>
#include <bit>
#include <cstdint>
#include <source_location>
#include <string>
#include <type_traits>

#include "cube/colours.hpp"
#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/layer_turns.hpp"
#include "cube/sticker_import.hpp"

namespace turnsmith {

// The twelve turns of the edge word: R, L, F and B here, U and D the layer
// turns. Slots: 0 UB, 1 UR, 2 UF, 3 UL,
// 4 DB, 5 DR, 6 DF, 7 DL, 8 BL, 9 BR, 10 FR, 11 FL.
namespace edge_word {

inline constexpr std::size_t piece_count = edge_slots;

// "to <- from"; the field travels unchanged.
struct EdgeMove {
    unsigned to;
    unsigned from;
};

using EdgeCycle = std::array<EdgeMove, 4>;

template <EdgeMove M>
constexpr Word moved_edge(Word w) noexcept {
    return slot_field(w, M.from) << slot_shift(M.to);
}

template <EdgeCycle Cycle>
constexpr Word cycle(Word w) noexcept {
    constexpr Word cleared = mask_of_slots(Cycle[0].to, Cycle[1].to, Cycle[2].to, Cycle[3].to);
    return (w & ~cleared) | moved_edge<Cycle[0]>(w) | moved_edge<Cycle[1]>(w) | moved_edge<Cycle[2]>(w) |
           moved_edge<Cycle[3]>(w);
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

// The cycles of the R, L, F and B turns, by move index from 4 on.
inline constexpr std::array<EdgeCycle, move_count - layer_moves> face_cycles = {{
    {{{1, 10}, {5, 9}, {9, 1}, {10, 5}}},   // R
    {{{1, 9}, {5, 10}, {9, 5}, {10, 1}}},   // R'
    {{{3, 8}, {7, 11}, {8, 7}, {11, 3}}},   // L
    {{{3, 11}, {7, 8}, {8, 3}, {11, 7}}},   // L'
    {{{2, 11}, {6, 10}, {10, 2}, {11, 6}}}, // F
    {{{2, 10}, {6, 11}, {10, 6}, {11, 2}}}, // F'
    {{{0, 9}, {4, 8}, {8, 0}, {9, 4}}},     // B
    {{{0, 8}, {4, 9}, {8, 4}, {9, 0}}},     // B'
}};

// The edges that move M flips: those of the F and B turns.
constexpr Word flips_of(MoveIndex m) noexcept {
    return moves[m].face == 'F' ? front_flips : moves[m].face == 'B' ? back_flips : 0;
}

// The edge word turned by move M.
template <MoveIndex M>
constexpr Word turn(Word w) noexcept {
    if constexpr (M < layer_moves) {
        return layer_turn::by_move<M>(w);
    } else {
        return cycle<face_cycles[M - layer_moves]>(w) ^ flips_of(M);
    }
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
// no sequence of turns produces one, so meeting it is an internal fault. Such
// a piece has bits 2 and 3 both set: its slot's bit 3 survives
// `word & (word << 1) & edge_piece_bit3`.
inline constexpr Word edge_piece_bit3 = [] {
    Word bits = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot) bits |= Word{1} << (slot_shift(slot) + 3);
    return bits;
}();
static_assert(edge_word::piece_count == 12, "pieces from 12 on are those with bits 2 and 3 set");
[[noreturn]] void edge_piece_out_of_range(unsigned slot, Word piece,
                                          std::source_location where = std::source_location::current());

struct Cube3x3 : QuarterTurns<Cube3x3> {
    Word corners = solved_corners;
    Word edges = solved_edges;

    static constexpr std::size_t sticker_dim = 54;
    // The words that hold the state, as they are exchanged: corners, then edges.
    static constexpr std::size_t word_count = 2;
    // The number Python names this type by, and whether it has edge pieces.
    static constexpr unsigned cube_type = 3;
    static constexpr bool has_edges = true;

    constexpr Cube3x3() noexcept = default;
    constexpr Cube3x3(Word corner_word, Word edge_word) noexcept : corners(corner_word), edges(edge_word) {}

    template <MoveIndex M>
    constexpr void turn_by() noexcept {
        corners = corner_word::turn<M>(corners);
        edges = edge_word::turn<M>(edges);
    }

    constexpr std::array<Word, word_count> words() const noexcept { return {corners, edges}; }
    static constexpr Cube3x3 from_words(const std::array<Word, word_count>& words) noexcept {
        return Cube3x3(words[0], words[1]);
    }

    // Writes the 54 sticker colours into `out` (indexable by 0..53). Batches
    // project straight into their output rows this way: a temporary array and a
    // copy would double the stores of the projection's inner loop. Throws
    // InternalFault (after the diagnostic) on an edge piece >= 12.
    template <class Out>
    constexpr void to_sticker_array_internal(Out&& out) const {
        // Local copies: a byte output may alias the cube, and would make every
        // store reload the words.
        const Word corner_word = corners;
        const Word edge_word = edges;
        if (const Word too_large = edge_word & (edge_word << 1) & edge_piece_bit3; too_large != 0) [[unlikely]] {
            const auto slot = static_cast<unsigned>(std::countr_zero(too_large)) / slot_bits;
            edge_piece_out_of_range(slot, edge_piece(slot_field(edge_word, slot)));
        }
        for (std::size_t face = 0; face < face_count; ++face) out[9 * face + 4] = face;
        for (unsigned slot = 0; slot < corner_sticker_indexes_3x3.size(); ++slot) {
            const auto& colours = corner_facet_colours[slot_field(corner_word, slot)];
            for (unsigned facet = 0; facet < 3; ++facet)
                out[corner_sticker_indexes_3x3[slot][facet]] = colours[facet];
        }
        for (unsigned slot = 0; slot < edge_sticker_indexes.size(); ++slot) {
            const auto& colours = edge_facet_colours[slot_field(edge_word, slot)];
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

// The field of every edge reading, pieces 0..11 only.
inline constexpr auto edge_field_by_colours = sticker_import_detail::field_by_colours<2, 32>(
    edge_facet_colours, [](Word field) { return edge_piece(field) < edge_word::piece_count; });

// The cube whose sticker array is `stickers` (54 values, indexable), or the
// first fault of the array; the state it names is checked apart.
template <class Stickers>
constexpr std::optional<StickerFault> read_sticker_array_internal(const Stickers& stickers, Cube3x3& cube) noexcept {
    if (auto fault = check_colour_range(stickers, Cube3x3::sticker_dim)) return fault;
    for (unsigned face = 0; face < face_count; ++face) {
        const unsigned centre = 9 * face + 4;
        const auto shown = static_cast<std::int64_t>(stickers[centre]);
        if (shown != face) return StickerFault{StickerRule::centre, centre, shown};
    }
    if (auto fault = read_word(stickers, corner_sticker_indexes_3x3, corner_field_by_colours, StickerRule::corner,
                               cube.corners)) {
        return fault;
    }
    return read_word(stickers, edge_sticker_indexes, edge_field_by_colours, StickerRule::edge, cube.edges);
}

// Batches store states back to back and copy them by value.
static_assert(sizeof(Cube3x3) == 16);
static_assert(std::is_trivially_copyable_v<Cube3x3>);
static_assert(Cube<Cube3x3>);

}  // namespace turnsmith
