// The module: its definition, the execution step that fills it, and the two
// module functions.
#include <string>
#include <vector>

#include "cube/next_states.hpp"
#include "cube/notation.hpp"
#include "module/args.hpp"
#include "module/attachment.hpp"
#include "module/batch_object.hpp"
#include "module/call.hpp"
#include "module/cube_object.hpp"
#include "module/numpy.hpp"

namespace turnsmith::py {
namespace {

// ---- inverse_scramble -----------------------------------------------------

constexpr Signature<1> inverse_signature{nullptr, "inverse_scramble", {"scramble"}, 1};

PyObject* inverse_scramble(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind(inverse_signature, args, nargs, kwnames);
        const std::string inverse = inverse_scramble_internal(to_utf8(bound[0], "scramble"));
        return check(PyUnicode_DecodeUTF8(inverse.data(), static_cast<Py_ssize_t>(inverse.size()), nullptr));
    });
}

// ---- get_next_states --------------------------------------------------------

// Item `index` of the list, or null once the walk has passed the smaller of the
// list's length when the walk began and its length now. The item is fetched
// under the list's own lock (nothing in between can throw).
Ref list_item(PyObject* list, Py_ssize_t index, Py_ssize_t initial_length) {
    Ref item;
    Py_BEGIN_CRITICAL_SECTION(list);
    if (index < initial_length && index < PyList_GET_SIZE(list))
        item = Ref::borrow(PyList_GET_ITEM(list, index));
    Py_END_CRITICAL_SECTION();
    return item;
}

// The cube type of the list, from its first item: a readable Cube2x2 or Cube3x3.
unsigned infer_cube_type(PyObject* first) {
    const auto readable = [first]<Cube C>(C*) {
        return is_instance<CubeContents<C>>(first) &&
               SharedHold::try_take(contents_of<CubeContents<C>>(first).access).has_value();
    };
    if (readable(static_cast<Cube2x2*>(nullptr))) return 2;
    if (readable(static_cast<Cube3x3*>(nullptr))) return 3;
    throw_error(PyExc_TypeError,
                "get_next_states() expects a list of turnsmith.Cube2x2 or turnsmith.Cube3x3 instances");
}

// Copies the words of every item: each is fetched under the list's lock and read
// under its own shared access, one item at a time.
template <Cube C>
std::vector<C> copy_states(PyObject* list, Py_ssize_t initial_length) {
    std::vector<C> states;
    const auto count = static_cast<std::size_t>(initial_length);
    try {
        states.reserve(count);
    } catch (const std::bad_alloc&) {
        out_of_memory("copies of " + std::to_string(count) + " cubes (" + std::to_string(count * sizeof(C)) +
                      " bytes)");
    } catch (const std::length_error&) {
        internal_fault("capacity overflow");
    }
    for (Py_ssize_t index = 0;; ++index) {
        Ref item = list_item(list, index, initial_length);
        if (!item) break;
        auto& object = receiver<CubeContents<C>>(item.get());
        SharedHold hold(object.access);
        states.push_back(object.cube);
    }
    return states;
}

template <Cube C>
PyObject* next_states_of_list(PyObject* list, Py_ssize_t initial_length) {
    const std::vector<C> states = copy_states<C>(list, initial_length);
    require_numpy();
    // The copies are the call's own: nothing is held while the workers run.
    RowBuffer rows = attached_loop([&](auto&& run) { return next_states_internal<RowBuffer>(std::span<const C>(states), run); });
    return make_result_array(std::move(rows));
}

constexpr Signature<1> next_states_signature{nullptr, "get_next_states", {"cubes"}, 1};

PyObject* get_next_states(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind(next_states_signature, args, nargs, kwnames);
        PyObject* list = bound[0];
        if (!PyList_Check(list)) throw_type_mismatch(list, "list", "cubes");
        const Py_ssize_t initial_length = PyList_Size(list);
        Ref first = list_item(list, 0, initial_length);
        if (!first) {
            throw_error(PyExc_TypeError,
                        "get_next_states() requires at least one cube to infer the cube type");
        }
        return infer_cube_type(first.get()) == 2 ? next_states_of_list<Cube2x2>(list, initial_length)
                                                 : next_states_of_list<Cube3x3>(list, initial_length);
    });
}

// ---- the module -----------------------------------------------------------

PyMethodDef inverse_scramble_def = keywords_row<inverse_scramble>(
    "inverse_scramble", "inverse_scramble(scramble)\n--\n\nReturn the inverse of the given scramble string.");
PyMethodDef get_next_states_def = keywords_row<get_next_states>(
    "get_next_states",
    "get_next_states(cubes)\n--\n\nReturn quarter-turn successors for a batch of 2x2 or 3x3 cubes.");

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

void add_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = Ref::steal(check(PyUnicode_FromString("turnsmith")));
    Ref function = Ref::steal(check(PyCFunction_NewEx(&def, module, module_name.get())));
    add_to_module(module, def.ml_name, function.get());
}

int exec_module(PyObject* module) {
    return guarded([&] {
        // 'PyModule' is the fixed wording of this text, deliberate.
        if (!PyModule_Check(module)) throw_type_mismatch(module, "PyModule");
        add_class<BatchContents>(module);
        add_class<CubeContents<Cube2x2>>(module);
        add_class<CubeContents<Cube3x3>>(module);
        add_function(module, inverse_scramble_def);
        add_function(module, get_next_states_def);
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
}  // namespace turnsmith::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_turnsmith() {
    return PyModuleDef_Init(&turnsmith::py::definition);
}
