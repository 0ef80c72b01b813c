#pragma once
// Exact distances and optimal solutions of the 3x3 in quarter turns: an
// iterative-deepening search (IDA*) pruned by pattern databases, the
// corners' (the 2x2's distance table) and two of six edges each
// (edge_patterns_3x3.hpp); their largest value never exceeds the distance.
// The two-phase search's phase-1 table adds a third bound: a state's
// distance to the group H, which every path to solved enters. The edge and
// phase-1 tables are read along all three axes: the state seen from a cube
// turned to put the R-L or F-B axis where U-D was moves six other edges into
// the table's pieces, so two tables bound six sets of edges. A view is
// followed through the search by turning it with each move as the turned cube
// sees it.
//
// The bound deepens by the metric's step of two (all the solutions of a
// state have one parity), and the search keeps to the metric's one spelling
// of each sequence (cube/move_rules.hpp), trying the moves in index order.
// The first solution found at the distance is therefore the
// lexicographically least of the optimal ones, whatever the tables' strength
// or the worker that runs it.
//
// A large table (phase1_corners_3x3.hpp: phase 1's numbers with a coarse
// view of the corners' order, 2.5 GB) may join the small
// ones, read along all three axes in place of the phase-1 table, which it
// bounds from above. It makes searches of uniformly random states feasible;
// it never changes an answer, and lower bounds never read it, so that they
// are the same on every machine.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "cube/move_rules.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "solvers/edge_patterns_3x3.hpp"
#include "solvers/phase1_corners_3x3.hpp"
#include "solvers/search_result.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/table_cache.hpp"
#include "solvers/two_phase.hpp"
#include "solvers/two_phase_moves.hpp"
#include "engine/work_control.hpp"

namespace turnsmith::optimal {

// The metric of every length, distance and bound here.
inline constexpr Metric metric = Metric::quarter_turns;
inline constexpr unsigned diameter = MoveRules<metric>::diameter_3x3;

class Solver {
public:
    // `corners` is the process's 2x2 table; `edges` the filled tables of the
    // kinds edge_patterns::table_kind(first) for table_first_pieces, in that
    // order; `phase1` a two-phase solver, for its phase-1 table. All must
    // outlive the solver, which only reads them. Makes the position moves on
    // the pool. Throws std::invalid_argument when the edge tables are not two
    // of the right size.
    Solver(const DistanceTable2x2& corners, std::span<const std::span<const std::byte>> edges,
           const two_phase::Solver& phase1);

    // A number never above the distance of `cube` (a state the turns reach).
    unsigned lower_bound(const Cube3x3& cube) const noexcept;
    // The small tables' largest value alone (the lower bound before its
    // parity is taken into account).
    unsigned table_bound(const Cube3x3& cube) const noexcept;
    // The bound a search prunes by: the same with the large table's along
    // its three axes when one is attached (found by walking down to solved
    // there, not by the search's own way of following it).
    unsigned search_bound(const Cube3x3& cube) const noexcept;
    // The same for many cubes, their table reads overlapped; on this thread.
    void lower_bounds(std::span<const Cube3x3> cubes, std::span<std::uint8_t> out) const noexcept;

    // The lexicographically least solution of `cube` among the shortest ones,
    // if it has at most `max_length` quarter turns: its moves in
    // out[0..length), out.size() >= min(max_length, diameter). Polls
    // `control` every 2^13 nodes expanded and returns `stopped` once a stop is asked.
    // With Sharing::subtrees, each deepening's subtrees are shared out on the
    // pool (call it off the pool), and a solution found in one is kept only
    // once the subtrees before it are done: the same answer, sooner.
    enum class Sharing { none, subtrees };
    SearchResult solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                 const WorkControl& control, Sharing sharing = Sharing::none) const;

