// Argument binding and conversion shared by every callable that takes
// arguments. Each callable describes its parameters once, as a constant
// Signature (a method's comes from its declaration, python/methods.hpp);
// binding fills one slot per parameter with a borrowed reference (null when
// the caller left an optional parameter out), and the converters turn a
// bound value into what the operation needs, with the module's wording.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace turnsmith::py {

struct ArgSpec {
    const char* owner;  // class name, or null for a module function
    const char* name;
    std::span<const char* const> parameters;
    std::size_t required;  // the first `required` parameters must be given
};

template <std::size_t N>
struct Signature {
    const char* owner;
    const char* name;
    std::array<const char*, N> parameters;
    std::size_t required;

    constexpr ArgSpec spec() const noexcept { return {owner, name, parameters, required}; }
};

template <std::size_t N>
using Bound = std::array<PyObject*, N>;

// Vectorcall form: positional values, then the keyword values named by kwnames.
void bind_vector(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::span<PyObject*> out);
// Constructor form: a tuple and an optional dict.
void bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

template <std::size_t N>
Bound<N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> out{};
    bind_vector(signature.spec(), args, nargs, kwnames, out);
    return out;
}

template <std::size_t N>
Bound<N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
    Bound<N> out{};
    bind_tuple(signature.spec(), args, kwargs, out);
    return out;
}

// One vectorcall of a method or function, with the signature its declaration
// gives (python/methods.hpp). `self` is the instance, the class of a class
// method, or the module of a module function.
template <std::size_t N>
struct Call {
    const Signature<N>& signature;
    PyObject* self;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    Bound<N> bind() const { return py::bind(signature, args, nargs, kwnames); }
};

// The UTF-8 form cached inside the str object: valid while the object lives.
std::string_view to_utf8(PyObject* value, const char* parameter);
std::int64_t to_int64(PyObject* value, const char* parameter);
std::uint64_t to_uint64(PyObject* value, const char* parameter);
// A flag: false when left out, otherwise the object's truth, as `if` reads it.
inline bool to_flag(PyObject* value) { return value != nullptr && check(PyObject_IsTrue(value)) == 1; }

}  // namespace turnsmith::py
