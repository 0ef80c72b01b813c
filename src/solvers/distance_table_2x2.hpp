#pragma once
// The distance of every 2x2 state from solved, in quarter turns
// (Metric::quarter_turns, cube/move_rules.hpp): a table of
// all 88,179,840 states at 4 bits each (44 MB), and one of the 3,674,160
// classes of states that differ by a turn of the whole cube, for the distance
// to any solved-looking cube. Both are built by breadth-first searches over
// the states' numbers (cube/rank_2x2.hpp) on the worker pool, once, into the
// table cache (solvers/table_cache.hpp), which later processes map.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cube/cube.hpp"
#include "cube/rank_2x2.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/move_rules.hpp"
#include "engine/row_buffer.hpp"
#include "engine/work_control.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith {

// No state of the 2x2 is farther than this from solved, with or without
// turns of the whole cube.
inline constexpr unsigned max_distance_2x2 = MoveRules<Metric::quarter_turns>::diameter_2x2;

// Values of 4 bits, 16 to a word, each starting at `unknown`. During a
// search each word is written and read by one worker only, the one that owns
// it; afterwards the array is only read.
class NibbleArray {
public:
    static constexpr unsigned unknown = 15;

    explicit NibbleArray(std::size_t count);
    // The values of `words`, kept alive elsewhere for as long as this lives;
    // only read, never set.
    explicit NibbleArray(std::span<const std::uint64_t> words) noexcept
        : word_count_(words.size()), words_(words.data()) {}

    unsigned get(std::size_t index) const noexcept {
        return static_cast<unsigned>(words_[index / 16] >> shift(index)) & 15;
    }
    // Sets the value if it is unknown, without a branch, and says whether it was.
    bool set_if_unknown(std::size_t index, unsigned value) noexcept {
        std::uint64_t& word = static_cast<std::uint64_t*>(memory_.data())[index / 16];
        const std::uint64_t old = (word >> shift(index)) & 15;
        const bool was_unknown = old == unknown;
        word ^= ((old ^ value) * was_unknown) << shift(index);
        return was_unknown;
    }
    void prefetch(std::size_t index) const noexcept { __builtin_prefetch(&words_[index / 16]); }
    std::uint64_t word(std::size_t at) const noexcept { return words_[at]; }
    std::span<const std::uint64_t> words() const noexcept { return {words_, word_count_}; }

    std::size_t bytes() const noexcept { return word_count_ * sizeof(std::uint64_t); }

private:
    static constexpr unsigned shift(std::size_t index) noexcept {
        return static_cast<unsigned>(index % 16) * 4;
    }

    // Mapped with huge pages asked for: the reads land all over the table,
    // and with 4 KiB pages nearly every one would also miss the TLB.
    static row_memory::Owned allocate(std::size_t words);

    std::size_t word_count_;
    row_memory::Owned memory_{nullptr, 0};  // the values when they are this array's own
    const std::uint64_t* words_;
};

// A state of a space (cube/rank_2x2.hpp) by its two numbers.
struct SpacePlace {
    std::uint32_t permutation;
    std::uint32_t twist;
};

// The distances of one space of states under some moves, with the moves as
// tables of the permutation and twist numbers. The states of one permutation
// (a block) lie together in the table, padded to whole words.
template <class Space>
class SpaceDistances {
public:
    static constexpr std::size_t nibbles_per_block = (Space::twists + 15) / 16 * 16;
    // The words of the distances, and the most levels a search can find.
    static constexpr std::size_t distance_words = std::size_t{Space::permutations} * nibbles_per_block / 16;
    static constexpr std::size_t level_slots = NibbleArray::unknown;

    // Searches the space from its state 0 with `moves` (closed under
    // inverses), on the pool.
    explicit SpaceDistances(std::span<const MoveIndex> moves);
    // The distances that store() wrote to `stored` (distance_words, then
    // level_slots counts), which stays alive elsewhere.
    SpaceDistances(std::span<const MoveIndex> moves, std::span<const std::uint64_t> stored);

    // Writes the distances and the counts to `out` (distance_words +
    // level_slots words).
    void store(std::span<std::uint64_t> out) const noexcept;

    unsigned distance(SpacePlace state) const noexcept { return distances_.get(index(state)); }
    void prefetch(SpacePlace state) const noexcept { distances_.prefetch(index(state)); }

