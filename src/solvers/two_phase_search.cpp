// The two-phase search over the tables of two_phase_tables.cpp.

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>
#include <string>

#include "engine/pool.hpp"
#include "solvers/solution_rows.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/two_phase.hpp"
#include "solvers/two_phase_moves.hpp"

namespace turnsmith::two_phase {

struct SolverData {
    MoveTables moves;
    SymmetryTables images;
    const std::uint32_t* flip_slice_classes = nullptr;
    const std::uint16_t* phase1 = nullptr;
    const std::uint8_t* phase2 = nullptr;
    const std::uint8_t* corner_slice = nullptr;
    const std::uint8_t* layer_slice = nullptr;
    // The corners' own distance in phase 2: the least over the slice orders.
    std::array<std::uint8_t, coords::corner_orders> corners_alone;
    // For each value of a phase-1 number, the moves (as bits) that bring it
    // to its value in H.
    std::vector<std::uint16_t> twist_to_goal;
    std::vector<std::uint16_t> flip_to_goal;
    std::vector<std::uint16_t> slice_to_goal;
    // [symmetry * 4096 + moves]: moves of a class's representative as the
    // moves of the state that the symmetry took there.
    std::vector<std::uint16_t> moves_through;
};

namespace {

// Bounds past the diameter are searched as the diameter's: a solution that
// short always exists, and the fixed-size paths below stay small.
inline constexpr unsigned deepest = max_solution_length;

// How often, in nodes, a search reads the stop request.
inline constexpr std::uint64_t poll_mask = (std::uint64_t{1} << 16) - 1;

// A state's distance to H and the moves (bits) that bring it closer.
struct Closer {
    unsigned distance;
    std::uint32_t moves;
};

class Search {
public:
    // Searches the first `variants` of the six forms of the cube (see run):
    // all six, or the cube alone.
    Search(const SolverData& data, const WorkControl& control, unsigned bound,
           unsigned variants = variant_count)
        : data_(data), control_(control), bound_(bound), variants_(variants) {}

    // Searches the cube, its inverse and both seen along the other two axes,
    // phase 1 one depth at a time for all six: whichever meets a short
    // phase 2 first ends the search. The first of them alone is a complete
    // search; the others only add chances.
    SearchResult run(const Cube3x3& cube) {
        std::array<Variant, variant_count> variants;
        for (unsigned v = 0; v < variant_count; ++v) {
            Variant& variant = variants[v];
            variant.inverse = v >= symmetry_3x3::axis_count;
            variant.axis = v % symmetry_3x3::axis_count;
            const Cube3x3 base = variant.inverse ? symmetry_3x3::inverse_of(cube) : cube;
            variant.cube = symmetry_3x3::conjugate(base, symmetry_3x3::axis_turns()[variant.axis]);
            variant.twist = coords::twist_of(variant.cube.corners);
            variant.flip = coords::flip_of(variant.cube.edges);
            variant.slice = coords::slice_position_of(variant.cube.edges);
            variant.corners = coords::corner_order_of(variant.cube.corners);
            variant.entry = phase1_entry(variant.twist, variant.flip, variant.slice);
            variant.start = variant.entry.distance;
        }
        for (unsigned depth = 0; depth <= bound_; ++depth) {
            for (unsigned v = 0; v < variants_; ++v) {
                const Variant& variant = variants[v];
                if (variant.start > depth) continue;
                cubes_[0] = variant.cube;
                const bool found = depth == 0 ? start_phase2(variant.corners, 0, Rules::start)
                                              : phase1(variant.twist, variant.flip, variant.slice,
                                                       variant.corners, 0, depth, variant.entry, Rules::start);
                if (found) {
                    translate(variant);
                    return {SearchOutcome::found, length_};
                }
                if (stopped_) return {SearchOutcome::stopped, 0};
            }
        }
        return {SearchOutcome::none, 0};
    }

    const std::array<std::int8_t, deepest>& path() const noexcept { return path_; }

    static constexpr unsigned variant_count = 2 * symmetry_3x3::axis_count;

private:
    struct Variant {
        Cube3x3 cube;
        bool inverse;
        unsigned axis;
        std::uint32_t twist, flip, slice, corners;
        Closer entry;
        unsigned start;
    };

    // The path found for a variant, as turns of the cube itself: each turn
    // seen back along the cube's own axis, and for the inverse the turns
    // undone in reverse order.
    void translate(const Variant& variant) noexcept {
        const symmetry_3x3::Symmetry& turn = symmetry_3x3::axis_turns()[variant.axis];
        std::array<std::int8_t, move_count> back{};
        for (unsigned move = 0; move < move_count; ++move)
            back[turn.moved[move]] = static_cast<std::int8_t>(move);
        for (unsigned i = 0; i < length_; ++i) path_[i] = back[static_cast<unsigned>(path_[i])];
        if (variant.inverse) {
            std::reverse(path_.begin(), path_.begin() + length_);
            for (unsigned i = 0; i < length_; ++i) path_[i] ^= 1;
        }
    }

