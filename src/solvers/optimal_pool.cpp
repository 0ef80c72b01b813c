// The optimal search shared out on the pool: one cube's deepening cut into
// subtrees for all the workers, or a batch's cubes one a worker.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "engine/pool.hpp"
#include "solvers/optimal_3x3.hpp"
#include "solvers/optimal_search.hpp"
#include "solvers/solution_rows.hpp"

namespace turnsmith::optimal {
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
    Ending ending;
    std::array<std::int8_t, max_split_depth> moves;
};

std::vector<Solver::Subtree> Solver::subtrees(const Node& root, unsigned length, unsigned depth,
                                              const LargeTable* large) const {
    std::vector<Subtree> found;
    std::array<std::int8_t, max_split_depth> moves{};
    const auto visit = [&](const auto& self, const Node& node, Ending ending, unsigned level) -> void {
        if (level == depth) {
            found.push_back({node, ending, moves});
            return;
        }
        for (unsigned next = Rules::next_moves[ending]; next != 0; next &= next - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(next));
            const Node child = child_of(node, k, large);
            if (search_estimate(child, large) > length - level - 1) continue;
            moves[level] = static_cast<std::int8_t>(k);
            self(self, child, Rules::after(ending, k), level + 1);
        }
    };
    visit(visit, root, Rules::start, 0);
    return found;
}

SearchResult Solver::search_exactly_on_pool(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                                      const WorkControl& control) const {
    if (length < 4) return search_exactly(cube, length, out, control);  // too small to share
    search_detail::check_room(length, out);
    const LargeTable* large = large_.load(std::memory_order_acquire);
    const Node root = node_of(cube, large);
    if (search_estimate(root, large) > length) return {SearchOutcome::none, 0, 0};
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
            // A subtree smaller than the search's polling interval never sees
            // a stop: look between subtrees too.
            if (control.stop_requested()) {
                stopped.store(true, std::memory_order_relaxed);
                break;
            }
            Search search(*this, control, paths[i].data());
            search.give_up_after(&cutoff, i);
            std::copy_n(work[i].moves.begin(), depth, paths[i].begin());
            const bool found = search.below(work[i].node, length - depth, work[i].ending, depth);
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
    if (stopped.load()) return {SearchOutcome::stopped, 0, nodes.load()};
    const std::size_t first = cutoff.load();
    if (first == work.size()) return {SearchOutcome::none, 0, nodes.load()};
    std::copy_n(paths[first].begin(), length, out.begin());
    return {SearchOutcome::found, length, nodes.load()};
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
        const SearchResult result = solve(cubes[i], max_length, std::span(rows + i * width, width), control, sharing);
        if (result.outcome == SearchOutcome::stopped) return false;
        finish_solution_row(rows, width, lengths, i, result.outcome == SearchOutcome::found, result.length);
        return true;
    });
}

void Solver::distances(std::span<const Cube3x3> cubes, std::uint8_t* out, WorkControl& control,
                       std::span<const std::int64_t> upper_bounds) const {
    for_each_cube(cubes.size(), control, [&](std::size_t i, Sharing sharing) {
        std::optional<unsigned> upper;
        if (!upper_bounds.empty() && upper_bounds[i] >= 0)
            upper = static_cast<unsigned>(std::min<std::int64_t>(upper_bounds[i], diameter));
        const SearchResult result = distance(cubes[i], upper, control, sharing);
        if (result.outcome == SearchOutcome::stopped) return false;
        out[i] = static_cast<std::uint8_t>(result.length);  // every state lies within the diameter
        return true;
    });
}

}  // namespace turnsmith::optimal
