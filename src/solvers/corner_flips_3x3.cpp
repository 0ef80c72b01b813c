#include "solvers/corner_flips_3x3.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "engine/pool.hpp"
#include "solvers/coordinates_3x3.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/two_phase_moves.hpp"

namespace turnsmith::corner_flips {
namespace {

namespace coords = coordinates_3x3;
using symmetry_3x3::Symmetry;

// The flip of `edges` read through axis turn `axis`.
std::uint32_t flip_through(Word edges, const Symmetry& axis) noexcept {
    return coords::flip_of(symmetry_3x3::conjugate_edges(edges, axis));
}

// Edges whose flip read through `axis` is `flip`: an axis turn is a quarter
// turn of the whole cube or none, so three more undo one.
Word edges_with_flip(std::uint32_t flip, const Symmetry& axis) noexcept {
    Word edges = coords::edges_of_flip(flip);
    for (int i = 0; i < 3; ++i) edges = symmetry_3x3::conjugate_edges(edges, axis);
    return edges;
}

// Whether every symmetry takes the flips read through `axis` of a state to
// the flips of its image whatever the rest of the state: checked on states a
// fixed walk passes.
bool flips_pass_whole(const Symmetry& axis, const std::vector<std::uint16_t>& images) {
    Cube3x3 cube;
    for (unsigned step = 0; step < 400; ++step) {
        apply_move_index_internal(cube, static_cast<MoveIndex>((step * 7 + step / 5) % move_count));
        const std::uint32_t flip = flip_through(cube.edges, axis);
        for (unsigned s = 0; s < symmetries; ++s) {
            const Word image = symmetry_3x3::conjugate_edges(cube.edges, symmetry_3x3::symmetries()[s]);
            if (flip_through(image, axis) != images[flip * symmetries + s]) return false;
        }
    }
    return true;
}

std::vector<std::uint16_t> flip_images_through(const Symmetry& axis) {
    std::vector<std::uint16_t> images(std::size_t{flips} * symmetries);
    for (std::uint32_t flip = 0; flip < flips; ++flip) {
        const Word edges = edges_with_flip(flip, axis);
        for (unsigned s = 0; s < symmetries; ++s) {
            images[flip * symmetries + s] = static_cast<std::uint16_t>(
                flip_through(symmetry_3x3::conjugate_edges(edges, symmetry_3x3::symmetries()[s]), axis));
        }
    }
    return images;
}

}  // namespace

Moves::Moves(Corners read) {
    const two_phase::MoveTables moves;
    const two_phase::SymmetryTables images;
    order_moves_ = moves.corner_order_quarter;
    order_class_ = images.corner_class;
    order_representative_ = images.corner_representative;
    if (read == Corners::order_and_twist) {
        twist_moves_ = moves.twist;
        twist_images_ = images.twist;
    } else {
        twist_count_ = 1;
        twist_moves_.assign(std::size_t{twists} * move_count, 0);
        twist_images_.assign(std::size_t{twists} * symmetries, 0);
    }
    flip_moves_ = moves.flip;
    fixing_.assign(order_classes, 0);
    for (std::uint32_t c = 0; c < order_classes; ++c) {
        const Word corners = coords::corners_of_order(order_representative_[c]);
        for (unsigned s = 1; s < symmetries; ++s) {
            const Word image = symmetry_3x3::conjugate_corners(corners, symmetry_3x3::symmetries()[s]);
            if (coords::corner_order_of(image) == order_representative_[c])
                fixing_[c] |= std::uint16_t(1u << s);
        }
    }
    bool found = false;
    for (unsigned axis = 0; axis < symmetry_3x3::axis_count && !found; ++axis) {
        const Symmetry& turn = symmetry_3x3::axis_turns()[axis];
        std::vector<std::uint16_t> flip_images = flip_images_through(turn);
        if (!flips_pass_whole(turn, flip_images)) continue;
        found = true;
        flip_axis_ = axis;
        flip_moved_ = turn.moved;
        flip_images_ = std::move(flip_images);
    }
    if (!found) throw std::logic_error("no axis lets the edges' flips pass through the symmetries");
    flip_steps_.resize(std::size_t{move_count} * symmetries * flips);
    for (unsigned m = 0; m < move_count; ++m) {
        for (unsigned s = 0; s < symmetries; ++s) {
            std::uint16_t* to = &flip_steps_[(m * symmetries + s) * flips];
            for (std::uint32_t f = 0; f < flips; ++f)
                to[f] = flip_images_[flip_moves_[f * move_count + flip_moved_[m]] * symmetries + s];
        }
    }
}

Place Moves::place_of(const Cube3x3& cube) const noexcept {
    return {static_cast<std::uint16_t>(coords::corner_order_of(cube.corners)),
            static_cast<std::uint16_t>(coords::twist_of(cube.corners)),
            static_cast<std::uint16_t>(flip_through(cube.edges, symmetry_3x3::axis_turns()[flip_axis_]))};
}

Moves::Step Moves::step(std::size_t block, unsigned move) const noexcept {
    const auto order_class = static_cast<std::uint32_t>(block / twist_count_);
    const auto twist = static_cast<std::uint32_t>(block % twist_count_);
    const std::uint32_t order = order_moves_[order_representative_[order_class] * move_count + move];
    const std::uint32_t packed = order_class_[order];
    const unsigned s = packed % symmetries;
    const std::uint32_t turned = twist_moves_[twist * move_count + move];
    return {std::size_t{packed / symmetries} * twist_count_ + twist_images_[turned * symmetries + s],
            &flip_steps_[(move * symmetries + s) * flips]};
}

// ---- the breadth-first search ------------------------------------------------------
//
// Entries are read and written as whole 64-bit words, sixteen entries of one
// block each, through relaxed atomics: either only the worker on a block
// writes its words (pulling), or every write only clears bits of an entry
// that reads 15 to make it read d+1 (pushing), so no write is lost.

namespace {

constexpr std::uint8_t all_unknown = 0xff;
constexpr unsigned entries_per_word = 16;
// Entry i is nibble i % 16 of word i / 16 here, nibble i % 2 of byte i / 2
// where the search reads it: the same on a little-endian machine.
static_assert(std::endian::native == std::endian::little);
constexpr unsigned words_per_block = flips / entries_per_word;

std::atomic_ref<std::uint64_t> word_of(std::uint8_t* table, std::size_t index) noexcept {
    return std::atomic_ref(reinterpret_cast<std::uint64_t*>(table)[index / entries_per_word]);
}
constexpr unsigned shift_of(std::size_t index) noexcept { return (index % entries_per_word) * 4; }
// The bits to clear in an entry reading 15 (all ones) to make it read `value`.
constexpr std::uint64_t clearing(std::size_t index, unsigned value) noexcept {
    return std::uint64_t{~value & 0xf} << shift_of(index);
}

unsigned load_entry(std::uint8_t* table, std::size_t index) noexcept {
    return (word_of(table, index).load(std::memory_order_relaxed) >> shift_of(index)) & 0xf;
}

// The flips of block `block` whose entries read `value`, in order.
unsigned flips_reading(std::uint8_t* table, std::size_t block, unsigned value,
                       std::array<std::uint16_t, flips>& out) noexcept {
    unsigned count = 0;
    for (unsigned w = 0; w < words_per_block; ++w) {
        const unsigned first = w * entries_per_word;
        const std::uint64_t word = word_of(table, block * flips + first).load(std::memory_order_relaxed);
        if (value == farthest && word == ~std::uint64_t{0}) {
            for (unsigned k = 0; k < entries_per_word; ++k) out[count++] = static_cast<std::uint16_t>(first + k);
            continue;
        }
        for (unsigned k = 0; k < entries_per_word; ++k) {
            if (((word >> (4 * k)) & 0xf) == value) out[count++] = static_cast<std::uint16_t>(first + k);
        }
    }
    return count;
}

// Sets entry `index` to `value` if it is unknown; whether it was.
bool set_if_unknown(std::uint8_t* table, std::size_t index, unsigned value) noexcept {
    const std::atomic_ref<std::uint64_t> word = word_of(table, index);
    if (((word.load(std::memory_order_relaxed) >> shift_of(index)) & 0xf) != farthest) return false;
    const std::uint64_t before = word.fetch_and(~clearing(index, value), std::memory_order_relaxed);
    return ((before >> shift_of(index)) & 0xf) == farthest;
}

// Runs `pass(block, here)` over every block on the pool, stopping between
// blocks once a stop is asked; returns the entries the passes set (each adds
// its own to `here`).
template <class Pass>
std::size_t over_blocks(const Moves& moves, WorkControl& control, Pass&& pass) {
    std::atomic<std::size_t> added = 0;
    parallel_for(moves.block_count(), [&](std::size_t begin, std::size_t end) {
        std::size_t here = 0;
        for (std::size_t block = begin; block < end; ++block) {
            if ((block & 0x3ff) == 0 && control.stop_requested()) break;
            pass(block, here);
        }
        added.fetch_add(here, std::memory_order_relaxed);
    });
    return added.load();
}

// Level d+1 from the entries at d, each passing to its twelve neighbours.
std::size_t push_level(std::uint8_t* table, const Moves& moves, unsigned level, WorkControl& control) {
    return over_blocks(moves, control, [&](std::size_t block, std::size_t& here) {
        std::array<std::uint16_t, flips> at_level;
        const unsigned count = flips_reading(table, block, level, at_level);
        if (count == 0) return;
        for (unsigned m = 0; m < move_count; ++m) {
            const Moves::Step step = moves.step(block, m);
            for (unsigned i = 0; i < count; ++i)
                here += set_if_unknown(table, step.block * flips + step.flip_to[at_level[i]], level + 1);
        }
    });
}

// Gives every copy of the entries at `level` that level: a push reaches
// only one copy of each state it finds.
std::size_t copy_level(std::uint8_t* table, const Moves& moves, unsigned level, WorkControl& control) {
    return over_blocks(moves, control, [&](std::size_t block, std::size_t& here) {
        const std::uint16_t fixing = moves.fixing(block);
        if (fixing == 0) return;
        std::array<std::uint16_t, flips> at_level;
        const unsigned count = flips_reading(table, block, level, at_level);
        for (unsigned i = 0; i < count; ++i) {
            for (unsigned bits = fixing; bits != 0; bits &= bits - 1)
                here += set_if_unknown(table, moves.copy_of(block, at_level[i], std::countr_zero(bits)), level);
        }
    });
}

// Level d+1 as the entries still unknown that have a neighbour at d: each
// worker writes only its own blocks.
std::size_t pull_level(std::uint8_t* table, const Moves& moves, unsigned level, WorkControl& control) {
    return over_blocks(moves, control, [&](std::size_t block, std::size_t& here) {
        std::array<std::uint16_t, flips> unknown;
        unsigned count = flips_reading(table, block, farthest, unknown);
        for (unsigned m = 0; m < move_count && count > 0; ++m) {
            const Moves::Step step = moves.step(block, m);
            unsigned kept = 0;
            for (unsigned i = 0; i < count; ++i) {
                const std::uint16_t flip = unknown[i];
                if (load_entry(table, step.block * flips + step.flip_to[flip]) != level) {
                    unknown[kept++] = flip;
                    continue;
                }
                const std::size_t index = block * flips + flip;
                const std::atomic_ref<std::uint64_t> word = word_of(table, index);
                word.store(word.load(std::memory_order_relaxed) & ~clearing(index, level + 1),
                           std::memory_order_relaxed);
                ++here;
            }
            count = kept;
        }
    });
}

}  // namespace

void fill_table(std::span<std::byte> out, const Moves& moves, WorkControl& control) {
    if (out.size() != moves.byte_count())
        throw std::invalid_argument("the corner-flip table has another size");
    if (reinterpret_cast<std::uintptr_t>(out.data()) % alignof(std::uint64_t) != 0)
        throw std::invalid_argument("the corner-flip table is not aligned to words");
    auto* table = reinterpret_cast<std::uint8_t*>(out.data());
    control.set_total(moves.entry_count());
    parallel_for(out.size() >> 20, [&](std::size_t begin, std::size_t end) {
        std::memset(table + (begin << 20), all_unknown, (end - begin) << 20);
    });
    std::memset(table + (out.size() >> 20 << 20), all_unknown, out.size() & ((1u << 20) - 1));
    const std::size_t solved = moves.index(moves.place_of(Cube3x3{}));
    set_if_unknown(table, solved, 0);
    control.add_done(1);
    std::size_t frontier = 1;
    std::size_t unknown = moves.entry_count() - 1;
    // Pushing costs a write for each neighbour of the frontier; pulling, a
    // read for each neighbour of an unknown entry until one is at the level.
    // Entries 15 turns away or more stay 15.
    for (unsigned level = 0; level + 1 < farthest && frontier > 0; ++level) {
        if (frontier * 8 < unknown) {
            frontier = push_level(table, moves, level, control);
            control.throw_if_stopped();
            frontier += copy_level(table, moves, level + 1, control);
        } else {
            // Each copy is a state of its own, found from its own neighbours.
            frontier = pull_level(table, moves, level, control);
        }
        control.throw_if_stopped();
        unknown -= frontier;
        control.add_done(frontier);
    }
}

namespace {

constexpr std::uint64_t format_of(std::uint64_t version) noexcept {
    return tables::format_hash({version, std::uint64_t{entries}, std::uint64_t{move_count}});
}

inline constexpr std::uint64_t layout_version = 1;

}  // namespace

tables::TableKind table_kind() {
    return {"3x3-corners-flips", format_of(layout_version), bytes,
            [](std::span<std::byte> out, WorkControl& control) {
                const Moves moves;
                fill_table(out, moves, control);
            }};
}

}  // namespace turnsmith::corner_flips
