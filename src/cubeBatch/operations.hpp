// The parallel operations over the states of a batch. Every item touches only
// its own cube or its own output row, so the loops need no lock.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "cube/cube.hpp"
#include "cube/random.hpp"
#include "cubeBatch/loops.hpp"
#include "cubeBatch/row_buffer.hpp"

namespace turnsmith {

// Cube i receives lengths[i] random quarter turns (none when the length is not
// positive); cubes and lengths pair up to the shorter of the two.
template <Cube C, class Runner = AtOnce>
void scramble_batch_internal(std::span<C> cubes, std::span<const std::int64_t> lengths, Runner&& run = {}) {
    const std::size_t count = std::min(cubes.size(), lengths.size());
    // The estimate reads a length apart from the turns; a length changed in
    // between by another thread only moves a chunk boundary.
    const auto cost = [&](std::size_t i) { return std::uint64_t(std::max<std::int64_t>(lengths[i], 0)) + 1; };
    run(count, cost, [&](std::size_t begin, std::size_t end) {
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

// Cubes are turned in blocks of this many, grouped by move within a block.
inline constexpr std::size_t move_group_block = 256;

// Turns the cubes of one block grouped by move: with the move the same for a
// run of cubes, the dispatch on it is predicted right, where random moves
// would mispredict it for nearly every cube. A counting sort of the block's
// indexes gives the order; indexes of 12 or more form a last group that is
// never turned.
template <Cube C>
void apply_block_grouped(C* cubes, const std::uint64_t* indexes, std::size_t count) {
    const auto group = [&](std::size_t j) { return std::min<std::uint64_t>(indexes[j], move_count); };
    std::array<std::uint16_t, move_count + 2> start{};  // group m is order[start[m] .. start[m + 1])
    for (std::size_t j = 0; j < count; ++j) ++start[group(j) + 1];
    for (std::size_t m = 1; m < start.size(); ++m) start[m] += start[m - 1];
    std::array<std::uint16_t, move_count + 1> next;
    std::copy_n(start.begin(), next.size(), next.begin());
    std::array<std::uint16_t, move_group_block> order;
    for (std::size_t j = 0; j < count; ++j) order[next[group(j)]++] = static_cast<std::uint16_t>(j);
    for (MoveIndex m = 0; m < move_count; ++m) {
        for (std::size_t k = start[m]; k < start[m + 1]; ++k) apply_move_index_internal(cubes[order[k]], m);
    }
}

// Cube i is turned by move index indexes[i]; 12 or more leaves it unchanged.
template <Cube C, class Runner = AtOnce>
void apply_move_indexes_internal(std::span<C> cubes, std::span<const std::uint64_t> indexes, Runner&& run = {}) {
    const std::size_t count = std::min(cubes.size(), indexes.size());
    run(count, UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; i += move_group_block) {
            apply_block_grouped(cubes.data() + i, indexes.data() + i, std::min(move_group_block, end - i));
        }
    });
}

// Row r holds the sticker array of cube r.
template <Cube C, class Runner = AtOnce>
RowBuffer sticker_arrays_internal(std::span<const C> cubes, Runner&& run = {}) {
    RowBuffer rows = RowBuffer::zeroed(cubes.size(), C::sticker_dim);
    run(cubes.size(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            cubes[r].to_sticker_array_internal(rows.row(r));
        }
    });
    return rows;
}

}  // namespace turnsmith
