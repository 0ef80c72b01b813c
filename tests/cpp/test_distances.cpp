// Exact answers for the 2x2: the numbering of its states, the turns of the
// whole cube, the breadth-first searches and the table built once per process.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "cube/rank_2x2.hpp"
#include "cube/cube_2x2.hpp"
#include "engine/built_once.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

using testing::apply_all;
using testing::random_state;

// The numbering as users read it, written out slot by slot.
std::uint64_t rank_by_definition(Word word) {
    std::uint64_t permutation = 0;
    for (unsigned s = 0; s < 8; ++s) {
        std::uint64_t smaller_later = 0;
        for (unsigned j = s + 1; j < 8; ++j) {
            smaller_later += corner_piece(slot_field(word, j)) < corner_piece(slot_field(word, s));
        }
        permutation += smaller_later * factorial(7 - s);
    }
    std::uint64_t twist = 0;
    for (unsigned s = 0; s < 7; ++s)
        twist += corner_twist(slot_field(word, s)) * power_of_three(6 - s);
    return permutation * 2187 + twist;
}

TEST(Rank2x2, MatchesItsDefinitionAndComesBack) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 2000; ++i) {
        const Word word = random_state<Cube2x2>(rng).corners;
        EXPECT_EQ(rank2x2::rank(word), rank_by_definition(word));
        EXPECT_EQ(rank2x2::word_of_rank(rank2x2::rank(word)), word);
    }
    for (const std::uint32_t rank : {0u, 1u, 2186u, 2187u, rank2x2::state_count - 1}) {
        EXPECT_EQ(rank2x2::rank(rank2x2::word_of_rank(rank)), rank);
        EXPECT_EQ(rank_by_definition(rank2x2::word_of_rank(rank)), rank);
    }
    // The last number: pieces in reverse order, twists 2,2,...,2 and slot 7's 1.
    EXPECT_EQ(rank2x2::word_of_rank(rank2x2::state_count - 1) & corner_piece_mask, 7u);
}

// Conjugating a face turn by a turn of the whole cube gives a face turn: the
// reason why distances do not change when the cube is turned as a whole.
TEST(WholeCubeTurns, AreTwentyFourAndCarryFaceTurnsToFaceTurns) {
    std::set<Word> words(rank2x2::whole_cube_turns.begin(), rank2x2::whole_cube_turns.end());
    ASSERT_EQ(words.size(), 24u);
    std::set<Word> face_turns;
    for (MoveIndex move = 0; move < move_count; ++move)
        face_turns.insert(apply_all(Cube2x2{}, {move}).corners);
    for (const Word turn : rank2x2::whole_cube_turns) {
        // The inverse of a whole-cube turn is one of them too.
        Word inverse = 0;
        for (const Word other : rank2x2::whole_cube_turns) {
            if (rank2x2::followed_by(turn, other) == solved_corners) inverse = other;
        }
        ASSERT_NE(inverse, 0u);
        for (const Word face_turn : face_turns) {
            const Word conjugate = rank2x2::followed_by(rank2x2::followed_by(inverse, face_turn), turn);
            EXPECT_TRUE(face_turns.contains(conjugate));
        }
    }
}

TEST(WholeCubeTurns, BringDflHomeWithoutChangingTheClass) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 500; ++i) {
        const Word word = random_state<Cube2x2>(rng).corners;
        const Word home = rank2x2::with_dfl_home(word);
        EXPECT_EQ(slot_field(home, 7), 7u);
        // The same class from every one of the state's 24 turns.
        for (const Word turn : rank2x2::whole_cube_turns) {
            EXPECT_EQ(rank2x2::class_rank(rank2x2::followed_by(word, turn)), rank2x2::class_rank(word));
        }
    }
}

const std::vector<std::uint64_t> class_counts = {1,      6,      27,     120,     534,    2256,  8969, 33058,
                                                 114149, 360508, 930588, 1350852, 782536, 90280, 276};

