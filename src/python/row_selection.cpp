#include "python/row_selection.hpp"

#include <string>

#include "python/errors.hpp"
#include "python/numpy.hpp"

namespace turnsmith::py {
namespace {

std::vector<std::int64_t> sliced_rows(PyObject* key, std::size_t count) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    check(PySlice_Unpack(key, &start, &stop, &step));
    const Py_ssize_t length = PySlice_AdjustIndices(static_cast<Py_ssize_t>(count), &start, &stop, step);
    std::vector<std::int64_t> rows(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = start + static_cast<Py_ssize_t>(i) * step;
    return rows;
}

std::vector<std::int64_t> masked_rows(const BoolValues& mask, std::size_t count, const char* parameter) {
    if (mask.dimensions != 1 || mask.values.size() != count) {
        throw_error(PyExc_IndexError, std::string("argument '") + parameter + "': a mask of " +
                                          std::to_string(mask.values.size()) + " values in " +
                                          std::to_string(mask.dimensions) +
                                          " dimensions, but the batch has " + std::to_string(count) +
                                          " cubes (a mask is 1-D, one value per cube)");
    }
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < count; ++i) {
        if (mask.values[i] != 0) rows.push_back(static_cast<std::int64_t>(i));
    }
    return rows;
}

std::vector<std::int64_t> indexed_rows(PyObject* key, std::size_t count, const char* parameter) {
    const IntegerArray<std::int64_t> indexes(key, parameter);
    if (indexes.dimensions() != 1) throw_shape_error(parameter, "(N,)", indexes.shape_text());
    const auto size = static_cast<std::int64_t>(count);
    std::vector<std::int64_t> rows(indexes.elements().begin(), indexes.elements().end());
    for (std::int64_t& row : rows) {
        if (row < -size || row >= size) {
            PyErr_Format(PyExc_IndexError, "index %lld is out of range for a batch of %lld cubes",
                         static_cast<long long>(row), static_cast<long long>(size));
            throw_error_already_set();
        }
        if (row < 0) row += size;
    }
    return rows;
}

}  // namespace

std::vector<std::int64_t> selected_rows(PyObject* key, std::size_t count, const char* parameter) {
    if (PySlice_Check(key)) return sliced_rows(key, count);
    require_numpy();
    if (const auto mask = read_bools(key)) return masked_rows(*mask, count, parameter);
    return indexed_rows(key, count, parameter);
}

}  // namespace turnsmith::py
