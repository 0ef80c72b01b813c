// The two-phase solver of the 3x3: its coordinates and move tables, its
// pruning tables, and its solutions checked by replay and, near solved,
// against a breadth-first search written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "cube/random.hpp"
#include "cube/random_state.hpp"
#include "cube/cube_3x3.hpp"
#include "model_test_support.hpp"
#include "stop_test_support.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/two_phase.hpp"
#include "solvers/two_phase_moves.hpp"

namespace turnsmith {
namespace {

using testing::apply_all;
using testing::random_moves;
namespace coords = coordinates_3x3;
using two_phase::Solver;

// ---- the tables, built once per run -------------------------------------------------

struct BuiltTables {
    std::vector<std::vector<std::byte>> storage;
    std::vector<std::span<const std::byte>> views;
    std::unique_ptr<Solver> solver;
};

// Fills one table, or reads it from the directory in TWO_PHASE_TABLES when it
// was kept there by an earlier run (for runs that test the search alone).
void fill_or_read(const two_phase::TableSpec& kind, std::vector<std::byte>& table) {
    std::string path;
    if (const char* dir = std::getenv("TWO_PHASE_TABLES"))
        path = std::string(dir) + "/" + kind.name + "." + std::to_string(kind.format);
    if (!path.empty()) {
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            const bool read = std::fread(table.data(), 1, table.size(), file) == table.size();
            std::fclose(file);
            if (read) return;
        }
    }
    kind.fill(table, unwatched_work());
    if (!path.empty()) {
        if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
            std::fwrite(table.data(), 1, table.size(), file);
            std::fclose(file);
        }
    }
}

const BuiltTables& built_tables() {
    static const BuiltTables tables = [] {
        BuiltTables built;
        for (const two_phase::TableSpec& kind : two_phase::table_specs()) {
            built.storage.emplace_back(kind.bytes);
            fill_or_read(kind, built.storage.back());
        }
        for (const auto& bytes : built.storage) built.views.emplace_back(bytes);
        built.solver = std::make_unique<Solver>(built.views);
        return built;
    }();
    return tables;
}

// The sanitizer runs may leave out the full-size tables.
bool full_tables_skipped() { return std::getenv("TURNSMITH_SKIP_FULL_TABLES") != nullptr; }
#define SKIP_WITHOUT_FULL_TABLES() \
    if (full_tables_skipped()) GTEST_SKIP() << "TURNSMITH_SKIP_FULL_TABLES is set"

const Solver& solver() { return *built_tables().solver; }

Cube3x3 replayed(Cube3x3 cube, std::span<const std::int8_t> moves) {
    for (const std::int8_t move : moves) apply_move_index_internal(cube, static_cast<MoveIndex>(move));
    return cube;
}

// Solves `cube` and checks the answer: a solution within the bound that
// replays to solved. `alone` searches the cube without its inverse and other
// axes.
SearchResult checked_solve(const Cube3x3& cube, unsigned max_length, bool alone = false) {
    std::vector<std::int8_t> out(max_length + 1, -7);
    WorkControl control;
    const std::span<std::int8_t> first = std::span(out).first(max_length);
    const SearchResult result = alone
                              ? two_phase::SolverTesting::solve_cube_alone(solver(), cube, max_length, first)
                              : solver().solve(cube, max_length, first, control);
    if (result.outcome == SearchOutcome::found) {
        EXPECT_LE(result.length, max_length);
        EXPECT_TRUE(replayed(cube, std::span(out).first(result.length)).is_solved());
        EXPECT_EQ(out[max_length], -7) << "wrote past the bound";
    }
    return result;
}

// ---- coordinates ----------------------------------------------------------------------

