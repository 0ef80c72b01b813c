// What a CubeBatch object holds, and its class.
#pragma once

#include "module/python.hpp"

#include "cubeBatch/batch.hpp"
#include "module/access.hpp"
#include "module/type_objects.hpp"

namespace turnsmith::py {

struct BatchContents {
    explicit BatchContents(BatchStates&& cubes) noexcept : states(std::move(cubes)) {}

    AccessState access;
    BatchStates states;
};

template <>
struct PythonClass<BatchContents> {
    static constexpr const char* name = "CubeBatch";
    static PyTypeObject* type();
};

}  // namespace turnsmith::py
