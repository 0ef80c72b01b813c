#pragma once
// U and D layer turns. Slots 0..3 are the U layer and slots 4..7 the D layer
// in both the corner and the edge word, in the same cyclic order, so each of
// these turns is one transform applied alike to either word. The edge word's
// middle layer (slots 8..11) lies outside both layers and is left alone.

#include <array>

#include "cube/cube.hpp"

namespace turnsmith::layer_turn {

// The last slot of a layer, and the slots that follow the first.
inline constexpr unsigned last_in_layer = layer_slots - 1;
inline constexpr Word u_after_first = slots_mask(1, last_in_layer);
inline constexpr Word u_last = slots_mask(last_in_layer, 1);
static_assert(u_after_first == 0xFFFE0 && u_last == 0xF8000);

// U: slot s+1 <- slot s, slot 0 <- slot 3.
constexpr Word u(Word w) noexcept {
    return ((w << slot_bits) & u_after_first) | ((w & u_layer) >> slot_shift(last_in_layer)) | (w & ~u_layer);
}

// U': slot s <- slot s+1, slot 3 <- slot 0.
constexpr Word u_prime(Word w) noexcept {
    return ((w << slot_shift(last_in_layer)) & u_last) | ((w & u_layer) >> slot_bits) | (w & ~u_layer);
}

// D: slot s <- slot s+1 within 4..7, slot 7 <- slot 4.
constexpr Word d(Word w) noexcept {
    const Word field = w & d_layer;
    return (w & ~d_layer) | (((field >> slot_bits) | (field << slot_shift(last_in_layer))) & d_layer);
}

// D': slot s+1 <- slot s within 4..7, slot 4 <- slot 7.
constexpr Word d_prime(Word w) noexcept {
    const Word field = w & d_layer;
    return (w & ~d_layer) | (((field << slot_bits) | (field >> slot_shift(last_in_layer))) & d_layer);
}

// U, U', D and D' are the first four moves of the move table.
inline constexpr MoveIndex layer_moves = 4;
static_assert(moves[0].face == 'U' && moves[2].face == 'D');

template <MoveIndex M>
constexpr Word by_move(Word w) noexcept {
    static_assert(M < layer_moves);
    constexpr std::array<Word (*)(Word) noexcept, layer_moves> turns = {u, u_prime, d, d_prime};
    return turns[M](w);
}

}  // namespace turnsmith::layer_turn

namespace turnsmith {
using layer_turn::layer_moves;
}
