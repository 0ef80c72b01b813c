// The sorting and hashing of whole states against plain std::sort and
// std::set, on batches large enough for the parallel paths (past
// sort_alone_below), with many repeats and with one state only.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "engine/loops.hpp"
#include "engine/state_sets.hpp"

namespace turnsmith {
namespace {

using namespace state_sets;

template <class C>
class StateSets : public testing::Test {};
using CubeTypes = testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(StateSets, CubeTypes);

// Cubes turned by up to `longest` random moves: few distinct states, many repeats.
template <class C>
std::vector<C> near_solved(std::size_t count, unsigned longest, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<C> cubes(count);
    for (C& cube : cubes) {
        const unsigned turns = static_cast<unsigned>(rng() % (longest + 1));
        for (unsigned t = 0; t < turns; ++t) apply_move_index_internal(cube, rng() % move_count);
    }
    return cubes;
}

template <class C>
std::vector<std::vector<C>> batches() {
    return {{},
            near_solved<C>(1, 9, 1),
            near_solved<C>(1000, 3, 2),
            near_solved<C>(100'000, 4, 3),
            near_solved<C>(3 * sort_alone_below, 0, 4),
            near_solved<C>(80'000, 14, 5)};
}

TEST(StateKeys, TheSolvedKeysStayWhatTheyAre) {
    EXPECT_EQ(key_of(Cube3x3{}.words()), 0xab87e6041eed8ad6ULL);
    EXPECT_EQ(key_of(Cube2x2{}.words()), 0x398a418820ULL);
    EXPECT_EQ(mix64(0), 0u);
}

TYPED_TEST(StateSets, SortedEntriesAreStdSortsOrder) {
    using C = TypeParam;
    for (const std::vector<C>& cubes : batches<C>()) {
        const auto sorted = sorted_entries<C, true>(std::span<const C>(cubes), AtOnce{});
        std::vector<Entry<C::word_count>> expected;
        for (std::size_t i = 0; i < cubes.size(); ++i) expected.push_back({cubes[i].words(), i});
        std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
            return a.words != b.words ? a.words < b.words : a.index < b.index;
        });
        for (std::size_t j = 0; j < cubes.size(); ++j) {
            ASSERT_EQ(sorted[j].words, expected[j].words) << "place " << j << " of " << cubes.size();
            ASSERT_EQ(sorted[j].index, expected[j].index) << "place " << j << " of " << cubes.size();
        }
        const auto plain = sorted_entries<C, false>(std::span<const C>(cubes), AtOnce{});
        for (std::size_t j = 0; j < cubes.size(); ++j) ASSERT_EQ(plain[j].words, expected[j].words);
    }
}

// Added batch after batch, with and without presizing, the table answers as
// a std::set of the words does, and a state repeated within a batch is new
// only at its first place.
TYPED_TEST(StateSets, TheTableAnswersAsAStdSet) {
    using C = TypeParam;
    for (const bool presize : {false, true}) {
        StateTable<C> table;
        std::set<Words<C::word_count>> reference;
        for (const std::vector<C>& cubes : batches<C>()) {
            std::vector<char> before(cubes.size());
            for (std::size_t i = 0; i < cubes.size(); ++i) before[i] = reference.contains(cubes[i].words());
            std::unique_ptr<bool[]> found(new bool[cubes.size() + 1]);
            table.contains(std::span<const C>(cubes), found.get(), AtOnce{});
            for (std::size_t i = 0; i < cubes.size(); ++i) ASSERT_EQ(found[i], bool(before[i])) << i;

            std::unique_ptr<bool[]> fresh(new bool[cubes.size() + 1]);
            table.add(std::span<const C>(cubes), fresh.get(), presize, AtOnce{});
            for (std::size_t i = 0; i < cubes.size(); ++i) {
                ASSERT_EQ(fresh[i], reference.insert(cubes[i].words()).second) << "state " << i;
            }
            ASSERT_EQ(table.size(), reference.size());
        }
    }
}

}  // namespace
}  // namespace turnsmith