TEST(TwoPhaseCoordinates, DecodeThenEncodeGivesTheSameNumber) {
    for (std::uint32_t t = 0; t < coords::twists; ++t)
        ASSERT_EQ(coords::twist_of(coords::corners_of_twist(t)), t);
    for (std::uint32_t f = 0; f < coords::flips; ++f) ASSERT_EQ(coords::flip_of(coords::edges_of_flip(f)), f);
    std::unordered_set<Word> slice_words;
    for (std::uint32_t s = 0; s < coords::slice_positions; ++s) {
        const Word edges = coords::edges_of_slice_position(s);
        ASSERT_EQ(coords::slice_position_of(edges), s);
        slice_words.insert(edges);
    }
    EXPECT_EQ(slice_words.size(), coords::slice_positions);
    for (std::uint32_t o = 0; o < coords::corner_orders; ++o) {
        ASSERT_EQ(coords::corner_order_of(coords::corners_of_order(o)), o);
        ASSERT_EQ(coords::layer_edge_order_of(coords::edges_of_orders(o, 0)), o);
    }
    for (std::uint32_t o = 0; o < coords::slice_orders; ++o)
        ASSERT_EQ(coords::slice_order_of(coords::edges_of_orders(0, o)), o);
}

// The twist and flip of a solved-looking piece are 0 in H: its turns keep
// phase 1's coordinates at their goal.
TEST(TwoPhaseCoordinates, TheTurnsOfHKeepPhaseOneSolved) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 200; ++i) {
        Cube3x3 cube;
        for (const MoveIndex move : random_moves(rng, 30)) {
            const unsigned times = move < layer_moves ? 1 : 2;
            for (unsigned k = 0; k < times; ++k) apply_move_index_internal(cube, move);
        }
        ASSERT_EQ(coords::twist_of(cube.corners), 0u);
        ASSERT_EQ(coords::flip_of(cube.edges), 0u);
        ASSERT_EQ(coords::slice_position_of(cube.edges), coords::slice_home);
    }
}

TEST(TwoPhaseCoordinates, MoveTablesAgreeWithTurningTheWords) {
    const two_phase::MoveTables tables;
    SeededRng states = seeded_rng(6, 0);
    std::mt19937_64 rng(6);
    for (int i = 0; i < 500; ++i) {
        const Cube3x3 cube = random_cube_3x3(states);
        for (MoveIndex move = 0; move < move_count; ++move) {
            Cube3x3 turned = cube;
            apply_move_index_internal(turned, move);
            ASSERT_EQ(tables.twist[coords::twist_of(cube.corners) * move_count + move],
                      coords::twist_of(turned.corners));
            ASSERT_EQ(tables.flip[coords::flip_of(cube.edges) * move_count + move],
                      coords::flip_of(turned.edges));
            ASSERT_EQ(tables.slice[coords::slice_position_of(cube.edges) * move_count + move],
                      coords::slice_position_of(turned.edges));
        }
    }
    for (int i = 0; i < 500; ++i) {
        Cube3x3 cube;
        for (int k = 0; k < 40; ++k) {
            const unsigned move = rng() % coords::phase2_moves;
            Cube3x3 turned = cube;
            for (unsigned c = 0; c < coords::phase2_cost[move]; ++c)
                apply_move_index_internal(turned, coords::phase2_quarter[move]);
            ASSERT_EQ(
                tables.corner_order[coords::corner_order_of(cube.corners) * coords::phase2_moves + move],
                coords::corner_order_of(turned.corners));
            ASSERT_EQ(
                tables.layer_order[coords::layer_edge_order_of(cube.edges) * coords::phase2_moves + move],
                coords::layer_edge_order_of(turned.edges));
            ASSERT_EQ(tables.slice_order[coords::slice_order_of(cube.edges) * coords::phase2_moves + move],
                      coords::slice_order_of(turned.edges));
            cube = turned;
        }
    }
}

// ---- symmetries -----------------------------------------------------------------------

namespace sym = symmetry_3x3;

Cube3x3 turned_by(Cube3x3 cube, MoveIndex move) {
    apply_move_index_internal(cube, move);
    return cube;
}

TEST(CubeSymmetries, AreSixteenAndCarryTurnsToTurns) {
    std::mt19937_64 rng(15);
    const Cube3x3 probe = apply_all(Cube3x3{}, random_moves(rng, 30));
    std::unordered_set<Word> images;
    for (const sym::Symmetry& s : sym::symmetries()) images.insert(sym::conjugate(probe, s).edges);
    EXPECT_EQ(images.size(), sym::symmetry_count);
    EXPECT_EQ(sym::conjugate(probe, sym::symmetries()[0]), probe);
    for (int i = 0; i < 200; ++i) {
        const Cube3x3 cube = apply_all(Cube3x3{}, random_moves(rng, 25));
        for (const sym::Symmetry& s : sym::symmetries()) {
            EXPECT_EQ(sym::conjugate(sym::conjugate(cube, s), sym::symmetries()[s.inverse]), cube);
            for (MoveIndex move = 0; move < move_count; ++move) {
                ASSERT_EQ(sym::conjugate(turned_by(cube, move), s),
                          turned_by(sym::conjugate(cube, s), s.moved[move]));
                // The U-D axis stays.
                EXPECT_EQ(s.moved[move] < layer_moves, move < layer_moves);
            }
        }
    }
}

