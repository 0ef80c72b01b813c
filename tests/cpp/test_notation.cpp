#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cube/notation.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

// UTF-8 of a character below U+10000.
std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

const std::vector<char32_t> listed_whitespace = {
    0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

Cube3x3 moved(std::string_view moves, Cube3x3 cube = {}) {
    apply_moves_internal(cube, moves);
    return cube;
}

Cube3x3 by_indexes(std::initializer_list<MoveIndex> indexes, Cube3x3 cube = {}) {
    for (const MoveIndex index : indexes) apply_move_index_internal(cube, index);
    return cube;
}

std::vector<std::string> tokens_of(std::string_view text) {
    std::vector<std::string> tokens;
    for_each_token(text, [&](std::string_view token) { tokens.emplace_back(token); });
    return tokens;
}

std::vector<std::string> reverse_tokens_of(std::string_view text) {
    std::vector<std::string> tokens;
    for_each_token_reverse(
        text, [&](std::string_view token) { tokens.insert(tokens.begin(), std::string(token)); });
    return tokens;
}

// ---- whitespace and tokens ----

TEST(Whitespace, IsExactlyTheWhiteSpaceProperty) {
    std::vector<char32_t> found;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (is_unicode_whitespace(c)) found.push_back(c);
    }
    EXPECT_EQ(found, listed_whitespace);
}

TEST(Whitespace, EveryListedCharacterSeparatesTokens) {
    const Cube3x3 expected = by_indexes({4, 0});
    for (const char32_t c : listed_whitespace) {
        const std::string separator = utf8(c);
        EXPECT_EQ(moved("R" + separator + "U"), expected) << std::hex << static_cast<unsigned>(c);
        EXPECT_EQ(tokens_of(separator + "R" + separator + separator + "U" + separator),
                  (std::vector<std::string>{"R", "U"}));
    }
}

