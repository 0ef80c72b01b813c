// How failures cross the module boundary: the type-mismatch wording, the
// PanicException raised for internal faults, and the guard that turns every
// C++ exception of a call into the matching Python exception.
#pragma once

#include "python/python.hpp"

#include <type_traits>
#include <new>
#include <string>
#include <string_view>

#include "base/fault.hpp"

namespace turnsmith::py {

// "'int' object is not an instance of 'str'", or "'None' is not an instance of 'str'".
PyObject* type_mismatch_text(PyObject* value, std::string_view expected);

// Raises TypeError with the type-mismatch text, behind "argument 'NAME': " when a
// parameter is named.
[[noreturn]] void throw_type_mismatch(PyObject* value, std::string_view expected,
                                      const char* parameter = nullptr);

// Replaces a pending exception of exactly TypeError by one whose message names the
// parameter; any other exception (OverflowError, UnicodeEncodeError, ...) stays.
[[noreturn]] void throw_conversion_error(const char* parameter);

[[noreturn]] void throw_error(PyObject* exception_type, const char* message);
[[noreturn]] inline void throw_error(PyObject* exception_type, const std::string& message) {
    throw_error(exception_type, message.c_str());
}

// Raises ValueError: "argument 'NAME': expected shape EXPECTED, got GOT".
[[noreturn]] void throw_shape_error(const char* parameter, const std::string& expected,
                                    const std::string& got);

// The class of PanicException, created on first use and kept for the process.
PyObject* panic_exception_type();

// Sets PanicException with the fault's text after reporting it on stderr.
void raise_panic(std::string_view text) noexcept;

namespace detail {
void translate_current_exception() noexcept;
}

// What each kind of C slot returns to report a failure; a body whose result
// kind is not listed here does not compile.
template <class Result>
struct SlotFailure;
template <>
struct SlotFailure<PyObject*> {  // functions, methods, getters, tp_new, tp_str
    static constexpr PyObject* value = nullptr;
};
template <>
struct SlotFailure<int> {  // status slots such as Py_mod_exec: 0 is success
    static constexpr int value = -1;
};
template <>
struct SlotFailure<Py_ssize_t> {  // lengths
    static constexpr Py_ssize_t value = -1;
};

// Runs the body of a Python-facing call; any exception it throws stops here and
// becomes a Python exception, and the slot's failure value is returned in its
// place.
template <class Body, class Result = std::invoke_result_t<Body>>
Result guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        detail::translate_current_exception();
        return SlotFailure<Result>::value;
    }
}

}  // namespace turnsmith::py