TEST(SpaceDistances, ClassesUpToWholeCubeTurns) {
    const SpaceDistances<rank2x2::DflHome> classes(std::span(rank2x2::dfl_home_moves));
    EXPECT_EQ(classes.counts(), class_counts);
    EXPECT_EQ(classes.distance(SpacePlace{0, 0}), 0u);
}

bool under_thread_sanitizer() {
#if defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

TEST(DistanceTable2x2, CountsSolutionsAndTheProcessTable) {
    if (under_thread_sanitizer()) GTEST_SKIP() << "the full search takes minutes under ThreadSanitizer";
    std::vector<std::string> warnings;
    WorkControl control;
    const DistanceTable2x2& table = distance_table_2x2(warnings, control);
    EXPECT_EQ(&distance_table_2x2(warnings, control), &table);
    EXPECT_EQ(distance_table_2x2_builds(), 1u);
    EXPECT_EQ(table.all_states().counts(),
              (std::vector<std::uint64_t>{1, 12, 114, 924, 6539, 39528, 199926, 806136, 2761740, 8656152,
                                          22334112, 32420448, 18780864, 2166720, 6624}));
    EXPECT_EQ(table.classes().counts(), class_counts);

    std::mt19937_64 rng(3);
    for (int i = 0; i < 300; ++i) {
        Cube2x2 cube = random_state<Cube2x2>(rng);
        std::array<std::int8_t, max_distance_2x2> moves{};
        const unsigned length = table.solution(cube.corners, moves);
        EXPECT_EQ(length, table.distance(cube.corners));
        for (unsigned k = 0; k < length; ++k)
            apply_move_index_internal(cube, static_cast<MoveIndex>(moves[k]));
        EXPECT_TRUE(cube.is_solved());
    }
}

// ---- built once ----------------------------------------------------------------

TEST(BuiltOnce, ConcurrentCallersShareOneBuild) {
    BuiltOnce<int> once;
    std::atomic<int> building = 0;
    std::atomic<bool> release = false;
    std::vector<std::thread> threads;
    std::vector<const int*> seen(6);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            seen[i] = &once.get([&] {
                building.fetch_add(1);
                while (!release.load()) std::this_thread::yield();
                return std::make_unique<int>(42);
            });
        });
    }
    while (building.load() == 0) std::this_thread::yield();
    release.store(true);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(building.load(), 1);
    EXPECT_EQ(once.builds_started(), 1u);
    for (const int* value : seen) EXPECT_EQ(value, once.built());
    EXPECT_EQ(*once.built(), 42);
}

TEST(BuiltOnce, AFailedBuildReachesItsWaitersAndIsRetried) {
    BuiltOnce<int> once;
    std::atomic<bool> started = false;
    std::atomic<bool> release = false;
    std::atomic<int> failures = 0;
    const auto failing = [&]() -> std::unique_ptr<int> {
        started.store(true);
        while (!release.load()) std::this_thread::yield();
        throw std::runtime_error("no memory today");
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            try {
                once.get(failing);
            } catch (const std::runtime_error&) {
                failures.fetch_add(1);
            }
        });
    }
    while (!started.load()) std::this_thread::yield();
    release.store(true);
    for (auto& thread : threads) thread.join();
    // Every caller failed: the ones that waited got the builder's exception,
    // and any that came after started a build of its own that failed too.
    EXPECT_EQ(failures.load(), 4);
    EXPECT_EQ(once.built(), nullptr);
    const std::uint64_t failed_builds = once.builds_started();
    EXPECT_GE(failed_builds, 1u);
    EXPECT_LE(failed_builds, 4u);
    EXPECT_EQ(once.get([] { return std::make_unique<int>(7); }), 7);
    EXPECT_EQ(once.builds_started(), failed_builds + 1);
}

}  // namespace
}  // namespace turnsmith
