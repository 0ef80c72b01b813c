#pragma once
// The optimal search's node and its depth-first search of one bound, inline
// for the inner loop: shared by the search of one cube on one thread
// (optimal_3x3.cpp) and its subtrees shared out on the pool (optimal_pool.cpp).

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>

#include "solvers/optimal_3x3.hpp"

namespace turnsmith::optimal {

using Rules = MoveRules<metric>;
using Ending = Rules::Ending;

namespace search_detail {

// Polls for a stop this often, in nodes expanded (about ten times as many
// generated).
inline constexpr std::uint64_t poll_mask = (std::uint64_t{1} << 13) - 1;

// A small table's entry that is not known.
inline constexpr std::uint8_t none_known = 15;

// Whether every child of a node lies within `remaining` - 1 moves in a table
// whose entries change by at most one a move (the distances of a coarser
// puzzle), knowing only `above`, a number never below the node's entry (15:
// none known).
constexpr bool children_near(unsigned above, unsigned remaining) noexcept {
    return above < none_known && above + 2 <= remaining;
}
// What a child's entry is then known not to exceed.
constexpr std::uint8_t child_above(unsigned above) noexcept { return static_cast<std::uint8_t>(above + 1); }

inline void check_room(unsigned length, std::span<std::int8_t> out) {
    if (length > diameter || out.size() < length) throw std::invalid_argument("room for fewer moves than the bound");
}

// One cube's deepenings, from `first` up to min(max_length, diameter), each
// searched by search(bound) into `out`, until one finds a solution or stops.
template <class F>
SearchResult deepen(unsigned first, unsigned max_length, std::span<std::int8_t> out, F&& search) {
    const unsigned longest = std::min(max_length, diameter);
    if (out.size() < longest) throw std::invalid_argument("room for fewer moves than the bound");
    std::uint64_t nodes = 0;
    for (unsigned bound = first; bound <= longest; bound += MoveRules<metric>::deepening_step) {
        const SearchResult result = search(bound);
        nodes += result.nodes;
        if (result.outcome != SearchOutcome::none) return {result.outcome, result.length, nodes};
    }
    return {SearchOutcome::none, 0, nodes};
}

// The distance of a cube whose deepenings start at `first` (of its parity),
// each searched by search(bound) into `out`, given `upper`, a number known
// not to be below it: the deepening at the largest number within `upper` of
// that parity is left out, since when none below it finds a solution that
// number is the distance. An `upper` below `first` is shown wrong by the
// tables and ignored.
template <class F>
SearchResult distance_within(unsigned first, std::optional<unsigned> upper, std::span<std::int8_t> out, F&& search) {
    const unsigned bound = std::min(upper.value_or(diameter), diameter);
    if (!upper || bound < first) return deepen(first, diameter, out, search);
    const unsigned last = bound - ((bound ^ first) & 1);
    if (last == first) return {SearchOutcome::found, last, 0};
    const SearchResult result = deepen(first, last - MoveRules<metric>::deepening_step, out, search);
    if (result.outcome != SearchOutcome::none) return result;
    return {SearchOutcome::found, last, result.nodes};
}

}  // namespace search_detail

struct Solver::Node {
    SpacePlace corners;
    std::array<edge_patterns::Pattern, edge_views> edges;  // view v: axis v / 2, table v % 2
    // By axis: phase 1 for a search without the large table, the large
    // table's place and its distance there for one with it.
    std::array<two_phase::Phase1Place, symmetry_3x3::axis_count> phase1;
    std::array<phase1_corners::Place, symmetry_3x3::axis_count> large;
    std::array<std::uint8_t, symmetry_3x3::axis_count> large_distance;
    // For each view of a small table, a number never below the node's
    // entry, or none_known: from these the search knows, unread, what the
    // children's entries cannot exceed.
    std::array<std::uint8_t, symmetry_3x3::axis_count> phase1_above;
    std::array<std::uint8_t, edge_views> edges_above;

