// Small RAII helpers over the CPython C API shared by every Python-facing file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

namespace turnsmith::py {

// How a failure travels. A C API call that fails leaves its exception set in
// the interpreter (the thread's pending exception) and returns null or -1;
// `check` turns that result into a C++ throw of ErrorAlreadySet, which carries
// nothing: the exception stays where the interpreter put it. Code that raises
// a Python exception itself sets it first and then throws the same way. The
// call boundary (`guarded`) catches it, leaves the pending exception as it is
// and returns the slot's failure value, so the interpreter finds both the
// failure and its exception. Every other C++ exception is translated there
// into the matching Python exception.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error_already_set() { throw ErrorAlreadySet{}; }

// Throws ErrorAlreadySet when a C API call reported failure: a null result
// or a negative status.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw_error_already_set();
    return result;
}
inline int check(int status) {
    if (status < 0) throw_error_already_set();
    return status;
}

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or null). Ownership only: a call that may
    // fail is checked apart, as in Ref::steal(check(PyList_New(n))).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XSETREF(object_, std::exchange(other.object_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// New Python values, checked.
inline PyObject* new_int(std::uint64_t value) { return check(PyLong_FromUnsignedLongLong(value)); }

inline PyObject* new_str(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace turnsmith::py
