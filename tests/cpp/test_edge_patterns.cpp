// The 3x3's edge pattern databases: their numbering, their move table, and a
// table against a breadth-first search over edge words written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "solvers/edge_patterns_3x3.hpp"
#include "model_test_support.hpp"

namespace turnsmith {
namespace {

using edge_patterns::Pattern;
using edge_patterns::PositionMoves;

Word turned_edges(Word edges, MoveIndex move) {
    Cube3x3 cube = Cube3x3::from_words({solved_corners, edges});
    apply_move_index_internal(cube, move);
    return cube.edges;
}

const PositionMoves& position_moves() {
    static const PositionMoves moves;
    return moves;
}

TEST(EdgePatterns, NumbersEveryPlaceOfSixPiecesOnce) {
    // Every arrangement of pieces 0..5 over the twelve slots, flips aside.
    std::set<std::uint32_t> seen;
    std::array<unsigned, 12> order{};
    for (unsigned i = 0; i < 12; ++i) order[i] = i;
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 20000; ++trial) {
        std::shuffle(order.begin(), order.end(), rng);
        Word word = 0;
        for (unsigned slot = 0; slot < 12; ++slot) word |= Word{order[slot]} << slot_shift(slot);
        const Pattern pattern = edge_patterns::pattern_of(word, 0);
        ASSERT_LT(pattern.position, edge_patterns::positions);
        seen.insert(pattern.position);
    }
    EXPECT_GT(seen.size(), 19000u);  // nearly all distinct: a numbering that loses slots would collide
    EXPECT_EQ(edge_patterns::pattern_of(solved_edges, 6).flips, 0u);
}

TEST(EdgePatterns, MoveTableAgreesWithTheTurnsOfWords) {
    const PositionMoves& moves = position_moves();
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        const Cube3x3 cube = testing::random_state<Cube3x3>(rng);
        for (const unsigned first : edge_patterns::table_first_pieces) {
            const Pattern here = edge_patterns::pattern_of(cube.edges, first);
            for (MoveIndex m = 0; m < move_count; ++m) {
                const Pattern expected = edge_patterns::pattern_of(turned_edges(cube.edges, m), first);
                const Pattern next = moves.next(here, m);
                ASSERT_EQ(next.position, expected.position) << "move " << m;
                ASSERT_EQ(next.flips, expected.flips) << "move " << m;
            }
        }
    }
}

// The table of pieces 6..11 against a breadth-first search of its patterns to
// depth 5, made by turning words: every pattern found at depth d reads d,
// and no other pattern reads 5 or less.
TEST(EdgePatterns, TableHoldsTheDistancesOfABreadthFirstSearch) {
    constexpr unsigned first = 6;
    constexpr unsigned depth = 5;
    std::vector<std::byte> table(edge_patterns::entries);
    edge_patterns::fill_table(table, first, position_moves(), unwatched_work());

    std::map<std::size_t, unsigned> found{{edge_patterns::pattern_of(solved_edges, first).index(), 0}};
    std::vector<Word> frontier{solved_edges};
    for (unsigned d = 1; d <= depth; ++d) {
        std::vector<Word> next;
        for (const Word word : frontier) {
            for (MoveIndex m = 0; m < move_count; ++m) {
                const Word turned = turned_edges(word, m);
                if (found.emplace(edge_patterns::pattern_of(turned, first).index(), d).second)
                    next.push_back(turned);
            }
        }
        frontier = std::move(next);
    }
    std::vector<std::size_t> by_value(16);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto value = static_cast<unsigned>(table[i]);
        ASSERT_LT(value, by_value.size()) << "entry " << i << " was never reached";
        ++by_value[value];
    }
    for (const auto& [index, distance] : found) ASSERT_EQ(static_cast<unsigned>(table[index]), distance);
    std::size_t shallow = 0;
    for (unsigned d = 0; d <= depth; ++d) shallow += by_value[d];
    EXPECT_EQ(shallow, found.size());
    std::size_t total = 0;
    for (const std::size_t count : by_value) total += count;
    EXPECT_EQ(total, edge_patterns::entries);
}

}  // namespace
}  // namespace turnsmith
