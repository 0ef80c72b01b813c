// Small RAII helpers over the CPython C API shared by every Python-facing file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace turnsmith::py {

// Thrown after a Python exception has been set; the call boundary returns the
// error indicator and the interpreter sees the exception already in place.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error_already_set() { throw ErrorAlreadySet{}; }

// Throws ErrorAlreadySet when a C API call reported failure with a null result.
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
    // Takes over a new reference; a null one means a Python error is set.
    static Ref steal(PyObject* object) { return Ref(check(object)); }
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

}  // namespace turnsmith::py
