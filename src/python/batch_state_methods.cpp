// CubeBatch's states in and out: words, flags and sticker bytes out; new
// batches from words, sticker arrays, cubes, other batches, a selection or
// the successors; seeded random states and scrambles that record their moves.
// Loops that only read run detached; the ones that change the batch stay
// attached, like scramble.
#include <algorithm>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "cube/cube_types.hpp"
#include "cube/state_check.hpp"
#include "engine/batch.hpp"
#include "engine/operations.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/cube_list.hpp"
#include "python/cube_object.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"
#include "python/row_selection.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;

// ---- conversions ------------------------------------------------------------

// An optional seed: None or left out means the thread generators.
std::optional<std::uint64_t> to_seed(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_uint64(value, "seed");
}

// ---- out -----------------------------------------------------------------

PyObject* to_words(PyObject* self, PyObject*) {
    return project_detached(self, [](auto cubes, auto& run) { return words_internal(cubes, run); });
}

PyObject* is_solved(PyObject* self, PyObject*) {
    return project_detached(self, [](auto cubes, auto& run) { return solved_flags_internal(cubes, run); });
}

PyObject* to_sticker_bytes(PyObject* self, PyObject*) {
    return project_detached(self, [](auto cubes, auto& run) { return sticker_bytes_internal(cubes, run); });
}

// ---- new batches from this one ----------------------------------------------------

PyObject* take(const Call<1>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<1>& bound) {
            const std::vector<std::int64_t> rows = selected_rows(bound[0], batch.states.size(), "indexes");
            return batch.states.visit([&]<Cube C>(std::span<C> cubes) {
                return make_batch<C>(rows.size(), [&](std::span<C> out, auto& run) {
                    take_internal(std::span<const C>(cubes), std::span<const std::int64_t>(rows), out, run);
                });
            });
        });
}

// The move indexes asked for: all twelve in order when none are given.
std::vector<MoveIndex> successor_moves(PyObject* value) {
    std::vector<MoveIndex> moves(move_count);
    if (value == nullptr || value == Py_None) {
        std::iota(moves.begin(), moves.end(), MoveIndex{0});
        return moves;
    }
    const IntegerArray<std::int64_t> indexes(value, "move_indexes");
    if (indexes.dimensions() != 1) throw_shape_error("move_indexes", "(k,)", indexes.shape_text());
    moves.clear();
    for (const std::int64_t index : indexes.elements()) {
        if (index < 0 || index >= static_cast<std::int64_t>(move_count)) {
            PyErr_Format(PyExc_ValueError, "argument 'move_indexes': move index %lld at position %zu is not in 0..11",
                         static_cast<long long>(index), moves.size());
            throw_error_already_set();
        }
        moves.push_back(static_cast<MoveIndex>(index));
    }
    return moves;
}

PyObject* get_next_batch(const Call<1>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<1>& bound) {
            const std::vector<MoveIndex> moves = successor_moves(bound[0]);
            return batch.states.visit([&]<Cube C>(std::span<C> cubes) {
                if (!moves.empty() && cubes.size() > std::numeric_limits<std::size_t>::max() / moves.size()) {
                    internal_fault("capacity overflow");
                }
                return make_batch<C>(cubes.size() * moves.size(), [&](std::span<C> out, auto& run) {
                    next_batch_internal(std::span<const C>(cubes), std::span<const MoveIndex>(moves), out, run);
                });
            });
        });
}

// ---- changing this one ----------------------------------------------------------

// With no rows given, `draw(cubes, run)` changes every cube of the batch.
// With rows, it draws as many fresh solved cubes as rows are selected, just
// as it would for a new batch of that many, and they are written into the
// selected rows in order.
template <class Draw>
void draw_into(Batch& batch, PyObject* rows_value, Draw&& draw) {
    if (rows_value == nullptr || rows_value == Py_None) {
        batch.states.visit([&](auto cubes) { attached_loop([&](auto&& run) { draw(cubes, run); }); });
        return;
    }
    const std::vector<std::int64_t> rows = selected_rows(rows_value, batch.states.size(), "rows");
    batch.states.visit([&]<Cube C>(std::span<C> cubes) {
        std::vector<C> fresh(rows.size(), C{});
        attached_loop([&](auto&& run) { draw(std::span<C>(fresh), run); });
        attached_loop([&](auto&& run) {
            put_internal(cubes, std::span<const std::int64_t>(rows), std::span<const C>(fresh), run);
        });
    });
}

PyObject* randomize(const Call<2>& call) {
    return method_call<Batch, Access::exclusive>(
        call, [](Batch& batch, const Bound<2>& bound) {
            const std::optional<std::uint64_t> seed = to_seed(bound[0]);
            draw_into(batch, bound[1], [&](auto cubes, auto& run) { randomize_internal(cubes, seed, run); });
            return Py_NewRef(Py_None);
        });
}

