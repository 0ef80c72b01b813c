// How this module's Python objects are made, checked and ended: every class
// is a heap type created once per process, holds one C++ value after the
// object header, and cannot be subclassed.
#pragma once

#include "python/python.hpp"

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"

namespace turnsmith::py {

// An instance: the object header, then the class's contents, made by
// `construct` and ended by `destroy`.
template <class Contents>
struct Boxed {
    PyObject ob_base;
    Contents contents;
};

// The class of each kind of contents, specialised beside the contents with
//   static constexpr const char* name;  // the class name in type-mismatch texts
//   static PyTypeObject* type();        // the type object; throws when it cannot be made
template <class Contents>
struct PythonClass;

// Creates a type from its PyType_Spec once per process; concurrent first uses all get
// the same type object (a losing duplicate is dropped). Throws ErrorAlreadySet
// when the type cannot be created; a later call tries again.
PyTypeObject* type_once(std::atomic<PyTypeObject*>& cache, PyType_Spec& spec);

template <PyType_Spec& Spec>
PyTypeObject* type_once() {
    static constinit std::atomic<PyTypeObject*> cache{nullptr};
    return type_once(cache, Spec);
}

// The type description of a class holding `Contents`: its name under "builtins" and flags
// as given, its size from the contents.
template <class Contents>
constexpr PyType_Spec type_spec(const char* qualified_name, unsigned flags, PyType_Slot* slots) noexcept {
    return {qualified_name, static_cast<int>(sizeof(Boxed<Contents>)), 0, flags, slots};
}

template <class Contents>
Contents& contents_of(PyObject* self) noexcept {
    return reinterpret_cast<Boxed<Contents>*>(self)->contents;
}

template <class Contents>
bool is_instance(PyObject* object) {
    return Py_IS_TYPE(object, PythonClass<Contents>::type());
}

// The contents behind `self`, after checking that it is exactly of the class
// (the classes cannot be subclassed).
template <class Contents>
Contents& receiver(PyObject* self) {
    if (!is_instance<Contents>(self)) throw_type_mismatch(self, PythonClass<Contents>::name);
    return contents_of<Contents>(self);
}

// A new instance of `type` whose contents are made from `args`.
template <class Contents, class... Args>
PyObject* construct(PyTypeObject* type, Args&&... args) {
    static_assert(std::is_nothrow_constructible_v<Contents, Args&&...>,
                  "an allocated object must not be left without its contents");
    Ref self = Ref::steal(check(type->tp_alloc(type, 0)));
    new (&contents_of<Contents>(self.get())) Contents(std::forward<Args>(args)...);
    return self.release();
}

template <class Contents, class... Args>
PyObject* construct(Args&&... args) {
    return construct<Contents>(PythonClass<Contents>::type(), std::forward<Args>(args)...);
}

// The tp_dealloc of every class: ends the contents, frees the memory, and
// drops the reference that an instance of a heap type holds to its type.
template <class Contents>
void destroy(PyObject* self) noexcept {
    contents_of<Contents>(self).~Contents();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A function of this module by name (a new reference): the pickling helpers,
// which reductions name.
PyObject* module_function(const char* name);

}  // namespace turnsmith::py
