#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "cube/net_text.hpp"
#include "cube/views.hpp"
#include "cube/render_2x2.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/render_3x3.hpp"
#include "cube/cube_3x3.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

using testing::random_state;

template <std::size_t N>
std::vector<std::uint64_t> as_vector(const StickerArray<N>& stickers) {
    return {stickers.begin(), stickers.end()};
}

std::vector<std::uint64_t> faces(std::initializer_list<std::vector<std::uint64_t>> parts) {
    std::vector<std::uint64_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<std::uint64_t> nine(std::uint64_t code) { return std::vector<std::uint64_t>(9, code); }

// ---- sticker arrays ----

TEST(StickerArray, SolvedCubesShowEveryFaceInItsOwnColour) {
    EXPECT_EQ(as_vector(Cube3x3{}.to_sticker_array_internal()),
              faces({nine(0), nine(1), nine(2), nine(3), nine(4), nine(5)}));
    std::vector<std::uint64_t> small;
    for (std::uint64_t code = 0; code < 6; ++code) small.insert(small.end(), 4, code);
    EXPECT_EQ(as_vector(Cube2x2{}.to_sticker_array_internal()), small);
}

TEST(StickerArray, AfterOneTurnFromSolved) {
    Cube3x3 u;
    u.do_u_move_internal();
    EXPECT_EQ(as_vector(u.to_sticker_array_internal()), faces({nine(0),
                                                               {5, 5, 5, 1, 1, 1, 1, 1, 1},
                                                               {1, 1, 1, 2, 2, 2, 2, 2, 2},
                                                               nine(3),
                                                               {2, 2, 2, 4, 4, 4, 4, 4, 4},
                                                               {4, 4, 4, 5, 5, 5, 5, 5, 5}}));
    Cube3x3 f;
    f.do_f_move_internal();
    EXPECT_EQ(as_vector(f.to_sticker_array_internal()), faces({{0, 0, 0, 0, 0, 0, 4, 4, 4},
                                                               {0, 1, 1, 0, 1, 1, 0, 1, 1},
                                                               nine(2),
                                                               {1, 1, 1, 3, 3, 3, 3, 3, 3},
                                                               {4, 4, 3, 4, 4, 3, 4, 4, 3},
                                                               nine(5)}));
}

struct OrientationCase {
    const char* name;
    bool corner;  // twist of URF, else flip of UF
    Word value;
    std::vector<std::pair<std::size_t, std::uint64_t>> expected;  // index, colour
};

class HandMadeOrientation : public ::testing::TestWithParam<OrientationCase> {};

TEST_P(HandMadeOrientation, ProjectsTheTurnedStickers) {
    const OrientationCase& c = GetParam();
    Cube3x3 cube;
    if (c.corner) {
        cube.corners = testing::with_field(cube.corners, 2, 2 | (c.value << 3));
    } else {
        cube.edges = testing::with_field(cube.edges, 2, 2 | (c.value << 4));
    }
    const auto stickers = cube.to_sticker_array_internal();
    for (const auto& [index, colour] : c.expected) EXPECT_EQ(stickers[index], colour) << index;
}

INSTANTIATE_TEST_SUITE_P(StickerArray, HandMadeOrientation,
                         ::testing::Values(OrientationCase{"UrfTwist1", true, 1, {{8, 2}, {20, 1}, {9, 0}}},
                                           OrientationCase{"UrfTwist2", true, 2, {{8, 1}, {20, 0}, {9, 2}}},
                                           OrientationCase{
                                               "UrfTwist3ReadsAs0", true, 3, {{8, 0}, {20, 2}, {9, 1}}},
                                           OrientationCase{"UfFlip", false, 1, {{7, 2}, {19, 0}}}),
                         [](const auto& info) { return info.param.name; });

TEST(StickerArray, EveryIndexIsWrittenByExactlyOneFacet) {
    std::vector<int> writes(54, 0);
    for (std::size_t face = 0; face < 6; ++face) ++writes[9 * face + 4];
    for (const auto& slot : corner_sticker_indexes_3x3) {
        for (const auto index : slot) ++writes[index];
    }
    for (const auto& slot : edge_sticker_indexes) {
        for (const auto index : slot) ++writes[index];
    }
    EXPECT_EQ(writes, std::vector<int>(54, 1));
}

TEST(StickerArray, TwoByTwoShowsTheCornerStickersOfTheThreeByThree) {
    constexpr std::array<std::size_t, 4> corner_positions = {0, 2, 6, 8};
    std::mt19937_64 rng(17);
    for (int sample = 0; sample < 300; ++sample) {
        const auto moves = testing::random_moves(rng, sample % 30);
        const auto big = testing::apply_all(Cube3x3{}, moves).to_sticker_array_internal();
        const auto small = testing::apply_all(Cube2x2{}, moves).to_sticker_array_internal();
        for (std::size_t face = 0; face < 6; ++face) {
            for (std::size_t k = 0; k < 4; ++k) {
                ASSERT_EQ(small[4 * face + k], big[9 * face + corner_positions[k]]) << face << ' ' << k;
            }
        }
    }
}

TEST(StickerArray, ReachableStatesShowNineOfEachColour) {
    std::mt19937_64 rng(19);
    for (int sample = 0; sample < 100; ++sample) {
        const auto stickers = random_state<Cube3x3>(rng).to_sticker_array_internal();
        for (std::uint64_t code = 0; code < 6; ++code) {
            ASSERT_EQ(std::count(stickers.begin(), stickers.end(), code), 9) << code;
        }
    }
}

// The sticker positions a turn moves must be a fixed permutation, independent
// of the state, and the turned face must rotate clockwise as seen from outside
// (row r, column c receives row n-1-c, column r). This checks the facet tables,
// the colour tables and the twist and flip conventions against the turns.
template <Cube C, std::size_t Dim>
void expect_turns_are_rigid_rotations() {
    constexpr std::size_t per_face = Dim * Dim;
    constexpr std::array<MoveIndex, 6> clockwise_turn_of_face = {0, 4, 8, 2, 6, 10};  // U R F D L B
    std::mt19937_64 rng(23);
    std::vector<C> samples;
    for (int i = 0; i < 300; ++i) samples.push_back(random_state<C>(rng));

    for (std::size_t face = 0; face < 6; ++face) {
        const MoveIndex move = clockwise_turn_of_face[face];
        // source[i] = the positions j with turned[i] == before[j] in every sample.
        std::vector<std::set<std::size_t>> source(C::sticker_dim);
        for (std::size_t i = 0; i < C::sticker_dim; ++i) {
            for (std::size_t j = 0; j < C::sticker_dim; ++j) source[i].insert(j);
        }
        for (const C& sample : samples) {
            C turned = sample;
            apply_move_index_internal(turned, move);
            const auto before = sample.to_sticker_array_internal();
            const auto after = turned.to_sticker_array_internal();
            for (std::size_t i = 0; i < C::sticker_dim; ++i) {
                std::erase_if(source[i], [&](std::size_t j) { return after[i] != before[j]; });
            }
        }
        std::set<std::size_t> used;
        for (std::size_t i = 0; i < C::sticker_dim; ++i) {
            ASSERT_EQ(source[i].size(), 1u) << "move " << move << " sticker " << i;
            used.insert(*source[i].begin());
        }
        EXPECT_EQ(used.size(), C::sticker_dim) << "move " << move;
        std::size_t moved = 0;
        for (std::size_t i = 0; i < C::sticker_dim; ++i) moved += *source[i].begin() != i;
        EXPECT_EQ(moved, Dim == 3 ? 20u : 12u) << "move " << move;
        for (std::size_t row = 0; row < Dim; ++row) {
            for (std::size_t column = 0; column < Dim; ++column) {
                const std::size_t target = face * per_face + row * Dim + column;
                const std::size_t origin = face * per_face + (Dim - 1 - column) * Dim + row;
                EXPECT_EQ(*source[target].begin(), origin) << "move " << move << " sticker " << target;
            }
        }
    }
}

TEST(StickerArray, ThreeByThreeTurnsAreRigidRotations) { expect_turns_are_rigid_rotations<Cube3x3, 3>(); }
TEST(StickerArray, TwoByTwoTurnsAreRigidRotations) { expect_turns_are_rigid_rotations<Cube2x2, 2>(); }

TEST(StickerArray, EdgePieceTwelveOrMoreIsAnInternalFault) {
    for (const Word piece : {12u, 13u, 15u}) {
        Cube3x3 cube;
        cube.edges = testing::with_field(cube.edges, 11, piece);
        ::testing::internal::CaptureStderr();
        EXPECT_THROW((void)cube.to_sticker_array_internal(), InternalFault);
        EXPECT_THROW((void)cube.render_ansi_internal(), InternalFault);
        ::testing::internal::GetCapturedStderr();
    }
}

TEST(InternalFaultReport, NamesThreadPositionAndText) {
    std::string diagnostic;
    std::string what;
    ::testing::internal::CaptureStderr();
    std::thread worker([&] {
        pthread_setname_np(pthread_self(), "fault-probe");
        Cube3x3 cube;
        cube.edges = testing::with_field(cube.edges, 4, 14);
        try {
            (void)cube.to_sticker_array_internal();
        } catch (const InternalFault& fault) {
            what = fault.what();
        }
    });
    worker.join();
    diagnostic = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(what, "edge slot 4 holds piece 14, but edge pieces are numbered 0..11");
    EXPECT_TRUE(
        std::regex_match(diagnostic, std::regex("thread 'fault-probe' panicked at src/cube/cube_3x3\\.hpp:"
                                                "[0-9]+:[0-9]+:\n" +
                                                what + "\n")))
        << diagnostic;
}

// ---- piece views and binary strings ----

TEST(PieceViews, SolvedAndAfterU) {
    std::array<PiecePair, 8> corners{};
    std::array<PiecePair, 12> edges{};
    for (std::uint8_t s = 0; s < 8; ++s) corners[s] = {s, 0};
    for (std::uint8_t s = 0; s < 12; ++s) edges[s] = {s, 0};
    EXPECT_EQ(corner_pairs(solved_corners), corners);
    EXPECT_EQ(edge_pairs(solved_edges), edges);

    Cube3x3 cube;
    cube.do_u_move_internal();
    std::rotate(corners.begin(), corners.begin() + 3, corners.begin() + 4);
    std::rotate(edges.begin(), edges.begin() + 3, edges.begin() + 4);
    EXPECT_EQ(corner_pairs(cube.corners), corners);  // (3,0) (0,0) (1,0) (2,0) (4,0) ...
    EXPECT_EQ(edge_pairs(cube.edges), edges);
}

TEST(PieceViews, ReportFieldsAsStored) {
    // Slot 0 twist 3 (never produced by turns) and slot 7 piece 7 twist 2;
    // edge slot 11 piece 15 flipped.
    const Word corners = (Word{3} << 3) | (Word{7 | (2 << 3)} << 35);
    const Word edges = Word{15 | 16} << 55;
    EXPECT_EQ(corner_pairs(corners)[0], PiecePair(0, 3));
    EXPECT_EQ(corner_pairs(corners)[7], PiecePair(7, 2));
    EXPECT_EQ(edge_pairs(edges)[11], PiecePair(15, 1));
    EXPECT_EQ(edge_pairs(edges)[0], PiecePair(0, 0));
}

std::string as_string(const std::array<char, 64>& digits) { return {digits.begin(), digits.end()}; }

TEST(BinaryDigits, AreAll64DigitsMostSignificantFirst) {
    EXPECT_EQ(as_string(binary_digits(solved_corners)),
              std::string(26, '0') + "11100110001010010000011000100000100000");
    EXPECT_EQ(as_string(binary_digits(solved_edges)),
              std::string(5, '0') + "10110101001001010000011100110001010010000011000100000100000");
    EXPECT_EQ(as_string(binary_digits(0)), std::string(64, '0'));
    EXPECT_EQ(as_string(binary_digits(~Word{0})), std::string(64, '1'));
    EXPECT_EQ(as_string(binary_digits(1)), std::string(63, '0') + "1");
    std::mt19937_64 rng(29);
    for (int i = 0; i < 100; ++i) {
        const Word word = rng() >> (rng() % 64);
        ASSERT_EQ(as_string(binary_digits(word)), std::bitset<64>(word).to_string());
    }
}

// ---- rendering ----

std::string strip_escapes(const std::string& text) {
    return std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
        lines.push_back(text.substr(from, at - from));
    }
    EXPECT_EQ(from, text.size()) << "text must end with a line feed";
    return lines;
}