// The moves drawn for `cubes`, padded with -1 to the longest of the lengths
// that pair up with them.
template <Cube C, class Runner>
Rows<std::int8_t> scramble_recorded(std::span<C> cubes, std::span<const std::int64_t> lengths,
                                    std::optional<std::uint64_t> seed, ScrambleRule rule, Runner& run) {
    const std::size_t count = std::min(cubes.size(), lengths.size());
    std::int64_t longest = 0;
    for (std::size_t i = 0; i < count; ++i) longest = std::max(longest, lengths[i]);
    auto moves = Rows<std::int8_t>::zeroed(cubes.size(), static_cast<std::size_t>(longest));
    std::fill_n(moves.row(0), moves.size(), std::int8_t{-1});
    scramble_recording_internal(cubes, lengths, moves, seed, rule, run);
    return moves;
}

PyObject* scramble_with_moves(const Call<5>& call) {
    return method_call<Batch, Access::exclusive>(
        call, [](Batch& batch, const Bound<5>& bound) {
            const ArrayRead<std::int64_t> lengths(bound[0], "scramble_lengths");
            const std::optional<std::uint64_t> seed = to_seed(bound[1]);
            const ScrambleRule rule = to_flag(bound[3])   ? ScrambleRule::canonical
                                      : to_flag(bound[2]) ? ScrambleRule::avoid_inverse
                                                          : ScrambleRule::any;
            std::optional<Rows<std::int8_t>> moves;
            draw_into(batch, bound[4], [&](auto cubes, auto& run) {
                moves.emplace(scramble_recorded(cubes, lengths.elements(), seed, rule, run));
            });
            return make_result_array(std::move(*moves));
        });
}

PyObject* apply_move_sequences(const Call<1>& call) {
    return method_call<Batch, Access::exclusive>(
        call, [](Batch& batch, const Bound<1>& bound) {
            const IntegerArray<std::int8_t> moves(bound[0], "moves");
            if (moves.dimensions() != 2) throw_shape_error("moves", "(N, L)", moves.shape_text());
            const auto values = moves.elements();
            for (std::size_t at = 0; at < values.size(); ++at) {
                if (values[at] < -1 || values[at] >= static_cast<std::int8_t>(move_count)) {
                    PyErr_Format(PyExc_ValueError,
                                 "argument 'moves': row %zu, column %zu holds %d, but move indexes are 0..11 "
                                 "(-1 ends a row)",
                                 at / moves.cols(), at % moves.cols(), int{values[at]});
                    throw_error_already_set();
                }
            }
            batch.states.visit([&](auto cubes) {
                attached_loop([&](auto&& run) {
                    apply_move_sequences_internal(cubes, values.data(), moves.rows(), moves.cols(), run);
                });
            });
            return Py_NewRef(Py_None);
        });
}

// ---- new batches from elsewhere -------------------------------------------------

// Fills a new batch of type C row by row with `read_row(i, cube)`, which
// returns the text of what is wrong with row i, or nothing; the first bad row
// is a ValueError "argument 'P': row R: ...", and no batch is made.
template <Cube C, class ReadRow>
PyObject* checked_batch(std::size_t count, const char* parameter, ReadRow&& read_row) {
    BatchStates states = BatchStates::unwritten<C>(count);
    std::size_t bad = count;
    states.visit([&]<Cube D>(std::span<D> cubes) {
        if constexpr (std::is_same_v<C, D>) {
            bad = detached_loop([&](auto&& run) {
                return first_bad_row(count, [&](std::size_t i) { return !read_row(i, cubes[i]); }, run);
            });
        }
    });
    if (bad < count) {
        C scratch{};
        throw_error(PyExc_ValueError, std::string("argument '") + parameter + "': row " + std::to_string(bad) +
                                          ": " + *read_row(bad, scratch));
    }
    return new_batch_object(std::move(states));
}

template <Cube C>
PyObject* batch_from_words(const IntegerArray<std::uint64_t>& words) {
    const bool fits = C::has_edges ? words.dimensions() == 2 && words.cols() == 2
                                   : words.dimensions() == 1 || words.cols() == 1;
    if (!fits) {
        throw_shape_error("words", C::has_edges ? "(N, 2) for cube type 3" : "(N,) or (N, 1) for cube type 2",
                          words.shape_text());
    }
    const std::uint64_t* data = words.elements().data();
    return checked_batch<C>(words.rows(), "words", [data](std::size_t i, C& cube) -> std::optional<std::string> {
        std::array<Word, C::word_count> row{};
        std::copy_n(data + i * C::word_count, C::word_count, row.begin());
        if (const auto fault = check_state(row)) return describe(*fault);
        cube = C::from_words(row);
        return std::nullopt;
    });
}

