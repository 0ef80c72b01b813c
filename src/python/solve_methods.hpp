// solve(), written once for both cube types: the tables (of the optimal
// search with `optimal`) are made ready before the call reads its cube, and the search runs on a copy of the
// state, so the cube is free for other calls while it runs.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "cube/notation.hpp"
#include "python/call.hpp"
#include "python/cube_methods.hpp"
#include "python/solving.hpp"

namespace turnsmith::py {

template <Cube C>
inline constexpr Signature<2> solve_signature{cube_class_name<C>, "solve", {"max_length", "optimal"}, 0};

// The error of a bound below a cube's distance.
[[noreturn]] void no_solution_within(unsigned max_length);

template <Cube C>
PyObject* solve_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto early = bind(solve_signature<C>, args, nargs, kwnames);
        (void)receiver<CubeContents<C>>(self);
        const bool optimal = to_flag(early[1]);
        if (optimal) {
            optimal_tables_ready<C>(nullptr, "progress");
        } else {
            tables_ready<C>(nullptr, "progress");
        }
        C cube{};
        unsigned max_length = 0;
        Ref read = Ref::steal(check(method_call<CubeContents<C>, Access::shared>(
            solve_signature<C>, self, args, nargs, kwnames,
            [&](CubeContents<C>& object, const Bound<2>& bound) {
                max_length = to_max_length(bound[0], Solving<C>::diameter);
                cube = object.cube;
                return Py_NewRef(Py_None);
            })));
        std::array<std::int8_t, 255> moves{};
        std::int16_t length = -1;
        LongCall call(nullptr, "progress", "cubes");
        call.control().set_total(1);
        call.run([&] {
            Solving<C>::solve_many(std::span(&cube, 1), max_length, optimal, moves.data(),
                                   std::max(max_length, 1u), &length, call.control());
        });
        if (length < 0) no_solution_within(max_length);
        return new_str(move_text(std::span(moves).first(static_cast<std::size_t>(length))));
    });
}

template <Cube C>
PyMethodDef solve_row(const char* doc) {
    return keywords_row<solve_method<C>>("solve", doc);
}

}  // namespace turnsmith::py
