#pragma once
// Numbers for 2x2 states: a perfect index of every reachable corner word, and
// of the states up to a turn of the whole cube.
//
// The index of a word is its permutation's rank times 3^7 plus its twists'
// rank. The permutation's rank is the Lehmer code read as a factorial number:
// digit s counts the later slots that hold a smaller piece. The twists' rank
// reads the twists of slots 0..6 as a base-3 number, slot 0 first; slot 7's
// twist follows from the others, since a reachable word's twists sum to 0
// mod 3. The solved word is 0, and every value below 8!·3^7 names one
// reachable word. Users store these numbers as labels: they never change.
//
// The same arithmetic with seven pieces numbers the states whose DFL corner
// (slot 7) is home and untwisted. Every state is a whole-cube turn away from
// exactly one of them, and U, R and B (which leave DFL alone) move among
// them: that is how the states are counted up to a turn of the whole cube.

#include <array>
#include <bit>
#include <cstdint>

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"

namespace turnsmith::rank2x2 {

// The number of set bits of each byte: a lookup, since the portable x86-64
// build has no popcount instruction.
inline constexpr std::array<std::uint8_t, 256> bits_set = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < table.size(); ++value)
        table[value] = static_cast<std::uint8_t>(std::popcount(value));
    return table;
}();

// States whose first `Pieces` slots hold pieces 0..Pieces-1 in any order and
// twist, the other slots solved: 8 for all states, 7 for those with DFL home.
template <unsigned Pieces>
struct CornerSpace {
    static_assert(Pieces == 7 || Pieces == 8);
    static constexpr std::uint32_t permutations = factorial(Pieces);
    static constexpr std::uint32_t twists = power_of_three(Pieces - 1);
    static constexpr std::uint32_t size = permutations * twists;

    static constexpr std::uint32_t permutation_rank(Word word) noexcept {
        std::uint32_t rank = 0;
        unsigned later = (1u << Pieces) - 1;  // the pieces of the slots not yet read
        for (unsigned slot = 0; slot < Pieces; ++slot) {
            const auto piece = static_cast<unsigned>(corner_piece(slot_field(word, slot)));
            const std::uint32_t smaller_later = bits_set[later & ((1u << piece) - 1)];
            rank += smaller_later * factorial(Pieces - 1 - slot);
            later &= ~(1u << piece);
        }
        return rank;
    }

    static constexpr std::uint32_t twist_rank(Word word) noexcept {
        std::uint32_t rank = 0;
        for (unsigned slot = 0; slot + 1 < Pieces; ++slot) {
            rank = rank * 3 + static_cast<std::uint32_t>(corner_twist(slot_field(word, slot)));
        }
        return rank;
    }

    static constexpr std::uint32_t rank(Word word) noexcept {
        return permutation_rank(word) * twists + twist_rank(word);
    }

    // The word of a permutation rank below `permutations` and a twist rank
    // below `twists`.
    static constexpr Word word(std::uint32_t permutation, std::uint32_t twist) noexcept {
        std::array<unsigned, corner_slots> pieces{};
        std::array<unsigned, corner_slots> twist_of{};
        unsigned left = (1u << Pieces) - 1;  // the pieces not yet placed
        for (unsigned slot = 0; slot < Pieces; ++slot) {
            const std::uint32_t weight = factorial(Pieces - 1 - slot);
            auto skip = permutation / weight;  // how many smaller pieces come later
            permutation %= weight;
            unsigned piece = static_cast<unsigned>(std::countr_zero(left));
            for (; skip > 0; --skip)
                piece = static_cast<unsigned>(std::countr_zero(left & ~((2u << piece) - 1)));
            pieces[slot] = piece;
            left &= ~(1u << piece);
        }
        unsigned sum = 0;
        for (unsigned slot = Pieces - 1; slot-- > 0;) {
            twist_of[slot] = twist % 3;
            twist /= 3;
            sum += twist_of[slot];
        }
        twist_of[Pieces - 1] = (3 - sum % 3) % 3;
        Word word = solved_corners & ~slots_mask(0, Pieces);  // the slots past the pieces stay solved
        for (unsigned slot = 0; slot < Pieces; ++slot) {
            word |= (Word{pieces[slot]} | Word{twist_of[slot]} << twist_shift) << slot_shift(slot);
        }
        return word;
    }

