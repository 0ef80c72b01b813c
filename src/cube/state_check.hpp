#pragma once
// Which words are states: exactly those that the twelve turns reach from
// solved. A corner word must hold each corner piece once with twists 0..2
// summing to 0 mod 3 and nothing above its last slot; an edge word each edge
// piece once (0..11) with flips summing to an even number; and on the 3x3 the
// corner and edge permutations have the same parity, since every quarter turn
// is a 4-cycle of each. The 2x2 has no edges, so any corner permutation
// occurs. A check names the first rule a word breaks, without allocating;
// `describe` turns that into the text a caller shows.

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>

#include "cube/cube.hpp"

namespace turnsmith {

enum class StateRule : std::uint8_t {
    corner_bits_above,     // bits set above the last corner slot
    corner_twist_range,    // slot `slot` holds twist `value` (3)
    corner_piece_twice,    // piece `value` in slots `other` and `slot`
    corner_twist_sum,      // the twists sum to `value` mod 3
    edge_bits_above,       // bits set above the last edge slot
    edge_piece_range,      // slot `slot` holds piece `value` (12..15)
    edge_piece_twice,      // piece `value` in slots `other` and `slot`
    edge_flip_sum,         // the flips sum to an odd number
    permutation_parity,    // corner and edge permutations differ in parity
};

struct StateFault {
    StateRule rule;
    std::uint8_t slot = 0;
    std::uint8_t other = 0;
    std::uint8_t value = 0;
};

namespace state_check_detail {

// One pass over a word without a data-dependent branch, for the common case
// of a valid state: the set of pieces seen, the orientation sum, whether an
// orientation is out of range, and the parity of the permutation, counted as
// its inversions (smaller pieces to the right of each piece).
struct WordSummary {
    unsigned pieces_seen = 0;  // bit p set when piece p occurs
    unsigned orientation_sum = 0;
    bool orientation_out_of_range = false;
    bool odd = false;
};

template <unsigned Slots, class Piece, class Orientation>
constexpr WordSummary summarize(Word word, Piece piece_of, Orientation orientation_of, Word largest) noexcept {
    WordSummary summary;
    unsigned inversions = 0;
    for (unsigned slot = Slots; slot-- > 0;) {
        const Word field = slot_field(word, slot);
        const auto piece = static_cast<unsigned>(piece_of(field));
        const Word orientation = orientation_of(field);
        inversions += static_cast<unsigned>(std::popcount(summary.pieces_seen & ((1u << piece) - 1)));
        summary.pieces_seen |= 1u << piece;
        summary.orientation_sum += static_cast<unsigned>(orientation);
        summary.orientation_out_of_range |= orientation > largest;
    }
    summary.odd = (inversions & 1) != 0;
    return summary;
}

// The first piece of a word that occurs twice, if any; `piece_mask` selects
// the piece bits of a field.
template <std::size_t N>
constexpr std::optional<StateFault> distinct_pieces(Word word, Word piece_mask, StateRule twice) noexcept {
    std::array<std::uint8_t, 16> seen_in{};  // slot + 1 where each piece was seen, 0 if not yet
    for (unsigned slot = 0; slot < N; ++slot) {
        const auto piece = static_cast<std::uint8_t>(slot_field(word, slot) & piece_mask);
        if (seen_in[piece] != 0) {
            return StateFault{twice, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(seen_in[piece] - 1),
                              piece};
        }
        seen_in[piece] = static_cast<std::uint8_t>(slot + 1);
    }
    return std::nullopt;
}

}  // namespace state_check_detail

// The first rule that a corner word known to be broken breaks.
constexpr std::optional<StateFault> corner_fault(Word corners) noexcept {
    using namespace state_check_detail;
    if ((corners & ~slots_mask(0, corner_slots)) != 0) return StateFault{StateRule::corner_bits_above};
    unsigned twist_sum = 0;
    for (unsigned slot = 0; slot < corner_slots; ++slot) {
        const Word twist = corner_twist(slot_field(corners, slot));
        if (twist > 2) {
            return StateFault{StateRule::corner_twist_range, static_cast<std::uint8_t>(slot), 0,
                              static_cast<std::uint8_t>(twist)};
        }
        twist_sum += static_cast<unsigned>(twist);
    }
    if (auto fault = distinct_pieces<corner_slots>(corners, corner_piece_mask, StateRule::corner_piece_twice)) {
        return fault;
    }
    if (twist_sum % 3 != 0) {
        return StateFault{StateRule::corner_twist_sum, 0, 0, static_cast<std::uint8_t>(twist_sum % 3)};
    }
    return std::nullopt;
}

// The first rule that an edge word known to be broken breaks.
constexpr std::optional<StateFault> edge_fault(Word edges) noexcept {
    using namespace state_check_detail;
    if ((edges & ~slots_mask(0, edge_slots)) != 0) return StateFault{StateRule::edge_bits_above};
    unsigned flip_sum = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot) {
        const Word field = slot_field(edges, slot);
        if (edge_piece(field) >= edge_slots) {
            return StateFault{StateRule::edge_piece_range, static_cast<std::uint8_t>(slot), 0,
                              static_cast<std::uint8_t>(edge_piece(field))};
        }
        flip_sum += static_cast<unsigned>(edge_flip(field));
    }
    if (auto fault = distinct_pieces<edge_slots>(edges, edge_piece_mask, StateRule::edge_piece_twice)) {
        return fault;
    }
    if (flip_sum % 2 != 0) return StateFault{StateRule::edge_flip_sum, 0, 0, 1};
    return std::nullopt;
}

