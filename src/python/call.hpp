// The order in which every method of a cube or batch runs, written once:
//   1. bind the arguments to the parameters (counts and keyword names),
//   2. check that the receiver is of the class,
//   3. take shared or exclusive access to it,
//   4. run the body, which converts the bound values and does the work,
// all inside the error boundary. The first two read nothing but the call. The
// hold comes before any conversion because converting can run the caller's
// Python code (an `__index__`, a `str` subclass): a call that is refused must
// change nothing and run none of it, and what the body reads from its
// arguments is then read under the hold it relies on.
#pragma once

#include "python/python.hpp"

#include <cstddef>

#include "python/access.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/type_objects.hpp"

namespace turnsmith::py {

// A method without arguments: `body(contents)` under the hold. A body that
// runs no Python code (no callable, no import) may leave its hold unnoted
// (python/access.hpp).
template <class Contents, Access A, Noted N = Noted::yes, class Body>
auto method_call(PyObject* self, Body&& body) noexcept {
    return guarded([&] {
        Contents& object = receiver<Contents>(self);
        const Hold<A, N> hold(object.access);
        return body(object);
    });
}

// A method with arguments (vectorcall): `body(contents, bound)` under the
// hold, with the bound values not yet converted. Converting may run Python
// code, so the hold is noted unless the body converts nothing that can.
template <class Contents, Access A, Noted N = Noted::yes, std::size_t M, class Body>
PyObject* method_call(const Call<M>& call, Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        const Bound<M> bound = call.bind();
        Contents& object = receiver<Contents>(call.self);
        const Hold<A, N> hold(object.access);
        return body(object, bound);
    });
}

// A class method or module function: `body(bound)`, with no receiver to
// check or hold.
template <std::size_t M, class Body>
PyObject* function_call(const Call<M>& call, Body&& body) noexcept {
    return guarded([&]() -> PyObject* { return body(call.bind()); });
}

}  // namespace turnsmith::py
