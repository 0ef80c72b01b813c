// The parallel operations over the states of a batch. Every item touches only
// its own cube or its own output row, so the loops need no lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "cube/cube.hpp"
#include "cube/random.hpp"
#include "cubeBatch/pool.hpp"
#include "cubeBatch/row_buffer.hpp"

namespace turnsmith {

// Cube i receives lengths[i] random quarter turns (none when the length is not
// positive); cubes and lengths pair up to the shorter of the two.
template <Cube C>
void scramble_batch_internal(std::span<C> cubes, std::span<const std::int64_t> lengths) {
    const std::size_t count = std::min(cubes.size(), lengths.size());
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        // One generator per work piece, keyed from the running worker's own generator.
        PieceRng rng = seed_piece_rng(thread_rng());
        for (std::size_t i = begin; i < end; ++i) {
            // Read once: the caller's array is not locked against other writers.
            const std::int64_t length = lengths[i];
            C cube = cubes[i];
            for (std::int64_t turn = 0; turn < length; ++turn)
                apply_move_index_internal(cube, draw_move_index(rng));
            cubes[i] = cube;
        }
    });
}

// Cube i is turned by move index indexes[i]; 12 or more leaves it unchanged.
template <Cube C>
void apply_move_indexes_internal(std::span<C> cubes, std::span<const std::uint64_t> indexes) {
    const std::size_t count = std::min(cubes.size(), indexes.size());
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) apply_move_index_internal(cubes[i], indexes[i]);
    });
}

// Row r holds the sticker array of cube r.
template <Cube C>
RowBuffer sticker_arrays_internal(std::span<const C> cubes) {
    RowBuffer rows = RowBuffer::zeroed(cubes.size(), C::sticker_dim);
    parallel_for(cubes.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            cubes[r].to_sticker_array_internal(rows.row(r));
        }
    });
    return rows;
}

}  // namespace turnsmith