TEST(CubeSymmetries, AxisTurnsCarryTheUdAxisToTheOthers) {
    std::mt19937_64 rng(16);
    const auto& turns = sym::axis_turns();
    for (unsigned axis = 0; axis < sym::axis_count; ++axis) {
        // Axis a's U and D turns become the turns of moves 4a..4a+3.
        for (MoveIndex move = 0; move < layer_moves; ++move) EXPECT_EQ(turns[axis].moved[move] / 4, axis);
        for (int i = 0; i < 100; ++i) {
            const Cube3x3 cube = apply_all(Cube3x3{}, random_moves(rng, 25));
            for (MoveIndex move = 0; move < move_count; ++move) {
                ASSERT_EQ(sym::conjugate(turned_by(cube, move), turns[axis]),
                          turned_by(sym::conjugate(cube, turns[axis]), turns[axis].moved[move]));
            }
        }
    }
}

TEST(CubeSymmetries, InverseUndoesTheTurns) {
    std::mt19937_64 rng(17);
    for (int i = 0; i < 200; ++i) {
        std::vector<MoveIndex> moves = random_moves(rng, i % 30);
        const Cube3x3 cube = apply_all(Cube3x3{}, moves);
        std::reverse(moves.begin(), moves.end());
        for (MoveIndex& move : moves) move ^= 1;
        EXPECT_EQ(sym::inverse_of(cube), apply_all(Cube3x3{}, moves));
    }
}

// A symmetry's effect on a number depends on that number alone: the tables
// of images agree with conjugating whole random states.
TEST(TwoPhaseCoordinates, SymmetriesActOnTheNumbersAlone) {
    const two_phase::SymmetryTables images;
    SeededRng states = seeded_rng(18, 0);
    std::mt19937_64 rng(18);
    for (int i = 0; i < 300; ++i) {
        const Cube3x3 cube = random_cube_3x3(states);
        Cube3x3 in_h_cube;
        for (int k = 0; k < 30; ++k) {
            const unsigned move = rng() % coords::phase2_moves;
            for (unsigned c = 0; c < coords::phase2_cost[move]; ++c)
                apply_move_index_internal(in_h_cube, coords::phase2_quarter[move]);
        }
        for (unsigned s = 0; s < sym::symmetry_count; ++s) {
            const Cube3x3 image = sym::conjugate(cube, sym::symmetries()[s]);
            ASSERT_EQ(images.twist[coords::twist_of(cube.corners) * two_phase::symmetries + s],
                      coords::twist_of(image.corners));
            const std::uint32_t flip_slice =
                two_phase::flip_slice_of(coords::flip_of(cube.edges), coords::slice_position_of(cube.edges));
            ASSERT_EQ(two_phase::conjugate_flip_slice(flip_slice, s),
                      two_phase::flip_slice_of(coords::flip_of(image.edges),
                                               coords::slice_position_of(image.edges)));
            const Cube3x3 h_image = sym::conjugate(in_h_cube, sym::symmetries()[s]);
            ASSERT_EQ(
                images.layer_order[coords::layer_edge_order_of(in_h_cube.edges) * two_phase::symmetries + s],
                coords::layer_edge_order_of(h_image.edges));
        }
        // The class's symmetry takes the corner order to its representative.
        const std::uint32_t order = coords::corner_order_of(cube.corners);
        const std::uint32_t packed = images.corner_class[order];
        const Cube3x3 seen = sym::conjugate(cube, sym::symmetries()[two_phase::symmetry_of(packed)]);
        EXPECT_EQ(coords::corner_order_of(seen.corners),
                  images.corner_representative[two_phase::class_of(packed)]);
    }
}