TEST(Rendering, SolvedNets) {
    EXPECT_EQ(strip_escapes(Cube3x3{}.render_ansi_internal()),
              "       W W W\n"
              "       W W W\n"
              "       W W W\n"
              "O O O  G G G  R R R  B B B\n"
              "O O O  G G G  R R R  B B B\n"
              "O O O  G G G  R R R  B B B\n"
              "       Y Y Y\n"
              "       Y Y Y\n"
              "       Y Y Y\n");
    EXPECT_EQ(strip_escapes(Cube2x2{}.render_ansi_internal()),
              "      W W\n"
              "      W W\n"
              "O O   G G   R R   B B\n"
              "O O   G G   R R   B B\n"
              "      Y Y\n"
              "      Y Y\n");
}

TEST(Rendering, NetAfterU) {
    Cube3x3 cube;
    cube.do_u_move_internal();
    const auto lines = lines_of(strip_escapes(cube.render_ansi_internal()));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[3], "G G G  R R R  B B B  O O O");
    EXPECT_EQ(lines[4], "O O O  G G G  R R R  B B B");
    EXPECT_EQ(lines[5], "O O O  G G G  R R R  B B B");
}

TEST(Rendering, StickerEscapes) {
    const std::array<std::pair<char, std::string>, 6> expected = {{
        {'W', "\x1b[37;1mW\x1b[0m"},
        {'R', "\x1b[31;1mR\x1b[0m"},
        {'G', "\x1b[32;1mG\x1b[0m"},
        {'Y', "\x1b[33;1mY\x1b[0m"},
        {'O', "\x1b[38;5;208mO\x1b[0m"},
        {'B', "\x1b[34;1mB\x1b[0m"},
    }};
    for (const auto& [letter, text] : expected) {
        EXPECT_EQ(ansi_color(letter), text) << letter;
        EXPECT_EQ(text.size(), letter == 'O' ? 16u : 12u);
    }
    for (const char other : {'w', 'X', ' ', '\0'}) EXPECT_EQ(ansi_color(other), std::string(1, other));
}

