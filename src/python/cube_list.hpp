// A list of cubes of one type, as the calls that take one read it: a list (or
// subclass) whose first item, a readable Cube2x2 or Cube3x3, gives the type
// of all. Other threads may change the list meanwhile: the walk stops at the
// shorter of its lengths then and now, and reads each item under its own hold.
#pragma once

#include "python/python.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/access.hpp"
#include "python/cube_object.hpp"
#include "python/errors.hpp"

namespace turnsmith::py {

struct CubeList {
    PyObject* list;
    Py_ssize_t initial_length;
    unsigned cube_type;
};

// Item `index` of the list, or null once the walk has passed the smaller of the
// list's length when the walk began and its length now. The item is fetched
// under the list's own lock (nothing in between can throw).
inline Ref list_item(PyObject* list, Py_ssize_t index, Py_ssize_t initial_length) {
    Ref item;
    Py_BEGIN_CRITICAL_SECTION(list);
    if (index < initial_length && index < PyList_GET_SIZE(list))
        item = Ref::borrow(PyList_GET_ITEM(list, index));
    Py_END_CRITICAL_SECTION();
    return item;
}

// The cube type of the list, from its first item: a readable Cube2x2 or Cube3x3.
inline unsigned infer_cube_type(PyObject* first, const char* caller) {
    const auto readable = [first]<Cube C>(C*) {
        return is_instance<CubeContents<C>>(first) &&
               SharedHold::try_take(contents_of<CubeContents<C>>(first).access).has_value();
    };
    if (readable(static_cast<Cube2x2*>(nullptr))) return 2;
    if (readable(static_cast<Cube3x3*>(nullptr))) return 3;
    throw_error(PyExc_TypeError, std::string(caller) +
                                     "() expects a list of turnsmith.Cube2x2 or turnsmith.Cube3x3 instances");
}

// The list bound to parameter "cubes" of `caller` (named in the messages),
// checked to be a list and to start with a readable cube.
inline CubeList open_cube_list(PyObject* list, const char* caller) {
    if (!PyList_Check(list)) throw_type_mismatch(list, "list", "cubes");
    const Py_ssize_t initial_length = PyList_Size(list);
    Ref first = list_item(list, 0, initial_length);
    if (!first) {
        throw_error(PyExc_TypeError, std::string(caller) + "() requires at least one cube to infer the cube type");
    }
    return {list, initial_length, infer_cube_type(first.get(), caller)};
}

// Copies the words of every item: each is fetched under the list's lock and read
// under its own shared access, one item at a time.
template <Cube C>
std::vector<C> copy_states(const CubeList& cubes) {
    std::vector<C> states;
    const auto count = static_cast<std::size_t>(cubes.initial_length);
    try {
        states.reserve(count);
    } catch (const std::bad_alloc&) {
        out_of_memory("copies of " + std::to_string(count) + " cubes (" + std::to_string(count * sizeof(C)) +
                      " bytes)");
    } catch (const std::length_error&) {
        internal_fault("capacity overflow");
    }
    for (Py_ssize_t index = 0;; ++index) {
        Ref item = list_item(cubes.list, index, cubes.initial_length);
        if (!item) break;
        auto& object = receiver<CubeContents<C>>(item.get());
        SharedHold hold(object.access);
        states.push_back(object.cube);
    }
    return states;
}

}  // namespace turnsmith::py
