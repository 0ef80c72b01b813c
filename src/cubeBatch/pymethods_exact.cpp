// CubeBatch's exact answers for the 2x2: the numbers of its states out and
// back in, distances and optimal solutions read from the distance table.
// Loops that only read run detached.
#include <cstdint>
#include <string>

#include "cube2x2/rank.hpp"
#include "cubeBatch/batch.hpp"
#include "cubeBatch/exact_operations.hpp"
#include "module/args.hpp"
#include "module/attachment.hpp"
#include "module/batch_object.hpp"
#include "module/call.hpp"
#include "module/exact_2x2.hpp"
#include "module/numpy.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;

// The cubes of a 2x2 batch; `method` ("ranks") refuses a batch of 3x3 cubes,
// saying why.
std::span<const Cube2x2> cubes_2x2(Batch& batch, const char* method, const char* why) {
    if (batch.states.cube_type() != 2) {
        throw_error(PyExc_TypeError,
                    std::string("CubeBatch.") + method + "() is for batches of 2x2 cubes: " + why);
    }
    std::span<const Cube2x2> found;
    batch.states.visit([&]<class C>(std::span<C> cubes) {
        if constexpr (std::is_same_v<C, Cube2x2>) found = cubes;
    });
    return found;
}

// Makes the table ready for a method of a batch, once the batch is known to
// hold 2x2 cubes; `precheck` checks the call's arguments first.
template <class Precheck>
bool table_ready_for(PyObject* self, const char* method, const char* why, Precheck&& precheck) {
    return distance_table_ready([&] {
        precheck();
        const int checked = method_call<Batch, Access::shared>(self, [&](Batch& batch) {
            (void)cubes_2x2(batch, method, why);
            return 0;
        });
        if (checked != 0) throw_error_already_set();
    });
}

constexpr const char* ranks_why = "ranks exist for the 2x2 only";

PyObject* ranks(PyObject* self, PyObject*) {
    return method_call<Batch, Access::shared>(self, [](Batch& batch) {
        return projected_array(cubes_2x2(batch, "ranks", ranks_why),
                               [](auto cubes, auto& run) { return ranks_internal(cubes, run); });
    });
}

constexpr Signature<2> from_ranks_signature{"CubeBatch", "from_ranks", {"ranks", "cube_type"}, 2};

PyObject* from_ranks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind(from_ranks_signature, args, nargs, kwnames);
        if (to_cube_type(bound[1]) != 2) {
            throw_error(PyExc_TypeError,
                        std::string("CubeBatch.from_ranks() needs cube_type 2: ") + ranks_why);
        }
        require_numpy();
        const IntegerArray<std::int64_t> ranks(bound[0], "ranks");
        if (ranks.dimensions() != 1) {
            throw_error(PyExc_ValueError, "argument 'ranks': expected shape (N,), got " + ranks.shape_text());
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

constexpr const char* distances_why = "distances are known for the 2x2 only";
constexpr Signature<1> distances_signature{"CubeBatch", "distances", {"modulo_rotation"}, 0};

PyObject* distances(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto bind_arguments = [&] { (void)bind(distances_signature, args, nargs, kwnames); };
    if (!table_ready_for(self, "distances", distances_why, bind_arguments)) return nullptr;
    return method_call<Batch, Access::shared>(
        distances_signature, self, args, nargs, kwnames, [](Batch& batch, const Bound<1>& bound) {
            const auto cubes = cubes_2x2(batch, "distances", distances_why);
            const bool modulo_rotation = to_flag(bound[0]);
            return projected_array(cubes, [&](auto some, auto& run) {
                return distances_internal(built_distance_table(), some, modulo_rotation, run);
            });
        });
}

constexpr const char* solutions_why = "solutions are known for the 2x2 only";

PyObject* solutions(PyObject* self, PyObject*) {
    if (!table_ready_for(self, "solutions", solutions_why, [] {})) return nullptr;
    return method_call<Batch, Access::shared>(self, [](Batch& batch) {
        return projected_array(cubes_2x2(batch, "solutions", solutions_why), [](auto cubes, auto& run) {
            return solutions_internal(built_distance_table(), cubes, run);
        });
    });
}

}  // namespace

std::array<PyMethodDef, batch_exact_row_count> batch_exact_rows() {
    return {{
        no_args_row("ranks", ranks,
                    "ranks($self)\n--\n\nReturn the number of every cube's state as a NumPy uint64 array.\n\n"
                    "The shape is (len(self),); the numbers are those of Cube2x2.rank. For batches\n"
                    "of 2x2 cubes only."),
        PyMethodDef{"from_ranks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_ranks)),
                    METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
                    "from_ranks(ranks, cube_type)\n--\n\nReturn a new batch of the 2x2 states with the given "
                    "numbers.\n\n"
                    "ranks is a 1-D array of integers in 0..88179839 (see Cube2x2.rank); cube_type\n"
                    "must be 2."},
        keywords_row<distances>(
            "distances",
            "distances($self, modulo_rotation=False)\n--\n\n"
            "Return every cube's distance from solved as a NumPy uint8 array.\n\n"
            "The shape is (len(self),); each value is the cube's Cube2x2.distance, with the\n"
            "same modulo_rotation. For batches of 2x2 cubes only."),
        no_args_row(
            "solutions", solutions,
            "solutions($self)\n--\n\nReturn every cube's optimal solution as rows of move indexes.\n\n"
            "A NumPy int8 array of shape (len(self), 14): row i holds the moves of cube i's\n"
            "Cube2x2.solve, padded with -1, as apply_move_sequences reads them. The batch\n"
            "is not changed. For batches of 2x2 cubes only."),
    }};
}

}  // namespace turnsmith::py
