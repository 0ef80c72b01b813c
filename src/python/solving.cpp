#include "python/solving.hpp"

#include "python/errors.hpp"

namespace turnsmith::py {

unsigned to_max_length(PyObject* value, unsigned diameter) {
    if (value == nullptr || value == Py_None) return diameter;
    if (!PyIndex_Check(value)) throw_type_mismatch(value, "int", "max_length");
    Ref index = Ref::steal(check(PyNumber_Index(value)));
    int overflow = 0;
    const long long bound = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (bound == -1 && PyErr_Occurred()) throw_error_already_set();
    if (overflow != 0 || bound < 0 || bound > longest_bound) {
        PyErr_Format(PyExc_ValueError, "argument 'max_length': expected None or an int in 0..%u, got %S",
                     longest_bound, index.get());
        throw_error_already_set();
    }
    return static_cast<unsigned>(bound);
}

void no_solution_within(unsigned max_length) {
    PyErr_Format(PyExc_ValueError, "no solution of at most %u quarter turns exists", max_length);
    throw_error_already_set();
}

}  // namespace turnsmith::py
