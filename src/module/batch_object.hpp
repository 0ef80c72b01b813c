// The Python object that holds a CubeBatch.
#pragma once

#include "module/python.hpp"

#include "cubeBatch/batch.hpp"
#include "module/access.hpp"

namespace turnsmith::py {

struct BatchObject {
    PyObject ob_base;
    AccessState access;
    BatchStates states;
};

PyTypeObject* cube_batch_type();

}  // namespace turnsmith::py
