#pragma once
// Uniformly random states: every state the turns reach, equally likely. The
// pieces are shuffled (Fisher-Yates), every orientation but the last is
// drawn and the last one makes the sum whole. On the 3x3 a shuffle of the
// edges whose parity differs from the corners' has its last two edges
// swapped: each state is then reached from exactly two draws, so all stay
// equally likely.

#include <array>
#include <cstdint>
#include <utility>

#include "cube/random.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"

namespace turnsmith {
namespace random_state_detail {

// The pieces 0..N-1 in random order; `odd` receives the parity of the order.
template <std::size_t N, class Rng>
std::array<std::uint8_t, N> shuffled(Rng& rng, bool& odd) {
    std::array<std::uint8_t, N> pieces{};
    for (std::size_t i = 0; i < N; ++i) pieces[i] = static_cast<std::uint8_t>(i);
    odd = false;
    for (std::size_t i = N - 1; i > 0; --i) {
        const std::size_t j = draw_below(rng, static_cast<std::uint32_t>(i + 1));
        if (j != i) {
            std::swap(pieces[i], pieces[j]);
            odd = !odd;
        }
    }
    return pieces;
}

// A corner word with the pieces in random order and random twists.
template <class Rng>
Word random_corners(Rng& rng, bool& odd) {
    const auto pieces = shuffled<corner_slots>(rng, odd);
    Word word = 0;
    Word twist_sum = 0;
    for (unsigned slot = 0; slot < corner_slots; ++slot) {
        const Word twist = slot + 1 < corner_slots ? draw_below(rng, 3) : (3 - twist_sum % 3) % 3;
        twist_sum += twist;
        word |= (pieces[slot] | (twist << twist_shift)) << slot_shift(slot);
    }
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
    auto pieces = shuffled<edge_slots>(rng, edges_odd);
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
    if constexpr (std::is_same_v<C, Cube2x2>) {
        return random_cube_2x2(rng);
    } else {
        return random_cube_3x3(rng);
    }
}

}  // namespace turnsmith
