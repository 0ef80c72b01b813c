// States in and out of the packed words: which words are states, sticker
// arrays read back into words, uniformly random states and the seeded streams
// behind them, and the batch loops that take states in and hand them out,
// each against the single cube or a plain count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "cube/random.hpp"
#include "cube/random_state.hpp"
#include "cube/state_check.hpp"
#include "cube/sticker_import.hpp"
#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "engine/operations.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

using testing::apply_all;
using testing::random_moves;
using testing::random_state;
using testing::with_field;

template <class C>
class States : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(States, CubeTypes);

template <class C>
constexpr bool is_3x3 = std::is_same_v<C, Cube3x3>;

constexpr Word corner(Word piece, Word twist) { return piece | (twist << twist_shift); }
constexpr Word edge(Word piece, Word flip) { return piece | (flip << flip_shift); }

// `word` with the given {slot, field} pairs written in.
Word edited(Word word, std::initializer_list<std::pair<unsigned, Word>> fields) {
    for (const auto& [slot, field] : fields) word = with_field(word, slot, field);
    return word;
}

template <Cube C>
std::vector<C> random_states(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<C> cubes(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Every seventh stays solved, so that flags and takes see both kinds.
        if (i % 7 != 0) cubes[i] = random_state<C>(rng, 1 + rng() % 40);
    }
    return cubes;
}

// ---- which words are states ----------------------------------------------

struct WordCase {
    const char* name;
    Word corners;
    Word edges;
    std::optional<StateFault> fault;  // nothing: the turns reach it
    const char* text;
};

StateFault fault_of(StateRule rule, unsigned slot = 0, unsigned other = 0, unsigned value = 0) {
    return {rule, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(other),
            static_cast<std::uint8_t>(value)};
}

const std::vector<WordCase>& word_cases() {
    using R = StateRule;
    const Word c = solved_corners;
    const Word e = solved_edges;
    const Word swapped_corners = edited(c, {{0, corner(1, 0)}, {1, corner(0, 0)}});
    const Word swapped_edges = edited(e, {{10, edge(11, 0)}, {11, edge(10, 0)}});
    static const std::vector<WordCase> cases = {
        {"solved", c, e, std::nullopt, ""},
        {"twists 2, 2, 2", edited(c, {{0, corner(0, 2)}, {1, corner(1, 2)}, {2, corner(2, 2)}}), e,
         std::nullopt, ""},
        {"two flipped edges", c, edited(e, {{3, edge(3, 1)}, {8, edge(8, 1)}}), std::nullopt, ""},
        {"corner 3-cycle", edited(c, {{0, corner(2, 0)}, {1, corner(0, 0)}, {2, corner(1, 0)}}), e,
         std::nullopt, ""},
        {"corners and edges both swapped", swapped_corners, swapped_edges, std::nullopt, ""},

        {"corner bit 40", c | Word{1} << 40, e, fault_of(R::corner_bits_above),
         "the corner word has bits set above its 8 slots"},
        {"corner bit 63", c | Word{1} << 63, e, fault_of(R::corner_bits_above),
         "the corner word has bits set above its 8 slots"},
        // The twists sum to 3: only the range rule sees it.
        {"twist 3", edited(c, {{5, corner(5, 3)}}), e, fault_of(R::corner_twist_range, 5, 0, 3),
         "corner slot 5 has twist 3, but twists are 0..2"},
        // Twists 2 and 1 on the same piece: the fields differ, the pieces do not.
        {"corner piece twice", edited(c, {{2, corner(2, 2)}, {6, corner(2, 1)}}), e,
         fault_of(R::corner_piece_twice, 6, 2, 2), "corner piece 2 is in slots 2 and 6"},
        {"twist sum 1", edited(c, {{0, corner(0, 1)}}), e, fault_of(R::corner_twist_sum, 0, 0, 1),
         "corner twists sum to 1 mod 3"},
        {"twist sum 5", edited(c, {{1, corner(1, 2)}, {4, corner(4, 2)}, {7, corner(7, 1)}}), e,
         fault_of(R::corner_twist_sum, 0, 0, 2), "corner twists sum to 2 mod 3"},
        {"edge bit 60", c, e | Word{1} << 60, fault_of(R::edge_bits_above),
         "the edge word has bits set above its 12 slots"},
        {"edge bit 63", c, e | Word{1} << 63, fault_of(R::edge_bits_above),
         "the edge word has bits set above its 12 slots"},
        {"edge piece 12", c, edited(e, {{0, edge(12, 0)}}), fault_of(R::edge_piece_range, 0, 0, 12),
         "edge slot 0 holds piece 12, but edge pieces are 0..11"},
        {"edge piece 15", c, edited(e, {{11, edge(15, 1)}}), fault_of(R::edge_piece_range, 11, 0, 15),
         "edge slot 11 holds piece 15, but edge pieces are 0..11"},
        // Both flipped: the flips stay even and the fields are equal.
        {"edge piece twice", c, edited(e, {{4, edge(4, 1)}, {9, edge(4, 1)}}),
         fault_of(R::edge_piece_twice, 9, 4, 4), "edge piece 4 is in slots 4 and 9"},
        {"one flipped edge", c, edited(e, {{3, edge(3, 1)}}), fault_of(R::edge_flip_sum, 0, 0, 1),
         "edge flips sum to 1 mod 2"},
        {"corners swapped", swapped_corners, e, fault_of(R::permutation_parity),
         "corner and edge permutations differ in parity"},
        {"edges swapped", c, swapped_edges, fault_of(R::permutation_parity),
         "corner and edge permutations differ in parity"},

        // Several broken rules: the first in the order above is named.
        {"bits above before twist 3", edited(c, {{1, corner(1, 3)}}) | Word{1} << 45, e,
         fault_of(R::corner_bits_above), "the corner word has bits set above its 8 slots"},
        {"twist 3 before a piece twice", edited(c, {{1, corner(0, 3)}}), e,
         fault_of(R::corner_twist_range, 1, 0, 3), "corner slot 1 has twist 3, but twists are 0..2"},
        {"edge piece 14 before an earlier piece twice", c, edited(e, {{0, edge(1, 0)}, {9, edge(14, 0)}}),
         fault_of(R::edge_piece_range, 9, 0, 14), "edge slot 9 holds piece 14, but edge pieces are 0..11"},
        {"corners before edges", edited(c, {{0, corner(0, 1)}}), edited(e, {{2, edge(13, 0)}}),
         fault_of(R::corner_twist_sum, 0, 0, 1), "corner twists sum to 1 mod 3"},
    };
    return cases;
}

