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

namespace turnsmith {

// A corner word holds eight 5-bit slots (piece in bits 0..2, twist in 3..4);
// an edge word twelve 5-bit slots (piece in bits 0..3, flip in bit 4).
using Word = std::uint64_t;

// 0 U, 1 U', 2 D, 3 D', 4 R, 5 R', 6 L, 7 L', 8 F, 9 F', 10 B, 11 B'.
// Index 2k+1 undoes index 2k; 12 and above name no turn.
using MoveIndex = std::uint64_t;

inline constexpr std::size_t move_count = 12;

template <std::size_t N>
using StickerArray = std::array<std::uint64_t, N>;

inline constexpr unsigned slot_bits = 5;
inline constexpr Word slot_field_mask = 0x1f;

constexpr unsigned slot_shift(unsigned slot) noexcept { return slot_bits * slot; }

constexpr Word slot_field(Word word, unsigned slot) noexcept {
    return (word >> slot_shift(slot)) & slot_field_mask;
}

// Slot s of the solved word holds piece s with orientation 0.
constexpr Word solved_word(unsigned slots) noexcept {
    Word word = 0;
    for (unsigned slot = 0; slot < slots; ++slot) word |= Word{slot} << slot_shift(slot);
    return word;
}

inline constexpr Word solved_corners = 0x398a418820;
inline constexpr Word solved_edges = 0x5a928398a418820;
static_assert(solved_corners == solved_word(8));
static_assert(solved_edges == solved_word(12));

template <class C>
concept Cube = std::is_trivially_copyable_v<C> && requires(C& cube, const C& view) {
    { C::sticker_dim } -> std::convertible_to<std::size_t>;
    { cube.do_u_move_internal() } noexcept;
    { cube.do_u_prime_move_internal() } noexcept;
    { cube.do_d_move_internal() } noexcept;
    { cube.do_d_prime_move_internal() } noexcept;
    { cube.do_r_move_internal() } noexcept;
    { cube.do_r_prime_move_internal() } noexcept;
    { cube.do_l_move_internal() } noexcept;
    { cube.do_l_prime_move_internal() } noexcept;
    { cube.do_f_move_internal() } noexcept;
    { cube.do_f_prime_move_internal() } noexcept;
    { cube.do_b_move_internal() } noexcept;
    { cube.do_b_prime_move_internal() } noexcept;
    { view.to_sticker_array_internal() } -> std::same_as<StickerArray<C::sticker_dim>>;
    view.to_sticker_array_internal(std::declval<std::int64_t*>());
    { view.render_ansi_internal() } -> std::same_as<std::string>;
    { view.is_solved() } -> std::same_as<bool>;
};

// Indexes come straight from callers (batch move arrays), so anything past
// the table is ignored rather than treated as an error.
template <Cube C>
constexpr void apply_move_index_internal(C& cube, MoveIndex index) noexcept {
    switch (index) {
        case 0: cube.do_u_move_internal(); return;
        case 1: cube.do_u_prime_move_internal(); return;
        case 2: cube.do_d_move_internal(); return;
        case 3: cube.do_d_prime_move_internal(); return;
        case 4: cube.do_r_move_internal(); return;
        case 5: cube.do_r_prime_move_internal(); return;
        case 6: cube.do_l_move_internal(); return;
        case 7: cube.do_l_prime_move_internal(); return;
        case 8: cube.do_f_move_internal(); return;
        case 9: cube.do_f_prime_move_internal(); return;
        case 10: cube.do_b_move_internal(); return;
        case 11: cube.do_b_prime_move_internal(); return;
        default: return;
    }
}

}  // namespace turnsmith
