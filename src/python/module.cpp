// The module: its definition, the execution step that fills it, and the two
// module functions.
#include <string>
#include <tuple>
#include <vector>

#include "cube/cube_types.hpp"
#include "cube/next_states.hpp"
#include "cube/notation.hpp"
#include "solvers/distance_table_2x2.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/cube_list.hpp"
#include "python/cube_methods.hpp"
#include "python/cube_object.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"
#include "python/tables.hpp"

namespace turnsmith::py {
namespace {

// ---- inverse_scramble -----------------------------------------------------

PyObject* inverse_scramble(const Call<1>& call) {
    return function_call(call, [](const Bound<1>& bound) {
        const std::string inverse = inverse_scramble_internal(to_utf8(bound[0], "scramble"));
        return check(PyUnicode_DecodeUTF8(inverse.data(), static_cast<Py_ssize_t>(inverse.size()), nullptr));
    });
}

PyObject* invert_moves(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) {
        const std::string_view moves = to_utf8(bound[0], "moves");
        const bool half_turns = bound[1] == nullptr || to_flag(bound[1]);
        const std::string inverse = invert_moves_internal(moves, half_turns);
        return check(PyUnicode_DecodeUTF8(inverse.data(), static_cast<Py_ssize_t>(inverse.size()), nullptr));
    });
}

// ---- get_next_states --------------------------------------------------------

template <Cube C>
PyObject* next_states_of_list(const CubeList& cubes) {
    const std::vector<C> states = copy_states<C>(cubes);
    require_numpy();
    // The copies are the call's own: nothing is held while the workers run.
    RowBuffer rows = attached_loop([&](auto&& run) { return next_states_internal<RowBuffer>(std::span<const C>(states), run); });
    return make_result_array(std::move(rows));
}

PyObject* get_next_states(const Call<1>& call) {
    return function_call(call, [](const Bound<1>& bound) {
        const CubeList cubes = open_cube_list(bound[0], "get_next_states");
        return visit_cube_type(cubes.cube_type, [&]<Cube C>() { return next_states_of_list<C>(cubes); });
    });
}

// ---- _restore ---------------------------------------------------------------

// Rebuilds a pickled cube. Stored pickles name this function and its two
// arguments, so both stay as they are; the words are checked like from_words,
// so a crafted pickle cannot make a state the turns do not reach.
template <Cube C>
PyObject* restore_cube(PyObject* words_value) {
    Ref sequence = Ref::steal(check(PySequence_Fast(words_value, "_restore() expects a sequence of words")));
    if (PySequence_Fast_GET_SIZE(sequence.get()) != static_cast<Py_ssize_t>(C::word_count)) {
        throw_error(PyExc_ValueError, "expected " + std::to_string(C::word_count) + " words for a " +
                                          cube_class_name<C> + ", got " +
                                          std::to_string(PySequence_Fast_GET_SIZE(sequence.get())));
    }
    std::array<Word, C::word_count> words{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = to_uint64(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i)), "words");
    }
    return construct<CubeContents<C>>(checked_cube<C>(words));
}

PyObject* restore(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) {
        return visit_cube_type(to_cube_type(bound[0]), [&]<Cube C>() { return restore_cube<C>(bound[1]); });
    });
}

// Rebuilds a pickled batch from its words (checked like CubeBatch.from_words).
PyObject* restore_batch(const Call<2>& call) {
    return function_call(call,
                         [](const Bound<2>& bound) { return batch_from_words_object(bound[1], bound[0]); });
}

// Rebuilds a pickled StateSet: a new set of the cube type, and the states of
// its words (checked like CubeBatch.from_words) added.
PyObject* restore_state_set(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) {
        Ref batch = Ref::steal(batch_from_words_object(bound[1], bound[0]));
        Ref set = Ref::steal(check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state_set_type()), bound[0])));
        Ref added = Ref::steal(check(PyObject_CallMethod(set.get(), "add", "O", batch.get())));
        return set.release();
    });
}

// ---- _distance_table_info ----------------------------------------------------

// For tests and the benchmark: how many builds of the 2x2's distance table
// this process started, whether one finished, and its size; and the cache
// file it reads ("" when held in memory), and whether this process made it.
PyObject* distance_table_info(PyObject*, PyObject*) {
    return guarded([] {
        const DistanceTable2x2* table = distance_table_2x2_if_built();
        const bool ready = table != nullptr;
        return check(Py_BuildValue("{sKsOsKsssO}", "builds_started",
                                   static_cast<unsigned long long>(distance_table_2x2_builds()), "built",
                                   ready ? Py_True : Py_False, "bytes",
                                   static_cast<unsigned long long>(ready ? table->bytes() : 0), "path",
                                   ready ? table->report().path.c_str() : "", "built_here",
                                   ready && table->report().built_here ? Py_True : Py_False));
    });
}

