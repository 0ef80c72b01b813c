#include "solvers/optimal_3x3.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string_view>

#include "base/fork.hpp"
#include "engine/built_once.hpp"
#include "engine/pool.hpp"
#include "solvers/two_phase_solver.hpp"
#include "solvers/solution_rows.hpp"
#include "solvers/table_cache.hpp"

namespace turnsmith::optimal {
namespace {

using Rules = MoveRules<metric>;

// Polls for a stop this often, in nodes expanded (about ten times as many
// generated).
inline constexpr std::uint64_t poll_mask = (std::uint64_t{1} << 13) - 1;

// Whether every child of a node lies within `remaining` - 1 moves in a table
// whose entries change by at most one a move (the distances of a coarser
// puzzle), knowing only `above`, a number never below the node's entry (15 and
// more: none known, as the large table's 15 means "at least 15").
constexpr bool children_near(unsigned above, unsigned remaining) noexcept {
    return above < corner_flips::farthest && above + 2 <= remaining;
}
// What a child's entry is then known not to exceed.
constexpr std::uint8_t child_above(unsigned above) noexcept { return static_cast<std::uint8_t>(above + 1); }

}  // namespace

struct Solver::Node {
    SpacePlace corners;  // not followed by a search that reads the large table
    std::array<edge_patterns::Pattern, edge_views> edges;  // view v: axis v / 2, table v % 2
    std::array<two_phase::Phase1Place, symmetry_3x3::axis_count> phase1;  // by axis
    std::array<corner_flips::Place, symmetry_3x3::axis_count> large;      // by axis
    // For each view of a table, a number never below the node's entry, or
    // `farthest` for none known (read by a search of the large table only):
    // from these the search knows, unread, what the children's entries
    // cannot exceed.
    std::array<std::uint8_t, symmetry_3x3::axis_count> large_above;
    std::array<std::uint8_t, symmetry_3x3::axis_count> phase1_above;
    std::array<std::uint8_t, edge_views> edges_above;

    void forget_entries() noexcept {
        large_above.fill(corner_flips::farthest);
        phase1_above.fill(corner_flips::farthest);
        edges_above.fill(corner_flips::farthest);
    }
};

Solver::Solver(const DistanceTable2x2& corners, std::span<const std::span<const std::byte>> edges,
               const two_phase::Solver& phase1)
    : corners_(corners.all_states()), phase1_(phase1.phase1_view()) {
    if (edges.size() != edges_.size()) throw std::invalid_argument("two edge tables are needed");
    for (std::size_t t = 0; t < edges_.size(); ++t) {
        if (edges[t].size() != edge_patterns::entries)
            throw std::invalid_argument("an edge table of another size");
        edges_[t] = reinterpret_cast<const std::uint8_t*>(edges[t].data());
    }
    for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis)
        moved_[axis] = symmetry_3x3::axis_turns()[axis].moved;
}

Solver::Node Solver::node_of(const Cube3x3& cube) const noexcept {
    Node node{};
    node.forget_entries();
    node.corners = {rank2x2::AllStates::permutation_rank(cube.corners), rank2x2::AllStates::twist_rank(cube.corners)};
    for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
        const Cube3x3 seen = symmetry_3x3::conjugate(cube, symmetry_3x3::axis_turns()[axis]);
        for (std::size_t t = 0; t < edge_tables; ++t)
            node.edges[axis * edge_tables + t] =
                edge_patterns::pattern_of(seen.edges, edge_patterns::table_first_pieces[t]);
        node.phase1[axis] = two_phase::Phase1View::place_of(seen);
        node.large[axis] = large_moves_.place_of(seen);
    }
    return node;
}

// The search's inner loop builds children in passes (fetching ahead); this is
// the same child in one piece.
Solver::Node Solver::child_of(const Node& node, unsigned move) const noexcept {
    Node child;
    child.forget_entries();
    child.corners = corners_.neighbour(node.corners, move);
    for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
        child.phase1[axis] = phase1_.next(node.phase1[axis], moved_[axis][move]);
        child.large[axis] = large_moves_.next(node.large[axis], moved_[axis][move]);
    }
    for (std::size_t v = 0; v < edge_views; ++v)
        child.edges[v] = moves_.next(node.edges[v], moved_[v / edge_tables][move]);
    return child;
}

