// The optimal 3x3 search against a plain one written here: the same bound
// (the small tables' largest value, read on every child), the same move
// rules and order, but none of the search's shortcuts (reads fetched in
// passes, filters in stages, reads skipped where a node's own entries already
// decide them). Both must expand the same nodes and find the same solution,
// so every deepening's node count must agree exactly; the solver's own
// deepening, asked for no more than the distance, must then find it too,
// and the search shared out on the pool the one-thread search's solutions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <tuple>
#include <span>
#include <memory>
#include <string>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "engine/pool.hpp"
#include "model_test_support.hpp"
#include "stop_test_support.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/table_cache.hpp"
#include "solvers/two_phase_solver.hpp"

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
            if (solver.search_bound(child) > remaining - 1) continue;
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

// A solver of its own that reads a reduced large table (every twist read as
// 0, 2.6 MB): the search's way through the large table, on a table a test
// builds in a second.
struct WithReducedLarge {
    std::vector<tables::TableBytes> edges;
    std::vector<std::uint64_t> large;
    std::unique_ptr<optimal::Solver> solver;
};

const optimal::Solver& reduced_large_solver() {
    static const WithReducedLarge made = [] {
        WithReducedLarge made;
        std::vector<std::string> warnings;
        const two_phase::Solver& phase1 = two_phase_solver(warnings, unwatched_work());
        std::vector<std::span<const std::byte>> views;
        for (const unsigned first : edge_patterns::table_first_pieces) {
            made.edges.push_back(tables::load_or_build(edge_patterns::table_kind(first), warnings, unwatched_work()));
            views.push_back(made.edges.back().bytes());
        }
        made.solver = std::make_unique<optimal::Solver>(distance_table_2x2(warnings, unwatched_work()), views, phase1);
        constexpr auto reduced = phase1_corners::Moves::Twists::ignored;
        const phase1_corners::Moves moves(optimal::default_detail, phase1.phase1_view(), reduced);
        made.large.resize(moves.byte_count() / sizeof(std::uint64_t));
        phase1_corners::fill_table(std::as_writable_bytes(std::span(made.large)), moves, unwatched_work());
        made.solver->attach_large(std::as_bytes(std::span(made.large)), optimal::default_detail, reduced);
        return made;
    }();
    return *made.solver;
}

enum class Tables { small, reduced_large };

const optimal::Solver& solver_of(Tables tables) {
    return tables == Tables::small ? solver() : reduced_large_solver();
}

class OptimalSearch : public ::testing::TestWithParam<std::tuple<std::size_t, Tables>> {};

// The distance of `cube` and its least solution, by the plain search deepened
// from the tables' bound; nullopt when it lies beyond `longest`. Each
// deepening of the solver must agree with it.
std::optional<std::vector<std::int8_t>> deepened(const optimal::Solver& search, const Cube3x3& cube,
                                                 std::size_t turns) {
    // Every quarter turn moves the corners by a 4-cycle, an odd permutation:
    // all the state's solutions have the parity of the turns that made it.
    const unsigned table = search.search_bound(cube);
    WorkControl control;
    for (unsigned length = table + ((table ^ turns) & 1); length <= longest; length += 2) {
        std::vector<std::int8_t> out(length, -1);
        const SearchResult result = search.search_exactly(cube, length, out, control);
        PlainSearch plain{search};
        const bool found = plain.below(cube, length, -1, false);
        EXPECT_EQ(result.nodes, plain.nodes) << "length " << length;
        EXPECT_EQ(result.outcome == SearchOutcome::found, found) << "length " << length;
        if (found) {
            EXPECT_EQ(out, plain.path);
            return plain.path;
        }
    }
    return std::nullopt;
}

