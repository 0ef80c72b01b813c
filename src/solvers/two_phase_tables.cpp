// The two-phase solver's move tables and pruning tables.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "cubeBatch/pool.hpp"
#include "solvers/two_phase.hpp"
#include "solvers/two_phase_moves.hpp"

namespace turnsmith::two_phase {
namespace {

// One row of `moves` entries per coordinate value, from a decode, a turn and an
// encode.
template <class Next>
std::vector<std::uint16_t> move_table(std::uint32_t values, unsigned moves, Next&& next) {
    std::vector<std::uint16_t> table(std::size_t{values} * moves);
    for (std::uint32_t value = 0; value < values; ++value) {
        for (unsigned move = 0; move < moves; ++move)
            table[std::size_t{value} * moves + move] = static_cast<std::uint16_t>(next(value, move));
    }
    return table;
}

}  // namespace

MoveTables::MoveTables()
    : twist(move_table(coords::twists, move_count,
                       [](std::uint32_t t, unsigned m) {
                           return coords::twist_of(coords::turned_corners(coords::corners_of_twist(t), m));
                       })),
      flip(move_table(coords::flips, move_count,
                      [](std::uint32_t f, unsigned m) {
                          return coords::flip_of(coords::turned_edges(coords::edges_of_flip(f), m));
                      })),
      slice(move_table(coords::slice_positions, move_count,
                       [](std::uint32_t s, unsigned m) {
                           return coords::slice_position_of(
                               coords::turned_edges(coords::edges_of_slice_position(s), m));
                       })),
      corner_order(move_table(coords::corner_orders, coords::phase2_moves,
                              [](std::uint32_t o, unsigned m) {
                                  return coords::corner_order_of(
                                      coords::phase2_turned_corners(coords::corners_of_order(o), m));
                              })),
      layer_order(move_table(coords::layer_edge_orders, coords::phase2_moves,
                             [](std::uint32_t o, unsigned m) {
                                 return coords::layer_edge_order_of(
                                     coords::phase2_turned_edges(coords::edges_of_orders(o, 0), m));
                             })),
      slice_order(move_table(coords::slice_orders, coords::phase2_moves, [](std::uint32_t o, unsigned m) {
          return coords::slice_order_of(coords::phase2_turned_edges(coords::edges_of_orders(0, o), m));
      })) {}

namespace {

// ---- breadth-first searches over small tables ------------------------------------

inline constexpr std::uint8_t unknown = 0xff;

// Fills `out` (one byte per state) with each state's distance from state
// `goal` under `moves` moves of the given costs (1 or 2; the moves are closed
// under inverses of the same cost). Level d+1 is made from the states at d
// by the moves of cost 1 and from those at d-1 by the moves of cost 2, so
// every state is set once, to its distance. Workers write neighbours that
// other workers may read or write: only ever the value d+1 over `unknown`,
// through relaxed atomics.
template <class Neighbour>
void breadth_first(std::span<std::byte> out, std::size_t goal, unsigned moves, const unsigned* costs,
                   Neighbour&& neighbour, WorkControl& control) {
    auto* table = reinterpret_cast<std::uint8_t*>(out.data());
    const std::size_t states = out.size();
    std::memset(table, unknown, states);
    table[goal] = 0;
    constexpr std::size_t piece_states = 1 << 14;
    const std::size_t pieces = (states + piece_states - 1) / piece_states;
    for (unsigned level = 0;; ++level) {
        std::atomic<std::size_t> seen = 0;  // states at this level or the one before
        parallel_for(pieces, [&](std::size_t begin, std::size_t end) {
            std::size_t here = 0;
            for (std::size_t piece = begin; piece < end; ++piece) {
                if (control.stop_requested()) return;
                const std::size_t last = std::min(states, (piece + 1) * piece_states);
                for (std::size_t state = piece * piece_states; state < last; ++state) {
                    const unsigned value = std::atomic_ref(table[state]).load(std::memory_order_relaxed);
                    if (value != level && value + 1 != level) continue;
                    ++here;
                    const unsigned wanted_cost = value == level ? 1 : 2;
                    for (unsigned move = 0; move < moves; ++move) {
                        if (costs[move] != wanted_cost) continue;
                        std::atomic_ref next(table[neighbour(state, move)]);
                        if (next.load(std::memory_order_relaxed) == unknown)
                            next.store(static_cast<std::uint8_t>(level + 1), std::memory_order_relaxed);
                    }
                }
            }
            seen.fetch_add(here, std::memory_order_relaxed);
        });
        control.throw_if_stopped();
        if (seen.load(std::memory_order_relaxed) == 0) return;
    }
}

constexpr std::array<unsigned, move_count> quarter_costs = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

void fill_twist_slice(std::span<std::byte> out, WorkControl& control) {
    const MoveTables moves;
    breadth_first(
        out, twist_slice_index(0, coords::slice_home), move_count, quarter_costs.data(),
        [&](std::size_t state, unsigned move) {
            const std::size_t twist = state / coords::slice_positions;
            const std::size_t slice = state % coords::slice_positions;
            return twist_slice_index(moves.twist[twist * move_count + move],
                                     moves.slice[slice * move_count + move]);
        },
        control);
}

void fill_flip_slice(std::span<std::byte> out, WorkControl& control) {
    const MoveTables moves;
    breadth_first(
        out, flip_slice_index(0, coords::slice_home), move_count, quarter_costs.data(),
        [&](std::size_t state, unsigned move) {
            const std::size_t flip = state / coords::slice_positions;
            const std::size_t slice = state % coords::slice_positions;
            return flip_slice_index(moves.flip[flip * move_count + move],
                                    moves.slice[slice * move_count + move]);
        },
        control);
}

void fill_order_slice(std::span<std::byte> out, WorkControl& control,
                      const std::vector<std::uint16_t> MoveTables::* order) {
    const MoveTables moves;
    const std::vector<std::uint16_t>& orders = moves.*order;
    breadth_first(
        out, order_slice_index(0, 0), coords::phase2_moves, coords::phase2_cost.data(),
        [&](std::size_t state, unsigned move) {
            const std::size_t o = state / coords::slice_orders;
            const std::size_t s = state % coords::slice_orders;
            return order_slice_index(orders[o * coords::phase2_moves + move],
                                     moves.slice_order[s * coords::phase2_moves + move]);
        },
        control);
}

void fill_corner_slice(std::span<std::byte> out, WorkControl& control) {
    fill_order_slice(out, control, &MoveTables::corner_order);
}
void fill_layer_slice(std::span<std::byte> out, WorkControl& control) {
    fill_order_slice(out, control, &MoveTables::layer_order);
}

// A table's format number: its layout's version and its generator's sizes,
// mixed so that any change gives another number.
constexpr std::uint64_t format_of(std::uint64_t version, std::uint64_t entries,
                                  std::uint64_t moves) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325;  // FNV-1a over the three numbers' bytes
    for (const std::uint64_t part : {version, entries, moves}) {
        for (unsigned byte = 0; byte < 8; ++byte) {
            hash ^= (part >> (8 * byte)) & 0xff;
            hash *= 0x100000001b3;
        }
    }
    return hash;
}

constexpr std::array<TableSpec, table_count> specs = {{
    {"3x3-phase1-twist-slice", format_of(1, twist_slice_entries, move_count), twist_slice_entries,
     fill_twist_slice},
    {"3x3-phase1-flip-slice", format_of(1, flip_slice_entries, move_count), flip_slice_entries,
     fill_flip_slice},
    {"3x3-phase2-corners-slice", format_of(1, corner_slice_entries, coords::phase2_moves),
     corner_slice_entries, fill_corner_slice},
    {"3x3-phase2-edges-slice", format_of(1, layer_slice_entries, coords::phase2_moves), layer_slice_entries,
     fill_layer_slice},
}};

}  // namespace

std::span<const TableSpec> table_specs() { return specs; }

}  // namespace turnsmith::two_phase
