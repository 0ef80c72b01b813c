#pragma once
// Numbers for parts of a 3x3 state, the coordinates of the two-phase search.
// Phase 1 reads how the corners are twisted, how the edges are flipped and
// which four slots hold the middle-layer edges (pieces 8..11); phase 2, inside
// the group of the U and D quarter turns and the R, L, F and B half turns,
// reads the order of the corners, of the U and D layer edges and of the
// middle-layer edges. Each number has a decoding back into a word whose other
// parts are solved, so that a move's effect on a number is one word turn.

#include <array>
#include <bit>
#include <cstdint>

#include "cube/cube.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith::coordinates_3x3 {

inline constexpr std::uint32_t twists = 2187;          // 3^7: the last twist makes the sum whole
inline constexpr std::uint32_t flips = 2048;           // 2^11: the last flip makes the sum even
inline constexpr std::uint32_t slice_positions = 495;  // C(12, 4) sets of slots
inline constexpr std::uint32_t corner_orders = 40320;  // 8!
inline constexpr std::uint32_t layer_edge_orders = 40320;
inline constexpr std::uint32_t slice_orders = 24;  // 4!

static_assert(twists == power_of_three(corner_slots - 1));
static_assert(corner_orders == factorial(8) && slice_orders == factorial(4));

// The middle-layer edges are pieces 8..11 and, solved, sit in slots 8..11.
inline constexpr unsigned first_slice_piece = 8;
inline constexpr unsigned slice_edges = 4;
inline constexpr unsigned layer_edges = 8;

constexpr Word turned_corners(Word corners, MoveIndex move) noexcept {
    visit_move(move, [&corners]<MoveIndex M>() { corners = corner_word::turn<M>(corners); });
    return corners;
}
constexpr Word turned_edges(Word edges, MoveIndex move) noexcept {
    visit_move(move, [&edges]<MoveIndex M>() { edges = edge_word::turn<M>(edges); });
    return edges;
}

// ---- twist and flip -----------------------------------------------------------

// Slot s's twist is digit s (base 3) for s < 7.
constexpr std::uint32_t twist_of(Word corners) noexcept {
    std::uint32_t twist = 0;
    for (unsigned slot = corner_slots - 1; slot-- > 0;)
        twist = twist * 3 + static_cast<std::uint32_t>(corner_twist(slot_field(corners, slot)));
    return twist;
}
// Solved pieces carrying the twists of `twist`.
constexpr Word corners_of_twist(std::uint32_t twist) noexcept {
    return solved_corners | twist_fields_of_digits(twist);
}

// Slot s's flip is bit s for s < 11.
constexpr std::uint32_t flip_of(Word edges) noexcept {
    std::uint32_t flip = 0;
    for (unsigned slot = 0; slot + 1 < edge_slots; ++slot)
        flip |= static_cast<std::uint32_t>(edge_flip(slot_field(edges, slot))) << slot;
    return flip;
}
constexpr Word edges_of_flip(std::uint32_t flip) noexcept {
    Word word = solved_edges;
    Word parity = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot) {
        const Word f = slot + 1 < edge_slots ? (flip >> slot) & 1 : parity;
        parity ^= f;
        word |= f << (slot_shift(slot) + flip_shift);
    }
    return word;
}

// ---- where the middle-layer edges are ------------------------------------------

// n choose k for the small numbers here.
constexpr std::uint32_t choose(unsigned n, unsigned k) noexcept {
    if (k > n) return 0;
    std::uint32_t value = 1;
    for (unsigned i = 0; i < k; ++i) value = value * (n - i) / (i + 1);
    return value;
}

// The set of slots holding pieces 8..11 in the combinatorial number system:
// the j-th such slot from the bottom, s, adds C(s, j+1). Solved, the slots
// 8..11 give the last number.
constexpr std::uint32_t slice_position_of(Word edges) noexcept {
    std::uint32_t position = 0;
    unsigned found = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot) {
        if (edge_piece(slot_field(edges, slot)) >= first_slice_piece) position += choose(slot, ++found);
    }
    return position;
}
inline constexpr std::uint32_t slice_home = slice_positions - 1;
static_assert(slice_position_of(solved_edges) == slice_home);