unsigned Solver::estimate(const Node& node) const noexcept {
    unsigned bound = corners_.distance(node.corners);
    for (std::size_t v = 0; v < edge_views; ++v)
        bound = std::max<unsigned>(bound, edges_[v % edge_tables][node.edges[v].index()]);
    for (const two_phase::Phase1Place& place : node.phase1)
        bound = std::max(bound, two_phase::Phase1View::distance(phase1_.entry_of(place)));
    return bound;
}

unsigned Solver::search_estimate(const Node& node, const std::uint8_t* large) const noexcept {
    unsigned bound = estimate(node);
    if (large == nullptr) return bound;
    for (const corner_flips::Place& place : node.large)
        bound = std::max(bound, corner_flips::entry_at(large, large_moves_.index(place)));
    return bound;
}

void Solver::attach_large(std::span<const std::byte> table) const {
    if (table.size() != corner_flips::bytes) throw std::invalid_argument("a large table of another size");
    const std::uint8_t* none = nullptr;
    large_.compare_exchange_strong(none, reinterpret_cast<const std::uint8_t*>(table.data()),
                                   std::memory_order_acq_rel);
}

unsigned Solver::table_bound(const Cube3x3& cube) const noexcept { return estimate(node_of(cube)); }

unsigned Solver::with_parity(const Node& node, unsigned bound) const noexcept {
    // The corners' distance has the parity of the cube's: a larger bound of
    // the other parity lies below the distance, so one more does too.
    return bound + ((bound ^ corners_.distance(node.corners)) & 1);
}

unsigned Solver::lower_bound(const Cube3x3& cube) const noexcept {
    const Node node = node_of(cube);
    return with_parity(node, estimate(node));
}

void Solver::lower_bounds(std::span<const Cube3x3> cubes, std::span<std::uint8_t> out) const noexcept {
    constexpr std::size_t group = 32;
    std::array<Node, group> nodes;
    for (std::size_t first = 0; first < cubes.size(); first += group) {
        const std::size_t count = std::min(group, cubes.size() - first);
        for (std::size_t i = 0; i < count; ++i) {
            nodes[i] = node_of(cubes[first + i]);
            corners_.prefetch(nodes[i].corners);
            for (std::size_t v = 0; v < edge_views; ++v)
                __builtin_prefetch(&edges_[v % edge_tables][nodes[i].edges[v].index()]);
            for (const two_phase::Phase1Place& place : nodes[i].phase1)
                __builtin_prefetch(phase1_.class_of_place(place));
        }
        for (std::size_t i = 0; i < count; ++i)
            for (const two_phase::Phase1Place& place : nodes[i].phase1)
                __builtin_prefetch(phase1_.entry_of(place));
        for (std::size_t i = 0; i < count; ++i)
            out[first + i] = static_cast<std::uint8_t>(with_parity(nodes[i], estimate(nodes[i])));
    }
}

// One cube's depth-first searches, one per bound.
class Solver::Search {
public:
    Search(const Solver& solver, const WorkControl& control, std::int8_t* path) noexcept
        : solver_(solver), control_(control), path_(path), large_(solver.large_.load(std::memory_order_acquire)) {}

    // The search of one subtree among others in order: it gives up once
    // `cutoff` names an earlier subtree with a solution.
    void give_up_after(const std::atomic<std::size_t>* cutoff, std::size_t subtree) noexcept {
        cutoff_ = cutoff;
        subtree_ = subtree;
    }