    // One depth-first search for a solution of exactly `length` moves (at
    // most the diameter): the lexicographically least one, if any, to
    // out[0..length). The node count tells what one deepening costs.
    SearchResult search_exactly(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                          const WorkControl& control) const;
    // The same, its subtrees shared out on the pool.
    SearchResult search_exactly_on_pool(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                                  const WorkControl& control) const;
    // The first bound a search needs to try: the tables' bound on the cube
    // and on its inverse, the larger.
    unsigned start_bound(const Cube3x3& cube) const noexcept;

    // Solves every cube on the pool: each worker takes the next cube as it
    // finishes one, and a worker left without a cube to start helps with the
    // subtrees of another cube's deepening (the same answers as one thread):
    // row i of `rows` (`width` >= min(max_length, diameter)) gets cube i's
    // moves then -1, lengths[i] its length or -1. Throws Stopped once the
    // loop has ended when a stop was asked; the rows are then unspecified.
    void solve_many(std::span<const Cube3x3> cubes, unsigned max_length, std::int8_t* rows, std::size_t width,
                    std::int16_t* lengths, WorkControl& control) const;
    // The distance of `cube` (its length; found or stopped), by the
    // deepenings of solve. Given `upper`, a number known not to be below the
    // distance (a solution's length), the deepening at the largest number
    // within it of the cube's parity is left out: when none below finds a
    // solution, that number is the distance. An `upper` below the start bound
    // is shown wrong by the tables and ignored; one below the distance but
    // not below the start bound gives a wrong answer.
    SearchResult distance(const Cube3x3& cube, std::optional<unsigned> upper, const WorkControl& control,
                          Sharing sharing = Sharing::none) const;
    // The distance of every cube, on the pool, one done per cube; with
    // `upper_bounds` (one a cube, negative for none known), each cube's as
    // distance() takes it.
    void distances(std::span<const Cube3x3> cubes, std::uint8_t* out, WorkControl& control,
                   std::span<const std::int64_t> upper_bounds = {}) const;

    // The large table as the searches read it.
    struct LargeTable {
        const std::uint8_t* entries;
        phase1_corners::Moves moves;
    };

    // From now on searches read the large table `table` of kind `detail`
    // (with Twists::ignored: a reduced instance, for tests), which must
    // outlive the solver; a later call is ignored. Throws
    // std::invalid_argument when the table has another size.
    void attach_large(std::span<const std::byte> table, phase1_corners::CornerDetail detail,
                      phase1_corners::Moves::Twists twists = phase1_corners::Moves::Twists::read) const;
    bool has_large() const noexcept { return large_.load(std::memory_order_acquire) != nullptr; }
    // Whether the large table attached is of kind `detail`.
    bool has_large(phase1_corners::CornerDetail detail) const noexcept {
        const LargeTable* large = large_.load(std::memory_order_acquire);
        return large != nullptr && large->moves.cosets() == static_cast<unsigned>(detail);
    }
    const two_phase::Phase1View& phase1_view() const noexcept { return phase1_; }

