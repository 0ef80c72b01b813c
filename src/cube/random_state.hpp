#pragma once
// Uniformly random states: every state the turns reach, equally likely. The
// pieces' order comes from one uniform draw below N! (a Lehmer code), every
// orientation but the last is drawn and the last one makes the sum whole. On the 3x3 a shuffle of the
// edges whose parity differs from the corners' has its last two edges
// swapped: each state is then reached from exactly two draws, so all stay
// equally likely.

#include <array>
#include <cstdint>
#include <utility>

#include "cube/random.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"

namespace turnsmith {
namespace random_state_detail {

// The permutation of N pieces whose Lehmer code is `code` (0 <= code < N!):
// slot s takes the d-th smallest piece not yet placed, d being the code's
// digit of radix N - s, least significant first. One uniform code is one
// uniform permutation, for a single draw. `odd` receives its parity, the
// parity of the digit sum.
template <unsigned N>
std::array<std::uint8_t, N> permutation_of_code(std::uint32_t code, bool& odd) noexcept {
    static_assert(N <= 16, "pieces are kept as nibbles of one word");
    std::uint64_t unplaced = 0;  // nibble i holds the i-th smallest piece not yet placed
    for (unsigned i = 0; i < N; ++i) unplaced |= std::uint64_t{i} << (4 * i);
    std::array<std::uint8_t, N> pieces{};
    unsigned digit_sum = 0;
    for (unsigned slot = 0; slot < N; ++slot) {
        const unsigned radix = N - slot;
        const unsigned digit = code % radix;
        code /= radix;
        digit_sum += digit;
        const unsigned shift = 4 * digit;
        pieces[slot] = static_cast<std::uint8_t>((unplaced >> shift) & 0xf);
        const std::uint64_t below = unplaced & ((std::uint64_t{1} << shift) - 1);
        unplaced = below | ((unplaced >> (shift + 4)) << shift);
    }
    odd = (digit_sum & 1) != 0;
    return pieces;
}

// A corner word with its pieces in random order and random twists: one draw
// for the order, one for the first seven twists (base-3 digits); the last
// twist makes the sum whole.
template <class Rng>
Word random_corners(Rng& rng, bool& odd) {
    const auto pieces = permutation_of_code<corner_slots>(draw_below(rng, factorial(corner_slots)), odd);
    Word word = twist_fields_of_digits(draw_below(rng, power_of_three(corner_slots - 1)));
    for (unsigned slot = 0; slot < corner_slots; ++slot) word |= Word{pieces[slot]} << slot_shift(slot);
    return word;
}

}  // namespace random_state_detail

template <class Rng>
Cube2x2 random_cube_2x2(Rng& rng) {
    bool odd = false;
    return Cube2x2(random_state_detail::random_corners(rng, odd));
}

template <class Rng>
Cube3x3 random_cube_3x3(Rng& rng) {
    using namespace random_state_detail;
    bool corners_odd = false;
    bool edges_odd = false;
    const Word corners = random_corners(rng, corners_odd);
    auto pieces = permutation_of_code<edge_slots>(draw_below(rng, factorial(edge_slots)), edges_odd);
    if (edges_odd != corners_odd) std::swap(pieces[edge_slots - 2], pieces[edge_slots - 1]);
    const std::uint32_t flip_bits = rng.next_u32();
    Word edges = 0;
    Word flip_sum = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot) {
        const Word flip = slot + 1 < edge_slots ? (flip_bits >> slot) & 1 : flip_sum & 1;
        flip_sum += flip;
        edges |= (pieces[slot] | (flip << flip_shift)) << slot_shift(slot);
    }
    return Cube3x3(corners, edges);
}

// A uniformly random state of cube type C.
template <Cube C, class Rng>
C random_cube(Rng& rng) {
    if constexpr (!C::has_edges) {
        return random_cube_2x2(rng);
    } else {
        return random_cube_3x3(rng);
    }
}

}  // namespace turnsmith