// ---- the pruning tables ---------------------------------------------------------------

// A table holds distances exactly when its goal is its only 0 and every
// other entry is one more move's cost than its nearest neighbour.
template <class Neighbour>
void expect_exact_distances(std::span<const std::byte> table, std::size_t goal, unsigned moves,
                            const unsigned* costs, Neighbour&& neighbour) {
    std::size_t wrong = 0;
    for (std::size_t state = 0; state < table.size(); ++state) {
        const auto value = static_cast<unsigned>(table[state]);
        unsigned nearest = 1000;
        for (unsigned move = 0; move < moves; ++move)
            nearest = std::min(nearest, static_cast<unsigned>(table[neighbour(state, move)]) + costs[move]);
        const unsigned expected = state == goal ? 0 : nearest;
        wrong += value != expected;
    }
    EXPECT_EQ(wrong, 0u);
}

// Small enough for every build, sanitizers' included: filled here apart from
// the shared tables.
TEST(TwoPhaseTables, SmallTablesHoldExactDistances) {
    std::vector<std::vector<std::byte>> filled;
    for (const unsigned table : {two_phase::corner_slice_table, two_phase::layer_slice_table}) {
        const two_phase::TableSpec& kind = two_phase::table_specs()[table];
        filled.emplace_back(kind.bytes);
        kind.fill(filled.back(), unwatched_work());
    }
    struct {
        std::vector<std::span<const std::byte>> views;
    } built;
    built.views.resize(two_phase::table_count);
    built.views[two_phase::corner_slice_table] = filled[0];
    built.views[two_phase::layer_slice_table] = filled[1];
    const two_phase::MoveTables moves;
    const std::size_t orders = coords::slice_orders;
    const unsigned width = coords::phase2_moves;
    expect_exact_distances(built.views[two_phase::corner_slice_table], 0, width, coords::phase2_cost.data(),
                           [&](std::size_t state, unsigned move) {
                               return two_phase::order_slice_index(
                                   moves.corner_order[state / orders * width + move],
                                   moves.slice_order[state % orders * width + move]);
                           });
    expect_exact_distances(built.views[two_phase::layer_slice_table], 0, width, coords::phase2_cost.data(),
                           [&](std::size_t state, unsigned move) {
                               return two_phase::order_slice_index(
                                   moves.layer_order[state / orders * width + move],
                                   moves.slice_order[state % orders * width + move]);
                           });
}

// The large tables read as the search reads them, from a whole state.
class LargeTables {
public:
    explicit LargeTables(const BuiltTables& built)
        : classes_(
              reinterpret_cast<const std::uint32_t*>(built.views[two_phase::flip_slice_class_table].data())),
          phase1_(reinterpret_cast<const std::uint16_t*>(built.views[two_phase::phase1_table].data())),
          phase2_(built.views[two_phase::phase2_table]) {}

    unsigned to_h(const Cube3x3& cube) const { return entry(cube) & two_phase::phase1_distance_mask; }
    // The moves that bring the state closer to H, carried back from its
    // class's representative one by one.
    unsigned closer(const Cube3x3& cube) const {
        const unsigned stored = entry(cube) >> two_phase::phase1_distance_bits;
        const auto& symmetry = sym::symmetries()[two_phase::symmetry_of(packed(cube))];
        unsigned own = 0;
        for (MoveIndex move = 0; move < move_count; ++move)
            own |= ((stored >> symmetry.moved[move]) & 1) << move;
        return own;
    }
    // For a state in H: its corners' and layer edges' distance from solved.
    unsigned in_h(const Cube3x3& cube) const {
        const std::uint32_t packed = images_.corner_class[coords::corner_order_of(cube.corners)];
        const std::uint32_t layer =
            images_.layer_order[coords::layer_edge_order_of(cube.edges) * two_phase::symmetries +
                                two_phase::symmetry_of(packed)];
        return static_cast<unsigned>(phase2_[two_phase::phase2_index(two_phase::class_of(packed), layer)]);
    }

private:
    std::uint32_t packed(const Cube3x3& cube) const {
        return classes_[two_phase::flip_slice_of(coords::flip_of(cube.edges),
                                                 coords::slice_position_of(cube.edges))];
    }
    unsigned entry(const Cube3x3& cube) const {
        const std::uint32_t twist = images_.twist[coords::twist_of(cube.corners) * two_phase::symmetries +
                                                  two_phase::symmetry_of(packed(cube))];
        return phase1_[two_phase::phase1_index(two_phase::class_of(packed(cube)), twist)];
    }