// Pieces 8..11 (in order) in the slots of `position`, 0..7 in the others.
constexpr Word edges_of_slice_position(std::uint32_t position) noexcept {
    std::array<bool, edge_slots> in_slice{};
    unsigned left = slice_edges;
    for (unsigned slot = edge_slots; slot-- > 0 && left > 0;) {
        if (choose(slot, left) <= position) {
            position -= choose(slot, left);
            in_slice[slot] = true;
            --left;
        }
    }
    Word word = 0;
    Word layer = 0;
    Word slice = first_slice_piece;
    for (unsigned slot = 0; slot < edge_slots; ++slot)
        word |= (in_slice[slot] ? slice++ : layer++) << slot_shift(slot);
    return word;
}

// ---- orders ---------------------------------------------------------------------

// The Lehmer code of `count` pieces read from `first` on (pieces minus
// `offset`): slot i adds (pieces after it that are smaller) * (count-1-i)!.
constexpr std::uint32_t order_of(Word word, unsigned first, unsigned count, Word piece_mask,
                                 Word offset) noexcept {
    std::uint32_t order = 0;
    std::uint32_t seen = 0;  // bit p: piece p lies in a later slot
    for (unsigned i = count; i-- > 0;) {
        const Word piece = (slot_field(word, first + i) & piece_mask) - offset;
        const auto smaller_later = static_cast<std::uint32_t>(std::popcount(seen & ((1u << piece) - 1)));
        order += smaller_later * factorial(count - 1 - i);
        seen |= 1u << piece;
    }
    return order;
}
// The pieces (plus `offset`) whose Lehmer code is `order`, in slots `first` on.
constexpr Word word_of_order(std::uint32_t order, unsigned first, unsigned count, Word offset) noexcept {
    std::uint32_t unused = (1u << count) - 1;
    Word word = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint32_t radix = factorial(count - 1 - i);
        unsigned smaller = order / radix;
        order %= radix;
        std::uint32_t left = unused;
        for (; smaller > 0; --smaller) left &= left - 1;
        const auto piece = static_cast<unsigned>(std::countr_zero(left));
        unused &= ~(1u << piece);
        word |= (piece + offset) << slot_shift(first + i);
    }
    return word;
}

constexpr std::uint32_t corner_order_of(Word corners) noexcept {
    return order_of(corners, 0, corner_slots, corner_piece_mask, 0);
}
constexpr Word corners_of_order(std::uint32_t order) noexcept {
    return word_of_order(order, 0, corner_slots, 0);
}

// The U and D layer edges of a word in which they fill slots 0..7.
constexpr std::uint32_t layer_edge_order_of(Word edges) noexcept {
    return order_of(edges, 0, layer_edges, edge_piece_mask, 0);
}
// The middle-layer edges of a word in which they fill slots 8..11.
constexpr std::uint32_t slice_order_of(Word edges) noexcept {
    return order_of(edges, layer_edges, slice_edges, edge_piece_mask, first_slice_piece);
}
// Layer edges in the order `layer`, middle-layer edges in the order `slice`.
constexpr Word edges_of_orders(std::uint32_t layer, std::uint32_t slice) noexcept {
    return word_of_order(layer, 0, layer_edges, 0) |
           word_of_order(slice, layer_edges, slice_edges, first_slice_piece);
}

static_assert(corner_order_of(solved_corners) == 0 && corners_of_order(0) == solved_corners);
static_assert(edges_of_orders(0, 0) == solved_edges);
static_assert(twist_of(solved_corners) == 0 && flip_of(solved_edges) == 0);

// ---- moves ----------------------------------------------------------------------

// The moves of phase 2: the U and D quarter turns at a cost of 1, and the R,
// L, F and B half turns at a cost of 2, written as the quarter turn twice.
inline constexpr unsigned phase2_moves = 8;
inline constexpr std::array<MoveIndex, phase2_moves> phase2_quarter = {0, 1, 2, 3, 4, 6, 8, 10};
inline constexpr std::array<unsigned, phase2_moves> phase2_cost = {1, 1, 1, 1, 2, 2, 2, 2};

constexpr Word phase2_turned_corners(Word corners, unsigned move) noexcept {
    for (unsigned i = 0; i < phase2_cost[move]; ++i) corners = turned_corners(corners, phase2_quarter[move]);
    return corners;
}
constexpr Word phase2_turned_edges(Word edges, unsigned move) noexcept {
    for (unsigned i = 0; i < phase2_cost[move]; ++i) edges = turned_edges(edges, phase2_quarter[move]);
    return edges;
}

}  // namespace turnsmith::coordinates_3x3
