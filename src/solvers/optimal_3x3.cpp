#include "solvers/optimal_3x3.hpp"

#include <algorithm>
#include <stdexcept>

#include "solvers/optimal_search.hpp"

namespace turnsmith::optimal {

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

Solver::Node Solver::node_of(const Cube3x3& cube, const LargeTable* large) const noexcept {
    Node node{};
    node.forget_entries();
    node.corners = {rank2x2::AllStates::permutation_rank(cube.corners), rank2x2::AllStates::twist_rank(cube.corners)};
    for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
        const Cube3x3 seen = symmetry_3x3::conjugate(cube, symmetry_3x3::axis_turns()[axis]);
        for (std::size_t t = 0; t < edge_tables; ++t)
            node.edges[axis * edge_tables + t] =
                edge_patterns::pattern_of(seen.edges, edge_patterns::table_first_pieces[t]);
        node.phase1[axis] = two_phase::Phase1View::place_of(seen);
        if (large == nullptr) continue;
        node.large[axis] = large->moves.place_of(seen);
        node.large_distance[axis] = static_cast<std::uint8_t>(large->moves.distance(large->entries, node.large[axis]));
    }
    return node;
}

// The search's inner loop builds children in passes (fetching ahead); this is
// the same child in one piece.
Solver::Node Solver::child_of(const Node& node, unsigned move, const LargeTable* large) const noexcept {
    Node child;
    child.forget_entries();
    child.corners = corners_.neighbour(node.corners, move);
    for (unsigned axis = 0; axis < symmetry_3x3::axis_count; ++axis) {
        child.phase1[axis] = phase1_.next(node.phase1[axis], moved_[axis][move]);
        if (large == nullptr) continue;
        child.large[axis] = large->moves.next(node.large[axis], moved_[axis][move]);
        const unsigned residue = phase1_corners::residue_at(large->entries, large->moves.index(child.large[axis]));
        child.large_distance[axis] =
            static_cast<std::uint8_t>(phase1_corners::neighbour_distance(node.large_distance[axis], residue));
    }
    for (std::size_t v = 0; v < edge_views; ++v)
        child.edges[v] = moves_.next(node.edges[v], moved_[v / edge_tables][move]);
    return child;
}

unsigned Solver::estimate(const Node& node, bool phase1) const noexcept {
    unsigned bound = corners_.distance(node.corners);
    for (std::size_t v = 0; v < edge_views; ++v)
        bound = std::max<unsigned>(bound, edges_[v % edge_tables][node.edges[v].index()]);
    if (!phase1) return bound;
    for (const two_phase::Phase1Place& place : node.phase1)
        bound = std::max(bound, two_phase::Phase1View::distance(phase1_.entry_of(place)));
    return bound;
}

// The large table bounds phase 1's distance along each axis from above (its
// place holds phase 1's): a search that reads it skips phase 1's.
unsigned Solver::search_estimate(const Node& node, const LargeTable* large) const noexcept {
    unsigned bound = estimate(node, large == nullptr);
    if (large == nullptr) return bound;
    for (const std::uint8_t distance : node.large_distance) bound = std::max<unsigned>(bound, distance);
    return bound;
}

void Solver::attach_large(std::span<const std::byte> table, phase1_corners::CornerDetail detail,
                          phase1_corners::Moves::Twists twists) const {
    if (has_large()) return;
    auto large = std::make_unique<LargeTable>(
        LargeTable{reinterpret_cast<const std::uint8_t*>(table.data()), phase1_corners::Moves(detail, phase1_, twists)});
    if (table.size() != large->moves.byte_count()) throw std::invalid_argument("a large table of another size");
    const LargeTable* none = nullptr;
    if (large_.compare_exchange_strong(none, large.get(), std::memory_order_acq_rel)) large_owned_ = std::move(large);
}

unsigned Solver::table_bound(const Cube3x3& cube) const noexcept { return estimate(node_of(cube)); }

unsigned Solver::search_bound(const Cube3x3& cube) const noexcept {
    const LargeTable* large = large_.load(std::memory_order_acquire);
    return search_estimate(node_of(cube, large), large);
}

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

unsigned Solver::start_bound(const Cube3x3& cube) const noexcept {
    return search_start(cube, large_.load(std::memory_order_acquire));
}

unsigned Solver::search_start(const Cube3x3& cube, const LargeTable* large) const noexcept {
    // The inverse lies as far from solved, and its tables may see it farther.
    unsigned bound = 0;
    for (const Cube3x3& seen : {cube, symmetry_3x3::inverse_of(cube)}) {
        const Node node = node_of(seen, large);
        bound = std::max(bound, with_parity(node, search_estimate(node, large)));
    }
    return bound;
}

SearchResult Solver::search_exactly(const Cube3x3& cube, unsigned length, std::span<std::int8_t> out,
                              const WorkControl& control) const {
    search_detail::check_room(length, out);
    Search search(*this, control, out.data(), large_.load(std::memory_order_acquire));
    const Node root = node_of(cube, search.large());
    if (search_estimate(root, search.large()) > length) return {SearchOutcome::none, 0, 0};
    if (search.below(root, length, Rules::start, 0)) return {SearchOutcome::found, length, search.nodes()};
    return {search.stopped() ? SearchOutcome::stopped : SearchOutcome::none, 0, search.nodes()};
}

SearchResult Solver::solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                     const WorkControl& control, Sharing sharing) const {
    return search_detail::deepen(start_bound(cube), max_length, out, [&](unsigned bound) {
        return sharing == Sharing::subtrees ? search_exactly_on_pool(cube, bound, out, control)
                                            : search_exactly(cube, bound, out, control);
    });
}

SearchResult Solver::distance(const Cube3x3& cube, std::optional<unsigned> upper, const WorkControl& control,
                              Sharing sharing) const {
    std::array<std::int8_t, diameter> moves{};
    return search_detail::distance_within(start_bound(cube), upper, moves, [&](unsigned bound) {
        return sharing == Sharing::subtrees ? search_exactly_on_pool(cube, bound, moves, control)
                                            : search_exactly(cube, bound, moves, control);
    });
}

}  // namespace turnsmith::optimal