    const std::uint32_t* classes_;
    const std::uint16_t* phase1_;
    std::span<const std::byte> phase2_;
    two_phase::SymmetryTables images_;
};

bool in_h(const Cube3x3& cube) {
    return coords::twist_of(cube.corners) == 0 && coords::flip_of(cube.edges) == 0 &&
           coords::slice_position_of(cube.edges) == coords::slice_home;
}

Cube3x3 turned(Cube3x3 cube, MoveIndex move, unsigned times = 1) {
    for (unsigned i = 0; i < times; ++i) apply_move_index_internal(cube, move);
    return cube;
}

// Distances hold where they are one more than the nearest neighbour's, 0
// exactly at the goal: checked at states near H and far from it, their
// neighbours made by turning the words.
TEST(TwoPhaseTables, PhaseOneTableHoldsDistancesToH) {
    SKIP_WITHOUT_FULL_TABLES();
    const LargeTables tables(built_tables());
    SeededRng rng = seeded_rng(13, 0);
    std::mt19937_64 moves_rng(13);
    std::vector<unsigned> seen_distances(20);
    for (int i = 0; i < 3000; ++i) {
        Cube3x3 cube = random_cube_3x3(rng);
        if (i % 2 == 0) {
            // A state of H, a few turns away.
            cube = Cube3x3{};
            for (const MoveIndex move : random_moves(moves_rng, 20))
                cube = turned(cube, move, move < 4 ? 1 : 2);
            for (const MoveIndex move : random_moves(moves_rng, i % 12)) cube = turned(cube, move);
        }
        const unsigned distance = tables.to_h(cube);
        unsigned nearest = 100;
        unsigned closer = 0;
        for (MoveIndex move = 0; move < move_count; ++move) {
            const unsigned after = tables.to_h(turned(cube, move));
            nearest = std::min(nearest, after + 1);
            closer |= unsigned{after + 1 == distance} << move;
        }
        ASSERT_EQ(distance, in_h(cube) ? 0 : nearest) << i;
        ASSERT_EQ(tables.closer(cube), closer) << i;
        ++seen_distances[std::min(distance, 19u)];
    }
    EXPECT_GT(seen_distances[0], 0u);
    EXPECT_GT(seen_distances[9], 0u);
}

TEST(TwoPhaseTables, PhaseTwoTableHoldsDistancesInH) {
    SKIP_WITHOUT_FULL_TABLES();
    const LargeTables tables(built_tables());
    std::mt19937_64 rng(14);
    for (int i = 0; i < 3000; ++i) {
        Cube3x3 cube;
        for (int k = 0; k < (i % 3 == 0 ? i % 9 : 30); ++k) {
            const unsigned move = rng() % coords::phase2_moves;
            cube = turned(cube, coords::phase2_quarter[move], coords::phase2_cost[move]);
        }
        unsigned nearest = 100;
        for (unsigned move = 0; move < coords::phase2_moves; ++move) {
            nearest = std::min(
                nearest, tables.in_h(turned(cube, coords::phase2_quarter[move], coords::phase2_cost[move])) +
                             coords::phase2_cost[move]);
        }
        const bool home =
            coords::corner_order_of(cube.corners) == 0 && coords::layer_edge_order_of(cube.edges) == 0;
        ASSERT_EQ(tables.in_h(cube), home ? 0 : nearest) << i;
    }
}

TEST(TwoPhaseTables, AFillAskedToStopThrowsStopped) {
    WorkControl control;
    control.request_stop();
    for (const two_phase::TableSpec& kind : two_phase::table_specs()) {
        std::vector<std::byte> table(kind.bytes);
        EXPECT_THROW(kind.fill(table, control), Stopped) << kind.name;
    }
}

