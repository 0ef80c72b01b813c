#pragma once
// The optimal search's large table: the exact distance in quarter turns
// (Metric::quarter_turns, cube/move_rules.hpp) of a state's phase-1 numbers
// (its edges' flip, where its middle-layer edges are, its corners' twist:
// two_phase_moves.hpp) together with a coarse view of its corners' order,
// 2 bits an entry.
//
// The corners' view is their order up to a group of relabellings of the
// pieces (a coset): where the four corners of one kind stand (70 cosets).
// The kinds are the tetrads (the two sets of four corners that half turns
// keep apart) or the layers (U and D). Mixing pieces of both kinds in one
// table bounds a state better than either kind alone does, and the tetrads
// better than the layers: a quarter turn moves two corners of each tetrad
// but all four of one layer's, so fewer turns mend the layers. The order's
// parity too would double the table and prune nothing more: a U turn mends
// a place's parity and keeps the rest, so the distance with it is at most
// one more, and a search already rounds a bound up to the parity of the
// moves it has left.
//
// The sixteen symmetries that keep the U-D axis carry a state to one as far
// from solved and each view of the corners to one of the same kind, so the
// table keeps one flip-slice per class (64,430 classes of 1,013,760), with
// every twist and corner coset seen through the symmetry that takes the
// state's flip-slice to its class's. A class whose flip-slice some
// symmetries fix holds each of its states in several entries; the build
// gives every copy the state's distance.
//
// An entry holds the distance mod 3. A move changes the distance of the
// coarser puzzle by at most one, and the three candidates have three
// residues: a search that knows a node's distance knows each child's from
// its residue alone. A root's distance is found by walking down to the
// table's solved place, one residue lower a step.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cube/cube_3x3.hpp"
#include "engine/work_control.hpp"
#include "solvers/table_cache.hpp"
#include "solvers/two_phase_moves.hpp"

namespace turnsmith::phase1_corners {

// Which of the corners' order the table keeps: where the corners of one
// tetrad stand, or those of the U layer. Both have 70 cosets.
enum class CornerDetail : unsigned { tetrads, layers };
inline constexpr unsigned corner_cosets = 70;

inline constexpr std::uint32_t flip_slice_classes = two_phase::flip_slice_classes;
inline constexpr std::uint32_t twists = 2187;
inline constexpr unsigned symmetries = 16;
inline constexpr unsigned entries_per_byte = 4;
// Entries read 0..2 (the distance mod 3); 3 only while the build runs.
inline constexpr unsigned unknown = 3;

constexpr unsigned residue_at(const std::uint8_t* table, std::size_t index) noexcept {
    return (table[index / entries_per_byte] >> ((index % entries_per_byte) * 2)) & 3;
}
// The distance of a neighbour of a place `distance` away whose entry reads
// `residue`: one less, the same or one more, whichever has that residue.
constexpr unsigned neighbour_distance(unsigned distance, unsigned residue) noexcept {
    return distance + (residue + 4 - distance % 3) % 3 - 1;
}

// A state's phase-1 numbers and the coset of its corners' order.
struct Place {
    std::uint16_t twist, flip, slice, corners;
};

class Moves {
public:
    // Builds the move and symmetry tables of `detail` (a fraction of a
    // second), reading the flip-slice classes of `phase1`, which must
    // outlive this. Throws std::logic_error if the cosets do not pass
    // through the moves and symmetries whole, a fault in the cube model.
    // With Twists::ignored every twist reads 0: a table 2,187 times smaller
    // (64,430 blocks of a row each) that runs the same build and search on a
    // scale a test can check whole.
    enum class Twists { read, ignored };
    Moves(CornerDetail detail, const two_phase::Phase1View& phase1, Twists twists = Twists::read);

    unsigned cosets() const noexcept { return cosets_; }
    unsigned twist_count() const noexcept { return twist_count_; }
    // A block is one flip-slice class: its twists, each a row of cosets,
    // padded to whole 64-bit words.
    std::size_t block_entries() const noexcept { return block_entries_; }
    std::size_t block_count() const noexcept { return flip_slice_classes; }
    std::size_t used_entries() const noexcept { return std::size_t{twist_count_} * cosets_; }  // of a block
    std::size_t entry_count() const noexcept { return block_count() * block_entries_; }
    std::size_t byte_count() const noexcept { return entry_count() / entries_per_byte; }