void expect_fault(const std::optional<StateFault>& actual, const std::optional<StateFault>& expected,
                  const std::string& text) {
    ASSERT_EQ(actual.has_value(), expected.has_value()) << (actual ? describe(*actual) : "accepted");
    if (!expected) return;
    EXPECT_EQ(actual->rule, expected->rule);
    EXPECT_EQ(actual->slot, expected->slot);
    EXPECT_EQ(actual->other, expected->other);
    EXPECT_EQ(actual->value, expected->value);
    EXPECT_EQ(describe(*actual), text);
}

bool is_corner_rule(StateRule rule) {
    return rule == StateRule::corner_bits_above || rule == StateRule::corner_twist_range ||
           rule == StateRule::corner_piece_twice || rule == StateRule::corner_twist_sum;
}

TEST(StateCheck, NamesTheFirstRuleAWordBreaks) {
    for (const WordCase& c : word_cases()) {
        SCOPED_TRACE(c.name);
        expect_fault(check_state(c.corners, c.edges), c.fault, c.text);
        if (c.edges != solved_edges) continue;
        // The 2x2 judges its corner word by the corner rules alone: with no
        // edges, any corner permutation occurs.
        const bool corner_verdict = !c.fault || is_corner_rule(c.fault->rule);
        expect_fault(check_state(c.corners), corner_verdict ? c.fault : std::nullopt, c.text);
    }
}

TYPED_TEST(States, EveryStateTheTurnsReachPasses) {
    std::mt19937_64 rng(3);
    for (int sample = 0; sample < 200; ++sample) {
        TypeParam cube;
        for (const MoveIndex move : random_moves(rng, 1 + rng() % 60)) {
            apply_move_index_internal(cube, move);
            const auto fault = check_state(cube.words());
            ASSERT_FALSE(fault) << describe(*fault);
        }
    }
}

// ---- sticker arrays back to words ------------------------------------------

template <Cube C>
std::vector<std::int64_t> stickers_of(const C& cube) {
    const auto stickers = cube.to_sticker_array_internal();
    return {stickers.begin(), stickers.end()};
}

template <Cube C>
C read_back(const C& cube) {
    C read{};
    const auto fault = read_sticker_array_internal(stickers_of(cube), read);
    EXPECT_FALSE(fault) << describe(*fault);
    return read;
}

TYPED_TEST(States, StickerArraysReadBackToTheirState) {
    std::mt19937_64 rng(8);
    for (int sample = 0; sample < 300; ++sample) {
        const TypeParam cube = random_state<TypeParam>(rng, rng() % 50);
        ASSERT_EQ(read_back(cube), cube) << sample;
    }
}

