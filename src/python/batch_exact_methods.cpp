// CubeBatch's exact answers: the numbers of 2x2 states out and back in,
// distances and their lower bounds, and solutions, read from the 2x2's
// distance table or searched for the 3x3. Loops that only read run detached.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "cube/rank_2x2.hpp"
#include "engine/batch.hpp"
#include "solvers/exact_operations_2x2.hpp"
#include "python/args.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/long_call.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"
#include "python/solving.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;

// The cubes of a 2x2 batch; `method` ("ranks") refuses a batch of 3x3 cubes,
// saying why.
std::span<const Cube2x2> cubes_2x2(Batch& batch, const char* method, const char* why) {
    return batch.states.visit([&]<class C>(std::span<C> cubes) -> std::span<const Cube2x2> {
        if constexpr (Solving<C>::has_distance_table) {
            return cubes;
        } else {
            throw_error(PyExc_TypeError,
                        std::string("CubeBatch.") + method + "() is for batches of 2x2 cubes: " + why);
        }
    });
}

// Whether the cube type numbered `cube_type` has ranks.
bool has_ranks(unsigned cube_type) {
    return visit_cube_type(cube_type, []<Cube C>() { return Solving<C>::has_distance_table; });
}

constexpr const char* ranks_why = "ranks exist for the 2x2 only";

PyObject* ranks(PyObject* self, PyObject*) {
    return method_call<Batch, Access::shared>(self, [](Batch& batch) {
        return projected_array(cubes_2x2(batch, "ranks", ranks_why),
                               [](auto cubes, auto& run) { return ranks_internal(cubes, run); });
    });
}

PyObject* from_ranks(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) {
        if (!has_ranks(to_cube_type(bound[1]))) {
            throw_error(PyExc_TypeError,
                        std::string("CubeBatch.from_ranks() needs cube_type 2: ") + ranks_why);
        }
        require_numpy();
        const IntegerArray<std::int64_t> ranks(bound[0], "ranks");
        if (ranks.dimensions() != 1) {
            throw_shape_error("ranks", "(N,)", ranks.shape_text());
        }
        const auto values = ranks.elements();
        for (std::size_t at = 0; at < values.size(); ++at) {
            if (values[at] < 0 || values[at] >= std::int64_t{rank2x2::state_count}) {
                PyErr_Format(PyExc_ValueError,
                             "argument 'ranks': position %zu holds %lld, but ranks are 0..%u", at,
                             static_cast<long long>(values[at]), rank2x2::state_count - 1);
                throw_error_already_set();
            }
        }
        return make_batch<Cube2x2>(
            values.size(), [&](std::span<Cube2x2> out, auto& run) { from_ranks_internal(values, out, run); });
    });
}

// The batch's cube type, read under a moment's hold.
unsigned cube_type_of(Batch& batch) {
    const Hold<Access::shared, Noted::no> hold(batch.access);
    return batch.states.cube_type();
}

// Only the line on a terminal reports a table build: a callable counts cubes.
PyObject* build_progress(PyObject* progress) { return progress == Py_True ? Py_True : nullptr; }

// The `upper_bounds` of distances(): none, or one integer a cube, copied so
// that the check and the search read the same values while another thread
// may write the array.
std::optional<std::vector<std::int64_t>> read_upper_bounds(PyObject* value, std::size_t cubes) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    const IntegerArray<std::int64_t> bounds(value, "upper_bounds", "upper bounds are numbers of quarter turns");
    if (bounds.dimensions() != 1 || bounds.rows() != cubes)
        throw_shape_error("upper_bounds", "(" + std::to_string(cubes) + ",)", bounds.shape_text());
    return std::vector<std::int64_t>(bounds.elements().begin(), bounds.elements().end());
}

// Refuses the first bound that `floors`, numbers never above the distances,
// show to lie below its cube's distance (a negative one is no bound).
void check_upper_bounds(std::span<const std::int64_t> bounds, Rows<std::uint8_t> floors) {
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const unsigned floor = *floors.row(i);
        if (bounds[i] >= 0 && bounds[i] < floor) {
            PyErr_Format(PyExc_ValueError,
                         "upper_bounds[%zu] is %lld, below the distance of cube %zu "
                         "(at least %u quarter turns)",
                         i, static_cast<long long>(bounds[i]), i, floor);
            throw_error_already_set();
        }
    }
}

