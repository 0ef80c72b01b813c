// The group operations against replays of move sequences: the inverse undoes
// a state whichever side it stands on, composition is the state of the joined
// sequences, and the batch loops, piece rows and one-hot rows agree with the
// single-cube forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cube/group.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "engine/group_operations.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

using testing::apply_all;
using testing::random_moves;

template <class C>
class GroupTest : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(GroupTest, CubeTypes);

// The moves that undo a sequence: reversed, each by its partner.
std::vector<MoveIndex> undoing(const std::vector<MoveIndex>& moves) {
    std::vector<MoveIndex> undone(moves.rbegin(), moves.rend());
    for (MoveIndex& move : undone) move ^= 1;
    return undone;
}

std::vector<MoveIndex> joined(std::vector<MoveIndex> first, const std::vector<MoveIndex>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

TYPED_TEST(GroupTest, InverseIsTheReplayOfTheUndoingMoves) {
    std::mt19937_64 rng(19);
    for (int round = 0; round < 300; ++round) {
        const auto moves = random_moves(rng, static_cast<std::size_t>(round % 30));
        const TypeParam cube = apply_all(TypeParam{}, moves);
        const TypeParam inverse = inverse_of(cube);
        EXPECT_EQ(inverse, apply_all(TypeParam{}, undoing(moves)));
        EXPECT_TRUE(compose(cube, inverse).is_solved());
        EXPECT_TRUE(compose(inverse, cube).is_solved());
        EXPECT_EQ(inverse_of(inverse), cube);
    }
}

TYPED_TEST(GroupTest, EveryMoveInvertsToItsPartner) {
    for (MoveIndex m = 0; m < move_count; ++m) {
        TypeParam moved{};
        apply_move_index_internal(moved, m);
        TypeParam partner{};
        apply_move_index_internal(partner, m ^ 1);
        EXPECT_EQ(inverse_of(moved), partner) << "move " << m;
    }
    EXPECT_EQ(inverse_of(TypeParam{}), TypeParam{});
}

TYPED_TEST(GroupTest, ComposeIsTheReplayOfTheJoinedMoves) {
    std::mt19937_64 rng(23);
    for (int round = 0; round < 300; ++round) {
        const auto first = random_moves(rng, static_cast<std::size_t>(round % 25));
        const auto then = random_moves(rng, static_cast<std::size_t>((round * 7) % 25));
        const TypeParam a = apply_all(TypeParam{}, first);
        const TypeParam b = apply_all(TypeParam{}, then);
        EXPECT_EQ(compose(a, b), apply_all(TypeParam{}, joined(first, then)));
        // Applying b's moves to a is the same as composing a with b.
        EXPECT_EQ(compose(a, b), apply_all(a, then));
        EXPECT_EQ(compose(a, TypeParam{}), a);
        EXPECT_EQ(compose(TypeParam{}, a), a);
    }
}

TYPED_TEST(GroupTest, ComposeIsAssociative) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 200; ++round) {
        const TypeParam a = testing::random_state<TypeParam>(rng);
        const TypeParam b = testing::random_state<TypeParam>(rng);
        const TypeParam c = testing::random_state<TypeParam>(rng);
        EXPECT_EQ(compose(compose(a, b), c), compose(a, compose(b, c)));
        EXPECT_EQ(inverse_of(compose(a, b)), compose(inverse_of(b), inverse_of(a)));
    }
}

TYPED_TEST(GroupTest, BatchLoopsMatchTheSingleCubes) {
    std::mt19937_64 rng(31);
    std::vector<TypeParam> first(257);
    std::vector<TypeParam> then(first.size());
    for (auto& cube : first) cube = testing::random_state<TypeParam>(rng);
    for (auto& cube : then) cube = testing::random_state<TypeParam>(rng);
    std::vector<TypeParam> inverses(first.size());
    std::vector<TypeParam> composed(first.size());
    inverse_internal(std::span<const TypeParam>(first), std::span<TypeParam>(inverses));
    compose_internal(std::span<const TypeParam>(first), std::span<const TypeParam>(then),
                     std::span<TypeParam>(composed));
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(inverses[i], inverse_of(first[i]));
        EXPECT_EQ(composed[i], compose(first[i], then[i]));
    }
}