// Each slot is read on its own, so every field with a real piece and
// orientation reads back in every slot, whether or not the word is a state.
TYPED_TEST(States, EveryFieldReadsBackInEverySlot) {
    using C = TypeParam;
    const auto every_field = [](Word C::*word, Word solved, unsigned slots, Word pieces, Word orientations,
                                unsigned orientation_shift) {
        for (unsigned slot = 0; slot < slots; ++slot) {
            for (Word piece = 0; piece < pieces; ++piece) {
                for (Word orientation = 0; orientation < orientations; ++orientation) {
                    C cube;
                    cube.*word = edited(solved, {{slot, piece | (orientation << orientation_shift)}});
                    ASSERT_EQ(read_back(cube), cube)
                        << "slot " << slot << ", piece " << piece << ", orientation " << orientation;
                }
            }
        }
    };
    every_field(&C::corners, solved_corners, corner_slots, 8, 3, twist_shift);
    if constexpr (is_3x3<C>) every_field(&C::edges, solved_edges, edge_slots, 12, 2, flip_shift);
}

struct StickerCase {
    const char* name;
    unsigned cube_type;
    std::vector<std::pair<unsigned, std::int64_t>> edits;  // {sticker, colour} on the solved array
    std::optional<StickerFault> fault;                     // the reading's fault
    const char* text;  // the reading's fault, else the state's fault, else "" for a state
};

StickerFault sticker_fault(StickerRule rule, unsigned at, std::int64_t value = 0) {
    return {rule, at, value};
}

const std::vector<StickerCase>& sticker_cases() {
    using R = StickerRule;
    // Corner slot 0 (stickers 0, 47, 36 on the 3x3) shows piece 1 and slot 1
    // (2, 11, 45) piece 0; on the 2x2 the same slots are 0, 21, 16 and 1, 5, 20.
    const std::vector<std::pair<unsigned, std::int64_t>> swap_3x3 = {{0, 0}, {47, 1}, {36, 5},
                                                                     {2, 0}, {11, 5}, {45, 4}};
    static const std::vector<StickerCase> cases = {
        {"colour 6",
         3,
         {{7, 6}},
         sticker_fault(R::colour_range, 7, 6),
         "sticker 7 has colour 6, but colours are 0..5"},
        {"colour -1",
         3,
         {{53, -1}},
         sticker_fault(R::colour_range, 53, -1),
         "sticker 53 has colour -1, but colours are 0..5"},
        {"2x2 colour -3",
         2,
         {{0, -3}},
         sticker_fault(R::colour_range, 0, -3),
         "sticker 0 has colour -3, but colours are 0..5"},
        {"2x2 colour 2^40",
         2,
         {{23, std::int64_t{1} << 40}},
         sticker_fault(R::colour_range, 23, std::int64_t{1} << 40),
         "sticker 23 has colour 1099511627776, but colours are 0..5"},
        {"centre of R",
         3,
         {{13, 2}},
         sticker_fault(R::centre, 13, 2),
         "sticker 13, the centre of face R, shows colour 2 where it must show 1"},
        {"centre of B",
         3,
         {{49, 0}},
         sticker_fault(R::centre, 49, 0),
         "sticker 49, the centre of face B, shows colour 0 where it must show 5"},
        {"colours no corner has",
         3,
         {{0, 1}},
         sticker_fault(R::corner, 0),
         "corner slot 0 shows colours 1, 5, 4, which no corner piece has"},
        // The colours of piece URF, read the wrong way round.
        {"mirrored corner",
         3,
         {{20, 1}, {9, 2}},
         sticker_fault(R::corner, 2),
         "corner slot 2 shows colours 0, 1, 2, which no corner piece has"},
        {"2x2 mirrored corner",
         2,
         {{6, 2}, {11, 1}},
         sticker_fault(R::corner, 6),
         "corner slot 6 shows colours 3, 2, 1, which no corner piece has"},
        {"opposite colours on an edge",
         3,
         {{19, 3}},
         sticker_fault(R::edge, 2),
         "edge slot 2 shows colours 0, 3, which no edge piece has"},
        {"one colour twice on an edge",
         3,
         {{41, 2}},
         sticker_fault(R::edge, 11),
         "edge slot 11 shows colours 2, 2, which no edge piece has"},

        // Several faults: colours first, then centres, then corners, then edges.
        {"colour range before centre",
         3,
         {{4, 1}, {50, 9}},
         sticker_fault(R::colour_range, 50, 9),
         "sticker 50 has colour 9, but colours are 0..5"},
        {"centre before corner",
         3,
         {{0, 1}, {22, 0}},
         sticker_fault(R::centre, 22, 0),
         "sticker 22, the centre of face F, shows colour 0 where it must show 2"},
        {"corner before edge",
         3,
         {{1, 5}, {27, 0}},
         sticker_fault(R::corner, 7),
         "corner slot 7 shows colours 0, 2, 4, which no corner piece has"},

        // Real pieces everywhere: the words read are judged as states.
        {"one corner twisted", 3, {{0, 5}, {47, 4}, {36, 0}}, std::nullopt, "corner twists sum to 1 mod 3"},
        {"one edge flipped", 3, {{5, 1}, {10, 0}}, std::nullopt, "edge flips sum to 1 mod 2"},
        {"a corner shown twice",
         3,
         {{2, 0}, {11, 5}, {45, 4}},
         std::nullopt,
         "corner piece 0 is in slots 0 and 1"},
        {"two corners swapped", 3, swap_3x3, std::nullopt, "corner and edge permutations differ in parity"},
        {"2x2 two corners swapped", 2, {{0, 0}, {21, 1}, {16, 5}, {1, 0}, {5, 5}, {20, 4}}, std::nullopt, ""},
    };
    return cases;
}

