// The optimal 3x3 search against a plain one written here: the same bound
// (the small tables' largest value, read on every child), the same move
// rules and order, but none of the search's shortcuts (reads fetched in
// passes, filters in stages, reads skipped where a node's own entries already
// decide them). Both must expand the same nodes and find the same solution,
// so every deepening's node count must agree exactly. The search shared out
// on the pool must then find the one-thread search's solutions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "engine/pool.hpp"
#include "model_test_support.hpp"
#include "solvers/optimal_3x3.hpp"

namespace turnsmith {
namespace {


bool full_tables_skipped() { return std::getenv("TURNSMITH_SKIP_FULL_TABLES") != nullptr; }

// The process's solver, its small tables from the run's table cache (built
// there by the first test that needs them).
const optimal::Solver& solver() {
    std::vector<std::string> warnings;
    return optimal::optimal_solver(warnings, unwatched_work());
}

// Whether move `k` may follow `last`, `doubled` telling whether `last` was
// also the move before it: never a move and its undoing (X X'), a third X, X'
// twice (X X is the same, and smaller), or a turn of U, R or F right after
// one of D, L or B (they commute, and the other order is smaller).
constexpr bool may_follow(int last, bool doubled, unsigned k) {
    if (last < 0) return true;
    const auto previous = static_cast<unsigned>(last);
    if (k == (previous ^ 1)) return false;
    if (k == previous && (doubled || k % 2 == 1)) return false;
    const unsigned face = k / 2;
    const unsigned previous_face = previous / 2;
    return !(previous_face % 2 == 1 && face + 1 == previous_face);
}

struct PlainSearch {
    explicit PlainSearch(const optimal::Solver& tables) : solver(tables) {}

    const optimal::Solver& solver;
    std::uint64_t nodes = 0;  // children generated, as the solver counts them
    std::vector<std::int8_t> path;