TEST_P(OptimalSearch, ExpandsTheNodesOfAPlainSearchAndFindsItsSolution) {
    if (full_tables_skipped()) GTEST_SKIP() << "TURNSMITH_SKIP_FULL_TABLES is set";
    const auto [turns, tables] = GetParam();
    const optimal::Solver& search = solver_of(tables);
    WorkControl control;
    std::size_t within = 0;
    for (const Cube3x3& cube : scrambled(4, turns, 100 + turns)) {
        const auto solution = deepened(search, cube, turns);
        if (::testing::Test::HasFailure()) return;
        if (!solution) continue;
        ++within;
        // A bound at most the distance: a deepening of the wrong parity, or
        // one that starts past the distance, finds nothing within it.
        for (const auto sharing : {optimal::Solver::Sharing::none, optimal::Solver::Sharing::subtrees}) {
            std::vector<std::int8_t> out(solution->size(), -1);
            const SearchResult result = search.solve(cube, solution->size(), out, control, sharing);
            ASSERT_EQ(result.outcome, SearchOutcome::found) << "distance " << solution->size();
            EXPECT_EQ(out, *solution);
        }
    }
    EXPECT_GT(within, 0u) << "no state lies within " << longest << " moves";
}

INSTANTIATE_TEST_SUITE_P(Scrambles, OptimalSearch,
                         ::testing::Values(std::tuple{std::size_t{15}, Tables::small},
                                           std::tuple{std::size_t{17}, Tables::small},
                                           std::tuple{std::size_t{15}, Tables::reduced_large}),
                         [](const auto& info) {
                             return std::to_string(std::get<0>(info.param)) + "Turns" +
                                    (std::get<1>(info.param) == Tables::small ? "Small" : "ReducedLarge");
                         });

// A uniformly random state lies 17 or more moves away, which the small tables
// take hours to prove: a stop asked meanwhile ends the search, on one thread
// or shared out on the pool.
class OptimalStop : public ::testing::TestWithParam<optimal::Solver::Sharing> {};

TEST_P(OptimalStop, AStopEndsALongSearch) {
    if (full_tables_skipped()) GTEST_SKIP() << "TURNSMITH_SKIP_FULL_TABLES is set";
    const optimal::Solver& search = solver();  // the tables first: the stop must come during the search
    std::mt19937_64 rng(7);
    const Cube3x3 cube = testing::random_state<Cube3x3>(rng, 60);
    WorkControl control;
    std::vector<std::int8_t> out(optimal::diameter);
    const SearchResult result = [&] {
        const testing::StopAfter stop(control, std::chrono::milliseconds(200));
        return search.solve(cube, optimal::diameter, out, control, GetParam());
    }();
    EXPECT_EQ(result.outcome, SearchOutcome::stopped);
}

INSTANTIATE_TEST_SUITE_P(Sharing, OptimalStop,
                         ::testing::Values(optimal::Solver::Sharing::none, optimal::Solver::Sharing::subtrees),
                         [](const auto& info) {
                             return info.param == optimal::Solver::Sharing::none ? "OneThread" : "OnThePool";
                         });

// A known solution's length as an upper bound on the distance: the same
// distance, with the deepening at the distance (or at the largest number of
// its parity within the bound) left out and every one below it searched.
TEST(OptimalDistance, AnUpperBoundLeavesOutOnlyTheLastDeepening) {
    if (full_tables_skipped()) GTEST_SKIP() << "TURNSMITH_SKIP_FULL_TABLES is set";
    const optimal::Solver& search = solver();
    WorkControl control;
    for (const Cube3x3& cube : scrambled(6, 13, 29)) {
        const SearchResult plain = search.distance(cube, std::nullopt, control);
        ASSERT_EQ(plain.outcome, SearchOutcome::found);
        const unsigned distance = plain.length;
        const unsigned start = search.start_bound(cube);
        std::uint64_t below = 0;
        std::array<std::int8_t, optimal::diameter> out{};
        for (unsigned length = start; length < distance; length += 2)
            below += search.search_exactly(cube, length, out, control).nodes;
        for (const unsigned upper : {distance, distance + 1, distance + 2, distance + 3, 40u}) {
            const SearchResult bounded = search.distance(cube, upper, control);
            EXPECT_EQ(bounded.outcome, SearchOutcome::found);
            EXPECT_EQ(bounded.length, distance) << "upper bound " << upper;
            if (upper < distance + 2) {
                EXPECT_EQ(bounded.nodes, below) << "upper bound " << upper;
            }
            const auto shared = search.distance(cube, upper, control, optimal::Solver::Sharing::subtrees);
            EXPECT_EQ(shared.length, distance) << "upper bound " << upper;
        }
        // A bound the tables already show to be too small is no bound.
        if (start > 0) {
            EXPECT_EQ(search.distance(cube, start - 1, control).length, distance);
        }
    }
}


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