// What reading `stickers` says: the reading's fault, the state's, or "".
template <Cube C>
std::string read_verdict(const std::vector<std::int64_t>& stickers, std::optional<StickerFault>& fault) {
    C cube{};
    fault = read_sticker_array_internal(stickers, cube);
    if (fault) return describe(*fault);
    if (const auto state_fault = check_state(cube.words())) return describe(*state_fault);
    return "";
}

TEST(StickerImport, NamesWhatABrokenArrayShows) {
    for (const StickerCase& c : sticker_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::int64_t> stickers =
            c.cube_type == 2 ? stickers_of(Cube2x2{}) : stickers_of(Cube3x3{});
        for (const auto& [at, colour] : c.edits) stickers.at(at) = colour;
        std::optional<StickerFault> fault;
        const std::string text = c.cube_type == 2 ? read_verdict<Cube2x2>(stickers, fault)
                                                  : read_verdict<Cube3x3>(stickers, fault);
        EXPECT_EQ(text, c.text);
        ASSERT_EQ(fault.has_value(), c.fault.has_value());
        if (!fault) continue;
        EXPECT_EQ(fault->rule, c.fault->rule);
        EXPECT_EQ(fault->at, c.fault->at);
        EXPECT_EQ(fault->value, c.fault->value);
    }
}

// ---- uniformly random states -----------------------------------------------

// Counts in rows of cells that should be equally likely within a row.
struct Tally {
    std::vector<std::vector<double>> counts;
    Tally(std::size_t rows, std::size_t cols) : counts(rows, std::vector<double>(cols)) {}
    void add(std::size_t row, std::size_t col) { ++counts.at(row).at(col); }

    double chi_square() const {
        double sum = 0;
        for (const auto& row : counts) {
            double total = 0;
            for (const double count : row) total += count;
            const double expected = total / static_cast<double>(row.size());
            for (const double count : row) sum += (count - expected) * (count - expected) / expected;
        }
        return sum;
    }
    double degrees_of_freedom() const { return static_cast<double>(counts.size() * (counts[0].size() - 1)); }
};

// The value a chi-square statistic with `df` degrees of freedom exceeds with
// probability about 1e-6 (Wilson and Hilferty's cube-root approximation).
double chi_square_bound(double df) {
    const double z = 4.75;
    const double a = 2.0 / (9.0 * df);
    return df * std::pow(1.0 - a + z * std::sqrt(a), 3.0);
}

void expect_even(const Tally& tally, const char* what) {
    const double bound = chi_square_bound(tally.degrees_of_freedom());
    EXPECT_LT(tally.chi_square(), bound)
        << what << " (" << tally.degrees_of_freedom() << " degrees of freedom)";
}

// Whether the pieces of a word's slots form an odd permutation, counted as
// the pairs out of order.
bool odd_pieces(Word word, unsigned slots, Word piece_mask) {
    unsigned inversions = 0;
    for (unsigned a = 0; a < slots; ++a) {
        for (unsigned b = a + 1; b < slots; ++b) {
            inversions += (slot_field(word, a) & piece_mask) > (slot_field(word, b) & piece_mask);
        }
    }
    return inversions % 2 != 0;
}

