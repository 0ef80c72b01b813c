#pragma once
// The batch loops of the 2x2's exact answers: numbers of states in and out,
// and distances read from the distance table.

#include <cstdint>
#include <span>

#include "cube/work_cost.hpp"
#include "cube/rank_2x2.hpp"
#include "cube/cube_2x2.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "engine/loops.hpp"
#include "engine/row_buffer.hpp"

namespace turnsmith {

// Element i is the number of cube i's state.
template <class Runner = AtOnce>
Rows<std::uint64_t> ranks_internal(std::span<const Cube2x2> cubes, Runner&& run = {}) {
    auto ranks = Rows<std::uint64_t>::zeroed(cubes.size(), 1);
    run(cubes.size(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) *ranks.row(i) = rank2x2::rank(cubes[i].corners);
    });
    return ranks;
}

// Cube i gets the state numbered ranks[i], each below rank2x2::state_count
// (checked by the caller).
template <class Runner = AtOnce>
void from_ranks_internal(std::span<const std::int64_t> ranks, std::span<Cube2x2> out, Runner&& run = {}) {
    run(out.size(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[i] = Cube2x2(rank2x2::word_of_rank(static_cast<std::uint32_t>(ranks[i])));
        }
    });
}

// Element i is cube i's distance from solved, or from any solved-looking
// cube with `modulo_rotation`: into `out`, or as rows.
inline void distances_into(const DistanceTable2x2& table, std::span<const Cube2x2> cubes, bool modulo_rotation,
                           std::span<std::uint8_t> out) {
    if (modulo_rotation) {
        table.distances_modulo_rotation(cubes, out);
    } else {
        table.distances(cubes, out);
    }
}

template <class Runner = AtOnce>
Rows<std::uint8_t> distances_internal(const DistanceTable2x2& table, std::span<const Cube2x2> cubes,
                                      bool modulo_rotation, Runner&& run = {}) {
    auto distances = Rows<std::uint8_t>::zeroed(cubes.size(), 1);
    run(cubes.size(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        distances_into(table, cubes.subspan(begin, end - begin), modulo_rotation,
                       std::span(distances.row(begin), end - begin));
    });
    return distances;
}

}  // namespace turnsmith
