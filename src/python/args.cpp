#include "python/args.hpp"

#include <string>

#include "python/errors.hpp"

namespace turnsmith::py {
namespace {

std::string display_name(const ArgSpec& spec) {
    std::string name;
    if (spec.owner != nullptr) (name += spec.owner) += '.';
    return name += spec.name;
}

[[noreturn]] void throw_too_many(const ArgSpec& spec, Py_ssize_t given) {
    const std::string display = display_name(spec);
    const char* verb = given == 1 ? "was" : "were";
    const std::size_t count = spec.parameters.size();
    if (spec.required == count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", display.c_str(),
                     count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     display.c_str(), spec.required, count, given, verb);
    }
    throw_error_already_set();
}

[[noreturn]] void throw_missing(const ArgSpec& spec, std::span<PyObject*> out) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < spec.required; ++i) missing += out[i] == nullptr;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (out[i] != nullptr) continue;
        if (listed > 0) names += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
        ((names += '\'') += spec.parameters[i]) += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", display_name(spec).c_str(),
                 missing, missing == 1 ? "argument" : "arguments", names.c_str());
    throw_error_already_set();
}

// Puts one keyword argument into its parameter's slot.
void bind_keyword(const ArgSpec& spec, PyObject* keyword, PyObject* value, std::span<PyObject*> out) {
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (bytes == nullptr) PyErr_Clear();  // not encodable: matches no parameter
    const std::string_view name =
        bytes ? std::string_view(bytes, static_cast<std::size_t>(length)) : std::string_view();
    for (std::size_t i = 0; bytes != nullptr && i < spec.parameters.size(); ++i) {
        if (name != spec.parameters[i]) continue;
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         display_name(spec).c_str(), keyword);
            throw_error_already_set();
        }
        out[i] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", display_name(spec).c_str(),
                 keyword);
    throw_error_already_set();
}

void bind_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> out) {
    if (static_cast<std::size_t>(nargs) > spec.parameters.size()) throw_too_many(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
}

void check_required(const ArgSpec& spec, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (out[i] == nullptr) throw_missing(spec, out);
    }
}

}  // namespace

void bind_vector(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::span<PyObject*> out) {
    nargs = PyVectorcall_NARGS(nargs);
    bind_positional(spec, args, nargs, out);
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    check_required(spec, out);
}

void bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    bind_positional(spec, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr) {
        // The dict is the call's own fresh copy, so no other thread can change it.
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) bind_keyword(spec, keyword, value, out);
    }
    check_required(spec, out);
}

std::string_view to_utf8(PyObject* value, const char* parameter) {
    if (!PyUnicode_Check(value)) throw_type_mismatch(value, "str", parameter);
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(value, &length);
    if (bytes == nullptr) throw_conversion_error(parameter);
    return {bytes, static_cast<std::size_t>(length)};
}

static_assert(sizeof(long) == sizeof(std::int64_t), "a C long holds a signed 64-bit value");

std::int64_t to_int64(PyObject* value, const char* parameter) {
    const long result = PyLong_AsLong(value);
    if (result == -1 && PyErr_Occurred()) throw_conversion_error(parameter);
    return result;
}

std::uint64_t to_uint64(PyObject* value, const char* parameter) {
    Ref integer = Ref::borrow(value);
    if (!PyLong_Check(value)) {
        PyObject* index = PyNumber_Index(value);
        if (index == nullptr) throw_conversion_error(parameter);
        integer = Ref::steal(index);
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_conversion_error(parameter);
    return result;
}

}  // namespace turnsmith::py
