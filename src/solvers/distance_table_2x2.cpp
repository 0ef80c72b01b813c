#include "solvers/distance_table_2x2.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>

#include "base/fork.hpp"
#include "cube/cube_2x2.hpp"
#include "engine/built_once.hpp"
#include "engine/pool.hpp"
#include "solvers/solution_rows.hpp"

namespace turnsmith {
namespace {

constexpr std::uint64_t every_nibble = 0x1111'1111'1111'1111;

// The top bit of each of the word's 16 values that equals `value`, and no
// other bit: a zero nibble of the difference, found without a loop or a carry
// from one nibble into the next.
constexpr std::uint64_t nibbles_equal(std::uint64_t word, unsigned value) noexcept {
    constexpr std::uint64_t low_bits = every_nibble * 7;
    const std::uint64_t differs = word ^ (every_nibble * value);
    return ~(((differs & low_bits) + low_bits) | differs | low_bits);
}
static_assert(nibbles_equal(0xFFFF'FFFF'FFFF'F3FF, 3) == 0x0000'0000'0000'0800);
static_assert(nibbles_equal(0x0F1F'FFFF'FFFF'FFF0, 0) == 0x8000'0000'0000'0008);
static_assert(nibbles_equal(0x1234'5678'9ABC'DEF1, 0) == 0);

// Calls `f(position)` for every set bit of `bits`, lowest first.
template <class F>
void for_each_bit(std::uint64_t bits, F&& f) {
    for (; bits != 0; bits &= bits - 1) f(static_cast<unsigned>(std::countr_zero(bits)));
}

constexpr std::array<MoveIndex, move_count> all_moves = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

Word turned(Word corners, MoveIndex move) noexcept {
    Cube2x2 cube(corners);
    apply_move_index_internal(cube, move);
    return cube.corners;
}

// One bit per state, a block of whole words per permutation: the states of
// one level of a search. During a level, the level's set is only read and
// each block of the next one is written by its owner only.
template <class Space>
class LevelSet {
public:
    static constexpr std::size_t words_per_block = (Space::twists + 63) / 64;

    LevelSet()
        : bits_(std::make_unique<std::uint64_t[]>(Space::permutations * words_per_block)),
          any_(std::make_unique<bool[]>(Space::permutations)) {}

    bool contains(SpacePlace state) const noexcept {
        return (block(state.permutation)[state.twist / 64] >> (state.twist % 64)) & 1;
    }
    void add_if(SpacePlace state, bool added) noexcept {
        words_of(state.permutation)[state.twist / 64] |= std::uint64_t{added} << (state.twist % 64);
    }
    // Whether the block holds any state of the set.
    bool any_in(std::uint32_t permutation) const noexcept { return any_[permutation]; }
    void mark(std::uint32_t permutation, bool any) noexcept { any_[permutation] = any; }
    void clear_block(std::uint32_t permutation) noexcept {
        std::fill_n(words_of(permutation), words_per_block, std::uint64_t{0});
        any_[permutation] = false;
    }
    const std::uint64_t* block(std::uint32_t permutation) const noexcept {
        return bits_.get() + permutation * words_per_block;
    }

private:
    std::uint64_t* words_of(std::uint32_t permutation) noexcept {
        return bits_.get() + permutation * words_per_block;
    }

    std::unique_ptr<std::uint64_t[]> bits_;
    std::unique_ptr<bool[]> any_;
};

// Runs `visit(block)` over every block on the pool, each block by one worker,
// and returns the sum of what the visits return.
template <class Visit>
std::uint64_t over_blocks(std::size_t blocks, Visit&& visit) {
    std::atomic<std::uint64_t> total = 0;
    parallel_for(blocks, [&](std::size_t begin, std::size_t end) {
        std::uint64_t here = 0;
        for (std::size_t block = begin; block < end; ++block)
            here += visit(static_cast<std::uint32_t>(block));
        total.fetch_add(here, std::memory_order_relaxed);
    });
    return total.load(std::memory_order_relaxed);
}

}  // namespace

// ---- the 4-bit values ---------------------------------------------------------

row_memory::Owned NibbleArray::allocate(std::size_t words) {
    const std::size_t bytes = words * sizeof(std::uint64_t);
    void* memory = row_memory::allocate_zeroed_bytes(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return {memory, bytes};
}

NibbleArray::NibbleArray(std::size_t count)
    : word_count_((count + 15) / 16),
      memory_(allocate(word_count_)),
      words_(static_cast<std::uint64_t*>(memory_.data())) {
    auto* words = static_cast<std::uint64_t*>(memory_.data());
    parallel_for(word_count_, [&](std::size_t begin, std::size_t end) {
        std::fill(words + begin, words + end, ~std::uint64_t{0});
    });
}

// ---- one space searched -------------------------------------------------------

template <class Space>
SpaceDistances<Space>::SpaceDistances(std::span<const MoveIndex> moves)
    : distances_(std::size_t{Space::permutations} * nibbles_per_block) {
    make_move_tables(moves);
    search();
}

template <class Space>
SpaceDistances<Space>::SpaceDistances(std::span<const MoveIndex> moves, std::span<const std::uint64_t> stored)
    : distances_(stored.first(distance_words)) {
    make_move_tables(moves);
    for (const std::uint64_t count : stored.subspan(distance_words, level_slots)) {
        if (count == 0) break;  // every level of a search holds a state
        counts_.push_back(count);
    }
}

template <class Space>
void SpaceDistances<Space>::store(std::span<std::uint64_t> out) const noexcept {
    const std::span<const std::uint64_t> words = distances_.words();
    std::copy(words.begin(), words.end(), out.begin());
    std::fill(out.begin() + distance_words, out.end(), std::uint64_t{0});
    std::copy(counts_.begin(), counts_.end(), out.begin() + distance_words);
}

// The moves as tables of the permutation and twist numbers.
template <class Space>
void SpaceDistances<Space>::make_move_tables(std::span<const MoveIndex> moves) {
    move_count_ = moves.size();
    permutation_moves_.resize(std::size_t{Space::permutations} * moves.size());
    twist_moves_.resize(std::size_t{Space::twists} * moves.size());
    twists_by_move_.resize(twist_moves_.size());
    inverse_.resize(moves.size());
    static_assert(Space::permutations <= 65536 && Space::twists <= 65536, "moves tabled as 16-bit numbers");
    for (std::size_t k = 0; k < moves.size(); ++k) {
        inverse_[k] =
            static_cast<std::size_t>(std::find(moves.begin(), moves.end(), moves[k] ^ 1) - moves.begin());
        if (inverse_[k] == moves.size()) throw std::logic_error("a move searched without its inverse");
    }
    // A turn moves the pieces and the twists apart: the permutation after it
    // depends only on the permutation before, and so do the twists.
    parallel_for(Space::permutations, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
            const Word word = Space::word(static_cast<std::uint32_t>(p), 0);
            for (std::size_t k = 0; k < move_count_; ++k) {
                permutation_moves_[p * move_count_ + k] =
                    static_cast<std::uint16_t>(Space::permutation_rank(turned(word, moves[k])));
            }
        }
    });
    for (std::uint32_t t = 0; t < Space::twists; ++t) {
        const Word word = Space::word(0, t);
        for (std::size_t k = 0; k < move_count_; ++k) {
            const auto twist = static_cast<std::uint16_t>(Space::twist_rank(turned(word, moves[k])));
            twist_moves_[t * move_count_ + k] = twist;
            twists_by_move_[k * Space::twists + t] = twist;
        }
    }
}

// Level by level from state 0, the level's states in a bit set that stays in
// the cache where the 4-bit table would not. Each block is written by one
// worker: while a level is smaller than what is left unknown, each block
// takes in the level's states that a move leads into it; after that, each
// unknown state looks for a neighbour in the level, which takes fewer reads
// once most states are known.
template <class Space>
void SpaceDistances<Space>::search() {
    LevelSet<Space> level_set;
    LevelSet<Space> next_set;
    distances_.set_if_unknown(0, 0);
    level_set.add_if({0, 0}, true);
    level_set.mark(0, true);
    counts_.push_back(1);
    std::uint64_t known = 1;

    const auto push = [&](unsigned next) {
        return over_blocks(Space::permutations, [&](std::uint32_t block) {
            next_set.clear_block(block);
            std::uint64_t found = 0;
            for (std::size_t k = 0; k < move_count_; ++k) {
                const std::uint32_t from =
                    permutation_moves_[block * move_count_ + inverse_[k]];  // k leads here
                if (!level_set.any_in(from)) continue;
                const std::uint64_t* bits = level_set.block(from);
                for (std::size_t w = 0; w < LevelSet<Space>::words_per_block; ++w) {
                    for_each_bit(bits[w], [&](unsigned bit) {
                        const SpacePlace to{block, twists_by_move_[k * Space::twists + w * 64 + bit]};
                        const bool new_state = distances_.set_if_unknown(index(to), next);
                        next_set.add_if(to, new_state);
                        found += new_state;
                    });
                }
            }
            next_set.mark(block, found != 0);
            return found;
        });
    };
    const auto pull = [&](unsigned next) {
        return over_blocks(Space::permutations, [&](std::uint32_t block) {
            next_set.clear_block(block);
            std::array<std::size_t, turnsmith::move_count> leads{};  // the moves into a block of the level
            std::size_t lead_count = 0;
            for (std::size_t k = 0; k < move_count_; ++k) {
                if (level_set.any_in(permutation_moves_[block * move_count_ + k])) leads[lead_count++] = k;
            }
            std::uint64_t found = 0;
            for (std::size_t w = 0; lead_count != 0 && w < nibbles_per_block / 16; ++w) {
                const std::size_t first = block * nibbles_per_block + w * 16;
                const std::uint64_t unknown =
                    nibbles_equal(distances_.word(first / 16), NibbleArray::unknown);
                for_each_bit(unknown, [&](unsigned bit) {
                    const SpacePlace state{block, static_cast<std::uint32_t>(w * 16 + bit / 4)};
                    if (state.twist >= Space::twists) return;  // the padding after the block
                    for (std::size_t i = 0; i < lead_count; ++i) {
                        if (level_set.contains(neighbour(state, leads[i]))) {
                            distances_.set_if_unknown(index(state), next);
                            next_set.add_if(state, true);
                            ++found;
                            return;
                        }
                    }
                });
            }
            next_set.mark(block, found != 0);
            return found;
        });
    };

    for (unsigned level = 0; known < Space::size; ++level) {
        if (level + 1 >= NibbleArray::unknown)
            throw std::logic_error("a state farther than a 4-bit distance");
        const std::uint64_t found = counts_[level] < Space::size - known ? push(level + 1) : pull(level + 1);
        if (found == 0) throw std::logic_error("the search left states unreached");
        counts_.push_back(found);
        known += found;
        std::swap(level_set, next_set);
    }
}

template <class Space>
std::size_t SpaceDistances<Space>::bytes() const noexcept {
    return distances_.bytes() + (permutation_moves_.size() + 2 * twist_moves_.size()) * sizeof(std::uint16_t);
}

template class SpaceDistances<rank2x2::AllStates>;
template class SpaceDistances<rank2x2::DflHome>;

// ---- the 2x2's table ----------------------------------------------------------

namespace {

using AllDistances = SpaceDistances<rank2x2::AllStates>;
using ClassDistances = SpaceDistances<rank2x2::DflHome>;

// The cache file's words: the states' distances and counts, then the classes'.
constexpr std::size_t all_stored = AllDistances::distance_words + AllDistances::level_slots;
constexpr std::size_t class_stored = ClassDistances::distance_words + ClassDistances::level_slots;
constexpr std::uint64_t stored_layout = 1;

std::span<const std::uint64_t> stored_words(const tables::TableBytes& file) noexcept {
    return {reinterpret_cast<const std::uint64_t*>(file.bytes().data()), all_stored + class_stored};
}

}  // namespace

DistanceTable2x2::DistanceTable2x2()
    : report_{"2x2-distances", "", (all_stored + class_stored) * sizeof(std::uint64_t), true, 0.0},
      all_(std::span(all_moves)),
      classes_(std::span(rank2x2::dfl_home_moves)) {}

DistanceTable2x2::DistanceTable2x2(tables::TableBytes file, TableReport report)
    : file_(std::move(file)),
      report_(std::move(report)),
      all_(std::span(all_moves), stored_words(file_).first(all_stored)),
      classes_(std::span(rank2x2::dfl_home_moves), stored_words(file_).subspan(all_stored)) {}

tables::TableKind DistanceTable2x2::table_kind() {
    const auto fill = [](std::span<std::byte> out, WorkControl&) {
        const DistanceTable2x2 built;
        const std::span<std::uint64_t> words(reinterpret_cast<std::uint64_t*>(out.data()), all_stored + class_stored);
        built.all_.store(words.first(all_stored));
        built.classes_.store(words.subspan(all_stored));
    };
    return {"2x2-distances",
            tables::format_hash({stored_layout, rank2x2::AllStates::permutations, rank2x2::AllStates::twists,
                                 rank2x2::DflHome::permutations, rank2x2::DflHome::twists,
                                 AllDistances::level_slots}),
            (all_stored + class_stored) * sizeof(std::uint64_t), fill};
}

namespace {

// Solutions are found for several cubes at a time, so that the table reads of
// one step of each overlap instead of waiting one after the other.
constexpr std::size_t interleaved = 16;
// The neighbours of a step whose table words are fetched first.
constexpr std::size_t fetched_first = 4;

}  // namespace

void DistanceTable2x2::solutions(std::span<const Cube2x2> cubes, std::int8_t* rows) const noexcept {
    for (std::size_t first = 0; first < cubes.size(); first += interleaved) {
        const std::size_t count = std::min(interleaved, cubes.size() - first);
        std::array<SpacePlace, interleaved> state{};
        std::array<unsigned, interleaved> left{};
        unsigned longest = 0;
        for (std::size_t i = 0; i < count; ++i) {
            state[i] = all_place(cubes[first + i].corners);
            all_.prefetch(state[i]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            left[i] = all_.distance(state[i]);
            longest = std::max(longest, left[i]);
            pad_solution_row(rows + (first + i) * max_distance_2x2, max_distance_2x2, left[i]);
        }
        // Every turn changes the distance by one (it changes the permutation's
        // parity), so the first neighbour closer is the step. Most states
        // far out have several, so the first few are fetched first and the
        // others only for the cubes that need them.
        const auto take_closer = [&](std::size_t i, std::size_t from, std::size_t to,
                                     const std::array<SpacePlace, move_count>& next, unsigned step) {
            for (std::size_t k = from; k < to; ++k) {
                if (all_.distance(next[k]) < left[i]) {
                    rows[(first + i) * max_distance_2x2 + step] = static_cast<std::int8_t>(k);
                    state[i] = next[k];
                    --left[i];
                    return true;
                }
            }
            return false;
        };
        std::array<std::array<SpacePlace, move_count>, interleaved> next{};
        for (unsigned step = 0; step < longest; ++step) {
            for (std::size_t i = 0; i < count; ++i) {
                if (left[i] != 0) all_.prefetch_neighbours(state[i]);
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (left[i] == 0) continue;
                for (std::size_t k = 0; k < move_count; ++k) next[i][k] = all_.neighbour(state[i], k);
                for (std::size_t k = 0; k < fetched_first; ++k) all_.prefetch(next[i][k]);
            }
            std::array<bool, interleaved> later{};
            for (std::size_t i = 0; i < count; ++i) {
                if (left[i] == 0 || take_closer(i, 0, fetched_first, next[i], step)) continue;
                later[i] = true;
                for (std::size_t k = fetched_first; k < move_count; ++k) all_.prefetch(next[i][k]);
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (later[i]) take_closer(i, fetched_first, move_count, next[i], step);
            }
        }
    }
}

unsigned DistanceTable2x2::solution(Word corners,
                                    std::span<std::int8_t, max_distance_2x2> out) const noexcept {
    const Cube2x2 cube(corners);
    solutions(std::span(&cube, 1), out.data());
    return distance(corners);
}

namespace {

// Looks the states up in blocks: every state's place in a block first, its
// table word fetched ahead, then the reads.
template <class Space, class Place>
void looked_up(const SpaceDistances<Space>& space, std::span<const Cube2x2> cubes,
               std::span<std::uint8_t> out, Place&& place) {
    constexpr std::size_t block = 64;
    std::array<SpacePlace, block> places{};
    for (std::size_t first = 0; first < cubes.size(); first += block) {
        const std::size_t count = std::min(block, cubes.size() - first);
        for (std::size_t i = 0; i < count; ++i) {
            places[i] = place(cubes[first + i].corners);
            space.prefetch(places[i]);
        }
        for (std::size_t i = 0; i < count; ++i)
            out[first + i] = static_cast<std::uint8_t>(space.distance(places[i]));
    }
}

}  // namespace

void DistanceTable2x2::distances(std::span<const Cube2x2> cubes, std::span<std::uint8_t> out) const noexcept {
    looked_up(all_, cubes, out, all_place);
}

void DistanceTable2x2::distances_modulo_rotation(std::span<const Cube2x2> cubes,
                                                 std::span<std::uint8_t> out) const noexcept {
    looked_up(classes_, cubes, out, class_place);
}

// ---- the process's table ---------------------------------------------------------

namespace {

BuiltOnce<DistanceTable2x2>& process_table() {
    return process_built_once<DistanceTable2x2, ForkStage::built_tables>();
}

[[maybe_unused]] const bool made_before_any_fork = (process_table(), true);

}  // namespace

const DistanceTable2x2& distance_table_2x2(std::vector<std::string>& warnings, WorkControl& control) {
    for (;;) {
        try {
            return process_table().get([&] {
                const tables::TableKind kind = DistanceTable2x2::table_kind();
                tables::TableBytes file = tables::load_or_build(kind, warnings, control);
                TableReport report = tables::report_of(kind, file);
                return std::make_unique<DistanceTable2x2>(std::move(file), std::move(report));
            });
        } catch (const Stopped&) {
            // Another caller's build was stopped, not this one: build again.
            if (control.stop_requested()) throw;
        }
    }
}

const DistanceTable2x2* distance_table_2x2_if_built() noexcept { return process_table().built(); }

std::uint64_t distance_table_2x2_builds() noexcept { return process_table().builds_started(); }

}  // namespace turnsmith