// Draws from fixed seeds, so the statistics below are the same on every run;
// the bounds are those a fair draw exceeds once in a million. Orientations are
// counted in pairs of neighbouring slots (the last with the first), as any
// two slots' orientations are independent: one drawn for every slot at once
// spreads evenly over each slot, but not over pairs.
TYPED_TEST(States, RandomStatesAreStatesSpreadEvenly) {
    constexpr std::size_t draws = 24000;
    Tally corner_pieces(corner_slots, 8), twist_pairs(corner_slots, 9);
    Tally edge_pieces(edge_slots, 12), flip_pairs(edge_slots, 4);
    std::size_t odd = 0;
    for (std::size_t i = 0; i < draws; ++i) {
        SeededRng rng = seeded_rng(2024, i);
        const TypeParam cube = random_cube<TypeParam>(rng);
        const auto fault = check_state(cube.words());
        ASSERT_FALSE(fault) << describe(*fault) << " at draw " << i;
        for (unsigned slot = 0; slot < corner_slots; ++slot) {
            const Word field = slot_field(cube.corners, slot);
            const Word next = slot_field(cube.corners, (slot + 1) % corner_slots);
            corner_pieces.add(slot, corner_piece(field));
            twist_pairs.add(slot, 3 * corner_twist(field) + corner_twist(next));
        }
        odd += odd_pieces(cube.corners, corner_slots, corner_piece_mask);
        if constexpr (is_3x3<TypeParam>) {
            ASSERT_EQ(odd_pieces(cube.edges, edge_slots, edge_piece_mask),
                      odd_pieces(cube.corners, corner_slots, corner_piece_mask));
            for (unsigned slot = 0; slot < edge_slots; ++slot) {
                const Word field = slot_field(cube.edges, slot);
                const Word next = slot_field(cube.edges, (slot + 1) % edge_slots);
                edge_pieces.add(slot, edge_piece(field));
                flip_pairs.add(slot, 2 * edge_flip(field) + edge_flip(next));
            }
        }
    }
    expect_even(corner_pieces, "corner pieces by slot");
    expect_even(twist_pairs, "twists of neighbouring slots");
    // Odd and even permutations are equally many; 5 standard deviations.
    EXPECT_NEAR(static_cast<double>(odd), draws / 2.0, 5 * std::sqrt(draws / 4.0));
    if constexpr (is_3x3<TypeParam>) {
        expect_even(edge_pieces, "edge pieces by slot");
        expect_even(flip_pairs, "flips of neighbouring slots");
    }
}

// ---- seeded streams ----------------------------------------------------------

struct SeededWords {
    std::uint64_t seed;
    std::uint64_t index;
    std::array<std::uint32_t, 4> first_words;
};

// Seed 0, index 0 is the all-zero key and nonce, the published ChaCha8 test
// vector whose keystream begins 3e 00 ef 2f 89 5f 40 d6.
const SeededWords seeded_words[] = {
    {0, 0, {0x2fef003e, 0xd6405f89, 0xe8b85b7f, 0xa1a5091f}},
    {0, 1, {0xb34b8f2b, 0xca068379, 0x7cd43051, 0xd14e8d4f}},
    {1, 0, {0xa0e95ecf, 0x61a94a49, 0xedd5053e, 0x4b805b72}},
    {1, 1, {0x8c6fea14, 0x1a8125d4, 0xac499192, 0xd167e651}},
    {0x0123456789abcdef, 0x100000000, {0xb2b93823, 0xa42e6718, 0xb13c393a, 0x12e9b8e3}},
};

// The generator of a seed and index is fixed for good: stored data sets are
// made again from it. The block is laid out here word by word.
TEST(SeededRng, IsChaCha8KeyedByTheSeedWithTheIndexAsNonce) {
    for (const SeededWords& row : seeded_words) {
        SCOPED_TRACE(::testing::Message() << "seed " << row.seed << ", index " << row.index);
        const auto low = [](std::uint64_t v) { return static_cast<std::uint32_t>(v); };
        const auto high = [](std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); };
        const std::array<std::uint32_t, 16> input = {0x61707865,
                                                     0x3320646e,
                                                     0x79622d32,
                                                     0x6b206574,  // "expand 32-byte k"
                                                     low(row.seed),
                                                     high(row.seed),
                                                     0,
                                                     0,
                                                     0,
                                                     0,
                                                     0,
                                                     0,  // the seed's 8 bytes, then 24 zero bytes
                                                     0,
                                                     0,  // block 0
                                                     low(row.index),
                                                     high(row.index)};  // the cube's index
        std::array<std::uint32_t, 16> block{};
        chacha_block<8>(input, block);
        SeededRng rng = seeded_rng(row.seed, row.index);
        for (std::size_t w = 0; w < row.first_words.size(); ++w) {
            EXPECT_EQ(block[w], row.first_words[w]) << w;
            EXPECT_EQ(rng.next_u32(), row.first_words[w]) << w;
        }
        for (std::size_t w = row.first_words.size(); w < block.size(); ++w)
            EXPECT_EQ(rng.next_u32(), block[w]);
    }
}

struct SeededState {
    std::uint64_t seed;
    std::uint64_t index;
    Word corners_3x3;
    Word edges_3x3;
    Word corners_2x2;
};

// A uniformly random state from a seed and index, likewise fixed for good.
const SeededState seeded_states[] = {
    {0, 0, 0x7c5885c9c5, 0x30913584b7a6a19, 0x7c5885c9c5},
    {0, 1, 0x9d5823c226, 0x9c8ba4e007b6e34, 0x9d5823c226},
    {1, 0, 0x2342e04a67, 0x30b381d7543822b, 0x2342e04a67},
    {1, 1, 0x19432830ee, 0xaeb01064db110f3, 0x19432830ee},
};