    void forget_entries() noexcept {
        phase1_above.fill(search_detail::none_known);
        edges_above.fill(search_detail::none_known);
    }
};

// One cube's depth-first searches, one per bound.
class Solver::Search {
public:
    // Reads `large` (the solver's large table as loaded once for the whole
    // search and its root node, or null) beside the small tables.
    Search(const Solver& solver, const WorkControl& control, std::int8_t* path, const LargeTable* large) noexcept
        : solver_(solver), control_(control), path_(path), large_(large) {}

    // The search of one subtree among others in order: it gives up once
    // `cutoff` names an earlier subtree with a solution.
    void give_up_after(const std::atomic<std::size_t>* cutoff, std::size_t subtree) noexcept {
        cutoff_ = cutoff;
        subtree_ = subtree;
    }

    // The search of a deepening alone that stops, to be shared, once
    // `waiting` counts a worker waiting to help, or after `nodes` expanded
    // (0: never).
    void hand_over_when(const std::atomic<std::size_t>* waiting, std::uint64_t nodes) noexcept {
        waiting_ = waiting;
        hand_over_after_ = nodes;
    }

    // Whether a path of exactly `remaining` moves (not ending the way
    // `ending` forbids) leads from `node` to solved; writes it from
    // path[depth]. The caller has made sure that no table puts `node` farther
    // than `remaining`. The children's table entries are fetched together
    // before any is read: each read is a likely miss in a large table.
    bool below(const Node& node, unsigned remaining, Ending ending, unsigned depth) {
        if (remaining == 0) return true;  // every table reads 0: solved
        if (should_stop(depth)) return false;
        Expansion children(remaining - 1);
        // Passes over the children, each fetching what the next reads. The
        // first filter is the large table along one axis when there is one,
        // else the corners' table.
        note_unread(node, remaining, children);
        generate(node, ending, children);
        if (large_ != nullptr) {
            fetch_first_axis(children);
            read_first_axis(node, children);
        }
        for (unsigned i = 0; i < children.count; ++i) {
            children.near[i] = passes_first_filter(node, children, i);
            if (children.near[i]) fetch_views(node, children, i);
        }
        for (unsigned i = 0; i < children.count; ++i) {
            if (!children.near[i] || !views_near(children, i)) continue;
            const unsigned k = children.order[i];
            path_[depth] = static_cast<std::int8_t>(k);
            if (below(children.nodes[i], children.left, Rules::after(ending, k), depth + 1)) return true;
            if (stopped_) return false;
        }
        return false;
    }

    bool stopped() const noexcept { return stopped_; }
    // How many moves of the path lead to the node where the search stopped.
    unsigned stopped_at() const noexcept { return stopped_at_; }
    std::uint64_t nodes() const noexcept { return nodes_; }
    const LargeTable* large() const noexcept { return large_; }

private:
    static constexpr unsigned axes = symmetry_3x3::axis_count;

    // One node's children as the passes over them leave them.
    struct Expansion {
        explicit Expansion(unsigned moves_left) noexcept : left(moves_left) {}

        unsigned left;  // moves left after a child
        unsigned count = 0;
        std::array<Node, move_count> nodes;
        std::array<std::uint8_t, move_count> order{};  // each child's move
        std::array<std::array<std::size_t, axes>, move_count> large{};
        // A move takes a state at most one nearer or farther in each small
        // table: one on which the node lies at least two nearer than
        // `remaining` lets every child through unread. The large table is
        // always read: a child's distance there follows from its parent's
        // and its own entry.
        std::array<bool, axes> phase1_unread{};
        std::array<bool, edge_views> edges_unread{};
        std::array<bool, move_count> near{};
        std::array<std::array<const std::uint16_t*, axes>, move_count> phase1{};
    };

