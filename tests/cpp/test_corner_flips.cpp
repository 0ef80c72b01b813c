// The optimal search's corner-flip table: its places against the turns of
// words, its symmetry reduction, and tables whose every sampled entry is one
// more than its nearest neighbour's, neighbours found by turning words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "model_test_support.hpp"
#include "solvers/corner_flips_3x3.hpp"
#include "solvers/coordinates_3x3.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith {
namespace {

using corner_flips::Corners;
using corner_flips::Moves;

const Moves& moves_of(Corners read) {
    static const Moves full(Corners::order_and_twist);
    static const Moves order_only(Corners::order_only);
    return read == Corners::order_and_twist ? full : order_only;
}

// The order-only table, built once.
const std::vector<std::byte>& small_table() {
    static const std::vector<std::byte> table = [] {
        std::vector<std::byte> bytes(moves_of(Corners::order_only).byte_count());
        WorkControl control;
        corner_flips::fill_table(bytes, moves_of(Corners::order_only), control);
        return bytes;
    }();
    return table;
}

Cube3x3 turned(Cube3x3 cube, MoveIndex move) {
    apply_move_index_internal(cube, move);
    return cube;
}

unsigned value_of(const std::uint8_t* table, const Moves& moves, const Cube3x3& cube) {
    return corner_flips::entry_at(table, moves.index(moves.place_of(cube)));
}

TEST(CornerFlips, PlacesFollowTheTurnsOfWords) {
    const Moves& moves = moves_of(Corners::order_and_twist);
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        const Cube3x3 cube = testing::random_state<Cube3x3>(rng);
        for (MoveIndex m = 0; m < move_count; ++m) {
            const corner_flips::Place expected = moves.place_of(turned(cube, m));
            const corner_flips::Place got = moves.next(moves.place_of(cube), m);
            ASSERT_EQ(got.order, expected.order);
            ASSERT_EQ(got.twist, expected.twist);
            ASSERT_EQ(got.flip, expected.flip);
        }
    }
}

TEST(CornerFlips, SymmetricStatesReadTheSameValue) {
    // S c S^-1 lands on c's entry, or, when a symmetry fixes the order of
    // c's class, maybe on a copy of it; either reads the same value.
    const Moves& moves = moves_of(Corners::order_only);
    const auto* table = reinterpret_cast<const std::uint8_t*>(small_table().data());
    std::mt19937_64 rng(4);
    unsigned same_entry = 0;
    for (int trial = 0; trial < 1000; ++trial) {
        const Cube3x3 cube = testing::random_state<Cube3x3>(rng);
        const std::size_t index = moves.index(moves.place_of(cube));
        for (const symmetry_3x3::Symmetry& s : symmetry_3x3::symmetries()) {
            const Cube3x3 image = symmetry_3x3::conjugate(cube, s);
            same_entry += moves.index(moves.place_of(image)) == index;
            ASSERT_EQ(value_of(table, moves, image), value_of(table, moves, cube));
        }
    }
    EXPECT_GT(same_entry, 1000u * 16u * 8u / 10u);  // most orders are fixed by no symmetry but the identity
    EXPECT_LT(same_entry, 1000u * 16u);             // some are: the copies are reached
}

// Checks `samples` entries of `table`, spread over it: solved reads 0, and
// every other entry below 15 is one more than the least of its twelve
// neighbours (so, by induction from solved, each is its state's distance);
// an entry of 15 has no neighbour below 14.
void expect_distances(const std::uint8_t* table, const Moves& moves, std::size_t samples) {
    std::mt19937_64 rng(8);
    std::size_t checked = 0;
    for (std::size_t trial = 0; trial < samples; ++trial) {
        // A state by a walk of random length from solved reaches every depth.
        Cube3x3 cube;
        const unsigned length = static_cast<unsigned>(rng() % 24);
        for (unsigned t = 0; t < length; ++t) cube = turned(cube, static_cast<MoveIndex>(rng() % move_count));
        const unsigned value = value_of(table, moves, cube);
        unsigned nearest = corner_flips::farthest;
        for (MoveIndex m = 0; m < move_count; ++m)
            nearest = std::min(nearest, value_of(table, moves, turned(cube, m)));
        const bool solved = moves.index(moves.place_of(cube)) == moves.index(moves.place_of(Cube3x3{}));
        if (solved) {
            ASSERT_EQ(value, 0u);
        } else if (value < corner_flips::farthest) {
            ASSERT_EQ(value, nearest + 1) << "trial " << trial;
        } else {
            ASSERT_GE(nearest, corner_flips::farthest - 1);
        }
        ++checked;
    }
    EXPECT_EQ(checked, samples);
}

TEST(CornerFlips, TheOrderOnlyTableHoldsDistances) {
    const auto* table = reinterpret_cast<const std::uint8_t*>(small_table().data());
    expect_distances(table, moves_of(Corners::order_only), 20000);
}

TEST(CornerFlips, EveryEntryOfTheOrderOnlyTableIsSet) {
    // The order and the flips alone lie within 14 turns: no entry is left at 15.
    const std::vector<std::byte>& table = small_table();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(table.data());
    std::vector<std::size_t> count(16);
    for (std::size_t i = 0; i < table.size(); ++i) {
        ++count[bytes[i] & 0xf];
        ++count[bytes[i] >> 4];
    }
    EXPECT_EQ(count[0], 1u);
    EXPECT_EQ(count[15], 0u);
}

TEST(CornerFlips, AStoppedBuildThrows) {
    const Moves& moves = moves_of(Corners::order_only);
    std::vector<std::byte> bytes(moves.byte_count());
    WorkControl control;
    control.request_stop();
    EXPECT_THROW(corner_flips::fill_table(bytes, moves, control), Stopped);
}

// The large table itself, when TURNSMITH_LARGE_TABLE names a built one.
TEST(CornerFlips, TheLargeTableHoldsDistances) {
    const char* path = std::getenv("TURNSMITH_LARGE_TABLE");
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "TURNSMITH_LARGE_TABLE names no table";
    std::vector<std::string> warnings;
    const auto table = tables::load_file(corner_flips::table_kind(), path, warnings);
    if (!table) GTEST_SKIP() << "no whole table at " << path;
    expect_distances(reinterpret_cast<const std::uint8_t*>(table->bytes().data()),
                     moves_of(Corners::order_and_twist), 20000);
}

}  // namespace
}  // namespace turnsmith