    // Fetches ahead the table rows that neighbour() reads for `state`.
    void prefetch_neighbours(SpacePlace state) const noexcept {
        __builtin_prefetch(&permutation_moves_[state.permutation * move_count_]);
        __builtin_prefetch(&permutation_moves_[state.permutation * move_count_ + move_count_ - 1]);
        __builtin_prefetch(&twist_moves_[state.twist * move_count_]);
    }
    // The state that move k (of the moves searched) makes of `state`.
    SpacePlace neighbour(SpacePlace state, std::size_t k) const noexcept {
        return {permutation_moves_[state.permutation * move_count_ + k],
                twist_moves_[state.twist * move_count_ + k]};
    }

    // How many states lie at each distance.
    const std::vector<std::uint64_t>& counts() const noexcept { return counts_; }
    std::size_t bytes() const noexcept;

private:
    static std::size_t index(SpacePlace state) noexcept {
        return state.permutation * nibbles_per_block + state.twist;
    }
    void make_move_tables(std::span<const MoveIndex> moves);
    void search();

    std::size_t move_count_;
    std::vector<std::uint16_t> permutation_moves_;
    std::vector<std::uint16_t> twist_moves_;     // by twist, then move: a state's neighbours in one line
    std::vector<std::uint16_t> twists_by_move_;  // by move, then twist: the search's order
    std::vector<std::size_t> inverse_;           // the move k' that undoes move k
    NibbleArray distances_;
    std::vector<std::uint64_t> counts_;
};

class DistanceTable2x2 {
public:
    // Runs both searches on the pool; throws std::bad_alloc when the memory
    // is not there.
    DistanceTable2x2();
    // The table that `file` (of table_kind()) holds, as loaded.
    DistanceTable2x2(tables::TableBytes file, TableReport report);

    // The table in the cache: both spaces as store() writes them.
    static tables::TableKind table_kind();
    // How this process made it ready (built in memory: the build's report).
    const TableReport& report() const noexcept { return report_; }

    // The fewest quarter turns that solve `corners` (a reachable word).
    unsigned distance(Word corners) const noexcept { return all_.distance(all_place(corners)); }
    // The fewest after which every face shows one colour.
    unsigned distance_modulo_rotation(Word corners) const noexcept {
        return classes_.distance(class_place(corners));
    }

    // Writes the moves of an optimal solution of `corners` to `out` and
    // returns their number (its distance). At each step the lowest move index
    // that brings the cube one turn closer.
    unsigned solution(Word corners, std::span<std::int8_t, max_distance_2x2> out) const noexcept;

    // Distances of many states at once, their table reads overlapped.
    void distances(std::span<const Cube2x2> cubes, std::span<std::uint8_t> out) const noexcept;
    void distances_modulo_rotation(std::span<const Cube2x2> cubes,
                                   std::span<std::uint8_t> out) const noexcept;
    // Solutions of many states at once (rows of max_distance_2x2, -1 after
    // the last move), their descents interleaved.
    void solutions(std::span<const Cube2x2> cubes, std::int8_t* rows) const noexcept;

    const SpaceDistances<rank2x2::AllStates>& all_states() const noexcept { return all_; }
    const SpaceDistances<rank2x2::DflHome>& classes() const noexcept { return classes_; }
    std::size_t bytes() const noexcept { return all_.bytes() + classes_.bytes(); }

private:
    static SpacePlace all_place(Word corners) noexcept {
        return {rank2x2::AllStates::permutation_rank(corners), rank2x2::AllStates::twist_rank(corners)};
    }
    static SpacePlace class_place(Word corners) noexcept {
        const Word home = rank2x2::with_dfl_home(corners);
        return {rank2x2::DflHome::permutation_rank(home), rank2x2::DflHome::twist_rank(home)};
    }

    tables::TableBytes file_;  // what all_ and classes_ read, when they were loaded
    TableReport report_;
    SpaceDistances<rank2x2::AllStates> all_;
    SpaceDistances<rank2x2::DflHome> classes_;
};

// The process's table, loaded or built on the first call (on the pool, by the
// first caller, while later ones wait; a failed build is retried by the next
// call). Call it with the thread detached from the interpreter: it may wait
// seconds. Problems of the cache are appended to `warnings`; Stopped when
// `control` asks to stop while another process builds the file.
const DistanceTable2x2& distance_table_2x2(std::vector<std::string>& warnings, WorkControl& control);
// The table if it is built, or null; never waits.
const DistanceTable2x2* distance_table_2x2_if_built() noexcept;
// How many builds of it this process has started.
std::uint64_t distance_table_2x2_builds() noexcept;

}  // namespace turnsmith