    Closer read_entry(std::size_t entry, unsigned symmetry) const noexcept {
        const unsigned value = data_.phase1[entry];
        return {value & phase1_distance_mask,
                data_.moves_through[symmetry * 4096 + (value >> phase1_distance_bits)]};
    }
    Closer phase1_entry(std::uint32_t twist, std::uint32_t flip, std::uint32_t slice) const noexcept {
        const std::uint32_t packed = data_.flip_slice_classes[flip_slice_of(flip, slice)];
        const std::uint32_t seen = data_.images.twist[twist * symmetries + symmetry_of(packed)];
        return read_entry(phase1_index(class_of(packed), seen), symmetry_of(packed));
    }

    unsigned phase2_estimate(std::uint32_t corners, std::uint32_t layer, std::uint32_t slice) const noexcept {
        const std::uint32_t packed = data_.images.corner_class[corners];
        const std::uint32_t seen = data_.images.layer_order[layer * symmetries + symmetry_of(packed)];
        return std::max({data_.phase2[phase2_index(class_of(packed), seen)],
                         data_.corner_slice[order_slice_index(corners, slice)],
                         data_.layer_slice[order_slice_index(layer, slice)]});
    }

    // Counts a node; true once the search must end.
    bool should_stop() noexcept {
        if ((++nodes_ & poll_mask) == 0 && control_.stop_requested()) stopped_ = true;
        return stopped_;
    }

    // Paths of exactly `left` (> 0) more turns from the state at `depth`
    // that end in H. cubes_[depth] holds the state, `corners` its corner
    // order; true once a solution is found. The children's table entries are
    // fetched together before any is read: each is a miss in a large table.
    bool phase1(std::uint32_t twist, std::uint32_t flip, std::uint32_t slice, std::uint32_t corners,
                unsigned depth, unsigned left, Closer here, Ending last) {
        if (left == 1) return phase1_last(corners, depth, last, moves_into_h(twist, flip, slice));
        if (should_stop()) return false;
        if (left == 2) return phase1_two_left(twist, flip, slice, corners, depth, last);
        const MoveTables& moves = data_.moves;
        // A state as far from H as turns are left has only the turns that
        // bring it closer, each to one turn less: three or more turns before
        // the end their children need only their own entries.
        const bool tight = here.distance == left;
        const bool look_up = !tight || left >= 4;
        struct Child {
            unsigned move;
            std::uint32_t twist, flip, slice, flip_slice, packed;
            std::size_t entry;
        };
        std::array<Child, move_count> children;
        unsigned count = 0;
        for (unsigned move = 0; move < move_count; ++move) {
            if (!Rules::allows(last, move) || (tight && ((here.moves >> move) & 1) == 0)) continue;
            Child& child = children[count++];
            child.move = move;
            child.twist = moves.twist[twist * move_count + move];
            child.flip = moves.flip[flip * move_count + move];
            child.slice = moves.slice[slice * move_count + move];
            child.flip_slice = flip_slice_of(child.flip, child.slice);
            if (look_up) __builtin_prefetch(&data_.flip_slice_classes[child.flip_slice]);
        }
        if (look_up) {
            for (unsigned i = 0; i < count; ++i) {
                Child& child = children[i];
                child.packed = data_.flip_slice_classes[child.flip_slice];
                child.entry =
                    phase1_index(class_of(child.packed),
                                 data_.images.twist[child.twist * symmetries + symmetry_of(child.packed)]);
                __builtin_prefetch(&data_.phase1[child.entry]);
            }
        }
        for (unsigned i = 0; i < count; ++i) {
            const Child& child = children[i];
            const Closer next =
                look_up ? read_entry(child.entry, symmetry_of(child.packed)) : Closer{here.distance - 1, 0};
            if (next.distance >= left) continue;
            // In H with one or two turns left, every path back into H ends
            // with a turn of H or a face's second quarter turn.
            if (next.distance == 0 && left <= 3) continue;
            path_[depth] = static_cast<std::int8_t>(child.move);
            cubes_[depth + 1] = cubes_[depth];
            apply_move_index_internal(cubes_[depth + 1], child.move);
            if (phase1(child.twist, child.flip, child.slice,
                       moves.corner_order_quarter[corners * move_count + child.move], depth + 1, left - 1,
                       next, Rules::after(last, child.move)))
                return true;
            if (stopped_) return false;
        }
        return false;
    }

