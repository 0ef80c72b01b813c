// The two-phase solver's move tables and pruning tables.

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <array>
#include <atomic>
#include <cstring>

#include "engine/pool.hpp"
#include "solvers/symmetry_3x3.hpp"
#include "solvers/table_cache.hpp"
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

// ---- classes ------------------------------------------------------------------------

// For every number below `count`: its class's representative (the smallest
// image) and the first symmetry that gives it, packed as class * 16 +
// symmetry with classes numbered by their representatives' order. On the
// pool when `parallel`.
template <class Conjugate>
std::vector<std::uint32_t> classify(std::uint32_t count, std::uint32_t expected_classes,
                                    Conjugate&& conjugate, WorkControl& control) {
    std::vector<std::uint32_t> smallest(count);
    std::vector<std::uint32_t> packed(count);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t n = begin; n < end; ++n) {
            if ((n & 0xfff) == 0 && control.stop_requested()) return;
            std::uint32_t best = static_cast<std::uint32_t>(n);
            unsigned best_symmetry = 0;
            for (unsigned s = 1; s < symmetries; ++s) {
                const std::uint32_t image = conjugate(static_cast<std::uint32_t>(n), s);
                if (image < best) {
                    best = image;
                    best_symmetry = s;
                }
            }
            smallest[n] = best;
            packed[n] = best_symmetry;
        }
    });
    control.throw_if_stopped();
    // A representative is met before the rest of its class.
    std::uint32_t classes = 0;
    for (std::uint32_t n = 0; n < count; ++n) {
        if (smallest[n] == n) {
            packed[n] = classes++ * symmetries;
        } else {
            packed[n] |= packed[smallest[n]] & ~(symmetries - 1);
        }
    }
    if (classes != expected_classes) throw std::logic_error("unexpected number of symmetry classes");
    return packed;
}

