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
#include "python/methods.hpp"
#include "python/solving.hpp"

namespace turnsmith::py {

// The error of a bound below a cube's distance.
[[noreturn]] void no_solution_within(unsigned max_length);

template <Cube C>
PyObject* solve_method(const Call<2>& call) {
    return guarded([&]() -> PyObject* {
        const auto early = call.bind();
        (void)receiver<CubeContents<C>>(call.self);
        const bool optimal = to_flag(early[1]);
        if (optimal) {
            optimal_tables_ready<C>(nullptr, "progress");
        } else {
            tables_ready<C>(nullptr, "progress");
        }
        C cube{};
        unsigned max_length = 0;
        Ref read = Ref::steal(check(method_call<CubeContents<C>, Access::shared>(
            call, [&](CubeContents<C>& object, const Bound<2>& bound) {
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

// The declaration of solve(), with the docstring of its class.
template <Cube C>
constexpr auto solve_declaration(const char* doc) {
    return method("solve", {defaulted("max_length", "None"), defaulted("optimal", "False")}, solve_method<C>,
                  doc);
}

}  // namespace turnsmith::py