template <Cube C, class Code>
PyObject* batch_from_stickers(const IntegerArray<Code>& stickers) {
    if (stickers.dimensions() != 2 || stickers.cols() != C::sticker_dim) {
        throw_shape_error("stickers", "(N, " + std::to_string(C::sticker_dim) + ")", stickers.shape_text());
    }
    const Code* data = stickers.elements().data();
    return checked_batch<C>(stickers.rows(), "stickers", [data](std::size_t i, C& cube) -> std::optional<std::string> {
        // A copy: the caller's array is read once, whatever other threads do to it.
        StickerArray<C::sticker_dim> row{};
        std::copy_n(data + i * C::sticker_dim, C::sticker_dim, row.begin());
        C read{};
        if (const auto fault = read_sticker_array_internal(row, read)) return describe(*fault);
        if (const auto fault = check_state(read.words())) return describe(*fault);
        cube = read;
        return std::nullopt;
    });
}

PyObject* from_words(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) { return batch_from_words_object(bound[0], bound[1]); });
}

PyObject* from_sticker_array(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) {
        const unsigned cube_type = to_cube_type(bound[1]);
        require_numpy();
        // Byte rows (as to_sticker_bytes gives them) are read in place too;
        // anything else as int64.
        const auto from = [&]<class Code>(const IntegerArray<Code>& stickers) {
            return visit_cube_type(cube_type, [&]<Cube C>() { return batch_from_stickers<C>(stickers); });
        };
        if (is_contiguous_array_of<std::uint8_t>(bound[0])) {
            return from(IntegerArray<std::uint8_t>(bound[0], "stickers"));
        }
        return from(IntegerArray<std::int64_t>(bound[0], "stickers"));
    });
}

template <Cube C>
PyObject* batch_of_copies(const CubeList& list) {
    const std::vector<C> copies = copy_states<C>(list);
    return make_batch<C>(copies.size(), [&](std::span<C> out, auto& run) {
        run(out.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
            std::copy(copies.begin() + static_cast<std::ptrdiff_t>(begin),
                      copies.begin() + static_cast<std::ptrdiff_t>(end), out.begin() + static_cast<std::ptrdiff_t>(begin));
        });
    });
}

PyObject* from_cubes(const Call<1>& call) {
    return function_call(call, [](const Bound<1>& bound) {
        const CubeList list = open_cube_list(bound[0], "CubeBatch.from_cubes");
        return visit_cube_type(list.cube_type, [&]<Cube C>() { return batch_of_copies<C>(list); });
    });
}

PyObject* concatenate(const Call<1>& call) {
    return function_call(call, [](const Bound<1>& bound) {
        PyObject* list = bound[0];
        if (!PyList_Check(list)) throw_type_mismatch(list, "list", "batches");
        // Every batch is held for reading until its cubes are copied; the
        // items are fetched under the list's lock, one at a time.
        const Py_ssize_t initial_length = PyList_Size(list);
        std::vector<Ref> items;
        std::vector<SharedHold> holds;
        std::size_t total = 0;
        unsigned cube_type = 0;
        for (Py_ssize_t index = 0;; ++index) {
            Ref item = list_item(list, index, initial_length);
            if (!item) break;
            Batch& batch = receiver<Batch>(item.get());
            holds.emplace_back(batch.access);
            if (cube_type != 0 && batch.states.cube_type() != cube_type) {
                throw_error(PyExc_TypeError, "CubeBatch.concatenate() expects batches of one cube type");
            }
            cube_type = batch.states.cube_type();
            total += batch.states.size();
            items.push_back(std::move(item));
        }
        if (items.empty()) {
            throw_error(PyExc_TypeError, "CubeBatch.concatenate() requires at least one batch to infer the cube type");
        }
        const auto join = [&]<Cube C>(std::span<C> out, auto& run) {
            std::size_t at = 0;
            for (const Ref& item : items) {
                contents_of<Batch>(item.get()).states.visit([&]<Cube D>(std::span<D> cubes) {
                    if constexpr (std::is_same_v<C, D>) {
                        run(cubes.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
                            std::copy(cubes.begin() + static_cast<std::ptrdiff_t>(begin),
                                      cubes.begin() + static_cast<std::ptrdiff_t>(end),
                                      out.begin() + static_cast<std::ptrdiff_t>(at + begin));
                        });
                        at += cubes.size();
                    }
                });
            }
        };
        return visit_cube_type(cube_type, [&]<Cube C>() { return make_batch<C>(total, join); });
    });
}