    // Whether a path of exactly `remaining` moves (not ending the way
    // `state` forbids) leads from `node` to solved; writes it from path[depth].
    // The caller has made sure that no table puts `node` farther than
    // `remaining`. The children's table entries are fetched together before
    // any is read: each read is a likely miss in a large table.
    bool below(const Node& node, unsigned remaining, unsigned state, unsigned depth) {
        if (remaining == 0) return true;  // every table reads 0: solved
        const unsigned left = remaining - 1;
        if ((++expanded_ & poll_mask) == 0 &&
            (control_.stop_requested() ||
             (cutoff_ != nullptr && cutoff_->load(std::memory_order_relaxed) < subtree_)))
            stopped_ = true;
        if (stopped_) return false;
        // Passes over the children, each fetching what the next reads.
        // The first filter is the large table when there is one (its value
        // is never below the corners' own: it reads them with the flips),
        // else the corners' table.
        std::array<Node, move_count> children;
        std::array<std::uint8_t, move_count> order{};
        std::array<std::array<std::size_t, symmetry_3x3::axis_count>, move_count> large{};
        // A move takes a state one nearer or one farther in each table (in
        // the large one never as far: it holds the corners whole, so every
        // entry has their parity). A table on which the node lies at least
        // two nearer than `remaining` lets every child through unread.
        std::array<bool, symmetry_3x3::axis_count> unread{}, phase1_unread{};
        for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
            unread[axis] = large_ != nullptr && children_near(node.large_above[axis], remaining);
            phase1_unread[axis] = children_near(node.phase1_above[axis], remaining);
        }
        std::array<bool, edge_views> edges_unread{};
        for (std::size_t v = 0; v < edge_views; ++v) edges_unread[v] = children_near(node.edges_above[v], remaining);
        const auto fetch_large = [&](Node& child, unsigned i, unsigned axis) {
            if (unread[axis]) {
                child.large_above[axis] = child_above(node.large_above[axis]);
            } else {
                large[i][axis] = solver_.large_moves_.index(child.large[axis]);
                __builtin_prefetch(&large_[large[i][axis] >> 1]);
            }
        };
        const auto read_large = [&](Node& child, unsigned i, unsigned axis) {
            if (unread[axis]) return true;
            const unsigned entry = corner_flips::entry_at(large_, large[i][axis]);
            child.large_above[axis] = static_cast<std::uint8_t>(entry);
            return entry <= left;
        };
        const auto fetch_phase1 = [&](Node& child, unsigned k) {
            for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
                child.phase1[axis] = solver_.phase1_.next(node.phase1[axis], solver_.moved_[axis][k]);
                if (!phase1_unread[axis]) __builtin_prefetch(solver_.phase1_.class_of_place(child.phase1[axis]));
            }
        };
        unsigned count = 0;
        for (unsigned moves = Rules::next_moves[state]; moves != 0; moves &= moves - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(moves));
            Node& child = children[count];
            if (large_ != nullptr) {
                for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis)
                    child.large[axis] = solver_.large_moves_.next(node.large[axis], solver_.moved_[axis][k]);
                fetch_large(child, count, 0);
            } else {
                child.corners = solver_.corners_.neighbour(node.corners, k);
                solver_.corners_.prefetch(child.corners);
                fetch_phase1(child, k);
            }
            order[count++] = static_cast<std::uint8_t>(k);
        }
        nodes_ += count;
        // The large table is read about one axis for every child, and about
        // the other two only for the children that one lets through (about
        // a third): its random reads are the search's cost, and fewer of
        // them in one more round of fetches take less time. So do the
        // phase-1 views wait for that axis.
        std::array<bool, move_count> near{};
        if (large_ != nullptr) {
            for (unsigned i = 0; i < count; ++i) {
                near[i] = read_large(children[i], i, 0);
                if (!near[i]) continue;
                for (unsigned axis = 1; axis < symmetry_3x3::axis_count; ++axis) fetch_large(children[i], i, axis);
                fetch_phase1(children[i], order[i]);
            }
        }
        std::array<std::array<const std::uint16_t*, symmetry_3x3::axis_count>, move_count> phase1{};
        for (unsigned i = 0; i < count; ++i) {
            Node& child = children[i];
            if (large_ != nullptr) {
                for (unsigned axis = 1; axis < symmetry_3x3::axis_count && near[i]; ++axis)
                    near[i] = read_large(child, i, axis);
            } else {
                near[i] = solver_.corners_.distance(child.corners) <= left;
            }
            if (!near[i]) continue;
            for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
                if (phase1_unread[axis]) {
                    child.phase1_above[axis] = child_above(node.phase1_above[axis]);
                    continue;
                }
                phase1[i][axis] = solver_.phase1_.entry_of(child.phase1[axis]);
                __builtin_prefetch(phase1[i][axis]);
            }
            // The edge views only of children the first filter lets through: most are not.
            for (std::size_t v = 0; v < edge_views; ++v) {
                child.edges[v] = solver_.moves_.next(node.edges[v], solver_.moved_[v / edge_tables][order[i]]);
                if (edges_unread[v])
                    child.edges_above[v] = child_above(node.edges_above[v]);
                else
                    __builtin_prefetch(&solver_.edges_[v % edge_tables][child.edges[v].index()]);
            }
        }
        for (unsigned i = 0; i < count; ++i) {
            if (!near[i]) continue;
            Node& child = children[i];
            bool far = false;
            for (unsigned axis = 0; axis < symmetry_3x3::axis_count && !far; ++axis) {
                if (phase1_unread[axis]) continue;
                const unsigned entry = two_phase::Phase1View::distance(phase1[i][axis]);
                child.phase1_above[axis] = static_cast<std::uint8_t>(entry);
                far = entry > left;
            }
            for (std::size_t v = 0; v < edge_views && !far; ++v) {
                if (edges_unread[v]) continue;
                const unsigned entry = solver_.edges_[v % edge_tables][child.edges[v].index()];
                child.edges_above[v] = static_cast<std::uint8_t>(std::min<unsigned>(entry, corner_flips::farthest));
                far = entry > left;
            }
            if (far) continue;
            const unsigned k = order[i];
            path_[depth] = static_cast<std::int8_t>(k);
            if (below(child, left, Rules::after(state, k), depth + 1)) return true;
            if (stopped_) return false;
        }
        return false;
    }

    bool stopped() const noexcept { return stopped_; }
    std::uint64_t nodes() const noexcept { return nodes_; }
    const std::uint8_t* large() const noexcept { return large_; }

