// Successor states: for every cube, the sticker arrays of its twelve
// quarter-turn successors, one row each, filled in parallel by output row.
#pragma once

#include <algorithm>
#include <limits>
#include <span>

#include "cube/cube.hpp"
#include "cube/fault.hpp"
#include "cubeBatch/loops.hpp"
#include "cubeBatch/row_buffer.hpp"

namespace turnsmith {

// Row 12 * i + m holds cube i turned by move index m. The input is only read.
template <Cube C, class Runner = AtOnce>
RowBuffer next_states_internal(std::span<const C> states, Runner&& run = {}) {
    constexpr std::size_t moves = move_count;
    if (states.size() > std::numeric_limits<std::size_t>::max() / moves) internal_fault("capacity overflow");
    RowBuffer rows = RowBuffer::zeroed(states.size() * moves, C::sticker_dim);
    run(rows.rows(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            C successor = states[r / moves];
            apply_move_index_internal(successor, r % moves);
            successor.to_sticker_array_internal(rows.row(r));
        }
    });
    return rows;
}

}  // namespace turnsmith