TEST(Rendering, GetStickerFollowsTheTwist) {
    Word corners = solved_corners;
    EXPECT_EQ(get_sticker(corners, 2, 0), ansi_color('W'));
    EXPECT_EQ(get_sticker(corners, 2, 1), ansi_color('G'));
    EXPECT_EQ(get_sticker(corners, 2, 2), ansi_color('R'));
    corners = testing::with_field(corners, 2, 2 | (1 << 3));
    EXPECT_EQ(get_sticker(corners, 2, 0), ansi_color('G'));
    EXPECT_EQ(get_sticker(corners, 2, 1), ansi_color('R'));
    EXPECT_EQ(get_sticker(corners, 2, 2), ansi_color('W'));
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(get_sticker(corners, 8, 0), InternalFault);
    EXPECT_THROW(get_sticker(corners, 0, 3), InternalFault);
    ::testing::internal::GetCapturedStderr();
}

template <class C>
class RenderingOf : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube3x3, Cube2x2>;
TYPED_TEST_SUITE(RenderingOf, CubeTypes);

TYPED_TEST(RenderingOf, ReachableStatesHaveFixedLengthAndShape) {
    constexpr bool big = std::is_same_v<TypeParam, Cube3x3>;
    std::mt19937_64 rng(31);
    for (int sample = 0; sample < 100; ++sample) {
        const TypeParam cube = random_state<TypeParam>(rng, sample % 25);
        const std::string text = cube.render_ansi_internal();
        ASSERT_EQ(text.size(), big ? 789u : 364u);
        const auto lines = lines_of(text);
        ASSERT_EQ(lines.size(), big ? 9u : 6u);
        for (const auto& line : lines) EXPECT_NE(line.back(), ' ');
        // Letters in net order are the sticker array read through the net.
        const std::string letters = std::regex_replace(strip_escapes(text), std::regex("[ \n]"), "");
        const auto stickers = cube.to_sticker_array_internal();
        constexpr auto order = net_reading_order < big ? 3 : 2 > ();
        for (std::size_t i = 0; i < order.size(); ++i) {
            ASSERT_EQ(letters[i], colour_letters[stickers[order[i]]]) << i;
        }
    }
}

}  // namespace
}  // namespace turnsmith
