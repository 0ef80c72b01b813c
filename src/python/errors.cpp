#include "python/errors.hpp"

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>

namespace turnsmith::py {

PyObject* type_mismatch_text(PyObject* value, std::string_view expected) {
    const int width = static_cast<int>(expected.size());
    if (value == Py_None) {
        return PyUnicode_FromFormat("'None' is not an instance of '%.*s'", width, expected.data());
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(value));
    if (qualname == nullptr) {
        PyErr_Clear();
        return PyUnicode_FromFormat("'<failed to extract type name>' object is not an instance of '%.*s'",
                                    width, expected.data());
    }
    Ref name = Ref::steal(qualname);
    return PyUnicode_FromFormat("'%U' object is not an instance of '%.*s'", name.get(), width,
                                expected.data());
}

void throw_type_mismatch(PyObject* value, std::string_view expected, const char* parameter) {
    Ref text = Ref::steal(check(type_mismatch_text(value, expected)));
    if (parameter != nullptr) {
        text = Ref::steal(check(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get())));
    }
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw_error_already_set();
}

void throw_conversion_error(const char* parameter) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        throw_error_already_set();
    }
    Ref original = Ref::steal(raised);
    Ref message = Ref::steal(check(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get())));
    Ref replacement = Ref::steal(check(PyObject_CallOneArg(PyExc_TypeError, message.get())));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
    throw_error_already_set();
}

void throw_error(PyObject* exception_type, const char* message) {
    PyErr_SetString(exception_type, message);
    throw_error_already_set();
}

void throw_shape_error(const char* parameter, const std::string& expected, const std::string& got) {
    throw_error(PyExc_ValueError,
                std::string("argument '") + parameter + "': expected shape " + expected + ", got " + got);
}

// "turnsmith.PanicException", a BaseException, is the published class of
// internal faults; deliberate, and pinned by the tests.
PyObject* panic_exception_type() {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* type = cached.load(std::memory_order_acquire)) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "turnsmith.PanicException",
        "Raised when turnsmith's native code fails.\n\n"
        "Like SystemExit, it derives from BaseException, so that it usually travels up to the "
        "top and ends the interpreter instead of being caught by 'except Exception'.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // Two threads may fault at once: the first class stored wins, the other is dropped.
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

void raise_panic(std::string_view text) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the failure to create it is the exception left set
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

namespace {
// Faults other than InternalFault have not reported themselves yet. The
// wording is fixed, deliberately, like the panic report's.
void report_unexpected(const char* what) noexcept {
    std::fprintf(stderr, "turnsmith: native code failed: %s\n", what);
    std::fflush(stderr);
}
}  // namespace

void detail::translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        // The Python exception is already in place.
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    } catch (const OutOfMemory& error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        report_unexpected(error.what());
        raise_panic(error.what());
    } catch (...) {
        constexpr const char* generic = "turnsmith native code failed with an unknown error";
        report_unexpected(generic);
        raise_panic(generic);
    }
}

}  // namespace turnsmith::py
