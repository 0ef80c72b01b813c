#pragma once
// Raw views of the packed words: (piece, orientation) per slot and the word's
// 64 binary digits. They show the fields exactly as stored, without checks.

#include <array>
#include <cstdint>
#include <utility>

#include "cube/cube.hpp"

namespace turnsmith {

using PiecePair = std::pair<std::uint8_t, std::uint8_t>;

// (piece, orientation) of every slot of a word, slot 0 first.
template <unsigned Slots>
constexpr std::array<PiecePair, Slots> slot_pairs(Word word, Word (*piece)(Word), Word (*orientation)(Word)) {
    std::array<PiecePair, Slots> pairs{};
    for (unsigned slot = 0; slot < Slots; ++slot) {
        const Word field = slot_field(word, slot);
        pairs[slot] = {static_cast<std::uint8_t>(piece(field)), static_cast<std::uint8_t>(orientation(field))};
    }
    return pairs;
}

// (piece, twist) of every corner slot.
constexpr std::array<PiecePair, corner_slots> corner_pairs(Word corners) noexcept {
    return slot_pairs<corner_slots>(corners, corner_piece, corner_twist);
}

// (piece, flip) of every edge slot.
constexpr std::array<PiecePair, edge_slots> edge_pairs(Word edges) noexcept {
    return slot_pairs<edge_slots>(edges, edge_piece, edge_flip);
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
