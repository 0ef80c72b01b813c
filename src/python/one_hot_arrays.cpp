#include "python/one_hot_arrays.hpp"

#include <string_view>

#include "python/errors.hpp"

namespace turnsmith::py {
namespace {

// The names NumPy gives the three types themselves: read without NumPy, so a
// single cube's row costs no dtype object.
bool named_type(PyObject* value, OneHotType& type) {
    if (!PyUnicode_CheckExact(value)) return false;
    const char* text = PyUnicode_AsUTF8(value);
    if (text == nullptr) throw_error_already_set();
    const std::string_view name(text);
    if (name == "float32") type = OneHotType::float32;
    else if (name == "float16") type = OneHotType::float16;
    else if (name == "uint8") type = OneHotType::uint8;
    else return false;
    return true;
}

}  // namespace

OneHotType to_one_hot_type(PyObject* value) {
    if (value == nullptr) return OneHotType::float32;
    if (OneHotType type{}; named_type(value, type)) return type;
    Ref numpy = Ref::steal(check(PyImport_ImportModule("numpy")));
    Ref dtype_type = Ref::steal(check(PyObject_GetAttrString(numpy.get(), "dtype")));
    Ref dtype = Ref::steal(PyObject_CallOneArg(dtype_type.get(), value));
    if (!dtype) throw_conversion_error("dtype");
    Ref number = Ref::steal(check(PyObject_GetAttrString(dtype.get(), "num")));
    Ref native = Ref::steal(check(PyObject_GetAttrString(dtype.get(), "isnative")));
    const long type_number = PyLong_AsLong(number.get());
    if (type_number == -1 && PyErr_Occurred()) throw_error_already_set();
    if (check(PyObject_IsTrue(native.get())) == 1) {
        for (const OneHotType type : {OneHotType::float32, OneHotType::float16, OneHotType::uint8}) {
            if (visit_one_hot_type(type, [](auto element) { return element.type_number; }) == type_number) {
                return type;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, "argument 'dtype': expected float32, float16 or uint8, got %R", dtype.get());
    throw_error_already_set();
}

}  // namespace turnsmith::py
