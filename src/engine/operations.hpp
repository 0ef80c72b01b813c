// The parallel operations over the states of a batch. Every item touches only
// its own cube or its own output row, so the loops need no lock.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "cube/canonical_moves.hpp"
#include "cube/cube.hpp"
#include "cube/random.hpp"
#include "cube/random_state.hpp"
#include "engine/loops.hpp"
#include "engine/row_buffer.hpp"

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

// ---- states in and out ---------------------------------------------------

// Row r holds the sticker codes of cube r as bytes.
template <Cube C, class Runner = AtOnce>
Rows<std::uint8_t> sticker_bytes_internal(std::span<const C> cubes, Runner&& run = {}) {
    auto rows = Rows<std::uint8_t>::zeroed(cubes.size(), C::sticker_dim);
    run(cubes.size(), RowCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) cubes[r].to_sticker_array_internal(rows.row(r));
    });
    return rows;
}

// Row r holds the words of cube r, corners first.
template <Cube C, class Runner = AtOnce>
Rows<std::uint64_t> words_internal(std::span<const C> cubes, Runner&& run = {}) {
    auto rows = Rows<std::uint64_t>::zeroed(cubes.size(), C::word_count);
    run(cubes.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const auto words = cubes[r].words();
            std::copy(words.begin(), words.end(), rows.row(r));
        }
    });
    return rows;
}

// Element i tells whether cube i is solved.
template <Cube C, class Runner = AtOnce>
Rows<bool> solved_flags_internal(std::span<const C> cubes, Runner&& run = {}) {
    auto flags = Rows<bool>::zeroed(cubes.size(), 1);
    run(cubes.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) *flags.row(i) = cubes[i].is_solved();
    });
    return flags;
}

// Cube i of `out` is cube indexes[i] of `cubes`, a negative index counting
// from the end. The indexes were checked, but they are the caller's array:
// each is read once and checked again, and false is returned (the cube taken
// from position 0 instead) if one changed meanwhile to a position out of range.
template <Cube C, class Runner = AtOnce>
bool take_internal(std::span<const C> cubes, std::span<const std::int64_t> indexes, std::span<C> out,
                   Runner&& run = {}) {
    const auto count = static_cast<std::int64_t>(cubes.size());
    std::atomic<bool> all_in_range{true};
    run(out.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::int64_t index = indexes[i];
            const std::int64_t position = index < 0 ? index + count : index;
            if (position < 0 || position >= count) [[unlikely]] {
                all_in_range.store(false, std::memory_order_relaxed);
                out[i] = cubes[0];
                continue;
            }
            out[i] = cubes[static_cast<std::size_t>(position)];
        }
    });
    return all_in_range.load(std::memory_order_relaxed);
}

// Which writes of put_internal land: entry j unless a later entry names the
// same row. Rows that only ever increase (a mask, a slice) repeat none.
inline std::vector<bool> last_writes(std::span<const std::int64_t> rows, std::size_t count) {
    std::vector<bool> lands(rows.size(), true);
    if (std::adjacent_find(rows.begin(), rows.end(), std::greater_equal<>{}) == rows.end()) return lands;
    std::vector<bool> written(count, false);
    for (std::size_t j = rows.size(); j-- > 0;) {
        const auto row = static_cast<std::size_t>(rows[j]);
        lands[j] = !written[row];
        written[row] = true;
    }
    return lands;
}

// Cube rows[j] (each in range) becomes values[j]; a row named twice keeps
// the later value, as NumPy's a[rows] = values does.
template <Cube C, class Runner = AtOnce>
void put_internal(std::span<C> cubes, std::span<const std::int64_t> rows, std::span<const C> values,
                  Runner&& run = {}) {
    const std::vector<bool> lands = last_writes(rows, cubes.size());
    run(rows.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            if (lands[j]) cubes[static_cast<std::size_t>(rows[j])] = values[j];
        }
    });
}

// Cube k * i + j of `out` is cube i turned by moves[j] (each 0..11), k being
// the number of moves. The cubes go in blocks, and within a block one move at
// a time: the turn is then chosen once per move and block, not once per
// successor, where a repeating pattern of twelve moves defeats the branch
// predictor.
template <Cube C, class Runner = AtOnce>
void next_batch_internal(std::span<const C> cubes, std::span<const MoveIndex> moves, std::span<C> out,
                         Runner&& run = {}) {
    constexpr std::size_t block = 256;
    const std::size_t k = moves.size();
    if (k == 0) return;
    const auto cost = [k](std::size_t) { return std::uint64_t{k}; };
    run(cubes.size(), cost, [&](std::size_t begin, std::size_t end) {
        for (std::size_t first = begin; first < end; first += block) {
            const std::size_t last = std::min(end, first + block);
            for (std::size_t j = 0; j < k; ++j) {
                visit_move(moves[j], [&]<MoveIndex M>() {
                    for (std::size_t i = first; i < last; ++i) {
                        C successor = cubes[i];
                        turn<M>(successor);
                        out[i * k + j] = successor;
                    }
                });
            }
        }
    });
}

