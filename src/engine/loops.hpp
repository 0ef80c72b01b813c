// How a batch loop is run. Every parallel operation hands its loop to a
// runner: `run(count, cost, piece)` processes items 0..count-1 exactly once by
// calling `piece(begin, end)`, possibly from several workers at once, and
// `cost(i)` estimates the work of item i in quarter turns, for the runner that
// cuts a long loop into chunks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "cube/work_cost.hpp"
#include "engine/pool.hpp"

namespace turnsmith {

// The whole loop on the pool in one go.
struct AtOnce {
    template <class Cost, class Piece>
    void operator()(std::size_t count, Cost&&, Piece&& piece) const {
        parallel_for(count, piece);
    }
};

// The end of the chunk that starts at `begin`: the items up to and including
// the one that brings the chunk's cost to `budget`, at least one item.
template <class Cost>
std::size_t chunk_end(std::size_t begin, std::size_t count, Cost&& cost, std::uint64_t budget) {
    if constexpr (requires { std::remove_cvref_t<Cost>::turns; }) {
        const std::uint64_t items = std::max<std::uint64_t>(budget / std::remove_cvref_t<Cost>::turns, 1);
        return begin + std::min<std::uint64_t>(count - begin, items);
    } else {
        std::uint64_t spent = 0;
        std::size_t end = begin;
        while (end < count && spent < budget) spent += cost(end++);
        return std::max(end, begin + 1);
    }
}

// The loop cut into consecutive chunks of about `budget` quarter turns, each
// run on the pool by `around(run_chunk)`, so that the caller can act between
// chunks. A fork waits for the chunk that is running, not for the loop.
template <class Around>
struct InChunks {
    std::uint64_t budget;
    Around around;

    template <class Cost, class Piece>
    void operator()(std::size_t count, Cost&& cost, Piece&& piece) {
        for (std::size_t begin = 0; begin < count;) {
            const std::size_t end = chunk_end(begin, count, cost, budget);
            around([&] {
                parallel_for(end - begin, [&](std::size_t from, std::size_t to) { piece(begin + from, begin + to); });
            });
            begin = end;
        }
    }
};

// Runs a chunk with nothing around it.
struct Directly {
    template <class RunChunk>
    void operator()(RunChunk&& run_chunk) const {
        run_chunk();
    }
};

// About ten milliseconds of work for the pool whatever its size: 2^20
// quarter turns per worker. The calling thread is detached while a chunk runs,
// so only a fork waits for one; smaller chunks would lose more time at the
// end of each, where some workers already idle.
inline std::uint64_t chunk_budget() { return std::uint64_t{pool_worker_count()} << 20; }

}  // namespace turnsmith
