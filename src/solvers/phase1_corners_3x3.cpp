#include "solvers/phase1_corners_3x3.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "cube/cube.hpp"
#include "engine/pool.hpp"
#include "solvers/coordinates_3x3.hpp"
#include "solvers/symmetry_3x3.hpp"

namespace turnsmith::phase1_corners {
namespace {

namespace coords = coordinates_3x3;

// ---- the corners' cosets ---------------------------------------------------------
//
// A relabelling of the eight corner pieces: piece p is read as labels[p].
// Two orders lie in one coset when a relabelling of the group turns one into
// the other; a move turns the slots, not the labels, so it carries cosets to
// cosets.
using Labels = std::array<std::uint8_t, corner_slots>;

Labels pieces_of(Word corners) noexcept {
    Labels pieces{};
    for (unsigned slot = 0; slot < corner_slots; ++slot)
        pieces[slot] = static_cast<std::uint8_t>(corner_piece(slot_field(corners, slot)));
    return pieces;
}

std::uint32_t order_of(const Labels& pieces) noexcept {
    Word corners = 0;
    for (unsigned slot = 0; slot < corner_slots; ++slot) corners |= Word{pieces[slot]} << slot_shift(slot);
    return coords::corner_order_of(corners);
}

Labels relabelled(const Labels& pieces, const Labels& labels) noexcept {
    Labels out{};
    for (unsigned slot = 0; slot < corner_slots; ++slot) out[slot] = labels[pieces[slot]];
    return out;
}

// Every relabelling that `generators` make, the identity among them.
std::vector<Labels> group_of(const std::vector<Labels>& generators) {
    Labels identity{};
    for (unsigned p = 0; p < corner_slots; ++p) identity[p] = static_cast<std::uint8_t>(p);
    std::vector<Labels> group = {identity};
    std::vector<bool> seen(coords::corner_orders);
    seen[order_of(identity)] = true;
    for (std::size_t i = 0; i < group.size(); ++i) {
        for (const Labels& g : generators) {
            const Labels product = relabelled(group[i], g);
            if (!seen[order_of(product)]) {
                seen[order_of(product)] = true;
                group.push_back(product);
            }
        }
    }
    return group;
}

// The U-layer corners are pieces 0..3, the D-layer ones 4..7.
std::vector<Labels> layer_group() {
    return group_of({{1, 0, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 0, 4, 5, 6, 7}, {0, 1, 2, 3, 5, 4, 6, 7},
                     {0, 1, 2, 3, 5, 6, 7, 4}});
}

// Slots 0, 2, 5 and 7 (ULB, URF, DBR, DFL) are one tetrad, the rest the other.
std::vector<Labels> tetrad_group() {
    return group_of({{2, 1, 0, 3, 4, 5, 6, 7}, {2, 1, 5, 3, 4, 7, 6, 0}, {0, 3, 2, 1, 4, 5, 6, 7},
                     {0, 3, 2, 4, 6, 5, 1, 7}});
}

std::vector<Labels> relabellings(CornerDetail detail) {
    return detail == CornerDetail::tetrads ? tetrad_group() : layer_group();
}

// Each order's coset, numbered in the order of their smallest orders.
std::vector<std::uint16_t> cosets_of_orders(CornerDetail detail) {
    const std::vector<Labels> group = relabellings(detail);
    constexpr std::uint16_t none = 0xffff;
    std::vector<std::uint16_t> coset(coords::corner_orders, none);
    std::uint16_t next = 0;
    for (std::uint32_t order = 0; order < coords::corner_orders; ++order) {
        if (coset[order] != none) continue;
        const Labels pieces = pieces_of(coords::corners_of_order(order));
        for (const Labels& labels : group) coset[order_of(relabelled(pieces, labels))] = next;
        ++next;
    }
    if (next != corner_cosets) throw std::logic_error("the corners' cosets have another count");
    return coset;
}

// The table `coset_of[f(order, column)]` by coset, checked to depend on the
// coset alone.
template <class F>
std::vector<std::uint16_t> coset_table(const std::vector<std::uint16_t>& coset_of, unsigned cosets, unsigned columns,
                                       F&& f) {
    constexpr std::uint16_t none = 0xffff;
    std::vector<std::uint16_t> table(std::size_t{cosets} * columns, none);
    for (std::uint32_t order = 0; order < coords::corner_orders; ++order) {
        for (unsigned c = 0; c < columns; ++c) {
            std::uint16_t& cell = table[std::size_t{coset_of[order]} * columns + c];
            const std::uint16_t image = coset_of[f(order, c)];
            if (cell != none && cell != image) throw std::logic_error("the corners' cosets do not pass whole");
            cell = image;
        }
    }
    return table;
}

}  // namespace

Moves::Moves(CornerDetail detail, const two_phase::Phase1View& phase1, Twists read)
    : phase1_(phase1),
      twist_count_(read == Twists::read ? twists : 1),
      cosets_(corner_cosets),
      block_entries_((std::size_t{twist_count_} * cosets_ + 31) / 32 * 32),
      twist_moves_(std::size_t{twists} * move_count),
      twist_images_(std::size_t{twists} * symmetries),
      coset_of_order_(cosets_of_orders(detail)) {
    if (read == Twists::read) {
        std::copy_n(phase1_.twist_moves, twist_moves_.size(), twist_moves_.begin());
        std::copy_n(phase1_.twist_images, twist_images_.size(), twist_images_.begin());
    }
    const two_phase::MoveTables moves;
    corner_moves_ = coset_table(coset_of_order_, cosets_, move_count, [&](std::uint32_t order, unsigned m) {
        return moves.corner_order_quarter[order * move_count + m];
    });
    corner_images_ = coset_table(coset_of_order_, cosets_, symmetries, [](std::uint32_t order, unsigned s) {
        return coords::corner_order_of(
            symmetry_3x3::conjugate_corners(coords::corners_of_order(order), symmetry_3x3::symmetries()[s]));
    });
    solved_ = place_of(Cube3x3{});
    constexpr std::uint32_t none = 0xffffffff;
    representative_.assign(flip_slice_classes, none);
    for (std::uint32_t f = 0; f < two_phase::flip_slices; ++f) {
        std::uint32_t& first = representative_[two_phase::class_of(phase1_.flip_slice_classes[f])];
        if (first == none) first = f;
    }
    fixing_.assign(flip_slice_classes, 0);
    for (std::uint32_t c = 0; c < flip_slice_classes; ++c)
        for (unsigned s = 1; s < symmetries; ++s)
            if (two_phase::conjugate_flip_slice(representative_[c], s) == representative_[c])
                fixing_[c] |= static_cast<std::uint16_t>(1u << s);
    twist_steps_.resize(std::size_t{move_count} * symmetries * twist_count_);
    corner_steps_.resize(std::size_t{move_count} * symmetries * cosets_);
    for (unsigned m = 0; m < move_count; ++m) {
        for (unsigned s = 0; s < symmetries; ++s) {
            for (std::uint32_t t = 0; t < twist_count_; ++t)
                twist_steps_[(m * symmetries + s) * twist_count_ + t] =
                    twist_images_[twist_moves_[t * move_count + m] * symmetries + s];
            for (unsigned k = 0; k < cosets_; ++k)
                corner_steps_[(m * symmetries + s) * cosets_ + k] =
                    corner_images_[corner_moves_[k * move_count + m] * symmetries + s];
        }
    }
}

Place Moves::place_of(const Cube3x3& cube) const noexcept {
    const two_phase::Phase1Place place = two_phase::Phase1View::place_of(cube);
    return {static_cast<std::uint16_t>(twist_count_ == 1 ? 0 : place.twist), static_cast<std::uint16_t>(place.flip),
            static_cast<std::uint16_t>(place.slice), coset_of_order_[coords::corner_order_of(cube.corners)]};
}

unsigned Moves::distance(const std::uint8_t* table, Place place) const noexcept {
    // No place lies farther than the cube's own diameter.
    constexpr unsigned longest_walk = 40;
    unsigned residue = residue_at(table, index(place));
    for (unsigned steps = 0; steps < longest_walk; ++steps) {
        if (solved(place)) return steps;
        bool found = false;
        for (unsigned m = 0; m < move_count && !found; ++m) {
            const Place next_place = next(place, m);
            const unsigned next_residue = residue_at(table, index(next_place));
            if (next_residue != (residue + 2) % 3) continue;
            place = next_place;
            residue = next_residue;
            found = true;
        }
        if (!found) break;
    }
    return 0;
}

Moves::Step Moves::step(std::size_t block, unsigned move) const noexcept {
    const std::uint32_t f = representative_[block];
    const std::uint32_t flip = f / coords::slice_positions, slice = f % coords::slice_positions;
    const std::uint32_t packed = phase1_.flip_slice_classes[two_phase::flip_slice_of(
        phase1_.flip_moves[flip * move_count + move], phase1_.slice_moves[slice * move_count + move])];
    const unsigned s = two_phase::symmetry_of(packed);
    return {two_phase::class_of(packed), &twist_steps_[(move * symmetries + s) * twist_count_],
            &corner_steps_[(move * symmetries + s) * cosets_]};
}

// ---- the breadth-first search ------------------------------------------------------
//
// Entries are read and written as whole 64-bit words, 32 entries of one block
// each, through relaxed atomics: either only the worker on a block writes its
// words (pulling), or every write only clears bits of an unknown entry (all
// ones) to make it read the next level's residue (pushing), so no write is
// lost. Residues repeat every three levels: the entries that read a level's
// residue are that level's and those three, six... before it, whose
// neighbours are all known, so passing from them changes nothing.

namespace {

constexpr unsigned entries_per_word = 32;
static_assert(std::endian::native == std::endian::little);  // entry i is bits 2i of word i / 32 and of byte i / 4

std::atomic_ref<std::uint64_t> word_of(std::uint8_t* table, std::size_t index) noexcept {
    return std::atomic_ref(reinterpret_cast<std::uint64_t*>(table)[index / entries_per_word]);
}
constexpr unsigned shift_of(std::size_t index) noexcept { return (index % entries_per_word) * 2; }
constexpr std::uint64_t clearing(std::size_t index, unsigned residue) noexcept {
    return std::uint64_t{~residue & 3} << shift_of(index);
}

unsigned load_entry(std::uint8_t* table, std::size_t index) noexcept {
    return (word_of(table, index).load(std::memory_order_relaxed) >> shift_of(index)) & 3;
}

bool set_if_unknown(std::uint8_t* table, std::size_t index, unsigned residue) noexcept {
    const std::atomic_ref<std::uint64_t> word = word_of(table, index);
    if (((word.load(std::memory_order_relaxed) >> shift_of(index)) & 3) != unknown) return false;
    const std::uint64_t before = word.fetch_and(~clearing(index, residue), std::memory_order_relaxed);
    return ((before >> shift_of(index)) & 3) == unknown;
}

// The entries of block `block` (offsets in it) that read `residue`.
void entries_reading(std::uint8_t* table, const Moves& moves, std::size_t block, unsigned residue,
                     std::vector<std::uint32_t>& out) {
    out.clear();
    const std::size_t first = block * moves.block_entries();
    const std::size_t used = moves.used_entries();
    // The pattern of an entry's two bits reading `residue`, in every entry.
    const std::uint64_t pattern = 0x5555555555555555ull * residue;
    for (std::size_t w = 0; w * entries_per_word < used; ++w) {
        const std::uint64_t differ = word_of(table, first + w * entries_per_word).load(std::memory_order_relaxed) ^ pattern;
        // An entry matches when both its bits agree: gather them in the low bit.
        std::uint64_t match = ~(differ | (differ >> 1)) & 0x5555555555555555ull;
        for (; match != 0; match &= match - 1) {
            const std::size_t offset = w * entries_per_word + static_cast<unsigned>(std::countr_zero(match)) / 2;
            if (offset < used) out.push_back(static_cast<std::uint32_t>(offset));
        }
    }
}

std::size_t neighbour(const Moves& moves, const Moves::Step& step, std::uint32_t offset) noexcept {
    const unsigned cosets = moves.cosets();
    return step.block * moves.block_entries() + std::size_t{step.twist_to[offset / cosets]} * cosets +
           step.corners_to[offset % cosets];
}

// Runs `pass(block, found, here)` over every block on the pool, stopping
// between blocks once a stop is asked; returns the entries the passes set.
template <class Pass>
std::size_t over_blocks(const Moves& moves, WorkControl& control, Pass&& pass) {
    std::atomic<std::size_t> added = 0;
    parallel_for(moves.block_count(), [&](std::size_t begin, std::size_t end) {
        std::size_t here = 0;
        std::vector<std::uint32_t> found;
        for (std::size_t block = begin; block < end; ++block) {
            if ((block & 0x3f) == 0 && control.stop_requested()) break;
            pass(block, found, here);
        }
        added.fetch_add(here, std::memory_order_relaxed);
    });
    return added.load();
}

constexpr unsigned fetch_ahead = 16;

// Level d+1 from the entries at d, each passing to its twelve neighbours.
std::size_t push_level(std::uint8_t* table, const Moves& moves, unsigned level, WorkControl& control) {
    return over_blocks(moves, control, [&](std::size_t block, std::vector<std::uint32_t>& at_level, std::size_t& here) {
        entries_reading(table, moves, block, level % 3, at_level);
        if (at_level.empty()) return;
        for (unsigned m = 0; m < move_count; ++m) {
            const Moves::Step step = moves.step(block, m);
            for (std::size_t i = 0; i < at_level.size(); ++i)
                here += set_if_unknown(table, neighbour(moves, step, at_level[i]), (level + 1) % 3);
        }
    });
}

// Gives every copy of the entries at `level` that level: a push reaches only
// one copy of each state it finds.
std::size_t copy_level(std::uint8_t* table, const Moves& moves, unsigned level, WorkControl& control) {
    return over_blocks(moves, control, [&](std::size_t block, std::vector<std::uint32_t>& at_level, std::size_t& here) {
        const std::uint16_t fixing = moves.fixing(block);
        if (fixing == 0) return;
        entries_reading(table, moves, block, level % 3, at_level);
        for (const std::uint32_t offset : at_level)
            for (unsigned bits = fixing; bits != 0; bits &= bits - 1)
                here += set_if_unknown(table, moves.copy_of(block, offset, std::countr_zero(bits)), level % 3);
    });
}

// Level d+1 as the unknown entries that have a neighbour at d: each worker
// writes only its own blocks. A neighbour reading d's residue is at d: one
// three levels nearer would have made the entry known already.
std::size_t pull_level(std::uint8_t* table, const Moves& moves, unsigned level, WorkControl& control) {
    return over_blocks(moves, control, [&](std::size_t block, std::vector<std::uint32_t>& unknowns, std::size_t& here) {
        entries_reading(table, moves, block, unknown, unknowns);
        const std::size_t first = block * moves.block_entries();
        for (unsigned m = 0; m < move_count && !unknowns.empty(); ++m) {
            const Moves::Step step = moves.step(block, m);
            std::size_t kept = 0;
            for (std::size_t i = 0; i < unknowns.size(); ++i) {
                if (i + fetch_ahead < unknowns.size())
                    __builtin_prefetch(table + neighbour(moves, step, unknowns[i + fetch_ahead]) / entries_per_byte);
                const std::uint32_t offset = unknowns[i];
                if (load_entry(table, neighbour(moves, step, offset)) != level % 3) {
                    unknowns[kept++] = offset;
                    continue;
                }
                const std::atomic_ref<std::uint64_t> word = word_of(table, first + offset);
                word.store(word.load(std::memory_order_relaxed) & ~clearing(first + offset, (level + 1) % 3),
                           std::memory_order_relaxed);
                ++here;
            }
            unknowns.resize(kept);
        }
    });
}

}  // namespace

void fill_table(std::span<std::byte> out, const Moves& moves, WorkControl& control) {
    if (out.size() != moves.byte_count()) throw std::invalid_argument("the phase-1 corner table has another size");
    if (reinterpret_cast<std::uintptr_t>(out.data()) % alignof(std::uint64_t) != 0)
        throw std::invalid_argument("the phase-1 corner table is not aligned to words");
    auto* table = reinterpret_cast<std::uint8_t*>(out.data());
    const std::size_t states = moves.block_count() * moves.used_entries();
    control.set_total(states);
    parallel_for(out.size() >> 20, [&](std::size_t begin, std::size_t end) {
        std::memset(table + (begin << 20), 0xff, (end - begin) << 20);
    });
    std::memset(table + (out.size() >> 20 << 20), 0xff, out.size() & ((1u << 20) - 1));
    const Place solved = moves.place_of(Cube3x3{});
    std::size_t frontier = set_if_unknown(table, moves.index(solved), 0);
    frontier += copy_level(table, moves, 0, control);
    control.add_done(frontier);
    std::size_t left = states - frontier;
    // Pushing costs a write for each neighbour of the frontier; pulling, a
    // read for each neighbour of an unknown entry until one is at the level.
    for (unsigned level = 0; frontier > 0 && left > 0; ++level) {
        if (frontier * 8 < left) {
            frontier = push_level(table, moves, level, control);
            control.throw_if_stopped();
            frontier += copy_level(table, moves, level + 1, control);
        } else {
            // Each copy is a state of its own, found from its own neighbours.
            frontier = pull_level(table, moves, level, control);
        }
        control.throw_if_stopped();
        left -= frontier;
        control.add_done(frontier);
    }
    if (left != 0) throw std::logic_error("the phase-1 corner table has places the moves never reach");
}

namespace {

inline constexpr std::uint64_t layout_version = 1;

std::size_t bytes_of() noexcept {
    const std::size_t block = (std::size_t{twists} * corner_cosets + 31) / 32 * 32;
    return std::size_t{flip_slice_classes} * block / entries_per_byte;
}

}  // namespace

std::size_t table_bytes() noexcept { return bytes_of(); }

tables::TableKind table_kind(CornerDetail detail, const two_phase::Phase1View& phase1) {
    // The layers' table kept its name and format from before the tetrads'.
    const bool tetrads = detail == CornerDetail::tetrads;
    const std::uint64_t format =
        tetrads ? tables::format_hash({layout_version, corner_cosets, flip_slice_classes, move_count, 1})
                : tables::format_hash({layout_version, corner_cosets, flip_slice_classes, move_count});
    return {std::string(tetrads ? "3x3-phase1-tetrads-" : "3x3-phase1-corners-") + std::to_string(corner_cosets),
            format, bytes_of(), [detail, phase1](std::span<std::byte> out, WorkControl& control) {
                const Moves moves(detail, phase1);
                fill_table(out, moves, control);
            }};
}

}  // namespace turnsmith::phase1_corners