    static constexpr Word word_of_rank(std::uint32_t rank) noexcept {
        return word(rank / twists, rank % twists);
    }
};

using AllStates = CornerSpace<8>;
using DflHome = CornerSpace<7>;

inline constexpr std::uint32_t state_count = AllStates::size;
static_assert(state_count == 88'179'840);
static_assert(DflHome::size * 24 == state_count);
static_assert(AllStates::rank(solved_corners) == 0 && AllStates::word_of_rank(0) == solved_corners);

constexpr std::uint32_t rank(Word corners) noexcept { return AllStates::rank(corners); }
constexpr Word word_of_rank(std::uint32_t rank) noexcept { return AllStates::word_of_rank(rank); }

// ---- turns of the whole cube ------------------------------------------------

// `state` followed by the turns that made `turns` from the solved word: slot k
// receives what `state` holds in the slot that `turns` took its piece from,
// twisted as much as that piece was.
constexpr Word followed_by(Word state, Word turns) noexcept {
    Word result = 0;
    for (unsigned slot = 0; slot < corner_slots; ++slot) {
        const Word by = slot_field(turns, slot);
        const Word field = slot_field(state, static_cast<unsigned>(corner_piece(by)));
        const Word twist = (corner_twist(field) + corner_twist(by)) % 3;
        result |= (corner_piece(field) | twist << twist_shift) << slot_shift(slot);
    }
    return result;
}

// The 24 words of the solved cube turned as a whole: each is a product of
// opposite faces turned the same way round (U with D', R with L', F with B').
inline constexpr std::array<Word, 24> whole_cube_turns = [] {
    constexpr std::array<Word, 3> axes = {
        corner_word::turn<3>(corner_word::turn<0>(solved_corners)),   // U D'
        corner_word::turn<7>(corner_word::turn<4>(solved_corners)),   // R L'
        corner_word::turn<11>(corner_word::turn<8>(solved_corners)),  // F B'
    };
    std::array<Word, 24> found{solved_corners};
    std::size_t count = 1;
    for (std::size_t next = 0; next < count; ++next) {
        for (const Word axis : axes) {
            const Word turned = followed_by(found[next], axis);
            bool known = false;
            for (std::size_t i = 0; i < count; ++i) known = known || found[i] == turned;
            if (!known) found[count++] = turned;
        }
    }
    return count == found.size() ? found : std::array<Word, 24>{};
}();
static_assert(whole_cube_turns[23] != 0, "the whole-cube turns close in 24 words");

// For the slot s and twist t of piece 7 in a state, the whole-cube turn that
// brings it home untwisted: index 3s + t into whole_cube_turns.
inline constexpr std::array<std::uint8_t, 24> turn_bringing_dfl_home = [] {
    std::array<std::uint8_t, 24> by_place{};
    for (std::size_t turn = 0; turn < whole_cube_turns.size(); ++turn) {
        const Word seven = slot_field(whole_cube_turns[turn], 7);  // which slot ends in DFL, twisted how
        const auto slot = static_cast<unsigned>(corner_piece(seven));
        const auto twist = static_cast<unsigned>((3 - corner_twist(seven)) % 3);
        by_place[3 * slot + twist] = static_cast<std::uint8_t>(turn);
    }
    return by_place;
}();

// The state turned as a whole so that piece 7 sits home untwisted.
constexpr Word with_dfl_home(Word state) noexcept {
    for (unsigned slot = 0; slot < corner_slots; ++slot) {
        const Word field = slot_field(state, slot);
        if (corner_piece(field) == 7) {
            return followed_by(state,
                               whole_cube_turns[turn_bringing_dfl_home[3 * slot + corner_twist(field)]]);
        }
    }
    return state;  // not a state: no piece 7
}

// The number of a state's class of 24 (the state turned as a whole every way).
constexpr std::uint32_t class_rank(Word corners) noexcept { return DflHome::rank(with_dfl_home(corners)); }

// The moves that leave DFL alone, by which the classes are searched: U, U',
// R, R', B, B'.
inline constexpr std::array<MoveIndex, 6> dfl_home_moves = {0, 1, 4, 5, 10, 11};

}  // namespace turnsmith::rank2x2
