#include "solvers/edge_patterns_3x3.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "cube/cube_3x3.hpp"
#include "engine/pool.hpp"

namespace turnsmith::edge_patterns {
namespace {

// Where move m takes the edge in slot s, and whether it flips it on the way:
// read off the solved word turned by m, whose slot t then holds the piece
// (that is, the slot) it came from.
struct SlotMoves {
    std::array<std::array<std::uint8_t, edge_slots>, move_count> to{};
    std::array<std::array<std::uint8_t, edge_slots>, move_count> flips{};
};

constexpr SlotMoves slot_moves = [] {
    SlotMoves table{};
    for (MoveIndex m = 0; m < move_count; ++m) {
        Word turned = solved_edges;
        visit_move(m, [&turned]<MoveIndex M>() { turned = edge_word::turn<M>(turned); });
        for (unsigned t = 0; t < edge_slots; ++t) {
            const Word field = slot_field(turned, t);
            table.to[m][edge_piece(field)] = static_cast<std::uint8_t>(t);
            table.flips[m][edge_piece(field)] = static_cast<std::uint8_t>(edge_flip(field));
        }
    }
    return table;
}();

// The slots of a position, piece by piece.
std::array<unsigned, pattern_edges> slots_of(std::uint32_t position) noexcept {
    std::array<unsigned, pattern_edges> counted{};  // digit i: among the slots not taken before
    for (unsigned i = pattern_edges; i-- > 0;) {
        counted[i] = position % (edge_slots - i);
        position /= edge_slots - i;
    }
    std::array<unsigned, pattern_edges> slots{};
    std::uint32_t taken = 0;
    for (unsigned i = 0; i < pattern_edges; ++i) {
        std::uint32_t free = ~taken & ((1u << edge_slots) - 1);
        for (unsigned skip = counted[i]; skip > 0; --skip) free &= free - 1;
        slots[i] = static_cast<unsigned>(std::countr_zero(free));
        taken |= 1u << slots[i];
    }
    return slots;
}

inline constexpr std::uint8_t unknown = 0xff;

}  // namespace

PositionMoves::PositionMoves() : entries_(std::size_t{positions} * move_count) {
    parallel_for(positions, [&](std::size_t begin, std::size_t end) {
        for (std::size_t position = begin; position < end; ++position) {
            const auto slots = slots_of(static_cast<std::uint32_t>(position));
            for (std::size_t m = 0; m < move_count; ++m) {
                std::array<unsigned, pattern_edges> moved{};
                std::uint32_t toggles = 0;
                for (unsigned i = 0; i < pattern_edges; ++i) {
                    moved[i] = slot_moves.to[m][slots[i]];
                    toggles |= std::uint32_t{slot_moves.flips[m][slots[i]]} << i;
                }
                entries_[position * move_count + m] = position_of(moved) | toggles << toggle_shift;
            }
        }
    });
}

void fill_table(std::span<std::byte> out, unsigned first, const PositionMoves& moves, WorkControl& control) {
    auto* table = reinterpret_cast<std::uint8_t*>(out.data());
    std::memset(table, unknown, out.size());
    std::array<unsigned, pattern_edges> home{};
    for (unsigned i = 0; i < pattern_edges; ++i) home[i] = first + i;
    table[Pattern{position_of(home), 0}.index()] = 0;
    // Level d+1 from level d: each position's patterns at d pass to the 64
    // patterns of each next position, one cache line. Workers write patterns
    // that others may read or write, only ever d+1 over `unknown`, through
    // relaxed atomics; a pattern read as unknown a moment too early is found
    // again from another of its neighbours or is written twice with the same
    // value.
    for (unsigned level = 0;; ++level) {
        std::atomic<std::size_t> added = 0;
        parallel_for(positions, [&](std::size_t begin, std::size_t end) {
            std::size_t here = 0;
            for (std::size_t position = begin; position < end; ++position) {
                if ((position & 0xfff) == 0 && control.stop_requested()) return;
                std::uint8_t* block = table + position * flip_patterns;
                std::uint64_t at_level = 0;  // bit f: pattern f of this position is at `level`
                for (unsigned f = 0; f < flip_patterns; ++f) {
                    const unsigned value = std::atomic_ref(block[f]).load(std::memory_order_relaxed);
                    at_level |= std::uint64_t{value == level} << f;
                }
                if (at_level == 0) continue;
                for (std::size_t m = 0; m < move_count; ++m) {
                    const std::uint32_t e = moves.entry(static_cast<std::uint32_t>(position), m);
                    std::uint8_t* next = table + std::size_t{e & ((1u << toggle_shift) - 1)} * flip_patterns;
                    const std::uint32_t toggles = e >> toggle_shift;
                    for (std::uint64_t left = at_level; left != 0; left &= left - 1) {
                        const auto f = static_cast<unsigned>(std::countr_zero(left));
                        std::atomic_ref target(next[f ^ toggles]);
                        if (target.load(std::memory_order_relaxed) == unknown) {
                            target.store(static_cast<std::uint8_t>(level + 1), std::memory_order_relaxed);
                            ++here;
                        }
                    }
                }
            }
            added.fetch_add(here, std::memory_order_relaxed);
        });
        control.throw_if_stopped();
        if (added.load(std::memory_order_relaxed) == 0) return;
    }
}

namespace {

// The format number of a table: its layout's version and what it was made
// from, mixed so that any change gives another number.
constexpr std::uint64_t format_of(std::uint64_t version, std::uint64_t first) noexcept {
    return tables::format_hash({version, std::uint64_t{entries}, std::uint64_t{move_count}, first});
}

inline constexpr std::uint64_t layout_version = 1;

}  // namespace

tables::TableKind table_kind(unsigned first) {
    std::string name = "3x3-edges-";
    name += std::to_string(first);
    name += '-';
    name += std::to_string(first + pattern_edges - 1);
    return {std::move(name),
            format_of(layout_version, first), entries,
            [first](std::span<std::byte> out, WorkControl& control) {
                const PositionMoves moves;
                fill_table(out, first, moves, control);
            }};
}

}  // namespace turnsmith::edge_patterns
