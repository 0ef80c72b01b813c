#pragma once
// The optimal search's large table: the exact distance of the corners
// together with the flips of all twelve edges in quarter turns
// (Metric::quarter_turns, cube/move_rules.hpp), 4 bits an entry, 6.2 GB.
// Corners alone lie 10.7 quarter turns from solved on average; with the
// flips every corner state splits into 2,048 states, most of them farther.
//
// The sixteen symmetries that keep the U-D axis carry a state to one as far
// from solved, so the table keeps one corner order per class (2,768 classes
// of 40,320 orders), with every twist and flip seen through the symmetry
// that takes the state's order to its class's. For the flips to pass
// through those symmetries whole, they are read about the U-D axis: the
// flip of the state seen from a cube turned so that the axis whose turns
// keep flips becomes the U-D axis. (A class whose order some symmetries fix
// holds each of its states more than once, in as many entries as the
// symmetries that fix it; the build gives every copy the state's distance,
// so a lookup may land on any.)
//
// A view (`Place`) follows a search through small move tables; its entry is
// one read in the table, worth fetching ahead.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "solvers/table_cache.hpp"
#include "engine/work_control.hpp"

namespace turnsmith::corner_flips {

inline constexpr std::uint32_t order_classes = 2768;
inline constexpr std::uint32_t twists = 2187;
inline constexpr std::uint32_t flips = 2048;
inline constexpr std::uint32_t symmetries = 16;
// A block: one order class and twist, the entries of its flips side by side
// (1 KiB), so that a move takes a block's entries to one other block.
inline constexpr std::size_t blocks = std::size_t{order_classes} * twists;
inline constexpr std::size_t entries = blocks * flips;
inline constexpr std::size_t bytes = entries / 2;

// Entries read 0..14, the distance, or 15: at least 15 turns away.
inline constexpr unsigned farthest = 15;

constexpr unsigned entry_at(const std::uint8_t* table, std::size_t index) noexcept {
    return (table[index >> 1] >> ((index & 1) * 4)) & 0xf;
}

// A state's corners' order and twist, and its edges' flip read about the U-D
// axis.
struct Place {
    std::uint16_t order, twist, flip;
};

// Which parts of the corners the table reads: the large table reads both;
// a table of the corners' order and the flips alone (2,768 blocks, 2.8 MB)
// runs the same build on a scale a test can check whole.
enum class Corners { order_and_twist, order_only };

class Moves {
public:
    // Builds the move and symmetry tables (a fraction of a second). Throws
    // std::logic_error if no axis turn lets the flips pass through the
    // symmetries whole, which would be a fault in the cube model.
    explicit Moves(Corners read = Corners::order_and_twist);

    std::size_t block_count() const noexcept { return std::size_t{order_classes} * twist_count_; }
    std::size_t entry_count() const noexcept { return block_count() * flips; }
    std::size_t byte_count() const noexcept { return entry_count() / 2; }

    Place place_of(const Cube3x3& cube) const noexcept;
    Place next(Place place, unsigned move) const noexcept {
        return {order_moves_[place.order * move_count + move], twist_moves_[place.twist * move_count + move],
                flip_moves_[place.flip * move_count + flip_moved_[move]]};
    }
    std::size_t index(Place place) const noexcept {
        const std::uint32_t packed = order_class_[place.order];
        const unsigned s = packed % symmetries;
        const std::size_t block =
            std::size_t{packed / symmetries} * twist_count_ + twist_images_[place.twist * symmetries + s];
        return block * flips + flip_images_[place.flip * symmetries + s];
    }

    // For the build: the block a move takes block `block` to, and the flip
    // there of each of its flips.
    struct Step {
        std::size_t block;
        const std::uint16_t* flip_to;  // [flip]
    };
    Step step(std::size_t block, unsigned move) const noexcept;

    // The symmetries but the identity that fix the order of the class of
    // block `block`, as bits: each takes the block's states to copies of
    // them in the class's blocks.
    std::uint16_t fixing(std::size_t block) const noexcept { return fixing_[block / twist_count_]; }
    // The entry that such a symmetry takes entry (block, flip) to.
    std::size_t copy_of(std::size_t block, unsigned flip, unsigned symmetry) const noexcept {
        const std::size_t order_class = block / twist_count_;
        const std::size_t twist = block % twist_count_;
        return (order_class * twist_count_ + twist_images_[twist * symmetries + symmetry]) * flips +
               flip_images_[flip * symmetries + symmetry];
    }

    // The axis turn (symmetry_3x3::axis_turns()) through which flips are read.
    unsigned flip_axis() const noexcept { return flip_axis_; }

private:
    std::uint32_t twist_count_ = twists;  // 1 when twists are not read: every twist reads 0
    unsigned flip_axis_ = 0;
    std::array<std::uint8_t, move_count> flip_moved_{};                  // a move as the flips' view sees it
    std::vector<std::uint16_t> order_moves_, twist_moves_, flip_moves_;  // [value * 12 + move]
    std::vector<std::uint32_t> order_class_;                             // [order]: class * 16 + symmetry
    std::vector<std::uint16_t> order_representative_;                    // [class]
    std::vector<std::uint16_t> fixing_;                                  // [class]
    std::vector<std::uint16_t> twist_images_, flip_images_;              // [value * 16 + symmetry]
    std::vector<std::uint16_t> flip_steps_;  // [(move * 16 + symmetry) * 2048 + flip]
};

// Fills `out` (moves.byte_count() long) with the table by a breadth-first
// search on the pool; adds each level's new entries to control's done count,
// of moves.entry_count().
// Throws Stopped between pieces once a stop is asked.
void fill_table(std::span<std::byte> out, const Moves& moves, WorkControl& control);

// The table as the cache keeps it ("3x3-corners-flips").
tables::TableKind table_kind();

}  // namespace turnsmith::corner_flips
