// CubeBatch as Python sees it: a fixed number of cubes of one type, stored as
// plain words, worked on by parallel loops that exchange NumPy arrays.
#include <string>
#include <tuple>
#include <vector>

#include "cube/cube_types.hpp"
#include "cube/next_states.hpp"
#include "engine/batch.hpp"
#include "engine/operations.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/cube_object.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;

// ---- construction -------------------------------------------------------------

PyObject* new_batch(PyTypeObject* type, const Bound<2>& bound) {
    const std::uint64_t count = to_uint64(bound[0], "count");
    const std::uint64_t cube_type = to_uint64(bound[1], "cube_type");
    if (!is_cube_type(cube_type)) throw_error(PyExc_TypeError, "unknown cube type: expected 2 or 3");
    return construct<Batch>(type, BatchStates::solved(count, static_cast<unsigned>(cube_type)));
}

// ---- length, items and text -------------------------------------------------

Py_ssize_t length(PyObject* self) {
    return method_call<Batch, Access::shared>(
        self, [](Batch& batch) { return static_cast<Py_ssize_t>(batch.states.size()); });
}

PyObject* len_method(PyObject* self, PyObject*) {
    const Py_ssize_t count = length(self);
    return count < 0 ? nullptr : PyLong_FromSsize_t(count);
}

// A new cube object holding a copy of cube `index`; negative indexes count from the end.
PyObject* cube_at(const Batch& batch, std::int64_t index) {
    const std::size_t count = batch.states.size();
    const auto position =
        static_cast<std::uint64_t>(index < 0 ? index + static_cast<std::int64_t>(count) : index);
    // "cubeBatch", lower-case c, is the published text, pinned by the tests.
    if (position >= count) throw_error(PyExc_IndexError, "cubeBatch index out of range");
    return batch.states.visit(
        [&]<Cube C>(std::span<const C> cubes) { return construct<CubeContents<C>>(cubes[position]); });
}

PyObject* subscript(PyObject* self, PyObject* key) {
    return method_call<Batch, Access::shared>(self,
                                              [&](Batch& batch) { return cube_at(batch, to_int64(key, "index")); });
}

PyObject* sequence_item(PyObject* self, Py_ssize_t index) {
    return method_call<Batch, Access::shared>(self, [&](Batch& batch) { return cube_at(batch, index); });
}

// The cubes' texts joined by blank lines.
PyObject* str_batch(PyObject* self) {
    return method_call<Batch, Access::shared>(self, [](Batch& batch) {
        std::string text;
        batch.states.visit([&](auto cubes) {
            for (std::size_t i = 0; i < cubes.size(); ++i) {
                if (i > 0) text += "\n\n";
                text += cubes[i].render_ansi_internal();
            }
        });
        return new_str(text);
    });
}

// ---- parallel operations ------------------------------------------------

// The frame of the two operations that take one value per cube: the batch
// held exclusively, the array read in place, then the loop over the cubes and
// the array's elements. The thread stays attached (in chunks on the
// free-threaded build).
template <class Element, class Operation>
PyObject* change_with_array(const Call<1>& call, Operation&& operation) {
    return method_call<Batch, Access::exclusive>(
        call, [&](Batch& batch, const Bound<1>& bound) {
            const ArrayRead<Element> values(bound[0], call.signature.parameters[0]);
            batch.states.visit([&](auto cubes) {
                attached_loop([&](auto&& run) { operation(cubes, values.elements(), run); });
            });
            return Py_NewRef(Py_None);
        });
}

PyObject* scramble(const Call<1>& call) {
    return change_with_array<std::int64_t>(
        call, [](auto cubes, auto lengths, auto& run) { scramble_batch_internal(cubes, lengths, run); });
}

PyObject* apply_move_indexes(const Call<1>& call) {
    return change_with_array<std::uint64_t>(
        call, [](auto cubes, auto indexes, auto& run) { apply_move_indexes_internal(cubes, indexes, run); });
}

PyObject* to_sticker_array(PyObject* self, PyObject*) {
    return project_detached(self, [](auto cubes, auto& run) { return sticker_arrays_internal(cubes, run); });
}

PyObject* get_next_states(PyObject* self, PyObject*) {
    return project_detached(self, [](auto cubes, auto& run) { return next_states_internal<RowBuffer>(cubes, run); });
}

// ---- the type -------------------------------------------------------------

constexpr auto batch_constructor = constructor("CubeBatch", {"count", "cube_type"}, new_batch, "");

constexpr MethodTable specified_methods{"CubeBatch", std::tuple{
    method("apply_move_indexes", {"move_indexes"}, apply_move_indexes, ""),
    method("get_next_states", get_next_states,
           "Return successor states for all cubes using the 12 quarter-turn moves.\n\n"
           "Returns a NumPy int64 array with shape (len(self) * 12, sticker_dim)."),
    method("to_sticker_array", to_sticker_array,
           "Return the cube states as a sticker array with shape (len(self), sticker_dim).\n\n"
           "Returns a NumPy int64 array with shape (len(self), sticker_dim)."),
    method("scramble", {"scramble_lengths"}, scramble,
           "Scramble each cube with the corresponding number of random moves.\n\n"
           "The `scramble_lengths` array is zipped with the batch. If it is shorter\n"
           "than the batch, only the first N cubes are scrambled. Extra lengths are\n"
           "ignored."),
    method("len", len_method, "Return the number of cubes in the batch."),
}};

// The specified rows first, then those of the other files, in this order.
std::vector<PyMethodDef> methods =
    method_table({method_rows<specified_methods>(), batch_state_rows(), batch_exact_rows(), batch_set_rows(),
                  batch_group_rows(), batch_symmetry_rows(), batch_edit_rows()});

PyType_Slot slots[] = {
    doc_slot<batch_constructor>(),
    new_slot<batch_constructor>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<Batch>)},
    {Py_tp_str, reinterpret_cast<void*>(str_batch)},
    {Py_tp_methods, methods.data()},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_item, reinterpret_cast<void*>(sequence_item)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {0, nullptr},
};

// The module reported is "builtins", not "turnsmith": deliberate, and pinned by the tests.
PyType_Spec spec = type_spec<Batch>("builtins.CubeBatch", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_SEQUENCE, slots);

}  // namespace

PyTypeObject* PythonClass<BatchContents>::type() {
    return type_once<spec>();
}

}  // namespace turnsmith::py
