// solve(), written once for both cube types: the tables (of the optimal
// search with `optimal`) are made ready before the call reads its cube, and
// the search runs on a copy of the state, so the cube is free for other calls
// while it runs.
#pragma once

#include "python/python.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "cube/notation.hpp"
#include "python/cube_methods.hpp"
#include "python/long_call.hpp"
#include "python/solving.hpp"

namespace turnsmith::py {

template <Cube C>
inline constexpr Signature<2> solve_signature{cube_class_name<C>, "solve", {"max_length", "optimal"}, 0};

// What solve reads of its cube under the hold.
template <Cube C>
struct SolveCopy {
    C cube;
    unsigned max_length;
    bool optimal;
};

template <Cube C>
PyObject* solve_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return long_copy_call<CubeContents<C>>(
        solve_signature<C>, self, args, nargs, kwnames,
        [](CubeContents<C>&, const Bound<2>& bound) {
            return Tables{.cube_type = C::cube_type, .optimal = to_flag(bound[1])};
        },
        [](CubeContents<C>& object, const Bound<2>& bound, const Tables& tables) {
            const unsigned max_length = to_max_length(bound[0], Solving<C>::diameter);
            return SolveCopy<C>{object.cube, max_length, tables.optimal};
        },
        [](const SolveCopy<C>& copy) {
            std::array<std::int8_t, 255> moves{};
            std::int16_t length = -1;
            LongCall call(nullptr, "progress", "cubes");
            call.control().set_total(1);
            call.run([&] {
                Solving<C>::solve_many(std::span(&copy.cube, 1), copy.max_length, copy.optimal, moves.data(),
                                       std::max(copy.max_length, 1u), &length, call.control());
            });
            if (length < 0) no_solution_within(copy.max_length);
            return new_str(move_text(std::span(moves).first(static_cast<std::size_t>(length))));
        });
}

template <Cube C>
PyMethodDef solve_row(const char* doc) {
    return keywords_row<solve_method<C>>("solve", doc);
}

}  // namespace turnsmith::py
