// Cube2x2 as Python sees it: one mutable 2x2x2 cube (a single corner word).
#include <tuple>
#include <vector>

#include "cube/notation.hpp"
#include "cube/rank_2x2.hpp"
#include "python/cube_methods.hpp"
#include "python/methods.hpp"
#include "python/solve_methods.hpp"

namespace turnsmith::py {
namespace {

PyObject* to_binary(PyObject* self, PyObject*) {
    return read_cube<Cube2x2>(self, [](const Cube2x2& cube) { return binary_string(cube.corners); });
}

// ---- exact answers ----------------------------------------------------------

using Cube = CubeOf<Cube2x2>;

PyObject* rank(PyObject* self, PyObject*) {
    return read_cube<Cube2x2>(self, [](const Cube2x2& cube) { return new_int(rank2x2::rank(cube.corners)); });
}

// Read from the table under the hold: a lookup, done at once.
PyObject* distance(const Call<1>& call) {
    return long_method_call<Cube, Access::shared>(
        call, [](Cube&, const Bound<1>&) { return Tables{.cube_type = Cube2x2::cube_type}; },
        [](Cube& object, const Bound<1>& bound, const Tables&) {
            const DistanceTable2x2& table = Solving<Cube2x2>::table();
            const Word corners = object.cube.corners;
            return new_int(to_flag(bound[0]) ? table.distance_modulo_rotation(corners)
                                             : table.distance(corners));
        });
}

// ---- the methods -------------------------------------------------------------

constexpr auto view_methods = std::tuple{
    method("to_binary", to_binary, "Return the corner state as a 64-bit binary string."),
    method("get_corners", get_corners_method<Cube2x2>, "Return the corner state as an array."),
    method("to_sticker_array", to_sticker_array_method<Cube2x2>, ""),
    method("is_solved", is_solved_method<Cube2x2>, "Return true if the cube is solved."),
};

constexpr auto exact_methods = std::tuple{
    method("rank", rank,
           "Return the number of this state, an int in 0..88179839 (0 when solved).\n\n"
           "The number is the permutation's Lehmer code times 2187 plus the twists of slots\n"
           "0..6 read in base 3; CubeBatch.from_ranks turns numbers back into cubes."),
    method("distance", {defaulted("modulo_rotation", "False")}, distance,
           "Return the fewest quarter turns after which the cube is solved.\n\n"
           "With modulo_rotation true, the fewest after which every face shows one colour,\n"
           "the cube held in any orientation. The first call builds a table of every\n"
           "state's distance (about a second, 44 MB) into the table cache, which later\n"
           "processes map instead."),
    solve_declaration<Cube2x2>(
        "Return an optimal solution as moves that do_moves reads, like \"R U' F\".\n\n"
        "It has exactly distance() quarter turns (the empty string for a solved cube);\n"
        "at each step it takes the lowest move index that brings the cube one turn\n"
        "closer. The cube is not changed. max_length (an int in 0..255, None for 14,\n"
        "the largest distance) bounds the length: below the cube's distance, ValueError.\n"
        "optimal changes nothing here: it is there for one signature with Cube3x3.solve."),
};

constexpr auto cube_methods = cube_method_table<Cube2x2>(view_methods, exact_methods);

std::vector<PyMethodDef> methods = method_table({method_rows<cube_methods>()});

auto getset = corner_word_getset<Cube2x2>("state");
// "Vorlan's Cube" is the class's published docstring, deliberate and pinned by
// the tests.
constexpr auto cube_constructor = constructor(cube_class_name<Cube2x2>, new_cube<Cube2x2>,
                                              "A compact 2x2 Vorlan's Cube model with fast move operations.");
auto slots = cube_type_slots<Cube2x2, cube_constructor>(methods.data(), getset.data());

// The module reported is "builtins", not "turnsmith": deliberate, and pinned by
// the tests (pickling by name therefore cannot find the class).
PyType_Spec spec = type_spec<CubeContents<Cube2x2>>("builtins.Cube2x2", Py_TPFLAGS_DEFAULT, slots.data());

}  // namespace

PyTypeObject* PythonClass<CubeContents<Cube2x2>>::type() { return type_once<spec>(); }

}  // namespace turnsmith::py
