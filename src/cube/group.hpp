#pragma once
// The cube's states as a group: the inverse of a state, and the state that
// one state followed by another gives.
//
// A word says, slot by slot, which piece sits there and how it is turned.
// The turns move the contents of slots, adding to a piece's orientation an
// amount that depends only on where it came from and where it went. So the
// moves of b, applied to any state a, carry the contents of slot q along the
// very path on which they carry piece q from solved: slot s of "a, then b"
// holds what slot piece(b[s]) of a held, turned further by the orientation
// b[s] shows. The inverse is that composition undone: where slot s holds
// piece p turned by t, the inverse holds piece s in slot p turned by -t.

#include <array>
#include <cstddef>
#include <cstdint>

#include "cube/cube.hpp"

namespace turnsmith {

namespace group_detail {

// How one kind of word keeps its pieces: the slot count, the piece bits of a
// field, where the orientation starts and how many orientations there are.
struct WordKind {
    unsigned slots;
    Word piece_mask;
    unsigned orientation_shift;
    Word orientations;
};

inline constexpr WordKind corner_kind{corner_slots, corner_piece_mask, twist_shift, 3};
inline constexpr WordKind edge_kind{edge_slots, edge_piece_mask, flip_shift, 2};

// (a + b) mod n for a and b below n, without a division: a twist wraps mod 3,
// a flip mod 2.
constexpr Word add_orientations(Word a, Word b, Word n) noexcept {
    const Word sum = a + b;
    return sum >= n ? sum - n : sum;
}

// Piece numbers and orientations are those of reachable states: a piece
// beyond the word's slots or an orientation out of range is never passed in
// (batches and cubes hold checked states only).
template <WordKind K>
constexpr Word inverse_word(Word word) noexcept {
    Word out = 0;
    for (unsigned slot = 0; slot < K.slots; ++slot) {
        const Word field = slot_field(word, slot);
        const auto piece = static_cast<unsigned>(field & K.piece_mask);
        const Word orientation = field >> K.orientation_shift;
        const Word undone = orientation == 0 ? 0 : K.orientations - orientation;
        out |= (slot | (undone << K.orientation_shift)) << slot_shift(piece);
    }
    return out;
}

template <WordKind K>
constexpr Word compose_words(Word first, Word then) noexcept {
    Word out = 0;
    for (unsigned slot = 0; slot < K.slots; ++slot) {
        const Word moved = slot_field(then, slot);
        const Word field = slot_field(first, static_cast<unsigned>(moved & K.piece_mask));
        const Word orientation =
            add_orientations(field >> K.orientation_shift, moved >> K.orientation_shift, K.orientations);
        out |= ((field & K.piece_mask) | (orientation << K.orientation_shift)) << slot_shift(slot);
    }
    return out;
}

// The kinds of a cube's words, corners first.
template <Cube C, class F>
constexpr std::array<Word, C::word_count> map_words(F&& f) noexcept {
    if constexpr (C::has_edges) {
        return {f.template operator()<corner_kind>(0), f.template operator()<edge_kind>(1)};
    } else {
        return {f.template operator()<corner_kind>(0)};
    }
}

}  // namespace group_detail

// The state that undoes `cube`: `cube` followed by it is solved, and so is it
// followed by `cube`.
template <Cube C>
constexpr C inverse_of(const C& cube) noexcept {
    const auto words = cube.words();
    return C::from_words(group_detail::map_words<C>(
        [&]<group_detail::WordKind K>(std::size_t i) { return group_detail::inverse_word<K>(words[i]); }));
}

// The state that the moves of `first` followed by those of `then` give.
template <Cube C>
constexpr C compose(const C& first, const C& then) noexcept {
    const auto a = first.words();
    const auto b = then.words();
    return C::from_words(group_detail::map_words<C>(
        [&]<group_detail::WordKind K>(std::size_t i) { return group_detail::compose_words<K>(a[i], b[i]); }));
}

}  // namespace turnsmith
