#pragma once
// Pattern databases of six 3x3 edges each: for every place of six chosen edge
// pieces (their slots and flips, the other six edges and the corners
// ignored), the fewest quarter turns that bring those six home and unflipped
// (Metric::quarter_turns, cube/move_rules.hpp).
// That number never exceeds the cube's own distance, so it bounds an optimal
// search from below; the 2x2's distance table does the same for the corners,
// which the 3x3's turns move exactly as the 2x2's.
//
// A pattern is numbered by the slots of its six pieces, in piece order, read
// as a number in the mixed radix 12·11·10·9·8·7 (each slot counted among the
// slots not taken by an earlier piece): 665,280 positions. The six flips
// follow as six bits, so that the 64 flip patterns of one position lie
// together in the table: a turn moves a position to one other position and
// toggles a fixed set of its flip bits, and a breadth-first search or a
// search's lookups then touch one cache line per position and move.
//
// Two such tables cover all twelve edges: pieces 0..5 and pieces 6..11. One
// byte per pattern (42.6 MB each), built breadth-first on the pool and kept in
// the table cache.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cube/cube.hpp"
#include "solvers/table_cache.hpp"
#include "engine/work_control.hpp"

namespace turnsmith::edge_patterns {

inline constexpr unsigned pattern_edges = 6;
inline constexpr std::uint32_t positions = 12 * 11 * 10 * 9 * 8 * 7;
inline constexpr std::uint32_t flip_patterns = 1u << pattern_edges;
inline constexpr std::size_t entries = std::size_t{positions} * flip_patterns;
static_assert(positions == 665'280 && entries == 42'577'920);

// A place of the six pieces: entry position * 64 + flips of the table.
struct Pattern {
    std::uint32_t position;
    std::uint32_t flips;  // bit i: piece first + i is flipped

    std::size_t index() const noexcept { return std::size_t{position} * flip_patterns + flips; }
};

// The position of six pieces in the given slots, piece by piece.
constexpr std::uint32_t position_of(const std::array<unsigned, pattern_edges>& slots) noexcept {
    std::uint32_t position = 0;
    std::uint32_t taken = 0;
    for (unsigned i = 0; i < pattern_edges; ++i) {
        const unsigned below = static_cast<unsigned>(std::popcount(taken & ((1u << slots[i]) - 1)));
        position = position * (edge_slots - i) + (slots[i] - below);
        taken |= 1u << slots[i];
    }
    return position;
}

// The pattern of pieces first..first+5 in an edge word.
constexpr Pattern pattern_of(Word edges, unsigned first) noexcept {
    std::array<unsigned, pattern_edges> slots{};
    std::uint32_t flips = 0;
    for (unsigned slot = 0; slot < edge_slots; ++slot) {
        const Word field = slot_field(edges, slot);
        const auto piece = static_cast<unsigned>(edge_piece(field)) - first;  // wraps for earlier pieces
        if (piece < pattern_edges) {
            slots[piece] = slot;
            flips |= static_cast<std::uint32_t>(edge_flip(field)) << piece;
        }
    }
    return {position_of(slots), flips};
}

// Each entry of a move table: the position a move leads to, and from bit
// toggle_shift on the flip bits it toggles.
inline constexpr unsigned toggle_shift = 20;
static_assert(positions < (1u << toggle_shift));

// The moves of every position, row by row (move_count entries a row): about
// 32 MB, made on the pool in a fraction of a second.
class PositionMoves {
public:
    PositionMoves();

    std::uint32_t entry(std::uint32_t position, std::size_t move) const noexcept {
        return entries_[std::size_t{position} * move_count + move];
    }
    Pattern next(Pattern pattern, std::size_t move) const noexcept {
        const std::uint32_t e = entry(pattern.position, move);
        return {e & ((1u << toggle_shift) - 1), pattern.flips ^ (e >> toggle_shift)};
    }
    void prefetch(std::uint32_t position) const noexcept {
        __builtin_prefetch(&entries_[std::size_t{position} * move_count]);
        __builtin_prefetch(&entries_[std::size_t{position} * move_count + move_count - 1]);
    }

private:
    std::vector<std::uint32_t> entries_;
};

// The tables of pieces 0..5 and of pieces 6..11: the first piece of each.
inline constexpr std::array<unsigned, 2> table_first_pieces = {0, 6};

// The kind of the table of pieces first..first+5, for the table cache.
tables::TableKind table_kind(unsigned first);

// Fills `out` (entries bytes) with the distance of every pattern of pieces
// first..first+5 from its solved pattern, breadth-first on the pool; throws
// Stopped between levels once a stop is requested.
void fill_table(std::span<std::byte> out, unsigned first, const PositionMoves& moves, WorkControl& control);

}  // namespace turnsmith::edge_patterns