private:
    const Solver& solver_;
    const WorkControl& control_;
    std::int8_t* path_;
    std::uint64_t nodes_ = 0;  // generated
    std::uint64_t expanded_ = 0;
    bool stopped_ = false;
    const std::uint8_t* large_;  // read for the whole search: a table attached meanwhile waits for the next
    const std::atomic<std::size_t>* cutoff_ = nullptr;
    std::size_t subtree_ = 0;
};

unsigned Solver::start_bound(const Cube3x3& cube) const noexcept {
    return search_start(cube, large_.load(std::memory_order_acquire));
}

unsigned Solver::search_start(const Cube3x3& cube, const std::uint8_t* large) const noexcept {
    // The inverse lies as far from solved, and its tables may see it farther.
    unsigned bound = 0;
    for (const Cube3x3& seen : {cube, symmetry_3x3::inverse_of(cube)}) {
        const Node node = node_of(seen);
        bound = std::max(bound, with_parity(node, search_estimate(node, large)));
    }
    return bound;
}

namespace {

void check_room(unsigned length, std::span<std::int8_t> out) {
    if (length > diameter || out.size() < length) throw std::invalid_argument("room for fewer moves than the bound");
}

}  // namespace

Result Solver::search_exactly(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                              const WorkControl& control) const {
    check_room(length, out);
    const Node root = node_of(cube);
    Search search(*this, control, out.data());
    if (search_estimate(root, search.large()) > length) return {Outcome::none, 0, 0};
    if (search.below(root, length, Rules::start, 0)) return {Outcome::found, length, search.nodes()};
    return {search.stopped() ? Outcome::stopped : Outcome::none, 0, search.nodes()};
}

namespace {

// How many moves deep a deepening of `length` moves is cut into subtrees.
// Their sizes vary widely, and a worker left with a large one at the end of a
// deepening keeps the others waiting: long deepenings are cut into thousands
// of pieces, found in a few milliseconds.
constexpr unsigned max_split_depth = 4;
constexpr unsigned split_depth(unsigned length) noexcept {
    return length >= 16 ? max_split_depth : length >= 12 ? 3 : 2;
}

}  // namespace

// The subtrees of one deepening, in the order a single search visits them:
// the paths of `depth` moves that the tables let through.
struct Solver::Subtree {
    Node node;
    unsigned state;
    std::array<std::int8_t, max_split_depth> moves;
};

std::vector<Solver::Subtree> Solver::subtrees(const Node& root, unsigned length, unsigned depth,
                                              const std::uint8_t* large) const {
    std::vector<Subtree> found;
    std::array<std::int8_t, max_split_depth> moves{};
    const auto visit = [&](const auto& self, const Node& node, unsigned state, unsigned level) -> void {
        if (level == depth) {
            found.push_back({node, state, moves});
            return;
        }
        for (unsigned next = Rules::next_moves[state]; next != 0; next &= next - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(next));
            const Node child = child_of(node, k);
            if (search_estimate(child, large) > length - level - 1) continue;
            moves[level] = static_cast<std::int8_t>(k);
            self(self, child, Rules::after(state, k), level + 1);
        }
    };
    visit(visit, root, Rules::start, 0);
    return found;
}

