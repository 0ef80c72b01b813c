#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

using testing::apply_all;
using testing::random_moves;
using testing::random_state;

constexpr Cube3x3 after(std::initializer_list<MoveIndex> moves) {
    Cube3x3 cube;
    for (const MoveIndex move : moves) apply_move_index_internal(cube, move);
    return cube;
}

TEST(CubeModel, NewCubesAreSolved) {
    constexpr Cube3x3 big;
    constexpr Cube2x2 small;
    static_assert(big.corners == 0x398a418820 && big.edges == 0x5a928398a418820);
    static_assert(small.corners == 0x398a418820);
    EXPECT_TRUE(big.is_solved());
    EXPECT_TRUE(small.is_solved());
}

struct SingleTurnCase {
    const char* name;
    MoveIndex move;
    Word corners;
    Word edges;
};

class SingleTurnFromSolved : public ::testing::TestWithParam<SingleTurnCase> {};

TEST_P(SingleTurnFromSolved, GivesKnownWords) {
    const SingleTurnCase& c = GetParam();
    const Cube3x3 big = after({c.move});
    EXPECT_EQ(big.corners, c.corners);
    EXPECT_EQ(big.edges, c.edges);
    Cube2x2 small;
    apply_move_index_internal(small, c.move);
    EXPECT_EQ(small.corners, c.corners);
}

INSTANTIATE_TEST_SUITE_P(CubeModel, SingleTurnFromSolved,
                         ::testing::Values(SingleTurnCase{"U", 0, 0x398a410403, 0x5a928398a410403},
                                           SingleTurnCase{"Uprime", 1, 0x398a400c41, 0x5a928398a400c41},
                                           SingleTurnCase{"D", 2, 0x21cc518820, 0x5a92821cc518820},
                                           SingleTurnCase{"R", 4, 0x3b6241d940, 0x594283992418940},
                                           SingleTurnCase{"F", 8, 0x748a4bac20, 0xb49283e8a41ec20},
                                           SingleTurnCase{"B", 10, 0x3999018aa9, 0x5aa90398b818839}),
                         [](const auto& info) { return info.param.name; });

TEST(CubeModel, SexyMoveHasOrderSix) {
    Cube3x3 cube = after({4, 0, 5, 1});
    EXPECT_EQ(cube.corners, 0x3c8a41da01u);
    EXPECT_EQ(cube.edges, 0x58128398a418941u);
    for (int repetition = 2; repetition <= 6; ++repetition) {
        EXPECT_FALSE(cube.is_solved()) << repetition;
        for (const MoveIndex move : {4, 0, 5, 1}) apply_move_index_internal(cube, move);
    }
    EXPECT_TRUE(cube.is_solved());
}

TEST(CubeModel, FourQuarterTurnsOfUSolveAgain) {
    Cube3x3 cube;
    cube.do_u_move_internal();
    EXPECT_FALSE(cube.is_solved());
    cube.do_u_move_internal();
    cube.do_u_move_internal();
    EXPECT_FALSE(cube.is_solved());
    cube.do_u_move_internal();
    EXPECT_TRUE(cube.is_solved());
}

// Opposite layers turned the same way leave every face one colour, yet the
// word differs from the solved word: the slot frame is fixed.
TEST(CubeModel, OppositeLayersAreNotAWholeCubeRotation) {
    Cube2x2 u_d;
    u_d.do_u_move_internal();
    u_d.do_d_prime_move_internal();
    EXPECT_EQ(u_d.corners, 0x3148710403u);
    Cube2x2 r_l;
    r_l.do_r_move_internal();
    r_l.do_l_prime_move_internal();
    for (const Cube2x2& cube : {u_d, r_l}) {
        EXPECT_FALSE(cube.is_solved());
        const auto stickers = cube.to_sticker_array_internal();
        for (std::size_t face = 0; face < 6; ++face) {
            for (std::size_t k = 1; k < 4; ++k) EXPECT_EQ(stickers[4 * face + k], stickers[4 * face]) << face;
        }
    }
}

TEST(CubeModel, IndexesPastTheTableAreNoOps) {
    std::mt19937_64 rng(11);
    const Cube3x3 big = random_state<Cube3x3>(rng);
    const Cube2x2 small = random_state<Cube2x2>(rng);
    for (const MoveIndex index :
         {MoveIndex{12}, MoveIndex{13}, MoveIndex{1000}, std::numeric_limits<MoveIndex>::max()}) {
        Cube3x3 big_copy = big;
        Cube2x2 small_copy = small;
        apply_move_index_internal(big_copy, index);
        apply_move_index_internal(small_copy, index);
        EXPECT_EQ(big_copy, big) << index;
        EXPECT_EQ(small_copy, small) << index;
    }
}

template <class C>
class EveryTurn : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube3x3, Cube2x2>;
TYPED_TEST_SUITE(EveryTurn, CubeTypes);

