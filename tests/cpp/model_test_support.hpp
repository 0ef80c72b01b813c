#pragma once
// Helpers shared by the cube-model tests: deterministic random move sequences
// and a plain slot-by-slot reference model of the turns, written from the move
// table rather than from the word arithmetic under test.

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "cube/cube.hpp"

namespace turnsmith::testing {

inline std::vector<MoveIndex> random_moves(std::mt19937_64& rng, std::size_t length) {
    std::uniform_int_distribution<MoveIndex> pick(0, move_count - 1);
    std::vector<MoveIndex> moves(length);
    for (auto& move : moves) move = pick(rng);
    return moves;
}

template <Cube C>
C apply_all(C cube, const std::vector<MoveIndex>& moves) {
    for (const MoveIndex move : moves) apply_move_index_internal(cube, move);
    return cube;
}

template <Cube C>
C random_state(std::mt19937_64& rng, std::size_t length = 40) {
    return apply_all(C{}, random_moves(rng, length));
}

// One moved slot: after the turn `to` holds what `from` held, with `added`
// twist (corners only).
struct SlotMove {
    unsigned to;
    unsigned from;
    unsigned added;
};

struct ReferenceTurn {
    std::array<SlotMove, 4> corners;
    std::array<SlotMove, 4> edges;
    bool flips_edges;
};

// The move table, row by row, in move-index order.
inline constexpr std::array<ReferenceTurn, 12> reference_turns = {{
    {{{{0, 3, 0}, {1, 0, 0}, {2, 1, 0}, {3, 2, 0}}},
     {{{0, 3, 0}, {1, 0, 0}, {2, 1, 0}, {3, 2, 0}}},
     false},  // U
    {{{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 0, 0}}},
     {{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 0, 0}}},
     false},  // U'
    {{{{4, 5, 0}, {5, 6, 0}, {6, 7, 0}, {7, 4, 0}}},
     {{{4, 5, 0}, {5, 6, 0}, {6, 7, 0}, {7, 4, 0}}},
     false},  // D
    {{{{4, 7, 0}, {5, 4, 0}, {6, 5, 0}, {7, 6, 0}}},
     {{{4, 7, 0}, {5, 4, 0}, {6, 5, 0}, {7, 6, 0}}},
     false},  // D'
    {{{{1, 2, 1}, {2, 6, 2}, {5, 1, 2}, {6, 5, 1}}},
     {{{1, 10, 0}, {5, 9, 0}, {9, 1, 0}, {10, 5, 0}}},
     false},  // R
    {{{{1, 5, 1}, {2, 1, 2}, {5, 6, 2}, {6, 2, 1}}},
     {{{1, 9, 0}, {5, 10, 0}, {9, 5, 0}, {10, 1, 0}}},
     false},  // R'
    {{{{0, 4, 2}, {3, 0, 1}, {4, 7, 1}, {7, 3, 2}}},
     {{{3, 8, 0}, {7, 11, 0}, {8, 7, 0}, {11, 3, 0}}},
     false},  // L
    {{{{0, 3, 2}, {3, 7, 1}, {4, 0, 1}, {7, 4, 2}}},
     {{{3, 11, 0}, {7, 8, 0}, {8, 3, 0}, {11, 7, 0}}},
     false},  // L'
    {{{{2, 3, 1}, {3, 7, 2}, {6, 2, 2}, {7, 6, 1}}},
     {{{2, 11, 0}, {6, 10, 0}, {10, 2, 0}, {11, 6, 0}}},
     true},  // F
    {{{{2, 6, 1}, {3, 2, 2}, {6, 7, 2}, {7, 3, 1}}},
     {{{2, 10, 0}, {6, 11, 0}, {10, 6, 0}, {11, 2, 0}}},
     true},  // F'
    {{{{0, 1, 1}, {1, 5, 2}, {4, 0, 2}, {5, 4, 1}}},
     {{{0, 9, 0}, {4, 8, 0}, {8, 0, 0}, {9, 4, 0}}},
     true},  // B
    {{{{0, 4, 1}, {1, 0, 2}, {4, 5, 2}, {5, 1, 1}}},
     {{{0, 8, 0}, {4, 9, 0}, {8, 4, 0}, {9, 0, 0}}},
     true},  // B'
}};

inline Word field_at(Word word, unsigned slot) { return slot_field(word, slot); }

inline Word with_field(Word word, unsigned slot, Word field) {
    return (word & ~slots_mask(slot, 1)) | (field << slot_shift(slot));
}

inline Word reference_corner_turn(Word word, MoveIndex move) {
    Word result = word;
    for (const SlotMove& m : reference_turns[move].corners) {
        const Word field = field_at(word, m.from);
        if (m.added == 0) {
            result = with_field(result, m.to, field);
            continue;
        }
        const Word twist = (corner_twist(field) + m.added) % 3;
        result = with_field(result, m.to, corner_piece(field) | (twist << twist_shift));
    }
    return result;
}

inline Word reference_edge_turn(Word word, MoveIndex move) {
    Word result = word;
    for (const SlotMove& m : reference_turns[move].edges) {
        const Word flip = reference_turns[move].flips_edges ? Word{1} << flip_shift : 0;
        result = with_field(result, m.to, field_at(word, m.from) ^ flip);
    }
    return result;
}

}  // namespace turnsmith::testing