// Distances of every cube: read from the 2x2's table, or found by the 3x3's
// optimal search on the pool (the tables made ready before the call takes its
// hold, as for solutions), the batch only read. Known upper bounds are
// checked against what the tables show before any search.
PyObject* distances(const Call<3>& call) {
    return long_method_call<Batch, Access::shared>(
        call,
        [](Batch& batch, const Bound<3>& bound) {
            return Tables{.cube_type = cube_type_of(batch), .optimal = true, .progress = build_progress(bound[1])};
        },
        [](Batch& batch, const Bound<3>& bound, const Tables&) {
            return batch.states.visit([&]<class C>(std::span<C> cubes) -> PyObject* {
                const bool modulo_rotation = to_flag(bound[0]);
                LongCall call(bound[1], "progress", "cubes");
                require_numpy();
                const auto upper = read_upper_bounds(bound[2], cubes.size());
                std::span<const std::int64_t> bounds;
                if (upper) {
                    bounds = *upper;
                    check_upper_bounds(bounds, detached_loop([&](auto&& run) {
                        return Solving<C>::distance_floors(std::span<const C>(cubes), modulo_rotation, run);
                    }));
                }
                auto out = Rows<std::uint8_t>::zeroed(cubes.size(), 1);
                call.control().set_total(cubes.size());
                if (!cubes.empty()) {
                    call.run([&] {
                        Solving<C>::distances(std::span<const C>(cubes), modulo_rotation, out.row(0),
                                              call.control(), bounds);
                    });
                }
                return make_result_array(std::move(out), true);
            });
        });
}

// Bounds of every cube's distance from the small tables: the 2x2's exact
// distances, the 3x3's largest pattern-database value.
PyObject* lower_bounds(PyObject* self, PyObject*) {
    return long_method_call<Batch, Access::shared>(
        self,
        [](Batch& batch, const Bound<0>&) {
            return Tables{.cube_type = cube_type_of(batch), .optimal = true, .searching = false};
        },
        [](Batch& batch, const Bound<0>&, const Tables&) {
            return batch.states.visit([]<class C>(std::span<C> cubes) {
                return projected_array(std::span<const C>(cubes),
                                       [](auto some, auto& run) { return Solving<C>::lower_bounds(some, run); });
            });
        });
}

// Solutions of every cube, for either cube type: the tables are made ready
// before the call takes its hold (a build takes seconds and would refuse
// every other call on the batch meanwhile), then the cubes are searched on
// the pool, the batch only read.
PyObject* solutions(const Call<4>& call) {
    return long_method_call<Batch, Access::shared>(
        call,
        [](Batch& batch, const Bound<4>& bound) {
            const unsigned cube_type = cube_type_of(batch);
            return Tables{.cube_type = cube_type, .optimal = to_flag(bound[1]), .progress = build_progress(bound[2])};
        },
        [](Batch& batch, const Bound<4>& bound, const Tables& tables) {
            return batch.states.visit([&]<class C>(std::span<C> cubes) -> PyObject* {
                const unsigned max_length = to_max_length(bound[0], Solving<C>::diameter);
                LongCall call(bound[2], "progress", "cubes");
                const bool return_lengths = to_flag(bound[3]);
                require_numpy();
                auto rows = Rows<std::int8_t>::zeroed(cubes.size(), max_length);
                auto lengths = Rows<std::int16_t>::zeroed(cubes.size(), 1);
                // Rows of width 0 still take a length each.
                std::vector<std::int8_t> scratch(max_length == 0 ? cubes.size() : 0);
                std::int8_t* out = max_length == 0 ? scratch.data() : rows.row(0);
                call.control().set_total(cubes.size());
                if (!cubes.empty()) {
                    call.run([&] {
                        Solving<C>::solve_many(std::span<const C>(cubes), max_length, tables.optimal, out,
                                               std::max(max_length, 1u), lengths.row(0), call.control());
                    });
                }
                Ref moves = Ref::steal(make_result_array(std::move(rows)));
                if (!return_lengths) return moves.release();
                Ref counts = Ref::steal(make_result_array(std::move(lengths), true));
                return check(PyTuple_Pack(2, moves.get(), counts.get()));
            });
        });
}

// ---- the methods -------------------------------------------------------------