TYPED_TEST(EveryTurn, IsUndoneByItsPartnerAndHasOrderFour) {
    std::mt19937_64 rng(7);
    for (int sample = 0; sample < 50; ++sample) {
        const TypeParam start = random_state<TypeParam>(rng);
        for (MoveIndex move = 0; move < move_count; ++move) {
            TypeParam there_and_back = start;
            apply_move_index_internal(there_and_back, move);
            EXPECT_NE(there_and_back, start) << move;
            apply_move_index_internal(there_and_back, move ^ 1);
            EXPECT_EQ(there_and_back, start) << move;

            TypeParam four = start;
            for (int i = 0; i < 4; ++i) apply_move_index_internal(four, move);
            EXPECT_EQ(four, start) << move;
        }
    }
}

// The word arithmetic agrees with a slot-by-slot reading of the move table on
// arbitrary words (unreachable ones included: garbage in unused bits, twist 3,
// edge pieces above 11), so every shift and mask of every turn is checked.
TEST(CubeModel, TurnsMatchTheMoveTableOnArbitraryWords) {
    std::mt19937_64 rng(3);
    for (int sample = 0; sample < 2000; ++sample) {
        Cube3x3 cube{rng(), rng()};
        for (MoveIndex move = 0; move < move_count; ++move) {
            Cube3x3 turned = cube;
            apply_move_index_internal(turned, move);
            ASSERT_EQ(turned.corners, testing::reference_corner_turn(cube.corners, move)) << move;
            ASSERT_EQ(turned.edges, testing::reference_edge_turn(cube.edges, move)) << move;
            Cube2x2 small{cube.corners};
            apply_move_index_internal(small, move);
            ASSERT_EQ(small.corners, turned.corners) << move;
        }
    }
}

TEST(CubeModel, TwistArithmeticWrapsModThree) {
    for (Word t = 0; t < 3; ++t) {
        EXPECT_EQ(corner_word::twist_plus_one(t), (t + 1) % 3);
        EXPECT_EQ(corner_word::twist_plus_two(t), (t + 2) % 3);
    }
    // R carries URF (slot 2) to UBR (slot 1) with +1, and DRF (slot 6) to URF with +2.
    Cube3x3 cube;
    cube.corners = testing::with_field(cube.corners, 2, 2 | (2 << 3));
    cube.corners = testing::with_field(cube.corners, 6, 6 | (1 << 3));
    cube.do_r_move_internal();
    EXPECT_EQ(testing::field_at(cube.corners, 1), 2u) << "twist 2 + 1 arrives as 0";
    EXPECT_EQ(testing::field_at(cube.corners, 2), 6u) << "twist 1 + 2 arrives as 0";
}

unsigned permutation_parity(const std::vector<unsigned>& pieces) {
    std::vector<bool> seen(pieces.size());
    unsigned transpositions = 0;
    for (std::size_t start = 0; start < pieces.size(); ++start) {
        std::size_t length = 0;
        for (std::size_t at = start; !seen[at]; at = pieces[at]) {
            seen[at] = true;
            ++length;
        }
        if (length > 0) transpositions += static_cast<unsigned>(length - 1);
    }
    return transpositions % 2;
}

TEST(CubeModel, LongRandomSequencesKeepTheInvariants) {
    std::mt19937_64 rng(5);
    for (int sample = 0; sample < 200; ++sample) {
        const auto moves = random_moves(rng, 1 + rng() % 300);
        const Cube3x3 big = apply_all(Cube3x3{}, moves);
        const Cube2x2 small = apply_all(Cube2x2{}, moves);
        ASSERT_EQ(small.corners, big.corners);

        EXPECT_EQ(big.corners >> slot_shift(corner_slots), 0u);
        EXPECT_EQ(big.edges >> slot_shift(edge_slots), 0u);
        std::vector<unsigned> corner_pieces, edge_pieces;
        Word twist_sum = 0;
        unsigned flips = 0;
        for (unsigned slot = 0; slot < corner_slots; ++slot) {
            const Word field = testing::field_at(big.corners, slot);
            EXPECT_LE(corner_twist(field), 2u);
            twist_sum += corner_twist(field);
            corner_pieces.push_back(static_cast<unsigned>(corner_piece(field)));
        }
        for (unsigned slot = 0; slot < edge_slots; ++slot) {
            const Word field = testing::field_at(big.edges, slot);
            flips += static_cast<unsigned>(edge_flip(field));
            edge_pieces.push_back(static_cast<unsigned>(edge_piece(field)));
        }
        EXPECT_EQ(twist_sum % 3, 0u);
        EXPECT_EQ(flips % 2, 0u);
        ASSERT_TRUE(std::is_permutation(corner_pieces.begin(), corner_pieces.end(),
                                        std::vector<unsigned>{0, 1, 2, 3, 4, 5, 6, 7}.begin()));
        ASSERT_LT(*std::max_element(edge_pieces.begin(), edge_pieces.end()), 12u);
        std::vector<unsigned> sorted = edge_pieces;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
        EXPECT_EQ(permutation_parity(corner_pieces), permutation_parity(edge_pieces));
        EXPECT_EQ(permutation_parity(corner_pieces), moves.size() % 2);
    }
}

}  // namespace
}  // namespace turnsmith
