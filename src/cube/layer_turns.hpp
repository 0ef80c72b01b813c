#pragma once
// U and D layer turns. Slots 0..3 are the U layer and slots 4..7 the D layer
// in both the corner and the edge word, in the same cyclic order, so each of
// these turns is one transform applied alike to either word. The edge word's
// middle layer (bits 40..59) lies outside both masks and is left alone.

#include "cube/cube.hpp"

namespace turnsmith::layer_turn {

inline constexpr Word u_layer = 0xFFFFF;       // slots 0..3
inline constexpr Word d_layer = 0xFFFFF00000;  // slots 4..7

// U: slot s+1 <- slot s, slot 0 <- slot 3.
constexpr Word u(Word w) noexcept { return ((w << 5) & 0xFFFE0) | ((w & u_layer) >> 15) | (w & ~u_layer); }

// U': slot s <- slot s+1, slot 3 <- slot 0.
constexpr Word u_prime(Word w) noexcept {
    return ((w << 15) & 0xF8000) | ((w & u_layer) >> 5) | (w & ~u_layer);
}

// D: slot s <- slot s+1 within 4..7, slot 7 <- slot 4.
constexpr Word d(Word w) noexcept {
    const Word field = w & d_layer;
    return (w & ~d_layer) | (((field >> 5) | (field << 15)) & d_layer);
}

// D': slot s+1 <- slot s within 4..7, slot 4 <- slot 7.
constexpr Word d_prime(Word w) noexcept {
    const Word field = w & d_layer;
    return (w & ~d_layer) | (((field << 5) | (field >> 15)) & d_layer);
}

}  // namespace turnsmith::layer_turn
