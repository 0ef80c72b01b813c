#pragma once
// Which turn may follow which, by the metric that counts the turns: the one
// spelling of every sequence of face turns that the searches walk and the
// canonical scrambles draw.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "cube/moves.hpp"

namespace turnsmith {

// How the length of a sequence of turns is counted. Every move of the move
// table is a quarter turn and costs one, so a half turn costs two; the
// distances in the solvers' tables, their bounds, the diameters and the
// lengths of solutions and scrambles are all counted so.
enum class Metric { quarter_turns };

template <Metric M>
struct MoveRules;

// The quarter-turn metric's rule. The moves come in runs on one axis (U/D,
// R/L, F/B): within a run each face turns at most once, as X, X' or X X (a
// half turn, never X' X'), U before D, R before L, F before B. So no sequence
// holds X X X, X X', X' X' or a commuting pair in both orders, and every
// sequence of face turns has exactly one such spelling among its shortest
// ones, the lexicographically least by move index: a search that keeps to
// them loses no shortest solution, and finds the least one first.
struct QuarterTurnRule {
    // Faces in the move table's order: face f turns by moves 2f and 2f+1, and
    // faces 2a and 2a+1 share axis a, the first of them (U, R, F) turning first.
    static constexpr unsigned face_of(MoveIndex move) noexcept { return static_cast<unsigned>(move / 2); }
    static constexpr unsigned axis_of(MoveIndex move) noexcept { return static_cast<unsigned>(move / 4); }
    static constexpr bool turns_first(MoveIndex move) noexcept { return face_of(move) % 2 == 0; }

    // How a sequence ends, all that the rule needs: its last move and whether
    // the move before was the same one (2 last + 1), or `start` before any.
    using Ending = std::uint8_t;
    static constexpr Ending start = 2 * move_count;
    static constexpr std::size_t ending_count = 2 * move_count + 1;

    static constexpr Ending after(Ending ending, MoveIndex move) noexcept {
        return static_cast<Ending>(2 * move + (repeats(ending, move) ? 1 : 0));
    }

    // Whether `next` is a face's second quarter turn in a row.
    static constexpr bool repeats(Ending ending, MoveIndex next) noexcept {
        return ending != start && ending / 2 == next;
    }

    static constexpr bool may_follow(Ending ending, MoveIndex next) noexcept {
        if (ending == start) return true;
        const MoveIndex last = ending / 2;
        if (face_of(next) == face_of(last)) return next == last && ending % 2 == 0 && !moves[last].prime;
        if (axis_of(next) == axis_of(last)) return turns_first(last);  // the run's second face, once
        return true;
    }

    // Every quarter turn flips the parity of the corners' permutation, so
    // all the sequences that solve one state have one parity: a search that
    // deepens its bound steps by two.
    static constexpr unsigned deepening_step = 2;

    // No state lies farther from solved (on the 2x2, with or without turns
    // of the whole cube).
    static constexpr unsigned diameter_2x2 = 14;
    static constexpr unsigned diameter_3x3 = 26;
};

// A metric's rule with the moves that may follow each ending as bits by move
// index, none after an ending that cannot occur (a move doubled that may not
// follow itself).
template <class Rule>
struct RuleTable : Rule {
    static constexpr std::array<std::uint16_t, Rule::ending_count> next_moves = [] {
        std::array<std::uint16_t, Rule::ending_count> table{};
        for (std::size_t ending = 0; ending < Rule::ending_count; ++ending) {
            const auto end = static_cast<typename Rule::Ending>(ending);
            if (ending != Rule::start && ending % 2 == 1 && !Rule::may_follow(end - 1, ending / 2)) continue;
            for (MoveIndex next = 0; next < move_count; ++next) {
                if (Rule::may_follow(end, next)) table[ending] |= std::uint16_t(1u << next);
            }
        }
        return table;
    }();

    static constexpr bool allows(typename Rule::Ending ending, MoveIndex next) noexcept {
        return (next_moves[ending] >> next) & 1;
    }
};

template <>
struct MoveRules<Metric::quarter_turns> : RuleTable<QuarterTurnRule> {};

static_assert(std::popcount(MoveRules<Metric::quarter_turns>::next_moves[QuarterTurnRule::start]) == 12);
static_assert(std::popcount(MoveRules<Metric::quarter_turns>::next_moves[2 * 0]) == 11);      // after U: U, D, D', others
static_assert(std::popcount(MoveRules<Metric::quarter_turns>::next_moves[2 * 0 + 1]) == 10);  // after U U: D, D', others
static_assert(std::popcount(MoveRules<Metric::quarter_turns>::next_moves[2 * 1]) == 10);      // after U': D, D', others
static_assert(std::popcount(MoveRules<Metric::quarter_turns>::next_moves[2 * 2]) == 9);       // after D: D, others
static_assert(MoveRules<Metric::quarter_turns>::next_moves[2 * 1 + 1] == 0);                   // U' U' never occurs

}  // namespace turnsmith
