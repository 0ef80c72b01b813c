#pragma once
// Scrambles without redundant moves: each move is drawn uniformly among
// those that the quarter-turn metric's rule (move_rules.hpp) lets follow the
// scramble so far, so every scramble is the one shortest spelling of its
// sequence of face turns.

#include <array>
#include <cstdint>

#include "cube/cube.hpp"
#include "cube/move_rules.hpp"
#include "cube/random.hpp"

namespace turnsmith::canonical_moves {

using Rules = MoveRules<Metric::quarter_turns>;

// Where a scramble stands: how its moves end (`start` before any).
using Step = Rules::Ending;
inline constexpr Step start = Rules::start;
inline constexpr std::size_t step_count = Rules::ending_count;

// The moves allowed at each step, in index order, to draw from.
struct Allowed {
    std::array<std::uint8_t, move_count> moves;
    std::uint8_t count;
};

inline constexpr std::array<Allowed, step_count> allowed = [] {
    std::array<Allowed, step_count> table{};
    for (std::size_t step = 0; step < step_count; ++step) {
        for (MoveIndex next = 0; next < move_count; ++next) {
            if (Rules::allows(static_cast<Step>(step), next))
                table[step].moves[table[step].count++] = static_cast<std::uint8_t>(next);
        }
    }
    return table;
}();

// The step after `move` is drawn at `step`.
constexpr Step step_after(Step step, MoveIndex move) noexcept { return Rules::after(step, move); }

// Draws the next move uniformly among those allowed at `step` and advances it.
template <class Rng>
MoveIndex draw(Rng& rng, Step& step) {
    const Allowed& choices = allowed[step];
    const MoveIndex move = choices.moves[draw_below(rng, choices.count)];
    step = step_after(step, move);
    return move;
}

}  // namespace turnsmith::canonical_moves