// The representatives of the classes in order, and which symmetries fix each.
template <class Conjugate>
void representatives(const std::vector<std::uint32_t>& packed, std::uint32_t classes, Conjugate&& conjugate,
                     std::vector<std::uint32_t>& numbers, std::vector<std::uint16_t>& fixing) {
    numbers.assign(classes, 0);
    fixing.assign(classes, 0);
    for (std::uint32_t n = 0; n < packed.size(); ++n) {
        // Only a representative is its own image under its symmetry.
        if (symmetry_of(packed[n]) == 0) numbers[class_of(packed[n])] = n;
    }
    for (std::uint32_t c = 0; c < classes; ++c) {
        for (unsigned s = 0; s < symmetries; ++s) {
            if (conjugate(numbers[c], s) == numbers[c]) fixing[c] |= static_cast<std::uint16_t>(1u << s);
        }
    }
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
      corner_order_quarter(move_table(coords::corner_orders, move_count,
                                      [](std::uint32_t o, unsigned m) {
                                          return coords::corner_order_of(
                                              coords::turned_corners(coords::corners_of_order(o), m));
                                      })),
      layer_order(move_table(coords::layer_edge_orders, coords::phase2_moves,
                             [](std::uint32_t o, unsigned m) {
                                 return coords::layer_edge_order_of(
                                     coords::phase2_turned_edges(coords::edges_of_orders(o, 0), m));
                             })),
      slice_order(move_table(coords::slice_orders, coords::phase2_moves, [](std::uint32_t o, unsigned m) {
          return coords::slice_order_of(coords::phase2_turned_edges(coords::edges_of_orders(0, o), m));
      })) {}

std::uint32_t conjugate_flip_slice(std::uint32_t flip_slice, unsigned s) noexcept {
    const Word flips = coords::edges_of_flip(flip_slice / coords::slice_positions) ^ solved_edges;
    const Word edges = coords::edges_of_slice_position(flip_slice % coords::slice_positions) ^ flips;
    const Word image = symmetry_3x3::conjugate_edges(edges, symmetry_3x3::symmetries()[s]);
    return flip_slice_of(coords::flip_of(image), coords::slice_position_of(image));
}

namespace {

std::uint32_t conjugate_corner_order(std::uint32_t order, unsigned s) noexcept {
    return coords::corner_order_of(
        symmetry_3x3::conjugate_corners(coords::corners_of_order(order), symmetry_3x3::symmetries()[s]));
}

}  // namespace

SymmetryTables::SymmetryTables()
    : twist(move_table(coords::twists, symmetries,
                       [](std::uint32_t t, unsigned s) {
                           return coords::twist_of(symmetry_3x3::conjugate_corners(
                               coords::corners_of_twist(t), symmetry_3x3::symmetries()[s]));
                       })),
      layer_order(move_table(coords::layer_edge_orders, symmetries, [](std::uint32_t o, unsigned s) {
          return coords::layer_edge_order_of(
              symmetry_3x3::conjugate_edges(coords::edges_of_orders(o, 0), symmetry_3x3::symmetries()[s]));
      })) {
    corner_class =
        classify(coords::corner_orders, corner_order_classes, conjugate_corner_order, unwatched_work());
    std::vector<std::uint16_t> fixing;
    std::vector<std::uint32_t> numbers;
    representatives(corner_class, corner_order_classes, conjugate_corner_order, numbers, fixing);
    corner_representative.assign(numbers.begin(), numbers.end());
}

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

std::vector<std::uint32_t> flip_slice_classes_of(WorkControl& control) {
    return classify(flip_slices, flip_slice_classes, conjugate_flip_slice, control);
}

// ---- breadth-first searches over classes ----------------------------------------------
//
// A large table holds a row per class of one number (the flip-slice, the
// corner order) and in it an entry per value of another (the twist, the
// layer-edge order) as seen through the symmetry that takes the state to the
// class's representative.

struct RowSpace {
    std::uint32_t classes;
    std::uint32_t row;  // entries per class
    unsigned moves;
    const unsigned* costs;
    std::vector<std::uint32_t> class_moves;  // [class * moves + move]: the representative's neighbour, packed
    const std::uint16_t* inner_moves;        // [value * moves + move]
    const std::uint16_t* inner_images;       // [value * 16 + symmetry]
    std::vector<std::uint16_t> fixing;       // [class]: the symmetries that fix its representative
};

// Fills `out` with every entry's distance from entry `goal`. Level d+1 comes
// from levels d (moves of cost 1) and d-1 (cost 2) by one of two passes:
// while the levels are small, each of their entries sets its unknown
// neighbours (and, when a symmetry fixes the neighbour's representative, the
// neighbour's images under it, which lie as far); later each unknown entry
// looks for a neighbour on those levels. Entries are read and written
// through relaxed atomics: workers only ever write level d+1 over unknown.
void fill_rows(std::span<std::byte> out, const RowSpace& space, std::size_t goal, WorkControl& control) {
    auto* table = reinterpret_cast<std::uint8_t*>(out.data());
    const std::size_t entries = std::size_t{space.classes} * space.row;
    if (out.size() != entries) throw std::logic_error("a table of the wrong size");
    parallel_for(space.classes, [&](std::size_t begin, std::size_t end) {
        std::memset(table + begin * space.row, unknown, (end - begin) * space.row);
    });
    table[goal] = 0;
    const bool half_turns =
        std::any_of(space.costs, space.costs + space.moves, [](unsigned c) { return c == 2; });
    auto load = [table](std::size_t at) {
        return std::atomic_ref(table[at]).load(std::memory_order_relaxed);
    };
    auto store = [table](std::size_t at, unsigned value) {
        std::atomic_ref(table[at]).store(static_cast<std::uint8_t>(value), std::memory_order_relaxed);
    };
    std::vector<std::size_t> at_level = {1};
    std::size_t unknown_left = entries - 1;
    for (unsigned level = 0;; ++level) {
        const std::size_t sources = at_level[level] + (half_turns && level > 0 ? at_level[level - 1] : 0);
        if (sources == 0) break;
        if (level + 1 >= unknown) throw std::logic_error("a distance too large for a byte");
        const bool push = sources * 16 < unknown_left;
        const unsigned next = level + 1;
        std::atomic<std::size_t> found = 0;
        parallel_for(space.classes, [&](std::size_t begin, std::size_t end) {
            std::size_t here = 0;
            std::array<std::size_t, move_count> bases{};
            std::array<unsigned, move_count> images{};
            for (std::size_t c = begin; c < end; ++c) {
                if (control.stop_requested()) return;
                for (unsigned m = 0; m < space.moves; ++m) {
                    const std::uint32_t packed = space.class_moves[c * space.moves + m];
                    bases[m] = std::size_t{class_of(packed)} * space.row;
                    images[m] = symmetry_of(packed);
                }
                const std::size_t row = c * space.row;
                auto neighbour = [&](std::uint32_t value, unsigned m) -> std::uint32_t {
                    return space
                        .inner_images[space.inner_moves[value * space.moves + m] * symmetries + images[m]];
                };
                for (std::uint32_t value = 0; value < space.row; ++value) {
                    const unsigned here_value = load(row + value);
                    if (push) {
                        const unsigned cost = here_value == level ? 1 : here_value + 1 == level ? 2 : 0;
                        if (cost == 0) continue;
                        for (unsigned m = 0; m < space.moves; ++m) {
                            if (space.costs[m] != cost) continue;
                            const std::uint32_t to = neighbour(value, m);
                            if (load(bases[m] + to) == unknown) store(bases[m] + to, next);
                            unsigned twins = space.fixing[bases[m] / space.row] & ~1u;
                            for (; twins != 0; twins &= twins - 1) {
                                const auto s = static_cast<unsigned>(std::countr_zero(twins));
                                const std::size_t twin = bases[m] + space.inner_images[to * symmetries + s];
                                if (load(twin) == unknown) store(twin, next);
                            }
                        }
                    } else {
                        if (here_value != unknown) continue;
                        for (unsigned m = 0; m < space.moves; ++m) {
                            if (space.costs[m] > next) continue;
                            if (load(bases[m] + neighbour(value, m)) == next - space.costs[m]) {
                                store(row + value, next);
                                ++here;
                                break;
                            }
                        }
                    }
                }
            }
            found.fetch_add(here, std::memory_order_relaxed);
        });
        control.throw_if_stopped();
        if (push) {
            // Entries set twice were counted twice: count the level again.
            parallel_for(space.classes, [&](std::size_t begin, std::size_t end) {
                const std::size_t count = std::count(table + begin * space.row, table + end * space.row,
                                                     static_cast<std::uint8_t>(next));
                found.fetch_add(count, std::memory_order_relaxed);
            });
        }
        at_level.push_back(found.load(std::memory_order_relaxed));
        unknown_left -= at_level.back();
    }
}

void fill_flip_slice_classes(std::span<std::byte> out, WorkControl& control) {
    const std::vector<std::uint32_t> packed = flip_slice_classes_of(control);
    std::memcpy(out.data(), packed.data(), out.size());
}

void fill_phase1(std::span<std::byte> out, WorkControl& control) {
    const MoveTables moves;
    const SymmetryTables images;
    const std::vector<std::uint32_t> packed = flip_slice_classes_of(control);
    RowSpace space{flip_slice_classes, coords::twists,      move_count, quarter_costs.data(), {},
                   moves.twist.data(), images.twist.data(), {}};
    std::vector<std::uint32_t> numbers;
    representatives(packed, flip_slice_classes, conjugate_flip_slice, numbers, space.fixing);
    space.class_moves.resize(std::size_t{flip_slice_classes} * move_count);
    for (std::uint32_t c = 0; c < flip_slice_classes; ++c) {
        const std::uint32_t flip = numbers[c] / coords::slice_positions;
        const std::uint32_t slice = numbers[c] % coords::slice_positions;
        for (unsigned m = 0; m < move_count; ++m) {
            space.class_moves[std::size_t{c} * move_count + m] =
                packed[flip_slice_of(moves.flip[flip * move_count + m], moves.slice[slice * move_count + m])];
        }
    }
    const std::uint32_t home = class_of(packed[flip_slice_of(0, coords::slice_home)]);
    std::vector<std::byte> distances(phase1_entries);
    fill_rows(distances, space, phase1_index(home, 0), control);

    // Each entry then takes the moves that bring its representative's state
    // one turn closer, read from the neighbours' distances.
    const auto* distance = reinterpret_cast<const std::uint8_t*>(distances.data());
    auto* entries = reinterpret_cast<std::uint16_t*>(out.data());
    parallel_for(flip_slice_classes, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            if (control.stop_requested()) return;
            for (std::uint32_t twist = 0; twist < coords::twists; ++twist) {
                const unsigned here = distance[phase1_index(static_cast<std::uint32_t>(c), twist)];
                unsigned closer = 0;
                for (unsigned m = 0; m < move_count; ++m) {
                    const std::uint32_t to = space.class_moves[c * move_count + m];
                    const std::uint32_t seen =
                        images.twist[moves.twist[twist * move_count + m] * symmetries + symmetry_of(to)];
                    closer |= unsigned{distance[phase1_index(class_of(to), seen)] + 1u == here} << m;
                }
                entries[phase1_index(static_cast<std::uint32_t>(c), twist)] =
                    static_cast<std::uint16_t>(here | (closer << phase1_distance_bits));
            }
        }
    });
    control.throw_if_stopped();
    if (*std::max_element(distance, distance + phase1_entries) > phase1_distance_mask)
        throw std::logic_error("a phase-1 distance too large for its field");
}

