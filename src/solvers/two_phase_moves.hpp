#pragma once
// What the tables and the search of the two-phase solver share: every
// coordinate's moves as 16-bit tables, the order in which consecutive turns
// are searched, and the layout of the pruning tables.

#include <array>
#include <cstdint>
#include <vector>

#include "cube/move_rules.hpp"
#include "solvers/coordinates_3x3.hpp"
#include "solvers/two_phase.hpp"

namespace turnsmith::two_phase {

namespace coords = coordinates_3x3;

// The coordinates after each move, row by coordinate: phase 1 by the twelve
// quarter turns, phase 2 by its eight moves.
struct MoveTables {
    std::vector<std::uint16_t> twist;                 // [twist * 12 + move]
    std::vector<std::uint16_t> flip;                  // [flip * 12 + move]
    std::vector<std::uint16_t> slice;                 // [slice position * 12 + move]
    std::vector<std::uint16_t> corner_order;          // [order * 8 + phase-2 move]
    std::vector<std::uint16_t> corner_order_quarter;  // [order * 12 + move]: phase 1 follows it too
    std::vector<std::uint16_t> layer_order;           // [order * 8 + phase-2 move]
    std::vector<std::uint16_t> slice_order;           // [order * 8 + phase-2 move]

    // Built in place, each row from the word turns (milliseconds).
    MoveTables();
};

// ---- which turn may follow which -------------------------------------------------
//
// Both phases keep to the quarter-turn metric's one spelling of each sequence
// (move_rules.hpp), phase 2's half turns as two quarter turns: every sequence
// has such a form of the same length or shorter, so no shortest solution is
// lost. A path carries how it ends.

using Rules = MoveRules<metric>;
using Ending = Rules::Ending;

// Phase 2's moves as the rule sees them, a half turn being its quarter turn
// twice: whether each may follow each ending, and how the path then ends.
struct Phase2Step {
    bool allowed;
    Ending after;
};
inline constexpr auto phase2_steps = [] {
    std::array<std::array<Phase2Step, coords::phase2_moves>, Rules::ending_count> steps{};
    for (std::size_t ending = 0; ending < Rules::ending_count; ++ending) {
        for (unsigned move = 0; move < coords::phase2_moves; ++move) {
            Phase2Step& step = steps[ending][move];
            step = {true, static_cast<Ending>(ending)};
            for (unsigned quarter = 0; quarter < coords::phase2_cost[move]; ++quarter) {
                step.allowed = step.allowed && Rules::allows(step.after, coords::phase2_quarter[move]);
                step.after = Rules::after(step.after, coords::phase2_quarter[move]);
            }
        }
    }
    return steps;
}();

// ---- classes under the symmetries ---------------------------------------------------
//
// The sixteen symmetries that keep the U-D axis (symmetry_3x3.hpp) carry a
// state to one as far from H and from solved, so the large tables keep one
// entry per class: a number's class and the symmetry that takes it to its
// class's representative (the class's smallest number) are packed as
// class * 16 + symmetry.

inline constexpr unsigned symmetries = 16;

constexpr std::uint32_t class_of(std::uint32_t packed) noexcept { return packed / symmetries; }
constexpr unsigned symmetry_of(std::uint32_t packed) noexcept { return packed % symmetries; }

// Phase 1 reads the flip and the slice position together, flip first.
inline constexpr std::uint32_t flip_slices = coords::flips * coords::slice_positions;
constexpr std::uint32_t flip_slice_of(std::uint32_t flip, std::uint32_t slice) noexcept {
    return flip * coords::slice_positions + slice;
}
inline constexpr std::uint32_t flip_slice_classes = 64430;
inline constexpr std::uint32_t corner_order_classes = 2768;

// What a symmetry does to the numbers it keeps apart: S c S^-1 of a state
// has a twist that depends only on c's twist, a layer-edge order only on its
// layer-edge order (inside H), and so on.
struct SymmetryTables {
    std::vector<std::uint16_t> twist;                  // [twist * 16 + symmetry]
    std::vector<std::uint16_t> layer_order;            // [order * 16 + symmetry]
    std::vector<std::uint32_t> corner_class;           // [corner order]: class * 16 + symmetry
    std::vector<std::uint16_t> corner_representative;  // [class]: its smallest corner order