// ---- the module -----------------------------------------------------------

// The functions in __all__, in its order.
constexpr MethodTable exported_functions{nullptr, std::tuple{
    function("inverse_scramble", {"scramble"}, inverse_scramble,
             "Return the inverse of the given scramble string."),
    function("get_next_states", {"cubes"}, get_next_states,
             "Return quarter-turn successors for a batch of 2x2 or 3x3 cubes."),
}};

// The pickling helpers, the inverse of a move string and the distance
// table's report, outside __all__.
constexpr MethodTable unlisted_functions{nullptr, std::tuple{
    function("_restore", {"cube_type", "words"}, restore,
             "Rebuild a pickled cube from its cube type and words."),
    function("_restore_batch", {"cube_type", "words"}, restore_batch,
             "Rebuild a pickled batch from its cube type and words."),
    function("_restore_state_set", {"cube_type", "words"}, restore_state_set,
             "Rebuild a pickled StateSet from its cube type and its states' words."),
    function("invert_moves", {"moves", defaulted("half_turns", "True")}, invert_moves,
             "Return the moves that undo a move string, in the notation do_moves reads.\n\n"
             "The tokens that do_moves applies come last to first, each inverted; those it\n"
             "skips are skipped. A half turn stays one (\"R U R' U2\" gives \"U2 R U' R'\"),\n"
             "or with half_turns=False becomes two quarter turns (\"U2\" gives \"U U\")."),
    function("_distance_table_info", distance_table_info,
             "Return the builds started, whether it is built, and the size of the 2x2's\n"
             "distance table, as a dict; with the cache file it is mapped from ('' when it\n"
             "is held in memory) and whether this process built it."),
}};

// Static storage: the function objects point at their rows.
auto exported_rows = method_rows<exported_functions>();
auto unlisted_rows = method_rows<unlisted_functions>();

// Appends the name to __all__ (made when missing), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyObject* found = nullptr;
    check(PyObject_GetOptionalAttrString(module, "__all__", &found));
    Ref all = found ? Ref::steal(found) : Ref::steal(check(PyList_New(0)));
    if (!found) check(PyObject_SetAttrString(module, "__all__", all.get()));
    Ref key = Ref::steal(check(PyUnicode_FromString(name)));
    check(PyList_Append(all.get(), key.get()));
    check(PyObject_SetAttr(module, key.get(), value));
}

template <class Contents>
void add_class(PyObject* module) {
    add_to_module(module, PythonClass<Contents>::name, reinterpret_cast<PyObject*>(PythonClass<Contents>::type()));
}

Ref new_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = Ref::steal(check(PyUnicode_FromString("turnsmith")));
    return Ref::steal(check(PyCFunction_NewEx(&def, module, module_name.get())));
}

void add_function(PyObject* module, PyMethodDef& def) {
    add_to_module(module, def.ml_name, new_function(module, def).get());
}

// A module attribute left out of __all__: the pickling helpers, the inverse
// of a move string and the distance table's report.
void add_private_function(PyObject* module, PyMethodDef& def) {
    check(PyObject_SetAttrString(module, def.ml_name, new_function(module, def).get()));
}

int exec_module(PyObject* module) {
    return guarded([&] {
        // 'PyModule' is the fixed wording of this text, deliberate.
        if (!PyModule_Check(module)) throw_type_mismatch(module, "PyModule");
        add_class<BatchContents>(module);
        add_batch_class_attributes(PythonClass<BatchContents>::type());
        add_class<CubeContents<Cube2x2>>(module);
        add_class<CubeContents<Cube3x3>>(module);
        for (PyMethodDef& def : exported_rows) add_function(module, def);
        for (PyMethodDef& def : unlisted_rows) add_private_function(module, def);
        // Public, but outside __all__, which keeps the names it always had.
        for (PyMethodDef& def : table_functions()) add_private_function(module, def);
        check(PyObject_SetAttrString(module, "StateSet", reinterpret_cast<PyObject*>(state_set_type())));
        // The distribution's version, which the build passes in.
        check(PyModule_AddStringConstant(module, "__version__", TURNSMITH_VERSION));
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The type objects are shared by the whole process, so one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "turnsmith", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* module_function(const char* name) {
    Ref module = Ref::steal(check(PyImport_ImportModule("turnsmith")));
    return check(PyObject_GetAttrString(module.get(), name));
}

}  // namespace turnsmith::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_turnsmith() {
    return PyModuleDef_Init(&turnsmith::py::definition);
}