constexpr MethodTable exact_methods{"CubeBatch", std::tuple{
    method("ranks", ranks,
           "Return the number of every cube's state as a NumPy uint64 array.\n\n"
           "The shape is (len(self),); the numbers are those of Cube2x2.rank. For batches\n"
           "of 2x2 cubes only."),
    // Its published text signature names no receiver.
    class_method("from_ranks", {"ranks", "cube_type"}, from_ranks,
                 "Return a new batch of the 2x2 states with the given numbers.\n\n"
                 "ranks is a 1-D array of integers in 0..88179839 (see Cube2x2.rank); cube_type\n"
                 "must be 2.")
        .without_receiver(),
    method("distances",
           {defaulted("modulo_rotation", "False"), defaulted("progress", "None"),
            defaulted("upper_bounds", "None")},
           distances,
           "Return every cube's distance from solved as a NumPy uint8 array.\n\n"
           "The shape is (len(self),); each value is the cube's distance(), with the same\n"
           "modulo_rotation. For the 2x2, read from its distance table. For the 3x3, exact\n"
           "quarter-turn distances from an optimal search on the worker pool (one cube per\n"
           "worker, or for a few cubes each cube on every worker): states up to about 14\n"
           "quarter turns from solved take about a millisecond, but a uniform random state\n"
           "can take minutes to hours with these small tables.\n"
           "progress works as in solutions; the call can be interrupted, and the batch is\n"
           "not changed either way.\n\n"
           "upper_bounds: None, or one integer a cube (a 1-D array of any integer dtype,\n"
           "or a list): a number known not to be below the cube's distance, such as the\n"
           "length of an answer that replays to solved, or negative for none known. The\n"
           "values are the same with it; the 3x3's search leaves out its deepening at the\n"
           "bound, its costliest, so that an optimal answer's length saves most of the\n"
           "search. A bound that lower_bounds() shows to lie below its cube's distance (for\n"
           "the 2x2, any bound below the distance) is a ValueError, checked before any\n"
           "search; one below the distance but not below lower_bounds() cannot be told from\n"
           "a valid one without the full search, and is taken at its word (the value given\n"
           "may then be wrong)."),
    method("lower_bounds", lower_bounds,
           "Return for every cube a number never above its distance, as a NumPy uint8 array.\n\n"
           "The shape is (len(self),). For the 3x3, the largest of the exact distances of\n"
           "its corners, of six sets of six edges, and of the cube from the two-phase\n"
           "search's middle group along each axis (the same tables on every machine),\n"
           "raised by one where the cube's parity shows that the distance is larger:\n"
           "millions of cubes a second. For the 2x2, its exact distances."),
    method("solutions",
           {defaulted("max_length", "None"), defaulted("optimal", "False"), defaulted("progress", "None"),
            defaulted("return_lengths", "False")},
           solutions,
           "Return every cube's solution as rows of move indexes.\n\n"
           "A NumPy int8 array of shape (len(self), W), W the bound: max_length, or for\n"
           "None the largest distance (14 for the 2x2, 26 for the 3x3). Row i holds the\n"
           "moves of self[i].solve(max_length, optimal), padded with -1, as\n"
           "apply_move_sequences reads them: optimal for the 2x2, a two-phase search's for\n"
           "the 3x3, or with optimal the lexicographically least of its shortest solutions.\n"
           "A cube farther than max_length gets a row of -1 (length -1); the other rows are\n"
           "kept. With return_lengths, a tuple (rows, lengths), lengths an int16 array of\n"
           "shape (len(self),). For the 3x3, bounds of 24 and more are fast; below about\n"
           "24, proving that a random cube has no solution can take very long, and so can\n"
           "an optimal solution (minutes to hours for a uniform random state).\n\n"
           "progress: True draws a line on stderr (done/total, cubes/s, time left) when it\n"
           "is a terminal; a callable is called as progress(done, total) on the calling\n"
           "thread, done never decreasing, last with done == total. Runs on the worker\n"
           "pool; can be interrupted (KeyboardInterrupt, or an exception raised by the\n"
           "progress callable), and the batch is not changed either way."),
}};

}  // namespace

std::span<const PyMethodDef> batch_exact_rows() {
    static const auto rows = method_rows<exact_methods>();
    return rows;
}

}  // namespace turnsmith::py