// Runs `body(rng, i)` for cubes begin..end-1: with a seed, cube i draws from
// its own seeded stream; without, a piece's cubes share a generator keyed
// from the worker's thread generator.
template <class Body>
void with_draws(std::optional<std::uint64_t> seed, std::size_t begin, std::size_t end, Body&& body) {
    if (seed) {
        for (std::size_t i = begin; i < end; ++i) {
            SeededRng rng = seeded_rng(*seed, i);
            body(rng, i);
        }
    } else {
        PieceRng rng = seed_piece_rng(thread_rng());
        for (std::size_t i = begin; i < end; ++i) body(rng, i);
    }
}

// Every cube becomes a uniformly random state.
template <Cube C, class Runner = AtOnce>
void randomize_internal(std::span<C> cubes, std::optional<std::uint64_t> seed, Runner&& run = {}) {
    run(cubes.size(), FixedCost<24>{}, [&](std::size_t begin, std::size_t end) {
        with_draws(seed, begin, end, [&](auto& rng, std::size_t i) { cubes[i] = random_cube<C>(rng); });
    });
}

// Which moves a recorded scramble may draw next: any of the twelve, any but
// the inverse of the last, or only those of the canonical spelling
// (cube/canonical_moves.hpp).
enum class ScrambleRule { any, avoid_inverse, canonical };

// Like scramble_batch_internal, and row i of `moves` (already -1 throughout)
// receives the moves applied to cube i, drawn under `rule`.
template <Cube C, class Runner = AtOnce>
void scramble_recording_internal(std::span<C> cubes, std::span<const std::int64_t> lengths,
                                 Rows<std::int8_t>& moves, std::optional<std::uint64_t> seed, ScrambleRule rule,
                                 Runner&& run = {}) {
    const std::size_t count = std::min(cubes.size(), lengths.size());
    const auto cost = [&](std::size_t i) { return std::uint64_t(std::max<std::int64_t>(lengths[i], 0)) + 1; };
    run(count, cost, [&](std::size_t begin, std::size_t end) {
        with_draws(seed, begin, end, [&](auto& rng, std::size_t i) {
            // Read once: the caller's array is not locked against other writers.
            const auto length = static_cast<std::size_t>(
                std::clamp<std::int64_t>(lengths[i], 0, static_cast<std::int64_t>(moves.cols())));
            std::int8_t* row = moves.row(i);
            C cube = cubes[i];
            MoveIndex move = move_count;
            canonical_moves::Step step = canonical_moves::start;
            for (std::size_t turn = 0; turn < length; ++turn) {
                switch (rule) {
                    case ScrambleRule::any: move = draw_move_index(rng); break;
                    case ScrambleRule::avoid_inverse:
                        move = turn > 0 ? draw_move_index_after(rng, move) : draw_move_index(rng);
                        break;
                    case ScrambleRule::canonical: move = canonical_moves::draw(rng, step); break;
                }
                apply_move_index_internal(cube, move);
                row[turn] = static_cast<std::int8_t>(move);
            }
            cubes[i] = cube;
        });
    });
}

// The same with `avoid_inverse` choosing between the first two rules.
template <Cube C, class Runner = AtOnce>
void scramble_recording_internal(std::span<C> cubes, std::span<const std::int64_t> lengths,
                                 Rows<std::int8_t>& moves, std::optional<std::uint64_t> seed, bool avoid_inverse,
                                 Runner&& run = {}) {
    scramble_recording_internal(cubes, lengths, moves, seed,
                                avoid_inverse ? ScrambleRule::avoid_inverse : ScrambleRule::any,
                                std::forward<Runner>(run));
}

// Row i of `moves` (`width` move indexes, -1 ending a row early) is applied
// to cube i; rows and cubes pair up to the shorter of the two.
template <Cube C, class Runner = AtOnce>
void apply_move_sequences_internal(std::span<C> cubes, const std::int8_t* moves, std::size_t rows, std::size_t width,
                                   Runner&& run = {}) {
    const std::size_t count = std::min(cubes.size(), rows);
    run(count, FixedCost<1>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            C cube = cubes[i];
            const std::int8_t* row = moves + i * width;
            for (std::size_t k = 0; k < width; ++k) {
                const std::int8_t move = row[k];  // read once: the caller's array
                if (move < 0) break;
                apply_move_index_internal(cube, static_cast<MoveIndex>(move));
            }
            cubes[i] = cube;
        }
    });
}

// The first row that fails `check_row(i)` (which returns whether row i is
// good), or `count` when none does; rows may be checked out of order and in
// parallel, and the checks stop early once a bad row is known before them.
template <class CheckRow, class Runner = AtOnce>
std::size_t first_bad_row(std::size_t count, CheckRow&& check_row, Runner&& run = {}) {
    std::atomic<std::size_t> first{count};
    run(count, UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end && i < first.load(std::memory_order_relaxed); ++i) {
            if (check_row(i)) continue;
            std::size_t known = first.load(std::memory_order_relaxed);
            while (i < known && !first.compare_exchange_weak(known, i, std::memory_order_relaxed)) {
            }
            return;
        }
    });
    return first.load(std::memory_order_relaxed);
}

}  // namespace turnsmith
