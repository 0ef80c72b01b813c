// What a CubeBatch object holds, and its class.
#pragma once

#include "module/python.hpp"

#include <array>

#include "cubeBatch/batch.hpp"
#include "module/access.hpp"
#include "module/attachment.hpp"
#include "module/call.hpp"
#include "module/numpy.hpp"
#include "module/type_objects.hpp"

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

// The methods that bring states in and out, after the first table rows.
inline constexpr std::size_t batch_state_row_count = 13;
std::array<PyMethodDef, batch_state_row_count> batch_state_rows();

// CubeBatch.from_words(words, cube_type), also the rebuilder of pickled batches.
PyObject* batch_from_words_object(PyObject* words, PyObject* cube_type);

// Runs a projection of the batch's states with the calling thread detached,
// then hands the rows it returns to NumPy: a 1-D array when they have one
// column, 2-D otherwise.
template <class Projection>
PyObject* project_detached(PyObject* self, Projection&& projection) {
    return method_call<BatchContents, Access::shared>(self, [&](BatchContents& batch) {
        require_numpy();
        auto rows = batch.states.visit([&]<class C>(std::span<C> cubes) {
            return detached_loop([&](auto&& run) { return projection(std::span<const C>(cubes), run); });
        });
        const bool flat = rows.cols() == 1;
        return make_result_array(std::move(rows), flat);
    });
}

}  // namespace turnsmith::py