TEST(TwoPhaseTables, SolverRefusesTablesOfTheWrongSize) {
    std::vector<std::span<const std::byte>> none;
    EXPECT_THROW(Solver{none}, std::invalid_argument);
    std::vector<std::vector<std::byte>> storage;
    std::vector<std::span<const std::byte>> views;
    for (const auto& kind : two_phase::table_specs()) storage.emplace_back(kind.bytes + 1);
    for (const auto& bytes : storage) views.emplace_back(bytes);
    EXPECT_THROW(Solver{views}, std::invalid_argument);
}

// ---- solutions ------------------------------------------------------------------------

struct CubeHash {
    std::size_t operator()(const Cube3x3& cube) const noexcept {
        return std::hash<Word>()(cube.corners * 0x9E3779B97F4A7C15 ^ cube.edges);
    }
};

// Every state within `depth` quarter turns, by its distance.
std::vector<std::vector<Cube3x3>> levels_up_to(unsigned depth, std::unordered_set<Cube3x3, CubeHash>& seen) {
    std::vector<std::vector<Cube3x3>> levels = {{Cube3x3{}}};
    seen.insert(Cube3x3{});
    for (unsigned d = 1; d <= depth; ++d) {
        std::vector<Cube3x3> next;
        for (const Cube3x3& cube : levels.back()) {
            for (MoveIndex move = 0; move < move_count; ++move) {
                Cube3x3 turned = cube;
                apply_move_index_internal(turned, move);
                if (seen.insert(turned).second) next.push_back(turned);
            }
        }
        levels.push_back(std::move(next));
    }
    return levels;
}

TEST(TwoPhaseSolver, FindsTheShortestSolutionWhenTheBoundIsTheDistance) {
    SKIP_WITHOUT_FULL_TABLES();
    constexpr unsigned searched = 5;
    std::unordered_set<Cube3x3, CubeHash> seen;
    const auto levels = levels_up_to(searched, seen);
    ASSERT_EQ(levels[1].size(), 12u);
    ASSERT_EQ(levels[2].size(),
              114u);  // 132 pairs, less the 6 half turns and 12 commuting opposite pairs met twice
    std::vector<std::pair<Cube3x3, unsigned>> cases;
    for (unsigned d = 0; d <= searched; ++d) {
        const std::size_t step = std::max<std::size_t>(1, levels[d].size() / 40);
        for (std::size_t i = 0; i < levels[d].size(); i += step) cases.emplace_back(levels[d][i], d);
    }
    // Two more turns than the search: a state it did not meet with the parity
    // of the turns is exactly that far.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 60; ++i) {
        const Cube3x3 cube = apply_all(Cube3x3{}, random_moves(rng, searched + 2));
        if (!seen.contains(cube)) cases.emplace_back(cube, searched + 2);
    }
    ASSERT_GT(cases.size(), 150u);
    // The search of the cube alone must find them too: the other axes and
    // the inverse only add chances.
    for (const bool alone : {false, true}) {
        for (const auto& [cube, distance] : cases) {
            const SearchResult tight = checked_solve(cube, distance, alone);
            ASSERT_EQ(tight.outcome, SearchOutcome::found) << "distance " << distance << (alone ? " alone" : "");
            EXPECT_EQ(tight.length, distance);
            if (distance > 0) {
                EXPECT_EQ(checked_solve(cube, distance - 1, alone).outcome, SearchOutcome::none)
                    << "distance " << distance;
            }
        }
    }
}

TEST(TwoPhaseSolver, SolvesWithinTheLengthOfTheScramble) {
    SKIP_WITHOUT_FULL_TABLES();
    std::mt19937_64 rng(8);
    for (int i = 0; i < 40; ++i) {
        const unsigned length = 8 + static_cast<unsigned>(rng() % 4);
        const SearchResult result = checked_solve(apply_all(Cube3x3{}, random_moves(rng, length)), length);
        EXPECT_EQ(result.outcome, SearchOutcome::found);
    }
}

TEST(TwoPhaseSolver, SolvesRandomStatesWithinTheDiameter) {
    SKIP_WITHOUT_FULL_TABLES();
    SeededRng rng = seeded_rng(9, 0);
    for (int i = 0; i < 8; ++i) {
        const Cube3x3 cube = random_cube_3x3(rng);
        const SearchResult result = checked_solve(cube, two_phase::max_solution_length);
        EXPECT_EQ(result.outcome, SearchOutcome::found);
        // Every quarter turn is a 4-cycle of the corners.
        unsigned inversions = 0;
        for (unsigned a = 0; a < corner_slots; ++a) {
            for (unsigned b = a + 1; b < corner_slots; ++b)
                inversions +=
                    corner_piece(slot_field(cube.corners, a)) > corner_piece(slot_field(cube.corners, b));
        }
        EXPECT_EQ(result.length % 2, inversions % 2);
    }
}