    [[gnu::always_inline]] bool should_stop(unsigned depth) noexcept {
        if (((++expanded_ & search_detail::poll_mask) == 0 && asked_to_stop()) || expanded_ == hand_over_after_) {
            stopped_ = true;
            stopped_at_ = depth;
        }
        return stopped_;
    }

    // A stop, a solution in an earlier subtree, or a worker waiting to help.
    bool asked_to_stop() const noexcept {
        return control_.stop_requested() ||
               (cutoff_ != nullptr && cutoff_->load(std::memory_order_relaxed) < subtree_) ||
               (waiting_ != nullptr && waiting_->load(std::memory_order_relaxed) != 0);
    }

    [[gnu::always_inline]] void note_unread(const Node& node, unsigned remaining, Expansion& e) const noexcept {
        for (unsigned axis = 0; axis < axes; ++axis)
            e.phase1_unread[axis] = search_detail::children_near(node.phase1_above[axis], remaining);
        for (std::size_t v = 0; v < edge_views; ++v)
            e.edges_unread[v] = search_detail::children_near(node.edges_above[v], remaining);
    }

    // The children the rule allows, each with its first filter's entry fetched.
    [[gnu::always_inline]] void generate(const Node& node, Ending ending, Expansion& e) noexcept {
        for (unsigned moves = Rules::next_moves[ending]; moves != 0; moves &= moves - 1) {
            const auto k = static_cast<unsigned>(std::countr_zero(moves));
            Node& child = e.nodes[e.count];
            child.corners = solver_.corners_.neighbour(node.corners, k);
            if (large_ != nullptr) {
                for (unsigned axis = 0; axis < axes; ++axis)
                    child.large[axis] = large_->moves.next(node.large[axis], solver_.moved_[axis][k]);
                fetch_class(child, 0);
            } else {
                solver_.corners_.prefetch(child.corners);
                fetch_phase1(node, child, k, e);
            }
            e.order[e.count++] = static_cast<std::uint8_t>(k);
        }
        nodes_ += e.count;
    }

    // The large table is read about one axis for every child, and about the
    // other two only for the children that one lets through (about a third):
    // its random reads are the search's cost, and fewer of them in one more
    // round of fetches take less time. So do the corners wait for that axis.
    // Each read needs its place's class first, itself a likely miss: the
    // classes of a round are fetched a pass before their entries.
    [[gnu::always_inline]] void fetch_first_axis(Expansion& e) const noexcept {
        for (unsigned i = 0; i < e.count; ++i) fetch_large(e, i, 0);
    }

    [[gnu::always_inline]] void read_first_axis(const Node& node, Expansion& e) noexcept {
        for (unsigned i = 0; i < e.count; ++i) {
            e.near[i] = read_large(node, e, i, 0);
            if (!e.near[i]) continue;
            for (unsigned axis = 1; axis < axes; ++axis) fetch_class(e.nodes[i], axis);
            solver_.corners_.prefetch(e.nodes[i].corners);
        }
        for (unsigned i = 0; i < e.count; ++i) {
            if (!e.near[i]) continue;
            for (unsigned axis = 1; axis < axes; ++axis) fetch_large(e, i, axis);
        }
    }

    [[gnu::always_inline]] bool passes_first_filter(const Node& node, Expansion& e, unsigned i) const noexcept {
        if (large_ == nullptr) return solver_.corners_.distance(e.nodes[i].corners) <= e.left;
        bool near = e.near[i];
        for (unsigned axis = 1; axis < axes && near; ++axis) near = read_large(node, e, i, axis);
        return near && solver_.corners_.distance(e.nodes[i].corners) <= e.left;
    }

    // The class of the place is a read in a small table (4 MB), the entry
    // one in the large one.
    [[gnu::always_inline]] void fetch_class(const Node& child, unsigned axis) const noexcept {
        __builtin_prefetch(large_->moves.class_of_place(child.large[axis]));
    }