Result Solver::search_exactly_on_pool(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                                      const WorkControl& control) const {
    if (length < 4) return search_exactly(cube, length, out, control);  // too small to share
    check_room(length, out);
    const Node root = node_of(cube);
    const std::uint8_t* large = large_.load(std::memory_order_acquire);
    if (search_estimate(root, large) > length) return {Outcome::none, 0, 0};
    const unsigned depth = split_depth(length);
    const std::vector<Subtree> work = subtrees(root, length, depth, large);
    // The subtrees are taken in order; a solution in one is kept only if no
    // earlier one has one, and every later one gives up once one is found.
    std::atomic<std::size_t> next = 0;
    std::atomic<std::size_t> cutoff = work.size();
    std::atomic<std::uint64_t> nodes = 0;
    std::atomic<bool> stopped = false;
    std::vector<std::array<std::int8_t, diameter>> paths(work.size());
    parallel_for(pool_worker_count(), [&](std::size_t, std::size_t) {
        std::uint64_t here = 0;
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < work.size();) {
            if (cutoff.load(std::memory_order_relaxed) < i) break;
            Search search(*this, control, paths[i].data());
            search.give_up_after(&cutoff, i);
            std::copy_n(work[i].moves.begin(), depth, paths[i].begin());
            const bool found = search.below(work[i].node, length - depth, work[i].state, depth);
            here += search.nodes();
            if (found) {
                std::size_t earlier = cutoff.load(std::memory_order_relaxed);
                while (i < earlier && !cutoff.compare_exchange_weak(earlier, i, std::memory_order_relaxed)) {
                }
            } else if (search.stopped() && control.stop_requested()) {
                stopped.store(true, std::memory_order_relaxed);
                break;
            }
        }
        nodes.fetch_add(here, std::memory_order_relaxed);
    });
    // A subtree before the cutoff was searched to its end: the cutoff is the
    // first with a solution, unless a stop cut the loop short.
    if (stopped.load()) return {Outcome::stopped, 0, nodes.load()};
    const std::size_t first = cutoff.load();
    if (first == work.size()) return {Outcome::none, 0, nodes.load()};
    std::copy_n(paths[first].begin(), length, out.begin());
    return {Outcome::found, length, nodes.load()};
}

Result Solver::solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                     const WorkControl& control, Sharing sharing) const {
    const unsigned longest = std::min(max_length, diameter);
    if (out.size() < longest) throw std::invalid_argument("room for fewer moves than the bound");
    std::uint64_t nodes = 0;
    for (unsigned bound = start_bound(cube); bound <= longest; bound += Rules::deepening_step) {
        const Result result = sharing == Sharing::subtrees ? search_exactly_on_pool(cube, bound, out, control)
                                                           : search_exactly(cube, bound, out, control);
        nodes += result.nodes;
        if (result.outcome != Outcome::none) return {result.outcome, result.length, nodes};
    }
    return {Outcome::none, 0, nodes};
}

namespace {

// Whether a batch is worth a cube per worker at a time, or each cube the
// whole pool: a few cubes may take very different times.
bool cube_per_worker(std::size_t cubes) { return cubes >= 4 * pool_worker_count(); }

// Calls solve_one(i, sharing) for every cube: on the pool, each worker taking
// the next cube as it finishes one, or cube by cube with the pool on each.
// solve_one returns false once stopped. Throws Stopped then.
template <class F>
void for_each_cube(std::size_t count, WorkControl& control, F&& solve_one) {
    if (cube_per_worker(count)) {
        std::atomic<std::size_t> next = 0;
        parallel_for(pool_worker_count(), [&](std::size_t, std::size_t) {
            for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
                if (!solve_one(i, Solver::Sharing::none)) return;
                control.add_done(1);
            }
        });
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            if (!solve_one(i, Solver::Sharing::subtrees)) break;
            control.add_done(1);
        }
    }
    control.throw_if_stopped();
}

}  // namespace

void Solver::solve_many(std::span<const Cube3x3> cubes, unsigned max_length, std::int8_t* rows,
                        std::size_t width, std::int16_t* lengths, WorkControl& control) const {
    if (width < std::min(max_length, diameter)) throw std::invalid_argument("rows narrower than the bound");
    for_each_cube(cubes.size(), control, [&](std::size_t i, Sharing sharing) {
        const Result result = solve(cubes[i], max_length, std::span(rows + i * width, width), control, sharing);
        if (result.outcome == Outcome::stopped) return false;
        finish_solution_row(rows, width, lengths, i, result.outcome == Outcome::found, result.length);
        return true;
    });
}