    bool below(const Cube3x3& cube, unsigned remaining, int last, bool doubled) {
        if (remaining == 0) return true;
        std::array<unsigned, move_count> allowed{};
        unsigned count = 0;
        for (unsigned k = 0; k < move_count; ++k)
            if (may_follow(last, doubled, k)) allowed[count++] = k;
        nodes += count;
        for (unsigned i = 0; i < count; ++i) {
            const unsigned k = allowed[i];
            Cube3x3 child = cube;
            apply_move_index_internal(child, static_cast<MoveIndex>(k));
            if (solver.table_bound(child) > remaining - 1) continue;
            path.push_back(static_cast<std::int8_t>(k));
            if (below(child, remaining - 1, static_cast<int>(k), static_cast<int>(k) == last)) return true;
            path.pop_back();
        }
        return false;
    }
};

// Deepenings up to this bound leave the plain search a few hundred thousand
// nodes for states 15 to 17 random turns from solved (most of them 13 to 15
// away): enough that nodes lie well within the bound, where the search
// skips reads.
constexpr unsigned longest = 15;

// States made by random quarter turns.
std::vector<Cube3x3> scrambled(std::size_t count, std::size_t turns, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Cube3x3> cubes;
    for (std::size_t i = 0; i < count; ++i) cubes.push_back(testing::random_state<Cube3x3>(rng, turns));
    return cubes;
}

class OptimalSearch : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OptimalSearch, ExpandsTheNodesOfAPlainSearchAndFindsItsSolution) {
    if (full_tables_skipped()) GTEST_SKIP() << "TURNSMITH_SKIP_FULL_TABLES is set";
    const optimal::Solver& search = solver();
    const std::size_t turns = GetParam();
    WorkControl control;
    for (const Cube3x3& cube : scrambled(4, turns, 100 + turns)) {
        bool found = false;
        for (unsigned length = search.lower_bound(cube); !found && length <= longest; length += 2) {
            std::vector<std::int8_t> out(length, -1);
            const SearchResult result = search.search_exactly(cube, length, out, control);
            PlainSearch plain{search};
            found = search.table_bound(cube) <= length && plain.below(cube, length, -1, false);
            ASSERT_EQ(result.nodes, plain.nodes) << "length " << length;
            ASSERT_EQ(result.outcome == SearchOutcome::found, found) << "length " << length;
            if (found) {
                EXPECT_EQ(out, plain.path);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scrambles, OptimalSearch, ::testing::Values(std::size_t{15}, std::size_t{17}));

// While one lives, shared deepenings hand their subtrees out last to first
// (the first solution a worker finds is then seldom the one to keep), and a
// batch's owners hand their deepenings over after `nodes`, whether a worker
// waits to help or not.
class SharingTrial {
public:
    SharingTrial(const optimal::Solver& solver, std::uint64_t nodes) : solver_(solver) {
        solver_.set_sharing_trial({.last_to_first = true, .hand_over_after = nodes});
    }
    ~SharingTrial() { solver_.set_sharing_trial({}); }
    SharingTrial(const SharingTrial&) = delete;
    SharingTrial& operator=(const SharingTrial&) = delete;

private:
    const optimal::Solver& solver_;
};

// Each cube's least optimal solution on one thread, as a row of the batch's:
// its moves, then -1 to the row's end.
std::vector<std::int8_t> one_thread_rows(const optimal::Solver& search, const std::vector<Cube3x3>& cubes) {
    std::vector<std::int8_t> rows(cubes.size() * optimal::diameter, -1);
    for (std::size_t i = 0; i < cubes.size(); ++i)
        search.solve(cubes[i], optimal::diameter, std::span(rows).subspan(i * optimal::diameter, optimal::diameter),
                     unwatched_work());
    return rows;
}

std::vector<std::uint8_t> lengths_of(const std::vector<std::int8_t>& rows) {
    std::vector<std::uint8_t> lengths;
    for (std::size_t first = 0; first < rows.size(); first += optimal::diameter)
        lengths.push_back(static_cast<std::uint8_t>(
            std::find(rows.begin() + first, rows.begin() + first + optimal::diameter, -1) - rows.begin() - first));
    return lengths;
}

// Cubes in batches of this many, 0 for more than four for each worker.
class SharedSearch : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SharedSearch, FindsTheOneThreadAnswersWhicheverSubtreeEndsFirst) {
    if (full_tables_skipped()) GTEST_SKIP() << "TURNSMITH_SKIP_FULL_TABLES is set";
    const optimal::Solver& search = solver();
    const std::size_t batch = GetParam() != 0 ? GetParam() : 4 * pool_worker_count() + 3;
    const std::vector<Cube3x3> cubes = scrambled(std::max<std::size_t>(batch, 16), 13, 211);
    const std::vector<std::int8_t> expected = one_thread_rows(search, cubes);
    WorkControl control;
    std::vector<std::int8_t> rows(expected.size());
    std::vector<std::int16_t> lengths(cubes.size());
    std::vector<std::uint8_t> distances(cubes.size());
    // Handed over at the root, or in some subtree of the first split levels.
    for (const std::uint64_t hand_over_after : {1, 7, 40, 400, 4000}) {
        const SharingTrial trial(search, hand_over_after);
        for (std::size_t first = 0; first < cubes.size(); first += batch) {
            const auto some = std::span(cubes).subspan(first, std::min(batch, cubes.size() - first));
            search.solve_many(some, optimal::diameter, rows.data() + first * optimal::diameter, optimal::diameter,
                              lengths.data() + first, control);
            search.distances(some, distances.data() + first, control);
        }
        EXPECT_EQ(rows, expected) << "handed over after " << hand_over_after;
        EXPECT_EQ(distances, lengths_of(expected)) << "handed over after " << hand_over_after;
    }
    if (batch != 1) return;
    const SharingTrial trial(search, 0);
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        const auto row = std::span(rows).subspan(i * optimal::diameter, optimal::diameter);
        std::ranges::fill(row, -1);
        search.solve(cubes[i], optimal::diameter, row, control, optimal::Solver::Sharing::subtrees);
    }
    EXPECT_EQ(rows, expected) << "cubes alone";
}

INSTANTIATE_TEST_SUITE_P(Batches, SharedSearch, ::testing::Values(std::size_t{1}, std::size_t{3}, std::size_t{0}));

}  // namespace
}  // namespace turnsmith
