// CubeBatch edited in place: cubes written into chosen rows, and one move per
// cube by any integer dtype. The loops change the batch, so they stay
// attached, like scramble.
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "engine/batch.hpp"
#include "engine/operations.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"
#include "python/row_selection.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;

// Writes `values` into the selected rows of `cubes`, one per row.
template <Cube C>
void put_cubes(std::span<C> cubes, const std::vector<std::int64_t>& rows, std::span<const C> values) {
    if (values.size() != rows.size()) {
        throw_error(PyExc_ValueError, "argument 'values': expected " + std::to_string(rows.size()) +
                                          " cubes, one per selected row, got " + std::to_string(values.size()));
    }
    attached_loop([&](auto&& run) { put_internal(cubes, std::span<const std::int64_t>(rows), values, run); });
}

// The values are a batch of C, or words checked as from_words checks them;
// the batch itself is copied first, as its rows are overwritten while read.
template <Cube C>
void put_from(std::span<C> cubes, const std::vector<std::int64_t>& rows, PyObject* self, PyObject* value) {
    if (value == self) {
        const std::vector<C> copy(cubes.begin(), cubes.end());
        put_cubes(cubes, rows, std::span<const C>(copy));
        return;
    }
    Ref source = Ref::borrow(value);
    if (!is_instance<Batch>(value)) {
        Ref cube_type = Ref::steal(check(PyLong_FromUnsignedLong(C::cube_type)));
        source = Ref::steal(batch_from_words_object(value, cube_type.get()));
    }
    Batch& other = contents_of<Batch>(source.get());
    const SharedHold hold(other.access);
    other.states.visit([&]<Cube D>(std::span<D> values) {
        if constexpr (std::is_same_v<C, D>) {
            put_cubes(cubes, rows, std::span<const C>(values));
        } else {
            throw_error(PyExc_ValueError, "argument 'values': expected cubes of type " +
                                              std::to_string(C::cube_type) + ", got a batch of cube type " +
                                              std::to_string(D::cube_type));
        }
    });
}

PyObject* put(const Call<2>& call) {
    return method_call<Batch, Access::exclusive>(call, [&](Batch& batch, const Bound<2>& bound) {
        const std::vector<std::int64_t> rows = selected_rows(bound[0], batch.states.size(), "indexes");
        batch.states.visit([&](auto cubes) { put_from(cubes, rows, call.self, bound[1]); });
        return Py_NewRef(Py_None);
    });
}

// No move on a cube: -1, which read as unsigned is past the twelve moves,
// so apply_move_indexes_internal leaves the cube as it is.
constexpr std::int64_t no_move = -1;

PyObject* apply_moves(const Call<1>& call) {
    return method_call<Batch, Access::exclusive>(call, [](Batch& batch, const Bound<1>& bound) {
        const IntegerArray<std::int64_t> moves(bound[0], "moves", "move indexes are 0..11, or -1 for no move");
        if (moves.dimensions() != 1 || moves.rows() != batch.states.size()) {
            throw_shape_error("moves", "(" + std::to_string(batch.states.size()) + ",)", moves.shape_text());
        }
        const std::span<const std::int64_t> values = moves.elements();
        for (std::size_t row = 0; row < values.size(); ++row) {
            if (values[row] < no_move || values[row] >= static_cast<std::int64_t>(move_count)) {
                PyErr_Format(PyExc_ValueError,
                             "argument 'moves': row %zu holds %lld, but move indexes are 0..11 (-1 for no move)",
                             row, static_cast<long long>(values[row]));
                throw_error_already_set();
            }
        }
        const std::span<const std::uint64_t> indexes(reinterpret_cast<const std::uint64_t*>(values.data()),
                                                     values.size());
        batch.states.visit([&](auto cubes) {
            attached_loop([&](auto&& run) { apply_move_indexes_internal(cubes, indexes, run); });
        });
        return Py_NewRef(Py_None);
    });
}

constexpr MethodTable edit_methods{"CubeBatch", std::tuple{
    method("put", {"indexes", "values"}, put,
           "Write cubes into the rows that indexes selects.\n\n"
           "indexes is an integer array (negative indexes count from the end; a row named\n"
           "twice keeps the later cube, as NumPy's a[indexes] = values), a bool mask with\n"
           "one value per cube, or a slice. values is a CubeBatch of the same cube type\n"
           "with one cube per selected row, or words that from_words reads for this cube\n"
           "type, checked as from_words checks them."),
    method("apply_moves", {"moves"}, apply_moves,
           "Turn cube i by move index moves[i] (0..11), or not at all where it is -1.\n\n"
           "moves is a 1-D array of any integer dtype, one entry per cube; any other value\n"
           "is a ValueError naming its row."),
}};

}  // namespace

std::span<const PyMethodDef> batch_edit_rows() {
    static const auto rows = method_rows<edit_methods>();
    return rows;
}

}  // namespace turnsmith::py