TEST(SeededRng, GivesKnownRandomStates) {
    for (const SeededState& row : seeded_states) {
        SCOPED_TRACE(::testing::Message() << "seed " << row.seed << ", index " << row.index);
        SeededRng big_rng = seeded_rng(row.seed, row.index);
        SeededRng small_rng = seeded_rng(row.seed, row.index);
        EXPECT_EQ(random_cube<Cube3x3>(big_rng), Cube3x3(row.corners_3x3, row.edges_3x3));
        EXPECT_EQ(random_cube<Cube2x2>(small_rng), Cube2x2(row.corners_2x2));
    }
}

// ---- batch loops ---------------------------------------------------------------

// Runs the pieces one after another from the last to the first, each
// `piece_size` items: a split that no pool makes, but that every loop must
// take, since a runner may hand out its pieces in any order.
struct Backwards {
    std::size_t piece_size;
    template <class Cost, class Piece>
    void operator()(std::size_t count, Cost&&, Piece&& piece) const {
        for (std::size_t end = count; end > 0;) {
            const std::size_t begin = end > piece_size ? end - piece_size : 0;
            piece(begin, end);
            end = begin;
        }
    }
};

// Calls `f(name, runner)` with runners that split a loop in different ways.
template <class F>
void for_each_runner(F&& f) {
    f("at once", AtOnce{});
    f("in chunks of 3 turns", InChunks<Directly>{3, {}});
    f("backwards by 7", Backwards{7});
}

TYPED_TEST(States, ReadingLoopsMatchSingleCubes) {
    using C = TypeParam;
    const std::vector<C> cubes = random_states<C>(300, 4);
    const std::span<const C> view(cubes);
    std::mt19937_64 rng(9);
    std::vector<std::int64_t> indexes(600);
    const auto count = static_cast<std::int64_t>(cubes.size());
    for (auto& index : indexes) index = static_cast<std::int64_t>(rng() % (2 * cubes.size())) - count;
    const std::vector<std::vector<MoveIndex>> move_lists = {
        {11, 0, 5, 5}, {7}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};

    for_each_runner([&](const char* runner, auto run) {
        SCOPED_TRACE(runner);
        auto words = words_internal(view, run);
        auto flags = solved_flags_internal(view, run);
        auto bytes = sticker_bytes_internal(view, run);
        ASSERT_EQ(words.rows(), cubes.size());
        ASSERT_EQ(words.cols(), C::word_count);
        ASSERT_EQ(bytes.cols(), C::sticker_dim);
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            const auto own_words = cubes[i].words();
            ASSERT_TRUE(std::equal(own_words.begin(), own_words.end(), words.row(i))) << i;
            ASSERT_EQ(*flags.row(i), cubes[i].is_solved()) << i;
            const auto own_stickers = cubes[i].to_sticker_array_internal();
            ASSERT_TRUE(std::equal(own_stickers.begin(), own_stickers.end(), bytes.row(i))) << i;
        }

        std::vector<C> taken(indexes.size());
        take_internal(view, std::span<const std::int64_t>(indexes), std::span<C>(taken), run);
        for (std::size_t i = 0; i < indexes.size(); ++i) {
            const std::int64_t index = indexes[i] < 0 ? indexes[i] + count : indexes[i];
            ASSERT_EQ(taken[i], cubes[static_cast<std::size_t>(index)]) << i << " took " << indexes[i];
        }

        for (const auto& moves : move_lists) {
            std::vector<C> successors(cubes.size() * moves.size());
            next_batch_internal(view, std::span<const MoveIndex>(moves), std::span<C>(successors), run);
            for (std::size_t i = 0; i < cubes.size(); ++i) {
                for (std::size_t j = 0; j < moves.size(); ++j) {
                    ASSERT_EQ(successors[moves.size() * i + j], apply_all(cubes[i], {moves[j]}))
                        << "cube " << i << ", move " << moves[j];
                }
            }
        }
    });
}

// Fresh recorded-move rows: -1 throughout, as the caller hands them over.
Rows<std::int8_t> unset_moves(std::size_t rows, std::size_t width) {
    auto moves = Rows<std::int8_t>::zeroed(rows, width);
    std::fill(moves.row(0), moves.row(0) + moves.size(), std::int8_t{-1});
    return moves;
}

// Row i of recorded moves as move indexes, up to its first -1.
std::vector<MoveIndex> recorded(Rows<std::int8_t>& moves, std::size_t i) {
    std::vector<MoveIndex> row;
    for (std::size_t k = 0; k < moves.cols() && moves.row(i)[k] >= 0; ++k) row.push_back(moves.row(i)[k]);
    return row;
}

// Lengths of every kind for `count` cubes: none, negative, up to past the width.
std::vector<std::int64_t> mixed_lengths(std::size_t count) {
    std::vector<std::int64_t> lengths(count);
    for (std::size_t i = 0; i < count; ++i) lengths[i] = static_cast<std::int64_t>(i % 23) - 2;
    return lengths;
}