PyObject* reduce(PyObject* self, PyObject*) {
    return method_call<Batch, Access::shared>(self, [self](Batch& batch) {
        Ref words = Ref::steal(to_words(self, nullptr));
        if (!words) throw_error_already_set();
        Ref restore = Ref::steal(module_function("_restore_batch"));
        return check(Py_BuildValue("(O(IO))", restore.get(), batch.states.cube_type(), words.get()));
    });
}

// ---- the methods -------------------------------------------------------------

constexpr MethodTable state_methods{"CubeBatch", std::tuple{
    method("to_words", to_words,
           "Return the packed words of all cubes as a NumPy uint64 array.\n\n"
           "The shape is (len(self),) for 2x2 cubes (corner words) and (len(self), 2) for 3x3\n"
           "cubes (corner word, edge word)."),
    method("is_solved", is_solved, "Return a NumPy bool array telling which cubes are solved."),
    method("to_sticker_bytes", to_sticker_bytes,
           "Return the sticker array as NumPy uint8 with shape (len(self), sticker_dim)."),
    method("take", {"indexes"}, take,
           "Return a new batch of the cubes at the given indexes, in that order.\n\n"
           "indexes is an integer array (negative indexes count from the end), a bool mask\n"
           "with one value per cube, or a slice, as NumPy indexes the rows of to_words()."),
    method("get_next_batch", {defaulted("move_indexes", "None")}, get_next_batch,
           "Return a new batch of every cube turned by each of the given moves.\n\n"
           "Cube k * i + j is cube i after move j of the k moves (default: all twelve in\n"
           "order, the order of get_next_states)."),
    method("randomize", {defaulted("seed", "None"), defaulted("rows", "None")}, randomize,
           "Make every cube an independent, uniformly random reachable state.\n\n"
           "With rows (integer indexes, a bool mask or a slice, as take reads them) only\n"
           "the selected cubes are drawn, the others left as they are. With a seed, the\n"
           "selected rows receive, in selection order, exactly the cubes that a new batch\n"
           "of as many cubes would receive from the same call and seed."),
    method("scramble_with_moves",
           {"scramble_lengths", defaulted("seed", "None"), defaulted("avoid_inverse", "False"),
            defaulted("canonical", "False"), defaulted("rows", "None")},
           scramble_with_moves,
           "Scramble like scramble() and return the moves applied as an int8 array.\n\n"
           "Row i holds the moves of cube i, padded with -1 to the longest length.\n"
           "With canonical=True (which implies avoid_inverse) the moves come in runs\n"
           "on one axis, runs on different axes in turn; within a run each face turns\n"
           "once, as X, X' or X X, U before D, R before L, F before B. Each move is\n"
           "drawn uniformly among those this allows; X X counts as two moves.\n\n"
           "With rows (integer indexes, a bool mask or a slice, as take reads them) only\n"
           "the selected cubes change: each becomes a fresh scramble of a solved cube,\n"
           "scramble_lengths and the returned rows holding one entry per selected row. With\n"
           "a seed, the selected rows receive, in selection order, exactly the cubes and\n"
           "moves that a new batch of as many cubes would receive from the same call and seed."),
    method("apply_move_sequences", {"moves"}, apply_move_sequences,
           "Apply row i of an (N, L) array of move indexes to cube i; -1 ends a row."),
    class_method("from_words", {"words", "cube_type"}, from_words,
                 "Return a batch of the cubes of the given packed words, each checked to be reachable."),
    class_method("from_sticker_array", {"stickers", "cube_type"}, from_sticker_array,
                 "Return a batch of the cubes of the given sticker rows, each checked to be reachable."),
    class_method("from_cubes", {"cubes"}, from_cubes,
                 "Return a batch of copies of a list of cubes of one type."),
    class_method("concatenate", {"batches"}, concatenate,
                 "Return one batch of the cubes of a list of batches of one type, in order."),
    method("__reduce__", reduce, "Return state information for pickling."),
}};

}  // namespace

unsigned to_cube_type(PyObject* value) {
    const std::uint64_t cube_type = to_uint64(value, "cube_type");
    if (!is_cube_type(cube_type)) throw_error(PyExc_TypeError, "unknown cube type: expected 2 or 3");
    return static_cast<unsigned>(cube_type);
}

PyObject* batch_from_words_object(PyObject* words_value, PyObject* cube_type_value) {
    const unsigned cube_type = to_cube_type(cube_type_value);
    require_numpy();
    const IntegerArray<std::uint64_t> words(words_value, "words");
    return visit_cube_type(cube_type, [&]<Cube C>() { return batch_from_words<C>(words); });
}

std::span<const PyMethodDef> batch_state_rows() {
    static const auto rows = method_rows<state_methods>();
    return rows;
}

}  // namespace turnsmith::py