void Solver::distances(std::span<const Cube3x3> cubes, std::uint8_t* out, WorkControl& control) const {
    for_each_cube(cubes.size(), control, [&](std::size_t i, Sharing sharing) {
        std::array<std::int8_t, diameter> moves{};
        const Result result = solve(cubes[i], diameter, moves, control, sharing);
        if (result.outcome == Outcome::stopped) return false;
        out[i] = static_cast<std::uint8_t>(result.length);  // every state lies within the diameter
        return true;
    });
}

// ---- the process's solver ---------------------------------------------------------

namespace {

struct LoadedSolver {
    std::vector<tables::TableBytes> files;
    std::vector<LoadedTable> reports;
    std::unique_ptr<Solver> solver;
};

std::unique_ptr<LoadedSolver> load(std::vector<std::string>& warnings, WorkControl& control) {
    auto loaded = std::make_unique<LoadedSolver>();
    const two_phase::Solver& phase1 = two_phase_solver(warnings, control);
    const DistanceTable2x2& corners = distance_table_2x2();
    loaded->reports.push_back({"2x2-distances", "", corners.bytes(), true, 0.0});
    std::vector<std::span<const std::byte>> views;
    for (const unsigned first : edge_patterns::table_first_pieces) {
        const tables::TableKind kind = edge_patterns::table_kind(first);
        tables::TableBytes& file = loaded->files.emplace_back(tables::load_or_build(kind, warnings, control));
        loaded->reports.push_back({kind.name, file.path(), kind.bytes, file.built_here(), file.seconds()});
        views.push_back(file.bytes());
    }
    loaded->solver = std::make_unique<Solver>(corners, views, phase1);
    return loaded;
}

// Never destroyed: a thread the process does not join may read it at exit.
BuiltOnce<LoadedSolver>& process_solver() {
    static auto* const solver = new BuiltOnce<LoadedSolver>;
    return *solver;
}

void before_fork() noexcept { process_solver().before_fork(); }
void after_fork_in_parent() noexcept { process_solver().after_fork_in_parent(); }
void after_fork_in_child() noexcept { process_solver().after_fork_in_child(); }

// Made before any fork can ask for it, since a fork handler must not allocate.
[[maybe_unused]] const bool fork_handlers_registered =
    (process_solver(),
     on_fork(ForkStage::optimal_tables, {before_fork, after_fork_in_parent, after_fork_in_child}));

}  // namespace

const Solver& optimal_solver(std::vector<std::string>& warnings, WorkControl& control) {
    for (;;) {
        try {
            return *process_solver().get([&] { return load(warnings, control); }).solver;
        } catch (const Stopped&) {
            // Another caller's build was stopped, not this one: build again.
            if (control.stop_requested()) throw;
        }
    }
}

const Solver* optimal_solver_if_ready() noexcept {
    const LoadedSolver* loaded = process_solver().built();
    return loaded != nullptr ? loaded->solver.get() : nullptr;
}

// ---- the large table ------------------------------------------------------------
//
// Searched for once per process; once found or built it is published (never
// freed, as the solver) and attached to the process's solver.

