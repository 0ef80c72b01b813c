#pragma once
// R, L, F and B turns of the corner word, shared by the 3x3 and the 2x2.
// Each turn clears the four moved fields with one mask and ORs every moved
// piece back in at its new slot with its twist raised by 1 or 2 (mod 3).
// Slots are template arguments, so every turn compiles to a fixed sequence of
// shifts, masks and selects: no tables, no loops.

#include "cube/cube.hpp"

namespace turnsmith::corner_word {

// For t in 0..2 these are (t + 1) mod 3 and (t + 2) mod 3 without a division;
// both compile to conditional selects.
constexpr Word twist_plus_one(Word t) noexcept { return t < 2 ? t + 1 : t - 2; }
constexpr Word twist_plus_two(Word t) noexcept { return t == 0 ? 2 : t - 1; }

// "to <- from, twist + added"
struct CornerMove {
    unsigned to;
    unsigned from;
    unsigned added;
};

template <CornerMove M>
constexpr Word moved_corner(Word w) noexcept {
    static_assert(M.added == 1 || M.added == 2);
    const Word old_field = slot_field(w, M.from);
    const Word twist = corner_twist(old_field);
    const Word new_twist = M.added == 1 ? twist_plus_one(twist) : twist_plus_two(twist);
    return (corner_piece(old_field) | (new_twist << twist_shift)) << slot_shift(M.to);
}

template <CornerMove A, CornerMove B, CornerMove C, CornerMove D>
constexpr Word cycle(Word w) noexcept {
    constexpr Word cleared = mask_of_slots(A.to, B.to, C.to, D.to);
    return (w & ~cleared) | moved_corner<A>(w) | moved_corner<B>(w) | moved_corner<C>(w) | moved_corner<D>(w);
}

// Slots: 0 ULB, 1 UBR, 2 URF, 3 UFL, 4 DLB, 5 DBR, 6 DRF, 7 DFL.
constexpr Word r(Word w) noexcept {
    return cycle<CornerMove{1, 2, 1}, CornerMove{2, 6, 2}, CornerMove{5, 1, 2}, CornerMove{6, 5, 1}>(w);
}
constexpr Word r_prime(Word w) noexcept {
    return cycle<CornerMove{1, 5, 1}, CornerMove{2, 1, 2}, CornerMove{5, 6, 2}, CornerMove{6, 2, 1}>(w);
}
constexpr Word l(Word w) noexcept {
    return cycle<CornerMove{0, 4, 2}, CornerMove{3, 0, 1}, CornerMove{4, 7, 1}, CornerMove{7, 3, 2}>(w);
}
constexpr Word l_prime(Word w) noexcept {
    return cycle<CornerMove{0, 3, 2}, CornerMove{3, 7, 1}, CornerMove{4, 0, 1}, CornerMove{7, 4, 2}>(w);
}
constexpr Word f(Word w) noexcept {
    return cycle<CornerMove{2, 3, 1}, CornerMove{3, 7, 2}, CornerMove{6, 2, 2}, CornerMove{7, 6, 1}>(w);
}
constexpr Word f_prime(Word w) noexcept {
    return cycle<CornerMove{2, 6, 1}, CornerMove{3, 2, 2}, CornerMove{6, 7, 2}, CornerMove{7, 3, 1}>(w);
}
constexpr Word b(Word w) noexcept {
    return cycle<CornerMove{0, 1, 1}, CornerMove{1, 5, 2}, CornerMove{4, 0, 2}, CornerMove{5, 4, 1}>(w);
}
constexpr Word b_prime(Word w) noexcept {
    return cycle<CornerMove{0, 4, 1}, CornerMove{1, 0, 2}, CornerMove{4, 5, 2}, CornerMove{5, 1, 1}>(w);
}

}  // namespace turnsmith::corner_word
