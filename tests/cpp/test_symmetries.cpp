// The 48 symmetries: a group acting on states, carrying turns to turns (a
// mirror reversing them), the least image against a plain minimum, the
// classes of the 2x2 counted by Burnside's lemma, and the canonical scramble
// rule against published counts of the 3x3's positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "cube/canonical_moves.hpp"
#include "cube/symmetries.hpp"
#include "cube/rank_2x2.hpp"
#include "model_test_support.hpp"
#include "solvers/symmetry_3x3.hpp"

namespace turnsmith {
namespace {

using symmetries::symmetry_count;
using testing::apply_all;
using testing::random_moves;
using testing::random_state;

template <class C>
class SymmetryTest : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(SymmetryTest, CubeTypes);

template <Cube C>
std::vector<C> sample_states(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<C> states{C{}};
    while (states.size() < count) states.push_back(random_state<C>(rng));
    return states;
}

TYPED_TEST(SymmetryTest, SymmetryZeroIsTheIdentityAndTheOthersDiffer) {
    using C = TypeParam;
    const auto& all = symmetries::all();
    for (const C& state : sample_states<C>(20, 1)) EXPECT_EQ(symmetries::conjugate(state, all[0]), state);
    // One state with no symmetry of its own tells all 48 apart.
    std::mt19937_64 rng(2);
    const C probe = random_state<C>(rng);
    std::set<std::array<Word, C::word_count>> images;
    for (const auto& s : all) images.insert(symmetries::conjugate(probe, s).words());
    EXPECT_EQ(images.size(), symmetry_count);
}

TYPED_TEST(SymmetryTest, TheyFormAGroupUnderComposition) {
    using C = TypeParam;
    const auto& all = symmetries::all();
    const auto states = sample_states<C>(6, 3);
    for (unsigned a = 0; a < symmetry_count; ++a) {
        for (unsigned b = 0; b < symmetry_count; ++b) {
            // The composite is one of the 48 on every state, the table's.
            const unsigned c = symmetries::products()[a][b];
            for (const C& x : states) {
                ASSERT_EQ(symmetries::conjugate(symmetries::conjugate(x, all[b]), all[a]),
                          symmetries::conjugate(x, all[c]))
                    << a << " after " << b;
            }
        }
        for (const C& x : states) {
            EXPECT_EQ(symmetries::conjugate(symmetries::conjugate(x, all[a]), all[symmetries::inverses()[a]]),
                      x)
                << a;
        }
    }
}

TYPED_TEST(SymmetryTest, TurnsMapToTurnsAndReplayOnImages) {
    using C = TypeParam;
    const auto& all = symmetries::all();
    std::mt19937_64 rng(4);
    for (unsigned k = 0; k < symmetry_count; ++k) {
        const bool mirrored = k >= symmetries::rotation_count;
        std::set<std::uint8_t> images;
        for (MoveIndex move = 0; move < move_count; ++move) {
            const MoveIndex image = all[k].moved[move];
            images.insert(static_cast<std::uint8_t>(image));
            EXPECT_EQ(moves[image].prime, moves[move].prime != mirrored) << k << " " << move;
        }
        EXPECT_EQ(images.size(), move_count) << k;
        for (int trial = 0; trial < 5; ++trial) {
            const std::vector<MoveIndex> sequence = random_moves(rng, 25);
            std::vector<MoveIndex> mapped;
            for (const MoveIndex move : sequence) mapped.push_back(all[k].moved[move]);
            const C start = random_state<C>(rng);
            EXPECT_EQ(symmetries::conjugate(apply_all(start, sequence), all[k]),
                      apply_all(symmetries::conjugate(start, all[k]), mapped))
                << k;
        }
    }
}

TEST(Symmetries, NumberPartsNameTheAxisTheUdTurnsGoTo) {
    const auto& all = symmetries::all();
    for (unsigned k = 0; k < symmetry_count; ++k) {
        const unsigned axis = k % symmetries::rotation_count / symmetries::axis_keeping_count;
        // U's turn becomes a turn of a face of axis 0 (U-D), 1 (R-L) or 2 (F-B).
        EXPECT_EQ(all[k].moved[0] / 4, axis) << k;
    }
    // The solver's sixteen are the ones that keep the U-D axis, in its order.
    for (unsigned j = 0; j < symmetry_3x3::symmetry_count; ++j) {
        const unsigned k = symmetries::symmetry_number({j % 4, j / 4 % 2, 0, j / 8});
        EXPECT_EQ(symmetry_3x3::symmetries()[j].moved, all[k].moved) << j;
        EXPECT_EQ(symmetry_3x3::symmetries()[j].edge_source, all[k].edge_source) << j;
    }
}

// ---- least images --------------------------------------------------------

template <Cube C>
std::pair<Word, Word> as_pair(const C& cube) {
    if constexpr (C::word_count == 2) {
        return {cube.corners, cube.edges};
    } else {
        return {cube.corners, 0};
    }
}

template <Cube C>
C plain_least(const C& cube, bool with_inverse) {
    C least = cube;
    for (const auto& s : symmetries::all()) {
        for (const C& x : {cube, symmetries::inverse_of(cube)}) {
            const C image = symmetries::conjugate(x, s);
            if (as_pair(image) < as_pair(least)) least = image;
            if (!with_inverse) break;
        }
    }
    return least;
}

TYPED_TEST(SymmetryTest, LeastImageIsThePlainMinimum) {
    using C = TypeParam;
    std::vector<C> states = sample_states<C>(300, 5);
    // States with symmetries of their own, where many images tie on corners.
    std::mt19937_64 rng(6);
    for (int i = 0; i < 100; ++i) {
        std::vector<MoveIndex> halves;
        for (MoveIndex move : random_moves(rng, 6))
            halves.insert(halves.end(), {move & ~MoveIndex{1}, move & ~MoveIndex{1}});
        states.push_back(apply_all(C{}, halves));
    }
    states.push_back(apply_all(C{}, {0, 0, 2, 2, 4, 4, 6, 6, 8, 8, 10, 10}));
    const auto& all = symmetries::all();
    const auto& tables = symmetries::corner_tables();
    for (const C& state : states) {
        for (const bool with_inverse : {false, true}) {
            const C least = symmetries::least_image(state, with_inverse, all, tables);
            ASSERT_EQ(least, plain_least(state, with_inverse));
            // Every image of the state has the same least image.
            const C image = symmetries::conjugate(state, all[state.corners % symmetry_count]);
            ASSERT_EQ(symmetries::least_image(image, with_inverse, all, tables), least);
        }
    }
}

// ---- the classes of the 2x2 ----------------------------------------------

// How many 2x2 states symmetry s leaves as they are, by a search over the
// cycles of its slots: a fixed state's field in each slot follows from the
// field in the slot it comes from, so one field per cycle names it.
std::uint64_t fixed_states(const symmetries::Symmetry& s) {
    std::array<int, corner_slots> field{};
    field.fill(-1);
    std::array<unsigned, corner_slots> next{};  // the slot that slot j's field moves to
    for (unsigned j = 0; j < corner_slots; ++j) next[s.corner_source[j]] = j;
    std::uint64_t count = 0;
    const auto search = [&](auto&& self, unsigned pieces_used) -> void {
        const auto open = std::find(field.begin(), field.end(), -1);
        if (open == field.end()) {
            int twists = 0;
            for (const int f : field) twists += f >> twist_shift;
            count += twists % 3 == 0;
            return;
        }
        const auto first = static_cast<unsigned>(open - field.begin());
        for (Word start = 0; start < 32; ++start) {
            if (corner_piece(start) >= corner_slots || corner_twist(start) > 2) continue;
            std::vector<unsigned> set;
            unsigned used = pieces_used;
            Word value = start;
            unsigned slot = first;
            bool fits = true;
            while (true) {
                const unsigned piece_bit = 1u << corner_piece(value);
                if (used & piece_bit) {
                    fits = false;
                    break;
                }
                used |= piece_bit;
                field[slot] = static_cast<int>(value);
                set.push_back(slot);
                const unsigned to = next[slot];
                value = s.corner_field[to][value];
                if (to == first) {
                    fits = value == start;
                    break;
                }
                slot = to;
            }
            if (fits) self(self, used);
            for (const unsigned j : set) field[j] = -1;
        }
    };
    search(search, 0);
    return count;
}

// The 2x2's 88,179,840 states fall into this many classes under the 48.
constexpr std::uint64_t classes_2x2 = 1'841'970;

TEST(Symmetries, BurnsideCountsTheClassesOfThe2x2) {
    std::uint64_t fixed_total = rank2x2::state_count;  // the identity fixes every state
    for (unsigned k = 1; k < symmetry_count; ++k) fixed_total += fixed_states(symmetries::all()[k]);
    EXPECT_EQ(fixed_total % symmetry_count, 0u);
    EXPECT_EQ(fixed_total / symmetry_count, classes_2x2);
}

// ---- canonical move sequences ---------------------------------------------

// How many canonical sequences of each length, by their steps.
std::vector<std::uint64_t> canonical_sequence_counts(unsigned longest) {
    std::vector<std::uint64_t> counts{1};
    std::array<std::uint64_t, canonical_moves::step_count> at{};
    at[canonical_moves::start] = 1;
    for (unsigned length = 1; length <= longest; ++length) {
        std::array<std::uint64_t, canonical_moves::step_count> after{};
        for (canonical_moves::Step step = 0; step < canonical_moves::step_count; ++step) {
            const auto& allowed = canonical_moves::allowed[step];
            for (unsigned i = 0; i < allowed.count; ++i)
                after[canonical_moves::step_after(step, allowed.moves[i])] += at[step];
        }
        at = after;
        std::uint64_t total = 0;
        for (const std::uint64_t n : at) total += n;
        counts.push_back(total);
    }
    return counts;
}

TEST(CanonicalMoves, ShortSequencesCountThe3x3PositionsAtEachDistance) {
    // Positions of the 3x3 at 0..5 quarter turns from solved, as published:
    // up to five every position has exactly one canonical spelling (at six
    // the first spellings that name one position twice, or a nearer one, come in).
    const std::vector<std::uint64_t> positions = {1, 12, 114, 1068, 10011, 93840};
    EXPECT_EQ(canonical_sequence_counts(5), positions);
}

TEST(CanonicalMoves, DrawnSequencesKeepTheRuleAndUseEveryAllowedMove) {
    SeededRng rng = seeded_rng(7, 0);
    std::array<std::array<std::uint64_t, move_count>, canonical_moves::step_count> drawn{};
    std::array<std::uint64_t, canonical_moves::step_count> visits{};
    for (int sequence = 0; sequence < 4000; ++sequence) {
        canonical_moves::Step step = canonical_moves::start;
        std::vector<MoveIndex> moves_drawn;
        for (int turn = 0; turn < 30; ++turn) {
            const canonical_moves::Step before = step;
            const MoveIndex move = canonical_moves::draw(rng, step);
            ++drawn[before][move];
            ++visits[before];
            moves_drawn.push_back(move);
        }
        for (std::size_t i = 1; i < moves_drawn.size(); ++i) {
            const MoveIndex a = moves_drawn[i - 1];
            const MoveIndex b = moves_drawn[i];
            ASSERT_NE(a ^ 1, b) << "a move and its inverse";
            if (a / 2 == b / 2) {
                ASSERT_FALSE(moves[a].prime) << "X' X'";
                ASSERT_TRUE(i < 2 || moves_drawn[i - 2] != a) << "X X X";
            }
            if (a / 4 == b / 4 && a / 2 != b / 2) {
                ASSERT_LT(a, b) << "U before D";
            }
        }
    }
    // Each allowed move comes up about as often as the others at its step.
    for (canonical_moves::Step step = 0; step < canonical_moves::step_count; ++step) {
        const auto& allowed = canonical_moves::allowed[step];
        for (MoveIndex move = 0; move < move_count; ++move) {
            const bool is_allowed = std::find(allowed.moves.begin(), allowed.moves.begin() + allowed.count,
                                              move) != allowed.moves.begin() + allowed.count;
            if (!is_allowed) {
                EXPECT_EQ(drawn[step][move], 0u);
                continue;
            }
            if (visits[step] < 2000) continue;
            const double expected = static_cast<double>(visits[step]) / allowed.count;
            EXPECT_NEAR(static_cast<double>(drawn[step][move]), expected, 5 * std::sqrt(expected))
                << int{step};
        }
    }
}

}  // namespace
}  // namespace turnsmith
