// Cube3x3 as Python sees it: one mutable 3x3x3 cube.
#include <tuple>
#include <vector>

#include "python/cube_methods.hpp"
#include "python/methods.hpp"
#include "python/solve_methods.hpp"

namespace turnsmith::py {
namespace {

PyObject* to_binary_corners(PyObject* self, PyObject*) {
    return read_cube<Cube3x3>(self, [](const Cube3x3& cube) { return binary_string(cube.corners); });
}

PyObject* to_binary_edges(PyObject* self, PyObject*) {
    return read_cube<Cube3x3>(self, [](const Cube3x3& cube) { return binary_string(cube.edges); });
}

PyObject* to_binary(PyObject* self, PyObject*) {
    return read_cube<Cube3x3>(self, [](const Cube3x3& cube) {
        Ref corners = Ref::steal(binary_string(cube.corners));
        Ref edges = Ref::steal(binary_string(cube.edges));
        return check(PyTuple_Pack(2, corners.get(), edges.get()));
    });
}

PyObject* get_edges(PyObject* self, PyObject*) {
    return read_cube<Cube3x3>(self, [](const Cube3x3& cube) { return pair_list(edge_pairs(cube.edges)); });
}

// The optimal search on a copy of the state, after its tables are ready: the
// cube is free for other calls while it runs.
PyObject* distance(const Call<1>& call) {
    return long_copy_call<CubeOf<Cube3x3>>(
        call,
        [](CubeOf<Cube3x3>&, const Bound<1>&) { return Tables{.cube_type = Cube3x3::cube_type, .optimal = true}; },
        [](CubeOf<Cube3x3>& object, const Bound<1>&, const Tables&) { return object.cube; },
        [](const Cube3x3& cube) {
            std::uint8_t found = 0;
            LongCall call(nullptr, "progress", "cubes");
            call.control().set_total(1);
            call.run([&] { Solving<Cube3x3>::distances(std::span(&cube, 1), false, &found, call.control()); });
            return new_int(found);
        });
}

// ---- the methods -------------------------------------------------------------

constexpr auto view_methods = std::tuple{
    method("to_binary_corners", to_binary_corners, "Return the corner state as a 64-bit binary string."),
    method("to_binary_edges", to_binary_edges, "Return the edge state as a 64-bit binary string."),
    method("to_binary", to_binary, "Return the corner and edge states as a tuple of 64-bit binary strings."),
    method("get_corners", get_corners_method<Cube3x3>, "Return the corner state as an array."),
    method("get_edges", get_edges, "Return the edge state as an array."),
    method("to_sticker_array", to_sticker_array_method<Cube3x3>,
           "Return the cube state as an array of 54 sticker colors."),
    method("is_solved", is_solved_method<Cube3x3>, "Return true if the cube is solved."),
};

constexpr auto solver_methods = std::tuple{
    method("distance", {defaulted("modulo_rotation", "False")}, distance,
           "Return the fewest quarter turns after which the cube is solved.\n\n"
           "An optimal search (IDA*) on the worker pool, pruned by the exact distances of\n"
           "the corners, of sets of six edges and to the two-phase search's middle group;\n"
           "the first call maps their tables from the cache or builds them\n"
           "(turnsmith.prepare_tables). States up to about 14 quarter turns from solved take\n"
           "about a millisecond; a uniform random state can take minutes to hours with\n"
           "these small tables, and the call can be interrupted. modulo_rotation is accepted as\n"
           "Cube2x2.distance accepts it and gives the same number: the 3x3's centres fix\n"
           "its orientation."),
    solve_declaration<Cube3x3>(
        "Return a solution of at most max_length quarter turns, as do_moves reads it.\n\n"
        "The moves look like \"R U' F\"; a half turn is two moves (\"R R\").\n"
        "A two-phase search; the same state always gets the same moves. max_length is an\n"
        "int in 0..255 or None for 26, the largest distance, so that the default always\n"
        "succeeds; below the cube's distance, ValueError. Bounds of 24 and more are fast;\n"
        "below about 24, proving that no solution exists can take very long for random\n"
        "states (the call can be interrupted). With optimal, an optimal solution instead\n"
        "(distance() moves): the lexicographically least sequence of move indexes among\n"
        "the shortest, from the search of distance(), which can take minutes to hours\n"
        "for a uniform random state. The cube is not changed. The first call maps the\n"
        "search's tables from the cache (turnsmith.prepare_tables) or builds them."),
};

constexpr auto cube_methods = cube_method_table<Cube3x3>(view_methods, solver_methods);

std::vector<PyMethodDef> methods = method_table({method_rows<cube_methods>()});

auto getset = corner_word_getset<Cube3x3>("corners");
constexpr auto cube_constructor = constructor(cube_class_name<Cube3x3>, new_cube<Cube3x3>, "");
auto slots = cube_type_slots<Cube3x3, cube_constructor>(methods.data(), getset.data());

// The module reported is "builtins", not "turnsmith": deliberate, and pinned by
// the tests (pickling by name therefore cannot find the class).
PyType_Spec spec = type_spec<CubeContents<Cube3x3>>("builtins.Cube3x3", Py_TPFLAGS_DEFAULT, slots.data());

}  // namespace

PyTypeObject* PythonClass<CubeContents<Cube3x3>>::type() {
    return type_once<spec>();
}

}  // namespace turnsmith::py