// The first rule the corner word breaks, or nothing; `odd` receives the
// parity of its permutation when it breaks none.
constexpr std::optional<StateFault> check_corners(Word corners, bool& odd) noexcept {
    const auto summary =
        state_check_detail::summarize<corner_slots>(corners, corner_piece, corner_twist, Word{2});
    const bool valid = (corners & ~slots_mask(0, corner_slots)) == 0 && summary.pieces_seen == 0xffu &&
                       !summary.orientation_out_of_range && summary.orientation_sum % 3 == 0;
    if (!valid) [[unlikely]]
        return corner_fault(corners);
    odd = summary.odd;
    return std::nullopt;
}

// The same for an edge word.
constexpr std::optional<StateFault> check_edges(Word edges, bool& odd) noexcept {
    const auto summary = state_check_detail::summarize<edge_slots>(edges, edge_piece, edge_flip, Word{1});
    const bool valid =
        (edges & ~slots_mask(0, edge_slots)) == 0 && summary.pieces_seen == 0xfffu && summary.orientation_sum % 2 == 0;
    if (!valid) [[unlikely]]
        return edge_fault(edges);
    odd = summary.odd;
    return std::nullopt;
}

// The first rule that the state breaks, or nothing when the turns reach it.
constexpr std::optional<StateFault> check_state(Word corners) noexcept {
    bool odd = false;
    return check_corners(corners, odd);
}

constexpr std::optional<StateFault> check_state(Word corners, Word edges) noexcept {
    bool corners_odd = false;
    bool edges_odd = false;
    if (auto fault = check_corners(corners, corners_odd)) return fault;
    if (auto fault = check_edges(edges, edges_odd)) return fault;
    if (corners_odd != edges_odd) return StateFault{StateRule::permutation_parity};
    return std::nullopt;
}

constexpr std::optional<StateFault> check_state(const std::array<Word, 1>& words) noexcept {
    return check_state(words[0]);
}
constexpr std::optional<StateFault> check_state(const std::array<Word, 2>& words) noexcept {
    return check_state(words[0], words[1]);
}

// The text for a fault, such as "corner twists sum to 1 mod 3".
std::string describe(const StateFault& fault);

}  // namespace turnsmith