TEST(Whitespace, LookalikesAreOrdinaryCharacters) {
    for (const char32_t c : {0x1C, 0x1D, 0x1E, 0x1F, 0x200B, 0x2060, 0xFEFF}) {
        std::string inside = "U";
        (inside += utf8(c)) += 'R';
        EXPECT_EQ(tokens_of(inside), std::vector<std::string>{inside});
        EXPECT_TRUE(moved(inside).is_solved()) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(Tokens, ForwardAndBackwardPassesAgree) {
    const std::vector<std::string> pieces = {"R",
                                             "U'",
                                             "x",
                                             "Ü",
                                             "\xe2\x80\x99",
                                             "𝔘",
                                             " ",
                                             "\t",
                                             "\xc2\xa0",
                                             "\xe3\x80\x80",
                                             "\xe2\x80\x8b",
                                             "\xe2\x80\xa8",
                                             "\x1c",
                                             "2",
                                             "'"};
    std::mt19937_64 rng(41);
    for (int sample = 0; sample < 3000; ++sample) {
        std::string text;
        for (std::size_t n = rng() % 12; n > 0; --n) text += pieces[rng() % pieces.size()];
        ASSERT_EQ(reverse_tokens_of(text), tokens_of(text)) << text;
    }
}

// Text from Python is valid UTF-8, but the scanners must stay inside any byte
// string and still split it the same way in both directions.
TEST(Tokens, MalformedBytesAreScannedSafely) {
    const std::string alphabet = std::string("\x80\xbf\xc2\x85\xa0\xe2\x80\x8a\xe3\xf0\x9f R\t", 15);
    std::mt19937_64 rng(43);
    for (int sample = 0; sample < 20000; ++sample) {
        std::string text;
        for (std::size_t n = rng() % 10; n > 0; --n) text += alphabet[rng() % alphabet.size()];
        const auto forward = tokens_of(text);
        ASSERT_EQ(reverse_tokens_of(text), forward);
        std::size_t bytes = 0;
        for (const auto& token : forward) bytes += token.size();
        ASSERT_LE(bytes, text.size());
        (void)moved(text);
        (void)inverse_scramble_internal(text);
    }
}

// A space or line break spelt in more bytes than it needs (or behind a lead
// byte that no UTF-8 has) is no separator: the token holds all its bytes.
TEST(Tokens, OverlongWhitespaceDoesNotSeparate) {
    for (const std::string_view spelt : {std::string_view("\xc0\xa0"), std::string_view("\xe0\x80\x8b"),
                                         std::string_view("\xf0\x80\x80\xa0"),
                                         std::string_view("\xf8\x80\x80\xa0")}) {
        const std::string text = "U" + std::string(spelt) + "R";
        EXPECT_EQ(tokens_of(text), std::vector<std::string>{text});
        EXPECT_EQ(reverse_tokens_of(text), std::vector<std::string>{text});
        EXPECT_EQ(inverse_scramble_internal(text), text);
    }
}

// ---- applying moves ----

struct TokenCase {
    std::string token;
    std::vector<MoveIndex> indexes;
};

std::vector<TokenCase> token_table() {
    std::vector<TokenCase> table;
    const std::string faces = "UDRLFB";
    for (MoveIndex face = 0; face < 6; ++face) {
        const std::string letter(1, faces[face]);
        table.push_back({letter, {2 * face}});
        table.push_back({letter + "'", {2 * face + 1}});
        table.push_back({letter + "!", {2 * face + 1}});
        table.push_back({letter + "2", {2 * face, 2 * face}});
    }
    return table;
}

TEST(ApplyMoves, EveryTableTokenOnBothCubeTypes) {
    std::mt19937_64 rng(47);
    const auto table = token_table();
    ASSERT_EQ(table.size(), 24u);
    for (const TokenCase& c : table) {
        const Cube3x3 start = testing::random_state<Cube3x3>(rng);
        Cube3x3 expected = start;
        for (const MoveIndex index : c.indexes) apply_move_index_internal(expected, index);
        EXPECT_EQ(moved(c.token, start), expected) << c.token;

        Cube2x2 small{start.corners};
        apply_moves_internal(small, c.token);
        EXPECT_EQ(small.corners, expected.corners) << c.token;
    }
}

TEST(ApplyMoves, SequencesApplyLeftToRight) {
    const Cube3x3 sexy = by_indexes({4, 0, 5, 1});
    EXPECT_EQ(moved("R U R' U'"), sexy);
    EXPECT_EQ(moved("R! U!"), moved("R' U'"));
    EXPECT_EQ(moved("  R\tU\nR'  U' "), sexy);
    EXPECT_EQ(moved("U' x R"), by_indexes({1, 4}));
    EXPECT_EQ(moved("U2 D2 R2 L2 F2 B2"), by_indexes({0, 0, 2, 2, 4, 4, 6, 6, 8, 8, 10, 10}));
    for (const char* back_to_start : {"U U U U", "U U'", "U2 U2", "F! F",
                                      "R U R' U' R U R' U' R U R' U' "
                                      "R U R' U' R U R' U' R U R' U'"}) {
        EXPECT_TRUE(moved(back_to_start).is_solved()) << back_to_start;
    }
}

TEST(ApplyMoves, UnknownTokensAreSkipped) {
    for (const char* skipped : {"",   " ",  "   \t\n", "u",   "Uw",  "M", "E", "S", "x",  "y", "z",
                                "U3", "UU", "U''",     "U2'", "U'2", "2", "'", "!", "U’", "r", "R2 R2 x"}) {
        EXPECT_TRUE(moved(skipped).is_solved()) << skipped;
    }
}

TEST(ApplyMoves, TwoByTwoAgreesWithThreeByThreeCorners) {
    const std::vector<std::string> pieces = {"R", "U'",  "F2", "B!",       "D", "L'",
                                             "x", "U2'", " ",  "\xc2\xa0", "\n"};
    std::mt19937_64 rng(53);
    for (int sample = 0; sample < 300; ++sample) {
        std::string text;
        for (std::size_t n = rng() % 40; n > 0; --n) text += pieces[rng() % pieces.size()] + " ";
        Cube2x2 small;
        apply_moves_internal(small, text);
        ASSERT_EQ(small.corners, moved(text).corners) << text;
    }
}

// ---- inverse scrambles ----

TEST(InverseScramble, Examples) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"R U R' U'", "U'' R'' U' R'"},
        {"R U F", "F' U' R'"},
        {"U2 R", "R' U'2"},
        {"", ""},
        {" \t\n \xe3\x80\x80", ""},
        {"  R\tU  ", "U' R'"},
        {"U! x Uw", "Uw x U!"},
        {"R U", "U' R'"},
        {"U' R'", "R'' U''"},
        {"R''", "R'"},
        {"U''", "U'"},
        {"U'2", "U2"},
        {"' 2", "2 '"},
        {"R2'", "R2'"},
        {"u Uw x M U3 UU ''", "'' UU U3 M x Uw u"},
        {"D L B", "B' L' D'"},
        {"F' B'", "B'' F''"},
    };
    for (const auto& [input, output] : cases) EXPECT_EQ(inverse_scramble_internal(input), output) << input;
}

TEST(InverseScramble, AnyWhitespaceBecomesOneSpace) {
    for (const char32_t c : listed_whitespace) {
        const std::string ws = utf8(c);
        EXPECT_EQ(inverse_scramble_internal(ws + ws + "R" + ws + "U2" + ws + ws + "F" + ws), "F' U'2 R'");
    }
    EXPECT_EQ(inverse_scramble_internal("R\xe2\x80\x8bU"), "R\xe2\x80\x8bU");
}

TEST(InverseScramble, NonAsciiTokensAreCarriedByteForByte) {
    EXPECT_EQ(inverse_scramble_internal("U’ Ü2 𝔘 R"), "R' 𝔘 Ü2 U’");
    EXPECT_EQ(inverse_scramble_internal("Ü'"), "Ü'");
}

TEST(InverseScramble, UndoesScramblesOfPlainFaceLetters) {
    std::mt19937_64 rng(59);
    const std::string faces = "UDRLFB";
    for (int sample = 0; sample < 200; ++sample) {
        std::string scramble;
        for (std::size_t n = rng() % 30; n > 0; --n) {
            scramble += faces[rng() % faces.size()];
            scramble += " ";
        }
        const std::string inverse = inverse_scramble_internal(scramble);
        EXPECT_TRUE(moved(inverse, moved(scramble)).is_solved()) << scramble << " / " << inverse;
    }
}

}  // namespace
}  // namespace turnsmith
