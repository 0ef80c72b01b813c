// The Python objects that hold single cubes: the object layout, the type
// objects (created once per process) and the receiver check every method does.
#pragma once

#include "module/python.hpp"

#include <atomic>
#include <new>

#include "cube/cube.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"
#include "module/access.hpp"
#include "module/errors.hpp"

namespace turnsmith::py {

template <Cube C>
struct CubeObject {
    PyObject ob_base;
    AccessState access;
    C cube;
};

// The type objects of the two cube classes, created on first use.
PyTypeObject* cube3x3_type();
PyTypeObject* cube2x2_type();

template <Cube C>
struct CubeClass;
template <>
struct CubeClass<Cube3x3> {
    static constexpr const char* name = "Cube3x3";
    static PyTypeObject* type() { return cube3x3_type(); }
};
template <>
struct CubeClass<Cube2x2> {
    static constexpr const char* name = "Cube2x2";
    static PyTypeObject* type() { return cube2x2_type(); }
};

// Creates a type from its spec once per process; concurrent first uses all get
// the same type object (a losing duplicate is dropped).
PyTypeObject* type_once(std::atomic<PyTypeObject*>& cache, PyType_Spec& spec);

// The object behind `self`, after checking that it is exactly of `type` (the
// classes cannot be subclassed).
template <class Object>
Object& receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) throw_error_already_set();
    if (!Py_IS_TYPE(self, type)) throw_type_mismatch(self, class_name);
    return *reinterpret_cast<Object*>(self);
}

template <Cube C>
CubeObject<C>& cube_receiver(PyObject* self) {
    return receiver<CubeObject<C>>(self, CubeClass<C>::type(), CubeClass<C>::name);
}

template <Cube C>
bool is_cube_object(PyObject* object) {
    PyTypeObject* type = CubeClass<C>::type();
    return type != nullptr && Py_IS_TYPE(object, type);
}

// A new, free cube object of type `type` holding a copy of `cube`.
template <Cube C>
PyObject* new_cube_object(PyTypeObject* type, const C& cube) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw_error_already_set();
    auto* object = reinterpret_cast<CubeObject<C>*>(self);
    new (&object->access) AccessState();
    new (&object->cube) C(cube);
    return self;
}

template <Cube C>
PyObject* new_cube_object(const C& cube) {
    PyTypeObject* type = CubeClass<C>::type();
    if (type == nullptr) throw_error_already_set();
    return new_cube_object(type, cube);
}

// The states are plain words and the access state an atomic integer: nothing to
// destroy but the memory. Instances of heap types own a reference to their type.
inline void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace turnsmith::py