TYPED_TEST(States, RecordedScramblesReplayToTheSameCubes) {
    using C = TypeParam;
    const std::vector<C> start = random_states<C>(500, 6);
    // Fewer lengths than cubes: the last cubes are left alone. Lengths past
    // the width are cut to it.
    const std::vector<std::int64_t> lengths = mixed_lengths(480);
    constexpr std::size_t width = 16;
    for (const std::optional<std::uint64_t> seed :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{99}}) {
        for (const bool avoid_inverse : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << (seed ? "seeded" : "unseeded") << ", avoid_inverse " << avoid_inverse);
            std::vector<C> cubes = start;
            auto moves = unset_moves(cubes.size(), width);
            scramble_recording_internal(std::span<C>(cubes), std::span<const std::int64_t>(lengths), moves,
                                        seed, avoid_inverse);
            for (std::size_t i = 0; i < cubes.size(); ++i) {
                const std::vector<MoveIndex> row = recorded(moves, i);
                const std::int64_t length = i < lengths.size() ? lengths[i] : 0;
                ASSERT_EQ(row.size(), static_cast<std::size_t>(std::clamp<std::int64_t>(length, 0, width)))
                    << i;
                ASSERT_TRUE(std::all_of(moves.row(i) + row.size(), moves.row(i) + width, [](std::int8_t pad) {
                    return pad == -1;
                })) << i;
                ASSERT_TRUE(std::all_of(row.begin(), row.end(), [](MoveIndex m) { return m < move_count; }))
                    << i;
                ASSERT_EQ(cubes[i], apply_all(start[i], row)) << i;
                for (std::size_t k = 1; avoid_inverse && k < row.size(); ++k) {
                    ASSERT_NE(row[k], row[k - 1] ^ 1) << "cube " << i << ", turn " << k;
                }
            }
            std::vector<C> replayed = start;
            apply_move_sequences_internal(std::span<C>(replayed), moves.row(0), moves.rows(), width);
            EXPECT_EQ(replayed, cubes);
        }
    }
}

// A row is applied up to its first negative entry; what follows is ignored.
// Rows and cubes pair up to the shorter of the two.
TYPED_TEST(States, MoveSequencesStopAtTheFirstPad) {
    using C = TypeParam;
    const std::vector<C> start = random_states<C>(300, 10);
    constexpr std::size_t width = 9;
    std::mt19937_64 rng(12);
    for (const std::size_t rows : {std::size_t{0}, std::size_t{120}, std::size_t{300}, std::size_t{340}}) {
        std::vector<std::int8_t> moves(rows * width);
        std::vector<C> expected = start;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t pad = rng() % (width + 1);  // width: a full row
            for (std::size_t k = 0; k < width; ++k) {
                moves[i * width + k] = k == pad ? static_cast<std::int8_t>(-1 - rng() % 3)
                                                : static_cast<std::int8_t>(rng() % 12);
            }
            if (i < start.size()) {
                for (std::size_t k = 0; k < pad; ++k)
                    apply_move_index_internal(expected[i], moves[i * width + k]);
            }
        }
        for_each_runner([&](const char* runner, auto run) {
            std::vector<C> cubes = start;
            apply_move_sequences_internal(std::span<C>(cubes), moves.data(), rows, width, run);
            EXPECT_EQ(cubes, expected) << runner << ", " << rows << " rows";
        });
    }
}

// The move after m is never m's inverse and is any of the other eleven
// equally often, after every move.
TEST(RecordedScrambles, AvoidInverseDrawsTheOtherElevenEvenly) {
    constexpr std::size_t cubes_count = 1000;
    constexpr std::size_t width = 60;
    for (const std::optional<std::uint64_t> seed :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{5}}) {
        std::vector<Cube2x2> cubes(cubes_count);
        const std::vector<std::int64_t> lengths(cubes_count, width);
        auto moves = unset_moves(cubes_count, width);
        scramble_recording_internal(std::span<Cube2x2>(cubes), std::span<const std::int64_t>(lengths), moves,
                                    seed, true);
        Tally next(move_count, move_count - 1);  // column: the next move, its inverse left out
        for (std::size_t i = 0; i < cubes_count; ++i) {
            const std::int8_t* row = moves.row(i);
            for (std::size_t k = 1; k < width; ++k) {
                const MoveIndex previous = row[k - 1];
                const MoveIndex move = row[k];
                ASSERT_NE(move, previous ^ 1);
                next.add(previous, move > (previous ^ 1) ? move - 1 : move);
            }
        }
        expect_even(next, seed ? "moves after each move, seeded" : "moves after each move");
    }
}