    // phase1 with two turns left: children one turn from H are found from the
    // small move tables; children in H are cut (see phase1).
    bool phase1_two_left(std::uint32_t twist, std::uint32_t flip, std::uint32_t slice, std::uint32_t corners,
                         unsigned depth, Ending last) {
        const MoveTables& moves = data_.moves;
        for (unsigned move = 0; move < move_count; ++move) {
            if (!Rules::allows(last, move)) continue;
            const std::uint32_t into_h =
                moves_into_h(moves.twist[twist * move_count + move], moves.flip[flip * move_count + move],
                             moves.slice[slice * move_count + move]);
            if (into_h == 0) continue;
            path_[depth] = static_cast<std::int8_t>(move);
            cubes_[depth + 1] = cubes_[depth];
            apply_move_index_internal(cubes_[depth + 1], move);
            if (phase1_last(moves.corner_order_quarter[corners * move_count + move], depth + 1,
                            Rules::after(last, move), into_h))
                return true;
            if (stopped_) return false;
        }
        return false;
    }

    // The moves that take the state to H: those that bring each of its three
    // numbers to its goal.
    std::uint32_t moves_into_h(std::uint32_t twist, std::uint32_t flip, std::uint32_t slice) const noexcept {
        return data_.twist_to_goal[twist] & data_.flip_to_goal[flip] & data_.slice_to_goal[slice];
    }

    bool phase1_last(std::uint32_t corners, unsigned depth, Ending last, std::uint32_t into_h) {
        if (should_stop()) return false;
        // A turn of H, or a face's second quarter turn, would end a path that
        // was in H before it: its split was tried with a shorter phase 1.
        for (; into_h != 0; into_h &= into_h - 1) {
            const auto move = static_cast<unsigned>(std::countr_zero(into_h));
            if (move < layer_moves || !Rules::allows(last, move) || Rules::repeats(last, move)) continue;
            const std::uint32_t next_corners = data_.moves.corner_order_quarter[corners * move_count + move];
            if (data_.corners_alone[next_corners] > bound_ - depth - 1) continue;
            path_[depth] = static_cast<std::int8_t>(move);
            cubes_[depth + 1] = cubes_[depth];
            apply_move_index_internal(cubes_[depth + 1], move);
            if (start_phase2(next_corners, depth + 1, Rules::after(last, move))) return true;
        }
        return false;
    }

    bool start_phase2(std::uint32_t corners, unsigned depth, Ending last) {
        const Cube3x3& cube = cubes_[depth];
        const std::uint32_t layer = coords::layer_edge_order_of(cube.edges);
        const std::uint32_t slice = coords::slice_order_of(cube.edges);
        const unsigned estimate = phase2_estimate(corners, layer, slice);
        unsigned budget = bound_ - depth;
        if (estimate > budget) return false;
        if (estimate == 0) {
            length_ = depth;
            return true;
        }
        // Every quarter turn changes the corners' parity, and the estimate
        // has the parity of the distance: a budget of the other parity has a
        // turn to spare.
        budget -= (budget - estimate) & 1;
        return phase2(corners, layer, slice, depth, budget, last);
    }

    // Paths of at most `left` quarter turns of phase 2 to solved.
    bool phase2(std::uint32_t corners, std::uint32_t layer, std::uint32_t slice, unsigned depth,
                unsigned left, Ending last) {
        if (should_stop()) return false;
        const MoveTables& moves = data_.moves;
        for (unsigned move = 0; move < coords::phase2_moves; ++move) {
            const unsigned cost = coords::phase2_cost[move];
            const auto turn = static_cast<unsigned>(coords::phase2_quarter[move]);
            const Phase2Step& step = phase2_steps[last][move];
            if (cost > left || !step.allowed) continue;
            const std::uint32_t next_corners = moves.corner_order[corners * coords::phase2_moves + move];
            const std::uint32_t next_layer = moves.layer_order[layer * coords::phase2_moves + move];
            const std::uint32_t next_slice = moves.slice_order[slice * coords::phase2_moves + move];
            const unsigned estimate = phase2_estimate(next_corners, next_layer, next_slice);
            if (estimate > left - cost) continue;
            for (unsigned i = 0; i < cost; ++i) path_[depth + i] = static_cast<std::int8_t>(turn);
            if (estimate == 0) {
                length_ = depth + cost;
                return true;
            }
            if (phase2(next_corners, next_layer, next_slice, depth + cost, left - cost, step.after)) return true;
            if (stopped_) return false;
        }
        return false;
    }