// Pieces out and back in give the same cubes; the rows hold the fields of
// the words slot by slot.
TYPED_TEST(GroupTest, PiecesRoundTrip) {
    std::mt19937_64 rng(37);
    std::vector<TypeParam> cubes(100);
    for (auto& cube : cubes) cube = testing::random_state<TypeParam>(rng);
    PieceRows rows = pieces_internal(std::span<const TypeParam>(cubes));
    const bool edges = TypeParam::word_count == 2;
    const PieceInput input{rows.corners.row(0), rows.twists.row(0), edges ? rows.edges.row(0) : nullptr,
                           edges ? rows.flips.row(0) : nullptr};
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        for (unsigned slot = 0; slot < corner_slots; ++slot) {
            const Word field = slot_field(cubes[i].corners, slot);
            EXPECT_EQ(rows.corners.row(i)[slot], corner_piece(field));
            EXPECT_EQ(rows.twists.row(i)[slot], corner_twist(field));
        }
        TypeParam back{};
        EXPECT_EQ(cube_from_pieces(input, i, back), std::nullopt);
        EXPECT_EQ(back, cubes[i]);
    }
}

// Each kind of bad row is named, and none is packed.
TEST(PiecesTest, BadRowsAreNamed) {
    std::array<std::int8_t, 8> corners{0, 1, 2, 3, 4, 5, 6, 7};
    std::array<std::int8_t, 8> twists{};
    std::array<std::int8_t, 12> edges{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    std::array<std::int8_t, 12> flips{};
    const PieceInput input{corners.data(), twists.data(), edges.data(), flips.data()};
    const auto fault = [&] {
        Cube3x3 cube{};
        return cube_from_pieces(input, 0, cube).value_or("none");
    };
    EXPECT_EQ(fault(), "none");
    corners[3] = 8;
    EXPECT_EQ(fault(), "corner slot 3 holds piece 8, but corner pieces are 0..7");
    corners[3] = -1;
    EXPECT_EQ(fault(), "corner slot 3 holds piece -1, but corner pieces are 0..7");
    corners[3] = 2;
    EXPECT_EQ(fault(), "corner piece 2 is in slots 2 and 3");
    corners[3] = 3;
    twists[5] = 3;
    EXPECT_EQ(fault(), "corner slot 5 has twist 3, but twists are 0..2");
    twists[5] = 1;
    EXPECT_EQ(fault(), "corner twists sum to 1 mod 3");
    twists[5] = 0;
    edges[11] = 12;
    EXPECT_EQ(fault(), "edge slot 11 holds piece 12, but edge pieces are 0..11");
    edges[11] = 11;
    flips[4] = 2;
    EXPECT_EQ(fault(), "edge slot 4 has flip 2, but flips are 0..1");
    flips[4] = 1;
    EXPECT_EQ(fault(), "edge flips sum to 1 mod 2");
    flips[4] = 0;
    std::swap(edges[0], edges[1]);
    EXPECT_EQ(fault(), "corner and edge permutations differ in parity");
}

// Row r of the one-hot rows is 1 exactly at 6 * s + c for sticker s of
// colour c, in every element type.
TYPED_TEST(GroupTest, OneHotRowsMarkEachStickersColour) {
    std::mt19937_64 rng(41);
    std::vector<TypeParam> cubes(50);
    for (auto& cube : cubes) cube = testing::random_state<TypeParam>(rng);
    const auto check = [&]<class T>(T one) {
        auto rows = one_hot_internal(std::span<const TypeParam>(cubes), one);
        ASSERT_EQ(rows.cols(), TypeParam::sticker_dim * 6);
        for (std::size_t r = 0; r < cubes.size(); ++r) {
            const auto stickers = cubes[r].to_sticker_array_internal();
            for (std::size_t s = 0; s < TypeParam::sticker_dim; ++s) {
                for (std::size_t c = 0; c < 6; ++c) {
                    EXPECT_EQ(rows.row(r)[6 * s + c], stickers[s] == c ? one : T{0});
                }
            }
        }
    };
    check(1.0f);
    check(std::uint16_t{0x3C00});
    check(std::uint8_t{1});
}

}  // namespace
}  // namespace turnsmith
