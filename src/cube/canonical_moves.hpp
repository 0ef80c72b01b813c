#pragma once
// Scrambles without redundant moves. The moves come in runs on one axis
// (U/D, R/L, F/B); within a run each face turns at most once, as X, X' or
// X X (a half turn, never X' X'), U before D, R before L, F before B; the runs
// alternate axes. So no scramble holds X X X, X X', X' X' or a commuting pair
// in both orders (U D U, U D U' equal shorter sequences), and every sequence
// of face turns has exactly one such spelling of least length.
//
// What may come next depends on the last move only, and on whether it began
// its face's turn (then X may follow X, making X X): 25 steps, each with its
// list of allowed moves, from which the next is drawn uniformly.

#include <array>
#include <cstdint>

#include "cube/cube.hpp"
#include "cube/random.hpp"

namespace turnsmith::canonical_moves {

// Faces in the move table's order: face f turns by moves 2f and 2f+1, and
// faces 2a and 2a+1 share axis a, the first of them (U, R, F) turning first.
constexpr unsigned face_of(MoveIndex move) noexcept { return static_cast<unsigned>(move / 2); }
constexpr unsigned axis_of(MoveIndex move) noexcept { return static_cast<unsigned>(move / 4); }
constexpr bool turns_first(MoveIndex move) noexcept { return face_of(move) % 2 == 0; }
static_assert(moves[0].face == 'U' && moves[2].face == 'D' && moves[4].face == 'R' && moves[6].face == 'L' &&
              moves[8].face == 'F' && moves[10].face == 'B');

// The step after `last`: 2 last + 1 when X may follow (last is a clockwise
// turn that began its face's turn), 2 last otherwise; `start` before any move.
using Step = std::uint8_t;
inline constexpr Step start = 2 * move_count;
inline constexpr std::size_t step_count = 2 * move_count + 1;

struct Allowed {
    std::array<std::uint8_t, move_count> moves;
    std::uint8_t count;
};

constexpr bool allowed_after(Step step, MoveIndex next) noexcept {
    if (step == start) return true;
    const MoveIndex last = step / 2;
    const bool may_repeat = step % 2 == 1;
    if (face_of(next) == face_of(last)) return may_repeat && next == last;
    if (axis_of(next) == axis_of(last)) return turns_first(last);  // the run's second face, once
    return true;
}

inline constexpr std::array<Allowed, step_count> allowed = [] {
    std::array<Allowed, step_count> table{};
    for (Step step = 0; step < step_count; ++step) {
        // A step that cannot occur: a prime turn never begins a repeatable turn.
        if (step != start && step % 2 == 1 && moves[step / 2].prime) continue;
        for (MoveIndex next = 0; next < move_count; ++next) {
            if (allowed_after(step, next))
                table[step].moves[table[step].count++] = static_cast<std::uint8_t>(next);
        }
    }
    return table;
}();
static_assert(allowed[start].count == 12);
static_assert(allowed[2 * 0 + 1].count == 11);  // after U: U, D, D' or another axis
static_assert(allowed[2 * 1].count == 10);      // after U': D, D' or another axis
static_assert(allowed[2 * 2 + 1].count == 9);   // after D: D or another axis

// The step after `move` is drawn at `step`.
constexpr Step step_after(Step step, MoveIndex move) noexcept {
    const bool begins_turn = step == start || step / 2 != move;
    return static_cast<Step>(2 * move + (begins_turn && !moves[move].prime ? 1 : 0));
}

// Draws the next move uniformly among those allowed at `step` and advances it.
template <class Rng>
MoveIndex draw(Rng& rng, Step& step) {
    const Allowed& choices = allowed[step];
    const MoveIndex move = choices.moves[draw_below(rng, choices.count)];
    step = step_after(step, move);
    return move;
}

}  // namespace turnsmith::canonical_moves
