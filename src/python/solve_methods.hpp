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
#include "python/methods.hpp"
#include "python/solving.hpp"

namespace turnsmith::py {

// What solve reads of its cube under the hold.
template <Cube C>
struct SolveCopy {
    C cube;
    unsigned max_length;
    bool optimal;
};

template <Cube C>
PyObject* solve_method(const Call<2>& call) {
    return long_copy_call<CubeContents<C>>(
        call,
        [](CubeContents<C>&, const Bound<2>& bound) {
            return Tables{.cube_type = C::cube_type, .optimal = to_flag(bound[1])};
        },
        [](CubeContents<C>& object, const Bound<2>& bound, const Tables& tables) {
            const unsigned max_length = to_max_length(bound[0], Solving<C>::diameter);
            return SolveCopy<C>{object.cube, max_length, tables.optimal};
        },
        [](const SolveCopy<C>& copy) {
            std::array<std::int8_t, longest_bound> moves{};
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

// The declaration of solve(), with the docstring of its class.
template <Cube C>
constexpr auto solve_declaration(const char* doc) {
    return method("solve", {defaulted("max_length", "None"), defaulted("optimal", "False")}, solve_method<C>,
                  doc);
}

}  // namespace turnsmith::py
