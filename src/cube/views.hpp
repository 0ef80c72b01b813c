#pragma once
// Raw views of the packed words: (piece, orientation) per slot and the word's
// 64 binary digits. They show the fields exactly as stored, without checks.

#include <array>
#include <cstdint>
#include <utility>

#include "cube/cube.hpp"

namespace turnsmith {

using PiecePair = std::pair<std::uint8_t, std::uint8_t>;

// (piece, twist) of every corner slot, slot 0 first.
constexpr std::array<PiecePair, corner_slots> corner_pairs(Word corners) noexcept {
    std::array<PiecePair, corner_slots> pairs{};
    for (unsigned slot = 0; slot < pairs.size(); ++slot) {
        const auto field = static_cast<std::uint8_t>(slot_field(corners, slot));
        pairs[slot] = {static_cast<std::uint8_t>(corner_piece(field)), static_cast<std::uint8_t>(corner_twist(field))};
    }
    return pairs;
}

// (piece, flip) of every edge slot, slot 0 first.
constexpr std::array<PiecePair, edge_slots> edge_pairs(Word edges) noexcept {
    std::array<PiecePair, edge_slots> pairs{};
    for (unsigned slot = 0; slot < pairs.size(); ++slot) {
        const auto field = static_cast<std::uint8_t>(slot_field(edges, slot));
        pairs[slot] = {static_cast<std::uint8_t>(edge_piece(field)), static_cast<std::uint8_t>(edge_flip(field))};
    }
    return pairs;
}

// The word in base 2, most significant bit first, always all 64 digits.
constexpr std::array<char, 64> binary_digits(Word word) noexcept {
    std::array<char, 64> digits{};
    for (std::size_t i = 0; i < digits.size(); ++i) {
        digits[i] = ((word >> (63 - i)) & 1) != 0 ? '1' : '0';
    }
    return digits;
}

}  // namespace turnsmith