    // For tests that the answers do not hang on how a search is shared: a
    // shared deepening's subtrees handed out last to first (the first
    // solution found is then seldom the one kept), and a batch's deepenings
    // handed over to be shared after this many nodes expanded alone, though
    // no worker waits to help (0: only when one does).
    struct SharingTrial {
        bool last_to_first = false;
        std::uint64_t hand_over_after = 0;
    };
    void set_sharing_trial(SharingTrial trial) const noexcept {
        last_to_first_.store(trial.last_to_first);
        hand_over_after_.store(trial.hand_over_after);
    }

private:
    struct Node;
    class Search;
    struct Subtree;
    class SharedDeepening;
    class Batch;
    // The search of one deepening as search_exactly_on_pool, the pool's
    // workers taking part, or with `batch`, opened to the batch's workers.
    SearchResult search_shared(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                               const WorkControl& control, Batch* batch) const;
    // solve() and distance() with each deepening opened to the batch's workers.
    SearchResult solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                       const WorkControl& control, Batch& batch) const;
    SearchResult distance(const Cube3x3& cube, std::optional<unsigned> upper, const WorkControl& control,
                          Batch& batch) const;
    template <class F>
    void for_each_cube(std::size_t count, WorkControl& control, F&& solve_one) const;
    std::vector<Subtree> subtrees(const Node& root, unsigned length, unsigned depth, const LargeTable* large) const;
    // A node of `cube`, following the large table too when `large` is one.
    Node node_of(const Cube3x3& cube, const LargeTable* large = nullptr) const noexcept;
    Node child_of(const Node& node, unsigned move, const LargeTable* large) const noexcept;
    // The small tables' bound; without phase 1's when `phase1` is false.
    unsigned estimate(const Node& node, bool phase1 = true) const noexcept;
    // The small tables' bound, raised by the large table's when `large` is one.
    unsigned search_estimate(const Node& node, const LargeTable* large) const noexcept;
    unsigned search_start(const Cube3x3& cube, const LargeTable* large) const noexcept;
    unsigned with_parity(const Node& node, unsigned bound) const noexcept;

    static constexpr std::size_t edge_tables = edge_patterns::table_first_pieces.size();
    static constexpr std::size_t edge_views = edge_tables * symmetry_3x3::axis_count;

    const SpaceDistances<rank2x2::AllStates>& corners_;
    std::array<const std::uint8_t*, edge_tables> edges_;
    edge_patterns::PositionMoves moves_;
    two_phase::Phase1View phase1_;
    // For each axis, the move that each move is as that axis's view sees it.
    std::array<std::array<std::uint8_t, move_count>, symmetry_3x3::axis_count> moved_;
    mutable std::atomic<const LargeTable*> large_ = nullptr;
    mutable std::unique_ptr<const LargeTable> large_owned_;  // set once, by the attach that publishes it
    mutable std::atomic<bool> last_to_first_ = false;
    mutable std::atomic<std::uint64_t> hand_over_after_ = 0;
};

// The large table's kinds, by name: the standard one (2.5 GB) unless the
// caller names another.
inline constexpr phase1_corners::CornerDetail default_detail = phase1_corners::CornerDetail::tetrads;
struct LargeKind {
    const char* name;  // as prepare_tables(large=...) takes it
    phase1_corners::CornerDetail detail;
};
inline constexpr std::array<LargeKind, 1> large_kinds = {{
    {"standard", phase1_corners::CornerDetail::tetrads},
}};

// The process's solver, its tables made ready by the first call (the 2x2
// table in memory, the edge tables from the cache or built into it), as
// two_phase_solver does. Call it detached from the interpreter.
const Solver& optimal_solver(std::vector<std::string>& warnings, WorkControl& control);
// Attaches a large table to `solver` if a file of one is there and whole,
// looking once per process: the file TURNSMITH_LARGE_TABLE names, of
// whichever kind, else the strongest kind in the table cache. A table that
// is found is copied into memory with huge pages when the system has room
// for it. When none is there, the first call of the process appends a
// warning saying so. Call detached.
void look_for_large_table(const Solver& solver, std::vector<std::string>& warnings);
// For tests of the search's reads on machines without the table: attaches
// to `solver` a table of zeros (a bound that prunes nothing), memory the
// system only reserves. Throws std::bad_alloc when it cannot be reserved.
void attach_zero_large_table(const Solver& solver);
// Whether a look has been made (or the table is attached).
bool large_table_looked_for() noexcept;
// Builds the large table of kind `detail` into its file (as the look finds
// it) unless it is there (many minutes: only ever on request) and attaches
// it to `solver`; when another large table is attached, the process keeps
// reading that one and a warning says so. Throws std::runtime_error
// when there is no path, no room on its disk, or it cannot be written;
// Stopped.
void build_large_table(const Solver& solver, phase1_corners::CornerDetail detail, std::vector<std::string>& warnings,
                       WorkControl& control);

// The solver if its tables are ready, or null; never waits.
const Solver* optimal_solver_if_ready() noexcept;
// Its tables as loaded, empty until they are.
std::vector<TableReport> optimal_table_reports();

}  // namespace turnsmith::optimal