    Place place_of(const Cube3x3& cube) const noexcept;
    Place next(Place place, unsigned move) const noexcept {
        return {twist_moves_[place.twist * move_count + move],
                phase1_.flip_moves[place.flip * move_count + move],
                phase1_.slice_moves[place.slice * move_count + move],
                corner_moves_[place.corners * move_count + move]};
    }
    const std::uint32_t* class_of_place(Place place) const noexcept {
        return &phase1_.flip_slice_classes[two_phase::flip_slice_of(place.flip, place.slice)];
    }
    std::size_t index(Place place, std::uint32_t packed_class) const noexcept {
        const unsigned s = two_phase::symmetry_of(packed_class);
        return two_phase::class_of(packed_class) * block_entries_ +
               std::size_t{twist_images_[place.twist * symmetries + s]} * cosets_ +
               corner_images_[place.corners * symmetries + s];
    }
    std::size_t index(Place place) const noexcept { return index(place, *class_of_place(place)); }
    bool solved(Place place) const noexcept {
        return place.twist == solved_.twist && place.flip == solved_.flip && place.slice == solved_.slice &&
               place.corners == solved_.corners;
    }
    // The distance of `place` in a filled table, walked down to solved (at
    // most a few dozen reads); 0 if the table does not lead there.
    unsigned distance(const std::uint8_t* table, Place place) const noexcept;

    // For the build: the block a move takes block `block` to, and where
    // there each twist and each coset of the block goes.
    struct Step {
        std::size_t block;
        const std::uint16_t* twist_to;    // [twist]
        const std::uint16_t* corners_to;  // [coset]
    };
    Step step(std::size_t block, unsigned move) const noexcept;
    // The symmetries but the identity that fix the flip-slice of block
    // `block`, as bits, and the entry that one takes an entry of it to.
    std::uint16_t fixing(std::size_t block) const noexcept { return fixing_[block]; }
    std::size_t copy_of(std::size_t block, std::size_t entry, unsigned symmetry) const noexcept {
        const std::size_t twist = entry / cosets_, coset = entry % cosets_;
        return block * block_entries_ + std::size_t{twist_images_[twist * symmetries + symmetry]} * cosets_ +
               corner_images_[coset * symmetries + symmetry];
    }

private:
    two_phase::Phase1View phase1_;
    unsigned twist_count_;
    unsigned cosets_;
    std::size_t block_entries_;
    Place solved_{};
    std::vector<std::uint16_t> twist_moves_, twist_images_;  // [twist * 12 + move], [twist * 16 + symmetry]
    std::vector<std::uint16_t> coset_of_order_;              // [corner order]
    std::vector<std::uint16_t> corner_moves_;    // [coset * 12 + move]
    std::vector<std::uint16_t> corner_images_;   // [coset * 16 + symmetry]
    std::vector<std::uint32_t> representative_;  // [class]: its flip-slice
    std::vector<std::uint16_t> fixing_;          // [class]
    // [(move * 16 + symmetry) * twist count + twist], [(move * 16 + symmetry) * cosets + coset]
    std::vector<std::uint16_t> twist_steps_, corner_steps_;
};

// Fills `out` (moves.byte_count() long, aligned to words) with the table by
// a breadth-first search on the pool; adds each level's new entries to
// control's done count, of moves.entry_count(). Throws Stopped between
// pieces once a stop is asked.
void fill_table(std::span<std::byte> out, const Moves& moves, WorkControl& control);

// The table of `detail` as the cache keeps it ("3x3-phase1-tetrads-70",
// "3x3-phase1-corners-70" for the layers),
// its moves read from `phase1` when it is built.
tables::TableKind table_kind(CornerDetail detail, const two_phase::Phase1View& phase1);
// Its size in bytes, the same for every detail.
std::size_t table_bytes() noexcept;

}  // namespace turnsmith::phase1_corners
