#pragma once
// The shared vocabulary of the cube model: packed state words, move indexes,
// and the `Cube` interface that generic code (batches, notation, successor
// states) is written against once for both cube types.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "cube/moves.hpp"

namespace turnsmith {

// The layout of the packed words. Both hold 5-bit slots, slot 0 in the lowest
// bits, and slot s holds the piece that sits in position s with its
// orientation: a corner word has eight slots (piece in bits 0..2, twist 0..2 in
// bits 3..4), an edge word twelve (piece in bits 0..3, flip in bit 4). Bits
// above the last slot stay 0. Slots 0..3 are the U layer and 4..7 the D layer
// of either word; the edge word's slots 8..11 are the middle layer.
using Word = std::uint64_t;

inline constexpr unsigned slot_bits = 5;
inline constexpr Word slot_field_mask = (Word{1} << slot_bits) - 1;
inline constexpr unsigned corner_slots = 8;
inline constexpr unsigned edge_slots = 12;

inline constexpr Word corner_piece_mask = 0b00111;
inline constexpr unsigned twist_shift = 3;
inline constexpr Word edge_piece_mask = 0b01111;
inline constexpr unsigned flip_shift = 4;

constexpr unsigned slot_shift(unsigned slot) noexcept { return slot_bits * slot; }

constexpr Word slot_field(Word word, unsigned slot) noexcept {
    return (word >> slot_shift(slot)) & slot_field_mask;
}

// The bits of `count` slots from `first` on.
constexpr Word slots_mask(unsigned first, unsigned count) noexcept {
    return ((Word{1} << slot_shift(count)) - 1) << slot_shift(first);
}

// The bits of the named slots.
template <class... Slots>
constexpr Word mask_of_slots(Slots... slots) noexcept {
    return (slots_mask(slots, 1) | ...);
}

inline constexpr unsigned layer_slots = 4;
inline constexpr Word u_layer = slots_mask(0, layer_slots);
inline constexpr Word d_layer = slots_mask(layer_slots, layer_slots);

constexpr Word corner_piece(Word field) noexcept { return field & corner_piece_mask; }
constexpr Word corner_twist(Word field) noexcept { return field >> twist_shift; }
constexpr Word edge_piece(Word field) noexcept { return field & edge_piece_mask; }
constexpr Word edge_flip(Word field) noexcept { return field >> flip_shift; }

static_assert(slot_field_mask == 0x1f);
static_assert(corner_piece_mask == 0x7 && edge_piece_mask == 0xf);
static_assert((corner_piece_mask | (Word{3} << twist_shift)) == slot_field_mask);
static_assert((edge_piece_mask | (Word{1} << flip_shift)) == slot_field_mask);
static_assert(u_layer == 0xFFFFF && d_layer == 0xFFFFF00000);
static_assert(slots_mask(0, edge_slots) >> 63 == 0, "an edge word fits 64 bits");

// Counting states: the orders of n pieces and the twists of n corners.
constexpr std::uint32_t factorial(unsigned n) noexcept { return n <= 1 ? 1 : n * factorial(n - 1); }
constexpr std::uint32_t power_of_three(unsigned n) noexcept { return n == 0 ? 1 : 3 * power_of_three(n - 1); }

// The twist fields of a corner word (pieces left 0) whose first seven twists
// are the base-3 digits of `digits`, slot 0 the lowest; the last twist makes
// their sum a multiple of 3, as every reachable state has it.
constexpr Word twist_fields_of_digits(std::uint32_t digits) noexcept {
    Word word = 0;
    Word sum = 0;
    for (unsigned slot = 0; slot < corner_slots; ++slot) {
        Word twist = (3 - sum % 3) % 3;
        if (slot + 1 < corner_slots) {
            twist = digits % 3;
            digits /= 3;
        }
        sum += twist;
        word |= twist << (slot_shift(slot) + twist_shift);
    }
    return word;
}

template <std::size_t N>
using StickerArray = std::array<std::uint64_t, N>;

// Slot s of the solved word holds piece s with orientation 0.
constexpr Word solved_word(unsigned slots) noexcept {
    Word word = 0;
    for (unsigned slot = 0; slot < slots; ++slot) word |= Word{slot} << slot_shift(slot);
    return word;
}

inline constexpr Word solved_corners = solved_word(corner_slots);
inline constexpr Word solved_edges = solved_word(edge_slots);
static_assert(solved_corners == 0x398a418820);
static_assert(solved_edges == 0x5a928398a418820);

template <class C>
concept Cube = std::is_trivially_copyable_v<C> && requires(C& cube, const C& view) {
    { C::sticker_dim } -> std::convertible_to<std::size_t>;
    { view.to_sticker_array_internal() } -> std::same_as<StickerArray<C::sticker_dim>>;
    view.to_sticker_array_internal(std::declval<std::int64_t*>());
    { view.render_ansi_internal() } -> std::same_as<std::string>;
    { view.is_solved() } -> std::same_as<bool>;
    requires std::derived_from<C, QuarterTurns<C>>;  // the twelve named turns
    { cube.template turn_by<0>() } noexcept;
};

// Calls `f.template operator()<M>()` for the move M that `index` names, and
// nothing for an index past the table. A switch, so that a random index
// costs one indirect jump; case k is move k of the table.
template <class F>
constexpr void visit_move(MoveIndex index, F&& f) {
    static_assert(move_count == 12, "one case per move");
    switch (index) {
        case 0: return f.template operator()<0>();
        case 1: return f.template operator()<1>();
        case 2: return f.template operator()<2>();
        case 3: return f.template operator()<3>();
        case 4: return f.template operator()<4>();
        case 5: return f.template operator()<5>();
        case 6: return f.template operator()<6>();
        case 7: return f.template operator()<7>();
        case 8: return f.template operator()<8>();
        case 9: return f.template operator()<9>();
        case 10: return f.template operator()<10>();
        case 11: return f.template operator()<11>();
        default: return;
    }
}

// Indexes come straight from callers (batch move arrays), so anything past
// the table is ignored rather than treated as an error.
template <Cube C>
constexpr void apply_move_index_internal(C& cube, MoveIndex index) noexcept {
    visit_move(index, [&cube]<MoveIndex M>() { turn<M>(cube); });
}

}  // namespace turnsmith
