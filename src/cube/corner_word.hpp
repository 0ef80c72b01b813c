#pragma once
// The twelve turns of the corner word, shared by the 3x3 and the 2x2. R, L, F
// and B are written here; U and D are the layer turns.
// Each turn clears the four moved fields with one mask and ORs every moved
// piece back in at its new slot with its twist raised by 1 or 2 (mod 3).
// Slots are template arguments, so every turn compiles to a fixed sequence of
// shifts, masks and selects: no tables, no loops.

#include <array>

#include "cube/cube.hpp"
#include "cube/layer_turns.hpp"

namespace turnsmith::corner_word {

// For t in 0..2 these are (t + 1) mod 3 and (t + 2) mod 3 without a division;
// both compile to conditional selects.
constexpr Word twist_plus_one(Word t) noexcept { return t < 2 ? t + 1 : t - 2; }
constexpr Word twist_plus_two(Word t) noexcept { return t == 0 ? 2 : t - 1; }

// "to <- from, twist + added"
struct CornerMove {
    unsigned to;
    unsigned from;
    unsigned added;
};

template <CornerMove M>
constexpr Word moved_corner(Word w) noexcept {
    static_assert(M.added == 1 || M.added == 2);
    const Word old_field = slot_field(w, M.from);
    const Word twist = corner_twist(old_field);
    const Word new_twist = M.added == 1 ? twist_plus_one(twist) : twist_plus_two(twist);
    return (corner_piece(old_field) | (new_twist << twist_shift)) << slot_shift(M.to);
}

// The four slots a face turn moves, as "to <- from" rows.
using CornerCycle = std::array<CornerMove, 4>;

template <CornerCycle Cycle>
constexpr Word cycle(Word w) noexcept {
    constexpr Word cleared = mask_of_slots(Cycle[0].to, Cycle[1].to, Cycle[2].to, Cycle[3].to);
    return (w & ~cleared) | moved_corner<Cycle[0]>(w) | moved_corner<Cycle[1]>(w) | moved_corner<Cycle[2]>(w) |
           moved_corner<Cycle[3]>(w);
}

// Slots: 0 ULB, 1 UBR, 2 URF, 3 UFL, 4 DLB, 5 DBR, 6 DRF, 7 DFL.
// The cycles of the R, L, F and B turns, by move index from 4 on.
inline constexpr std::array<CornerCycle, move_count - layer_moves> face_cycles = {{
    {{{1, 2, 1}, {2, 6, 2}, {5, 1, 2}, {6, 5, 1}}},  // R
    {{{1, 5, 1}, {2, 1, 2}, {5, 6, 2}, {6, 2, 1}}},  // R'
    {{{0, 4, 2}, {3, 0, 1}, {4, 7, 1}, {7, 3, 2}}},  // L
    {{{0, 3, 2}, {3, 7, 1}, {4, 0, 1}, {7, 4, 2}}},  // L'
    {{{2, 3, 1}, {3, 7, 2}, {6, 2, 2}, {7, 6, 1}}},  // F
    {{{2, 6, 1}, {3, 2, 2}, {6, 7, 2}, {7, 3, 1}}},  // F'
    {{{0, 1, 1}, {1, 5, 2}, {4, 0, 2}, {5, 4, 1}}},  // B
    {{{0, 4, 1}, {1, 0, 2}, {4, 5, 2}, {5, 1, 1}}},  // B'
}};

// The corner word turned by move M: the layer turns for U and D, a cycle with
// twists for the others.
template <MoveIndex M>
constexpr Word turn(Word w) noexcept {
    if constexpr (M < layer_moves) {
        return layer_turn::by_move<M>(w);
    } else {
        return cycle<face_cycles[M - layer_moves]>(w);
    }
}

}  // namespace turnsmith::corner_word
