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

#include "cubeBatch/pool.hpp"

namespace turnsmith {

// Items that all cost about one quarter turn (a turn, a projection).
struct UnitCost {
    constexpr std::uint64_t operator()(std::size_t) const noexcept { return 1; }
};

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
    if constexpr (std::is_same_v<std::remove_cvref_t<Cost>, UnitCost>) {
        return begin + std::min<std::uint64_t>(count - begin, std::max<std::uint64_t>(budget, 1));
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

// A few milliseconds of work for the pool: about a million quarter turns (or
// sticker rows) per two workers, whatever the pool's size.
inline std::uint64_t chunk_budget() { return std::uint64_t{pool_worker_count()} << 19; }

}  // namespace turnsmith