namespace {

struct LoadedLarge {
    tables::TableBytes bytes;
    LoadedTable report;
};

std::atomic<const LoadedLarge*> published_large = nullptr;

// Room left beside a table copied into memory, for everything else.
inline constexpr std::size_t memory_to_spare = std::size_t{2} << 30;

// Whether to search a private copy of the table: its random reads cost
// about half those of the shared file mapping, but every process holds one.
// TURNSMITH_LARGE_TABLE_COPY=0 keeps the mapping, which the processes of a
// machine share through the page cache.
bool copy_wanted() {
    const char* copy = std::getenv("TURNSMITH_LARGE_TABLE_COPY");
    return copy == nullptr || std::string_view(copy) != "0";
}

// Publishes `table` (its copy in memory when wanted and there is room)
// unless one already is; attaches the one published.
void publish(const Solver& solver, tables::TableBytes table) {
    auto large = std::make_unique<LoadedLarge>();
    large->report = {corner_flips::table_kind().name, table.path(), corner_flips::bytes, table.built_here(),
                     table.seconds()};
    large->bytes = copy_wanted() ? tables::copy_to_memory(std::move(table), memory_to_spare) : std::move(table);
    const LoadedLarge* none = nullptr;
    if (published_large.compare_exchange_strong(none, large.get(), std::memory_order_acq_rel)) large.release();
    solver.attach_large(published_large.load(std::memory_order_acquire)->bytes.bytes());
}

// What the process's one look for the table found, beyond the table.
struct LargeLook {
    std::string warning;  // why there is none, or empty
};

BuiltOnce<LargeLook>& process_look() {
    static auto* const look = new BuiltOnce<LargeLook>;
    return *look;
}

std::atomic<bool> look_warned = false;

void look_before_fork() noexcept { process_look().before_fork(); }
void look_after_fork_in_parent() noexcept { process_look().after_fork_in_parent(); }
void look_after_fork_in_child() noexcept { process_look().after_fork_in_child(); }

[[maybe_unused]] const bool look_fork_handlers_registered =
    (process_look(), on_fork(ForkStage::optimal_tables,
                             {look_before_fork, look_after_fork_in_parent, look_after_fork_in_child}));

std::string no_large_table(const std::string& why) {
    return why +
           "; the optimal search uses its small tables, with which a uniformly random state takes minutes to "
           "hours (prepare_tables(3, optimal=True, large=True) builds the large table once, in about four minutes "
           "on two CPUs; TURNSMITH_LARGE_TABLE='' silences this warning)";
}

}  // namespace

std::optional<std::filesystem::path> large_table_path() {
    if (const char* own = std::getenv("TURNSMITH_LARGE_TABLE")) {
        if (*own == '\0') return std::nullopt;
        return std::filesystem::path(own);
    }
    const std::optional<std::filesystem::path> directory = tables::cache_directory();
    if (!directory) return std::nullopt;
    return tables::table_path(*directory, corner_flips::table_kind());
}

void look_for_large_table(const Solver& solver, std::vector<std::string>& warnings) {
    if (solver.has_large()) return;
    const LargeLook& look = process_look().get([&solver] {
        auto look = std::make_unique<LargeLook>();
        const char* own = std::getenv("TURNSMITH_LARGE_TABLE");
        if (own != nullptr && *own == '\0') return look;  // asked for none
        const std::optional<std::filesystem::path> path = large_table_path();
        if (!path) {
            look->warning = no_large_table("there is no table cache directory to find the large table in");
            return look;
        }
        std::vector<std::string> problems;
        std::optional<tables::TableBytes> found = tables::load_file(corner_flips::table_kind(), *path, problems);
        if (found) {
            publish(solver, std::move(*found));
        } else if (!problems.empty()) {
            look->warning = no_large_table(problems.front());
        } else {
            look->warning = no_large_table("the large table is not built ('" + path->string() + "' is missing)");
        }
        return look;
    });
    if (!look.warning.empty() && !solver.has_large() && !look_warned.exchange(true))
        warnings.push_back(look.warning);
}

void attach_zero_large_table(const Solver& solver) {
    // Never unmapped: the solver may read it until the process ends.
    void* zeros = mmap(nullptr, corner_flips::bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (zeros == MAP_FAILED) throw std::bad_alloc();
    solver.attach_large({static_cast<const std::byte*>(zeros), corner_flips::bytes});
}

bool large_table_looked_for() noexcept {
    return process_look().built() != nullptr || published_large.load(std::memory_order_acquire) != nullptr;
}

void build_large_table(const Solver& solver, std::vector<std::string>& warnings, WorkControl& control) {
    if (solver.has_large()) return;
    const std::optional<std::filesystem::path> path = large_table_path();
    if (!path) {
        throw std::runtime_error(
            "the large table has nowhere to go: TURNSMITH_LARGE_TABLE is empty or the table cache is off");
    }
    tables::TableBytes table = tables::load_or_build_file(corner_flips::table_kind(), *path, warnings, control);
    publish(solver, std::move(table));
}

std::vector<LoadedTable> optimal_table_reports() {
    const LoadedSolver* loaded = process_solver().built();
    std::vector<LoadedTable> reports = loaded != nullptr ? loaded->reports : std::vector<LoadedTable>{};
    if (const LoadedLarge* large = published_large.load(std::memory_order_acquire)) reports.push_back(large->report);
    return reports;
}

}  // namespace turnsmith::optimal
