#pragma once
// What the tables and the search of the two-phase solver share: every
// coordinate's moves as 16-bit tables, the order in which consecutive turns
// are searched, and the layout of the pruning tables.

#include <array>
#include <cstdint>
#include <vector>

#include "solvers/coordinates_3x3.hpp"

namespace turnsmith::two_phase {

namespace coords = coordinates_3x3;

// The coordinates after each move, row by coordinate: phase 1 by the twelve
// quarter turns, phase 2 by its eight moves.
struct MoveTables {
    std::vector<std::uint16_t> twist;         // [twist * 12 + move]
    std::vector<std::uint16_t> flip;          // [flip * 12 + move]
    std::vector<std::uint16_t> slice;         // [slice position * 12 + move]
    std::vector<std::uint16_t> corner_order;  // [order * 8 + phase-2 move]
    std::vector<std::uint16_t> layer_order;   // [order * 8 + phase-2 move]
    std::vector<std::uint16_t> slice_order;   // [order * 8 + phase-2 move]

    // Built in place, each row from the word turns (milliseconds).
    MoveTables();
};

// ---- which turn may follow which -------------------------------------------------
//
// Only one of the orders of a sequence that give the same state is searched:
// no turn right after its inverse, no third turn of a face in a row, and of
// two opposite faces (which commute) U before D, R before L, F before B. The
// last turn and whether it was the second of a pair are all that is needed.
// Every sequence has such a form of the same length or shorter, so no shortest
// solution is lost.

inline constexpr unsigned no_turn = 12;

struct LastTurns {
    unsigned turn = no_turn;
    bool twice = false;  // the turn before it was the same

    constexpr bool allows(unsigned next) const noexcept {
        if (turn == no_turn) return true;
        if (next / 2 == turn / 2) return next == turn && !twice;
        // Opposite faces share an axis (move / 4); the first face comes first.
        return !(next / 4 == turn / 4 && next / 2 < turn / 2);
    }
    constexpr LastTurns then(unsigned next) const noexcept { return {next, next == turn}; }
};

// ---- the pruning tables' layout ----------------------------------------------------

// Phase 1: distance to H of the twist with the slice position, and of the flip
// with the slice position. Phase 2: distance to solved (a half turn costing 2)
// of the corner order with the slice order, and of the layer-edge order with
// the slice order. One byte each.
constexpr std::size_t twist_slice_index(std::uint32_t twist, std::uint32_t slice) noexcept {
    return std::size_t{twist} * coords::slice_positions + slice;
}
constexpr std::size_t flip_slice_index(std::uint32_t flip, std::uint32_t slice) noexcept {
    return std::size_t{flip} * coords::slice_positions + slice;
}
constexpr std::size_t order_slice_index(std::uint32_t order, std::uint32_t slice_order) noexcept {
    return std::size_t{order} * coords::slice_orders + slice_order;
}

inline constexpr std::size_t twist_slice_entries = std::size_t{coords::twists} * coords::slice_positions;
inline constexpr std::size_t flip_slice_entries = std::size_t{coords::flips} * coords::slice_positions;
inline constexpr std::size_t corner_slice_entries = std::size_t{coords::corner_orders} * coords::slice_orders;
inline constexpr std::size_t layer_slice_entries =
    std::size_t{coords::layer_edge_orders} * coords::slice_orders;

// The order of table_specs().
enum TableIndex : unsigned {
    twist_slice_table,
    flip_slice_table,
    corner_slice_table,
    layer_slice_table,
    table_count
};

}  // namespace turnsmith::two_phase
