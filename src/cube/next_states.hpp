// Successor states: for every cube, the sticker arrays of its twelve
// quarter-turn successors, one row each. The rows are filled by the loop
// runner the caller passes in (the batch engine's), divided by output row.
#pragma once

#include <cstddef>
#include <limits>
#include <span>

#include "cube/cube.hpp"
#include "base/fault.hpp"
#include "cube/work_cost.hpp"

namespace turnsmith {

inline constexpr std::size_t successors_per_cube = move_count;

// Row r: cube r / 12 turned by move index r % 12, projected into `out`.
template <Cube C, class Out>
constexpr void write_successor_row(std::span<const C> states, std::size_t row, Out&& out) {
    C successor = states[row / successors_per_cube];
    apply_move_index_internal(successor, row % successors_per_cube);
    successor.to_sticker_array_internal(out);
}

// Row 12 * i + m holds cube i turned by move index m. The input is only read.
// `Rows` is the output buffer (Rows::zeroed(rows, columns), rows(), row(r));
// `run(count, cost, piece)` runs the loop over the rows.
template <class Rows, Cube C, class Runner>
Rows next_states_internal(std::span<const C> states, Runner&& run) {
    if (states.size() > std::numeric_limits<std::size_t>::max() / successors_per_cube) {
        internal_fault("capacity overflow");
    }
    Rows rows = Rows::zeroed(states.size() * successors_per_cube, C::sticker_dim);
    run(rows.rows(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) write_successor_row(states, r, rows.row(r));
    });
    return rows;
}

}  // namespace turnsmith