// With a seed, cube i is the draw of stream i: the same however the loop is
// split, whatever the batch's size, and different for another seed.
TYPED_TEST(States, SeededDrawsDependOnlyOnSeedAndPosition) {
    using C = TypeParam;
    constexpr std::uint64_t seed = 0xfeedbeef;
    const std::vector<std::int64_t> lengths = mixed_lengths(300);
    std::vector<C> first_randomized, first_scrambled;
    Rows<std::int8_t> first_moves;
    for_each_runner([&](const char* runner, auto run) {
        SCOPED_TRACE(runner);
        std::vector<C> randomized(300);
        randomize_internal(std::span<C>(randomized), seed, run);
        for (std::size_t i = 0; i < randomized.size(); ++i) {
            SeededRng rng = seeded_rng(seed, i);
            ASSERT_EQ(randomized[i], random_cube<C>(rng)) << i;
        }

        std::vector<C> scrambled(300);
        auto moves = unset_moves(scrambled.size(), 20);
        scramble_recording_internal(std::span<C>(scrambled), std::span<const std::int64_t>(lengths), moves,
                                    seed, true, run);
        if (first_scrambled.empty()) {
            first_randomized = randomized;
            first_scrambled = scrambled;
            first_moves = std::move(moves);
            return;
        }
        EXPECT_EQ(scrambled, first_scrambled);
        EXPECT_TRUE(std::equal(moves.row(0), moves.row(0) + moves.size(), first_moves.row(0)));
    });
    // A failed assertion above leaves the first results unset.
    if (::testing::Test::HasFatalFailure()) return;

    // A shorter batch holds the first cubes of a longer one.
    std::vector<C> shorter(37);
    randomize_internal(std::span<C>(shorter), seed);
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), first_randomized.begin()));
    std::vector<C> scrambled_shorter(37);
    auto moves = unset_moves(scrambled_shorter.size(), 20);
    scramble_recording_internal(std::span<C>(scrambled_shorter), std::span<const std::int64_t>(lengths),
                                moves, seed, true);
    EXPECT_TRUE(std::equal(scrambled_shorter.begin(), scrambled_shorter.end(), first_scrambled.begin()));
    EXPECT_TRUE(std::equal(moves.row(0), moves.row(0) + moves.size(), first_moves.row(0)));

    // Another seed: other states.
    std::vector<C> other(300);
    randomize_internal(std::span<C>(other), seed + 1);
    std::size_t same = 0;
    for (std::size_t i = 0; i < other.size(); ++i) same += other[i] == first_randomized[i];
    EXPECT_EQ(same, 0u);
}

struct BadRows {
    const char* name;
    std::size_t count;
    std::vector<std::size_t> bad;
};

TEST(FirstBadRow, IsTheFirstWhateverTheSplit) {
    std::vector<std::size_t> tail;  // every row from 10 on
    for (std::size_t i = 10; i < 200; ++i) tail.push_back(i);
    const BadRows cases[] = {
        {"empty", 0, {}},
        {"none bad", 200, {}},
        {"first", 200, {0}},
        {"last", 200, {199}},
        {"middle", 200, {100}},
        {"late ones first in the list", 200, {198, 128, 1, 180}},
        {"a long bad tail", 200, tail},
    };
    for (const BadRows& c : cases) {
        std::vector<char> bad(c.count, 0);
        for (const std::size_t row : c.bad) bad[row] = 1;
        const std::size_t expected = c.bad.empty() ? c.count : *std::min_element(c.bad.begin(), c.bad.end());
        const auto good = [&](std::size_t i) { return bad[i] == 0; };
        EXPECT_EQ(first_bad_row(c.count, good), expected) << c.name;
        for (const std::uint64_t budget : {1u, 7u, 64u}) {
            EXPECT_EQ(first_bad_row(c.count, good, InChunks<Directly>{budget, {}}), expected)
                << c.name << ", chunks of " << budget;
        }
        for (const std::size_t piece : {1u, 7u, 200u}) {
            EXPECT_EQ(first_bad_row(c.count, good, Backwards{piece}), expected)
                << c.name << ", backwards by " << piece;
        }
    }
}

// Once a bad row is known, the rows after it are not checked: chunks that
// start past it check nothing (rows 26..29 share its chunk and may be).
TEST(FirstBadRow, ChecksNothingPastAKnownBadRow) {
    std::vector<std::atomic<bool>> checked(1000);
    const auto good = [&](std::size_t i) {
        checked[i] = true;
        return i != 25;
    };
    EXPECT_EQ(first_bad_row(checked.size(), good, InChunks<Directly>{10, {}}), 25u);
    for (std::size_t i = 0; i <= 25; ++i) EXPECT_TRUE(checked[i].load()) << i;
    for (std::size_t i = 30; i < checked.size(); ++i) EXPECT_FALSE(checked[i].load()) << i;
}

}  // namespace
}  // namespace turnsmith