    SymmetryTables();
};

// The flip and slice position of S c S^-1 for every flip-slice number and
// symmetry (for building the class table).
std::uint32_t conjugate_flip_slice(std::uint32_t flip_slice, unsigned symmetry) noexcept;

// ---- the pruning tables' layout ----------------------------------------------------
//
// One byte per entry, each the exact distance of its part of the state in
// the quarter-turn metric: phase 1's to H, phase 2's to solved (a half turn
// costing two).
//
// 0: the class of every flip-slice number (uint32 each, as class_of/symmetry_of
//    read it).
// 1: phase 1, by flip-slice class and twist (seen through the class's
//    symmetry), 16 bits each: the distance in the low 4, and above them the
//    moves (bit m for move m) that bring the representative's state one turn
//    closer. A state's own moves are those bits carried back through its
//    class's symmetry (moves_through).
// 2: phase 2, by corner-order class and layer-edge order (likewise).
// 3: phase 2, by corner order and slice order.
// 4: phase 2, by layer-edge order and slice order.

constexpr std::size_t phase1_index(std::uint32_t flip_slice_class, std::uint32_t twist) noexcept {
    return std::size_t{flip_slice_class} * coords::twists + twist;
}
constexpr std::size_t phase2_index(std::uint32_t corner_class, std::uint32_t layer_order) noexcept {
    return std::size_t{corner_class} * coords::layer_edge_orders + layer_order;
}
constexpr std::size_t order_slice_index(std::uint32_t order, std::uint32_t slice_order) noexcept {
    return std::size_t{order} * coords::slice_orders + slice_order;
}

inline constexpr unsigned phase1_distance_bits = 4;
inline constexpr unsigned phase1_distance_mask = (1u << phase1_distance_bits) - 1;

inline constexpr std::size_t phase1_entries = std::size_t{flip_slice_classes} * coords::twists;
inline constexpr std::size_t phase2_entries = std::size_t{corner_order_classes} * coords::layer_edge_orders;
inline constexpr std::size_t corner_slice_entries = std::size_t{coords::corner_orders} * coords::slice_orders;
inline constexpr std::size_t layer_slice_entries =
    std::size_t{coords::layer_edge_orders} * coords::slice_orders;

// The search of the cube alone, without its inverse and other axes: a
// complete search by itself, which the tests hold to that.
struct SolverTesting {
    static SearchResult solve_cube_alone(const Solver& solver, const Cube3x3& cube, unsigned max_length,
                                   std::span<std::int8_t> out);
};

// The order of table_specs().
enum TableIndex : unsigned {
    flip_slice_class_table,
    phase1_table,
    phase2_table,
    corner_slice_table,
    layer_slice_table,
    table_count
};

// ---- phase 1 as a bound for other searches ---------------------------------------
//
// Every path to solved passes through H, so a state's distance to H never
// exceeds its distance to solved. A place follows a search through the small
// move tables; its entry is two reads, the class (a 6 MB table) then the
// distance (a large one), each worth fetching ahead. Views of the solver's
// tables, inline for the searches' inner loops.

// A state's place in phase 1: its corners' twist, its edges' flip and where
// its middle-layer edges are.
struct Phase1Place {
    std::uint32_t twist, flip, slice;
};

struct Phase1View {
    const std::uint16_t* twist_moves;
    const std::uint16_t* flip_moves;
    const std::uint16_t* slice_moves;
    const std::uint16_t* twist_images;  // [twist * 16 + symmetry]
    const std::uint32_t* flip_slice_classes;
    const std::uint16_t* phase1;

    static Phase1Place place_of(const Cube3x3& cube) noexcept {
        return {coords::twist_of(cube.corners), coords::flip_of(cube.edges), coords::slice_position_of(cube.edges)};
    }
    Phase1Place next(Phase1Place place, unsigned move) const noexcept {
        return {twist_moves[place.twist * move_count + move], flip_moves[place.flip * move_count + move],
                slice_moves[place.slice * move_count + move]};
    }
    const std::uint32_t* class_of_place(Phase1Place place) const noexcept {
        return &flip_slice_classes[flip_slice_of(place.flip, place.slice)];
    }
    const std::uint16_t* entry(Phase1Place place, const std::uint32_t* packed_class) const noexcept {
        const std::uint32_t packed = *packed_class;
        return &phase1[phase1_index(class_of(packed), twist_images[place.twist * symmetries + symmetry_of(packed)])];
    }
    const std::uint16_t* entry_of(Phase1Place place) const noexcept { return entry(place, class_of_place(place)); }
    static unsigned distance(const std::uint16_t* entry) noexcept { return *entry & phase1_distance_mask; }
};

}  // namespace turnsmith::two_phase