    [[gnu::always_inline]] void fetch_large(Expansion& e, unsigned i, unsigned axis) const noexcept {
        e.large[i][axis] = large_->moves.index(e.nodes[i].large[axis]);
        __builtin_prefetch(&large_->entries[e.large[i][axis] / phase1_corners::entries_per_byte]);
    }

    [[gnu::always_inline]] bool read_large(const Node& node, Expansion& e, unsigned i, unsigned axis) const noexcept {
        const unsigned residue = phase1_corners::residue_at(large_->entries, e.large[i][axis]);
        const unsigned distance = phase1_corners::neighbour_distance(node.large_distance[axis], residue);
        e.nodes[i].large_distance[axis] = static_cast<std::uint8_t>(distance);
        return distance <= e.left;
    }

    [[gnu::always_inline]] void fetch_phase1(const Node& node, Node& child, unsigned k, const Expansion& e) const noexcept {
        for (unsigned axis = 0; axis < axes; ++axis) {
            child.phase1[axis] = solver_.phase1_.next(node.phase1[axis], solver_.moved_[axis][k]);
            if (!e.phase1_unread[axis]) __builtin_prefetch(solver_.phase1_.class_of_place(child.phase1[axis]));
        }
    }

    // Fetches the phase-1 entries and the edge views of a child that the
    // first filter let through (most are not), or notes them known unread.
    [[gnu::always_inline]] void fetch_views(const Node& node, Expansion& e, unsigned i) const noexcept {
        Node& child = e.nodes[i];
        for (unsigned axis = 0; axis < axes && large_ == nullptr; ++axis) {
            if (e.phase1_unread[axis]) {
                child.phase1_above[axis] = search_detail::child_above(node.phase1_above[axis]);
                continue;
            }
            e.phase1[i][axis] = solver_.phase1_.entry_of(child.phase1[axis]);
            __builtin_prefetch(e.phase1[i][axis]);
        }
        for (std::size_t v = 0; v < edge_views; ++v) {
            child.edges[v] = solver_.moves_.next(node.edges[v], solver_.moved_[v / edge_tables][e.order[i]]);
            if (e.edges_unread[v])
                child.edges_above[v] = search_detail::child_above(node.edges_above[v]);
            else
                __builtin_prefetch(&solver_.edges_[v % edge_tables][child.edges[v].index()]);
        }
    }

    // Whether the phase-1 and edge views fetched for child i all lie within
    // the moves left, noting each entry read.
    [[gnu::always_inline]] bool views_near(Expansion& e, unsigned i) const noexcept {
        Node& child = e.nodes[i];
        for (unsigned axis = 0; axis < axes && large_ == nullptr; ++axis) {
            if (e.phase1_unread[axis]) continue;
            const unsigned entry = two_phase::Phase1View::distance(e.phase1[i][axis]);
            child.phase1_above[axis] = static_cast<std::uint8_t>(entry);
            if (entry > e.left) return false;
        }
        for (std::size_t v = 0; v < edge_views; ++v) {
            if (e.edges_unread[v]) continue;
            const unsigned entry = solver_.edges_[v % edge_tables][child.edges[v].index()];
            child.edges_above[v] = static_cast<std::uint8_t>(std::min<unsigned>(entry, search_detail::none_known));
            if (entry > e.left) return false;
        }
        return true;
    }

    const Solver& solver_;
    const WorkControl& control_;
    std::int8_t* path_;
    std::uint64_t nodes_ = 0;  // generated
    std::uint64_t expanded_ = 0;
    bool stopped_ = false;
    const LargeTable* large_;
    const std::atomic<std::size_t>* cutoff_ = nullptr;
    std::size_t subtree_ = 0;
    const std::atomic<std::size_t>* waiting_ = nullptr;
    std::uint64_t hand_over_after_ = 0;
    unsigned stopped_at_ = 0;
};

}  // namespace turnsmith::optimal
