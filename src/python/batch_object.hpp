// What a CubeBatch object holds, and its class.
#pragma once

#include "python/python.hpp"

#include <span>

#include "engine/batch.hpp"
#include "python/access.hpp"
#include "python/attachment.hpp"
#include "python/call.hpp"
#include "python/numpy.hpp"
#include "python/type_objects.hpp"

namespace turnsmith::py {

struct BatchContents {
    explicit BatchContents(BatchStates&& cubes) noexcept : states(std::move(cubes)) {}

    AccessState access;
    BatchStates states;
};

template <>
struct PythonClass<BatchContents> {
    static constexpr const char* name = "CubeBatch";
    static PyTypeObject* type();
};

// The cube type an argument names: 2 or 3, anything else a TypeError.
unsigned to_cube_type(PyObject* value);

// A new batch object of `states`.
inline PyObject* new_batch_object(BatchStates&& states) {
    return construct<BatchContents>(std::move(states));
}

// A new batch of `count` cubes of type C, written by `fill(span, runner)`
// with the thread detached.
template <Cube C, class Fill>
PyObject* make_batch(std::size_t count, Fill&& fill) {
    BatchStates states = BatchStates::unwritten<C>(count);
    states.visit([&]<Cube D>(std::span<D> cubes) {
        if constexpr (std::is_same_v<C, D>) detached_loop([&](auto&& run) { fill(cubes, run); });
    });
    return new_batch_object(std::move(states));
}

// The parts of CubeBatch's method table after its own first rows, in table
// order, each declared in its own file: states in and out, the 2x2's exact
// answers, keys and sets, the group operations, the 48 symmetries, editing in
// place.
std::span<const PyMethodDef> batch_state_rows();
std::span<const PyMethodDef> batch_exact_rows();
std::span<const PyMethodDef> batch_set_rows();
std::span<const PyMethodDef> batch_group_rows();
std::span<const PyMethodDef> batch_symmetry_rows();
std::span<const PyMethodDef> batch_edit_rows();

// The class of StateSet, a growing set of states (batch_set_methods.cpp).
PyTypeObject* state_set_type();

// Sets the class attributes of CubeBatch (SYMMETRY_MOVES) on its type.
void add_batch_class_attributes(PyTypeObject* batch_type);

// CubeBatch.from_words(words, cube_type), also the rebuilder of pickled batches.
PyObject* batch_from_words_object(PyObject* words, PyObject* cube_type);

// Runs `projection(cubes, runner)` with the calling thread detached, then
// hands the rows it returns to NumPy: a 1-D array when they have one column,
// 2-D otherwise.
template <class C, class Projection>
PyObject* projected_array(std::span<const C> cubes, Projection&& projection) {
    require_numpy();
    auto rows = detached_loop([&](auto&& run) { return projection(cubes, run); });
    const bool flat = rows.cols() == 1;
    return make_result_array(std::move(rows), flat);
}

// The same over the batch's cubes, under shared access.
template <class Projection>
PyObject* project_detached(PyObject* self, Projection&& projection) {
    return method_call<BatchContents, Access::shared>(self, [&](BatchContents& batch) {
        return batch.states.visit([&]<class C>(std::span<C> cubes) {
            return projected_array(std::span<const C>(cubes), projection);
        });
    });
}

}  // namespace turnsmith::py