TEST(TwoPhaseSolver, SolveManyMatchesSolvingOneByOne) {
    SKIP_WITHOUT_FULL_TABLES();
    SeededRng rng = seeded_rng(10, 0);
    std::vector<Cube3x3> cubes;
    for (int i = 0; i < 6; ++i) cubes.push_back(random_cube_3x3(rng));
    cubes.push_back(Cube3x3{});
    std::mt19937_64 moves_rng(10);
    cubes.push_back(apply_all(Cube3x3{}, random_moves(moves_rng, 21)));  // none within 3 turns
    constexpr unsigned bound = 26;
    constexpr std::size_t width = bound + 3;
    std::vector<std::int8_t> rows(cubes.size() * width, 99);
    std::vector<std::int16_t> lengths(cubes.size(), 99);
    WorkControl control;
    solver().solve_many(cubes, bound, rows.data(), width, lengths.data(), control);
    EXPECT_EQ(control.done(), cubes.size());
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        std::vector<std::int8_t> one(width, -1);
        const unsigned cube_bound = i + 1 == cubes.size() ? 3 : bound;
        const SearchResult result = solver().solve(cubes[i], cube_bound, one, control);
        if (i + 1 == cubes.size()) continue;
        ASSERT_EQ(result.outcome, SearchOutcome::found);
        EXPECT_EQ(lengths[i], static_cast<std::int16_t>(result.length));
        EXPECT_TRUE(std::equal(one.begin(), one.end(), rows.begin() + i * width)) << "cube " << i;
    }
    // The bound of a whole batch is one number; a short one leaves cubes unsolved.
    std::vector<std::int16_t> short_lengths(2, 99);
    std::vector<std::int8_t> short_rows(2 * 4, 99);
    solver().solve_many(std::span(cubes).last(2), 3, short_rows.data(), 4, short_lengths.data(), control);
    EXPECT_EQ(short_lengths[0], 0);
    EXPECT_EQ(short_lengths[1], -1);
    EXPECT_TRUE(std::all_of(short_rows.begin(), short_rows.end(), [](std::int8_t m) { return m == -1; }));
}

// ---- stopping -------------------------------------------------------------------------

TEST(TwoPhaseSolver, AStopRequestedBeforehandEndsTheSearch) {
    SKIP_WITHOUT_FULL_TABLES();
    WorkControl control;
    control.request_stop();
    SeededRng rng = seeded_rng(11, 0);
    const Cube3x3 cube = random_cube_3x3(rng);
    std::vector<std::int8_t> out(26);
    EXPECT_EQ(solver().solve(cube, 26, out, control).outcome, SearchOutcome::stopped);
    std::vector<Cube3x3> cubes(8, cube);
    std::vector<std::int8_t> rows(cubes.size() * 26);
    std::vector<std::int16_t> lengths(cubes.size());
    EXPECT_THROW(solver().solve_many(cubes, 26, rows.data(), 26, lengths.data(), control), Stopped);
    EXPECT_EQ(control.done(), 0u);
}

// A bound far below a random state's distance makes a search that would run
// for hours; a stop requested meanwhile ends it within a poll.
TEST(TwoPhaseSolver, AStopEndsALongSearch) {
    SKIP_WITHOUT_FULL_TABLES();
    SeededRng rng = seeded_rng(12, 0);
    const Cube3x3 cube = random_cube_3x3(rng);
    const Solver& built = solver();  // the tables first: the stop must come during the search
    WorkControl control;
    std::vector<std::int8_t> out(26);
    const SearchResult result = [&] {
        const testing::StopAfter stop(control, std::chrono::milliseconds(200));
        return built.solve(cube, 18, out, control);
    }();
    EXPECT_EQ(result.outcome, SearchOutcome::stopped);
}

}  // namespace
}  // namespace turnsmith