    const SolverData& data_;
    const WorkControl& control_;
    unsigned bound_;
    unsigned variants_;
    std::uint64_t nodes_ = 0;
    bool stopped_ = false;
    unsigned length_ = 0;
    std::array<std::int8_t, deepest> path_{};
    std::array<Cube3x3, deepest + 1> cubes_{};
};

std::vector<std::uint16_t> to_goal(const std::vector<std::uint16_t>& moves, std::uint32_t goal) {
    std::vector<std::uint16_t> masks(moves.size() / move_count);
    for (std::size_t value = 0; value < masks.size(); ++value) {
        for (unsigned move = 0; move < move_count; ++move) {
            if (moves[value * move_count + move] == goal)
                masks[value] |= static_cast<std::uint16_t>(1u << move);
        }
    }
    return masks;
}

std::array<std::uint8_t, coords::corner_orders> corners_alone_of(const std::uint8_t* corner_slice) {
    std::array<std::uint8_t, coords::corner_orders> alone{};
    for (std::uint32_t corners = 0; corners < coords::corner_orders; ++corners) {
        const std::uint8_t* row = corner_slice + order_slice_index(corners, 0);
        alone[corners] = *std::min_element(row, row + coords::slice_orders);
    }
    return alone;
}

}  // namespace

Solver::Solver(std::span<const std::span<const std::byte>> tables) {
    const std::span<const TableSpec> kinds = table_specs();
    if (tables.size() != kinds.size())
        throw std::invalid_argument("the two-phase solver needs " + std::to_string(kinds.size()) +
                                    " tables, got " + std::to_string(tables.size()));
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (tables[i].size() != kinds[i].bytes)
            throw std::invalid_argument(std::string("table ") + kinds[i].name + " has " +
                                        std::to_string(tables[i].size()) + " bytes, not " +
                                        std::to_string(kinds[i].bytes));
    }
    auto bytes = [&](unsigned i) { return reinterpret_cast<const std::uint8_t*>(tables[i].data()); };
    auto data = std::make_unique<SolverData>();
    data->flip_slice_classes = reinterpret_cast<const std::uint32_t*>(tables[flip_slice_class_table].data());
    data->phase1 = reinterpret_cast<const std::uint16_t*>(tables[phase1_table].data());
    data->phase2 = bytes(phase2_table);
    data->corner_slice = bytes(corner_slice_table);
    data->layer_slice = bytes(layer_slice_table);
    data->corners_alone = corners_alone_of(data->corner_slice);
    data->twist_to_goal = to_goal(data->moves.twist, 0);
    data->flip_to_goal = to_goal(data->moves.flip, 0);
    data->slice_to_goal = to_goal(data->moves.slice, coords::slice_home);
    data->moves_through.resize(symmetries * 4096);
    for (unsigned s = 0; s < symmetries; ++s) {
        const symmetry_3x3::Symmetry& symmetry = symmetry_3x3::symmetries()[s];
        for (unsigned stored = 0; stored < 4096; ++stored) {
            unsigned own = 0;
            for (unsigned move = 0; move < move_count; ++move)
                own |= ((stored >> symmetry.moved[move]) & 1) << move;
            data->moves_through[s * 4096 + stored] = static_cast<std::uint16_t>(own);
        }
    }
    data_ = std::move(data);
}

Solver::~Solver() = default;

Phase1View Solver::phase1_view() const noexcept {
    return {data_->moves.twist.data(),  data_->moves.flip.data(),    data_->moves.slice.data(),
            data_->images.twist.data(), data_->flip_slice_classes, data_->phase1};
}

namespace {

SearchResult solve_with(const SolverData& data, const Cube3x3& cube, unsigned max_length,
                  std::span<std::int8_t> out, const WorkControl& control, unsigned variants) {
    if (control.stop_requested()) return {SearchOutcome::stopped, 0};
    Search search(data, control, std::min(max_length, deepest), variants);
    const SearchResult result = search.run(cube);
    if (result.outcome == SearchOutcome::found) std::copy_n(search.path().begin(), result.length, out.begin());
    return result;
}

}  // namespace

SearchResult Solver::solve(const Cube3x3& cube, unsigned max_length, std::span<std::int8_t> out,
                     const WorkControl& control) const {
    return solve_with(*data_, cube, max_length, out, control, Search::variant_count);
}

SearchResult SolverTesting::solve_cube_alone(const Solver& solver, const Cube3x3& cube, unsigned max_length,
                                       std::span<std::int8_t> out) {
    return solve_with(*solver.data_, cube, max_length, out, unwatched_work(), 1);
}

void Solver::solve_many(std::span<const Cube3x3> cubes, unsigned max_length, std::int8_t* rows,
                        std::size_t width, std::int16_t* lengths, WorkControl& control) const {
    if (width < std::min(max_length, deepest)) throw std::invalid_argument("rows narrower than the bound");
    parallel_for(cubes.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const SearchResult result = solve(cubes[i], max_length, std::span(rows + i * width, width), control);
            if (result.outcome == SearchOutcome::stopped) return;
            finish_solution_row(rows, width, lengths, i, result.outcome == SearchOutcome::found, result.length);
            control.add_done(1);
        }
    });
    control.throw_if_stopped();
}

}  // namespace turnsmith::two_phase