void fill_phase2(std::span<std::byte> out, WorkControl& control) {
    const MoveTables moves;
    const SymmetryTables images;
    RowSpace space{corner_order_classes,
                   coords::layer_edge_orders,
                   coords::phase2_moves,
                   coords::phase2_cost.data(),
                   {},
                   moves.layer_order.data(),
                   images.layer_order.data(),
                   {}};
    std::vector<std::uint32_t> numbers;
    representatives(images.corner_class, corner_order_classes, conjugate_corner_order, numbers, space.fixing);
    space.class_moves.resize(std::size_t{corner_order_classes} * coords::phase2_moves);
    for (std::uint32_t c = 0; c < corner_order_classes; ++c) {
        for (unsigned m = 0; m < coords::phase2_moves; ++m) {
            space.class_moves[std::size_t{c} * coords::phase2_moves + m] =
                images.corner_class[moves.corner_order[numbers[c] * coords::phase2_moves + m]];
        }
    }
    fill_rows(out, space, phase2_index(class_of(images.corner_class[0]), 0), control);
}

// A table's format number: its layout's version and its generator's sizes.
constexpr std::uint64_t format_of(std::uint64_t version, std::uint64_t entries,
                                  std::uint64_t moves) noexcept {
    return tables::format_hash({version, entries, moves});
}

constexpr std::array<TableSpec, table_count> kinds = {{
    {"3x3-flipslice-classes", format_of(1, flip_slices, symmetries), flip_slices * sizeof(std::uint32_t),
     fill_flip_slice_classes},
    {"3x3-phase1-flipslice-twist", format_of(2, phase1_entries, move_count),
     phase1_entries * sizeof(std::uint16_t), fill_phase1},
    {"3x3-phase2-corners-edges", format_of(1, phase2_entries, coords::phase2_moves), phase2_entries,
     fill_phase2},
    {"3x3-phase2-corners-slice", format_of(1, corner_slice_entries, coords::phase2_moves),
     corner_slice_entries, fill_corner_slice},
    {"3x3-phase2-edges-slice", format_of(1, layer_slice_entries, coords::phase2_moves), layer_slice_entries,
     fill_layer_slice},
}};

}  // namespace

std::span<const TableSpec> table_specs() { return kinds; }

}  // namespace turnsmith::two_phase
