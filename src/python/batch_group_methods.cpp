// CubeBatch's group operations: inverses and compositions as new batches,
// piece arrays out and back in, and one-hot inputs for networks. The loops
// only read the batch and run detached.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>

#include "cube/cube_types.hpp"
#include "cube/group.hpp"
#include "engine/batch.hpp"
#include "engine/group_operations.hpp"
#include "engine/operations.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"
#include "python/one_hot_arrays.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;

// ---- inverse and compose ----------------------------------------------------

PyObject* inverse(PyObject* self, PyObject*) {
    return method_call<Batch, Access::shared>(self, [](Batch& batch) {
        return batch.states.visit([]<Cube C>(std::span<C> cubes) {
            return make_batch<C>(cubes.size(), [&](std::span<C> out, auto& run) {
                inverse_internal(std::span<const C>(cubes), out, run);
            });
        });
    });
}

PyObject* compose(const Call<1>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<1>& bound) {
            if (!is_instance<Batch>(bound[0])) throw_type_mismatch(bound[0], "CubeBatch", "other");
            Batch& other = contents_of<Batch>(bound[0]);
            // Shared holds nest: a batch composed with itself is held twice.
            const SharedHold other_hold(other.access);
            if (other.states.cube_type() != batch.states.cube_type()) {
                PyErr_Format(PyExc_TypeError,
                             "CubeBatch.compose() expects a batch of the same cube type: %u, got %u",
                             batch.states.cube_type(), other.states.cube_type());
                throw_error_already_set();
            }
            if (other.states.size() != batch.states.size()) {
                PyErr_Format(PyExc_ValueError, "argument 'other': expected %zu cubes, got %zu",
                             batch.states.size(), other.states.size());
                throw_error_already_set();
            }
            return batch.states.visit([&]<Cube C>(std::span<C> first) {
                std::span<const C> then;
                other.states.visit([&]<Cube D>(std::span<D> cubes) {
                    if constexpr (std::is_same_v<C, D>) then = cubes;
                });
                return make_batch<C>(first.size(), [&](std::span<C> out, auto& run) {
                    compose_internal(std::span<const C>(first), then, out, run);
                });
            });
        });
}

// ---- piece arrays ------------------------------------------------------------

// The names of the piece arrays, as to_pieces returns them and from_pieces
// reads them; the 2x2 has the first two only.
constexpr std::array<const char*, 4> piece_keys = {"corners", "twists", "edges", "flips"};
// How the arguments of from_pieces are named in its messages.
constexpr std::array<const char*, 4> piece_parameters = {"pieces['corners']", "pieces['twists']",
                                                         "pieces['edges']", "pieces['flips']"};

std::size_t piece_key_count(unsigned cube_type) {
    return visit_cube_type(cube_type, []<Cube C>() -> std::size_t { return C::has_edges ? 4 : 2; });
}

PyObject* to_pieces(PyObject* self, PyObject*) {
    return method_call<Batch, Access::shared>(self, [](Batch& batch) {
        require_numpy();
        PieceRows rows = batch.states.visit([]<class C>(std::span<C> cubes) {
            return detached_loop([&](auto&& run) { return pieces_internal(std::span<const C>(cubes), run); });
        });
        Ref dict = Ref::steal(check(PyDict_New()));
        Rows<std::int8_t>* parts[] = {&rows.corners, &rows.twists, &rows.edges, &rows.flips};
        for (std::size_t k = 0; k < piece_key_count(batch.states.cube_type()); ++k) {
            Ref array = Ref::steal(check(make_result_array(std::move(*parts[k]))));
            if (PyDict_SetItemString(dict.get(), piece_keys[k], array.get()) < 0) throw_error_already_set();
        }
        return dict.release();
    });
}

// The array under `key` of a mapping, or null when there is none.
Ref mapping_item(PyObject* mapping, const char* key) {
    PyObject* item = nullptr;
    if (PyMapping_GetOptionalItemString(mapping, key, &item) < 0) throw_error_already_set();
    return Ref::steal(item);
}

PyObject* from_pieces(const Call<2>& call) {
    return function_call(call, [](const Bound<2>& bound) {
        const unsigned cube_type = to_cube_type(bound[1]);
        PyObject* pieces = bound[0];
        // A dict, or a mapping that says so by its keys (a list or str is not one).
        if (!PyDict_Check(pieces) && check(PyObject_HasAttrStringWithError(pieces, "keys")) == 0) {
            throw_type_mismatch(pieces, "dict", "pieces");
        }
        const std::size_t needed = piece_key_count(cube_type);
        std::array<Ref, 4> items;
        for (std::size_t k = 0; k < piece_keys.size(); ++k) {
            items[k] = mapping_item(pieces, piece_keys[k]);
            if (k < needed && !items[k]) {
                PyErr_Format(PyExc_TypeError, "argument 'pieces': no '%s', which cube type %u needs",
                             piece_keys[k], cube_type);
                throw_error_already_set();
            }
            if (k >= needed && items[k]) {
                PyErr_Format(PyExc_TypeError, "argument 'pieces': '%s' given, but cube type %u has no edges",
                             piece_keys[k], cube_type);
                throw_error_already_set();
            }
        }
        require_numpy();
        std::array<std::optional<IntegerArray<std::int8_t>>, 4> arrays;
        PieceInput input{};
        const std::int8_t** data[] = {&input.corners, &input.twists, &input.edges, &input.flips};
        std::size_t rows = 0;
        for (std::size_t k = 0; k < needed; ++k) {
            arrays[k].emplace(items[k].get(), piece_parameters[k]);
            const std::size_t cols = k < 2 ? corner_slots : edge_slots;
            if (k == 0) rows = arrays[k]->rows();
            if (arrays[k]->dimensions() != 2 || arrays[k]->cols() != cols || arrays[k]->rows() != rows) {
                throw_error(PyExc_ValueError, std::string("argument '") + piece_parameters[k] +
                                                  "': expected shape (" + std::to_string(rows) + ", " +
                                                  std::to_string(cols) + "), got " + arrays[k]->shape_text());
            }
            *data[k] = arrays[k]->elements().data();
        }
        const auto fill = [&]<Cube C>() -> PyObject* {
            BatchStates states = BatchStates::unwritten<C>(rows);
            std::size_t bad = rows;
            states.visit([&]<Cube D>(std::span<D> cubes) {
                if constexpr (std::is_same_v<C, D>) {
                    bad = detached_loop([&](auto&& run) {
                        return first_bad_row(
                            rows, [&](std::size_t i) { return !cube_from_pieces(input, i, cubes[i]); }, run);
                    });
                }
            });
            if (bad < rows) {
                // Read again for its text: an array read in place may have been
                // changed by another thread since, and then says so.
                C scratch{};
                const auto fault = cube_from_pieces(input, bad, scratch);
                throw_error(PyExc_ValueError, "argument 'pieces': row " + std::to_string(bad) + ": " +
                                                  fault.value_or("changed during the call"));
            }
            return new_batch_object(std::move(states));
        };
        return visit_cube_type(cube_type, fill);
    });
}

// ---- one-hot rows -----------------------------------------------------------------

// The rows in a new array, or in the caller's `out`, which is returned.
template <class C, class T>
PyObject* one_hot_array(std::span<const C> cubes, OneHotElement<T> element, PyObject* out) {
    if (out == nullptr || out == Py_None) {
        auto rows = detached_loop([&](auto&& run) { return one_hot_internal(cubes, element.one, run); });
        const std::size_t shape[2] = {rows.rows(), rows.cols()};
        return make_result_array(rows.release(), element.type_number, sizeof(T), std::span<const std::size_t>(shape));
    }
    const std::size_t shape[2] = {cubes.size(), C::sticker_dim * one_hot_width};
    T* data = static_cast<T*>(writable_array_data(out, "out", element.type_number, element.name, shape));
    detached_loop([&](auto&& run) { one_hot_into_internal(cubes, data, element.one, false, run); });
    return Py_NewRef(out);
}

PyObject* to_one_hot(const Call<2>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<2>& bound) {
            require_numpy();
            const OneHotType type = to_one_hot_type(bound[0]);
            return batch.states.visit([&]<class C>(std::span<C> cubes) {
                return visit_one_hot_type(type, [&](auto element) {
                    return one_hot_array(std::span<const C>(cubes), element, bound[1]);
                });
            });
        });
}

// ---- the methods -------------------------------------------------------------

constexpr MethodTable group_methods{"CubeBatch", std::tuple{
    method("inverse", inverse,
           "Return a new batch of the inverse states.\n\n"
           "Cube i followed by cube i of the result is solved (self.compose(self.inverse())\n"
           "is all solved), and so is the other order."),
    method("compose", {"other"}, compose,
           "Return a new batch: cube i followed by cube i of other.\n\n"
           "As move sequences: the moves that made cube i, then those that made other[i],\n"
           "applied to a solved cube. other is a CubeBatch of the same cube type and length."),
    method("to_pieces", to_pieces,
           "Return the pieces of all cubes as a dict of NumPy int8 arrays.\n\n"
           "'corners' and 'twists' have shape (len(self), 8); for 3x3 cubes 'edges' and\n"
           "'flips' have shape (len(self), 12). Entry [i, s] is the piece in slot s of cube\n"
           "i and its twist (0..2) or flip (0..1), slots in the order of the words."),
    class_method("from_pieces", {"pieces", "cube_type"}, from_pieces,
                 "Return a batch of the cubes of the given piece arrays, each checked to be reachable.\n\n"
                 "pieces is a mapping as to_pieces returns it: 'corners' and 'twists' of shape\n"
                 "(N, 8), and for cube type 3 'edges' and 'flips' of shape (N, 12)."),
    method("to_one_hot", {defaulted("dtype", "'float32'"), defaulted("out", "None")}, to_one_hot,
           "Return the stickers one-hot encoded, shape (len(self), sticker_dim * 6).\n\n"
           "Entry [i, 6 * s + c] is 1 when sticker s of cube i (in the order of\n"
           "to_sticker_array) has colour c, else 0. dtype is anything numpy.dtype reads as\n"
           "float32 (the default), float16 or uint8, such as numpy.float16. With out, the\n"
           "rows are written into that array, which is returned: it must be a C-contiguous,\n"
           "writeable array of exactly the shape and dtype the call would return."),
}};

}  // namespace

std::span<const PyMethodDef> batch_group_rows() {
    static const auto rows = method_rows<group_methods>();
    return rows;
}

}  // namespace turnsmith::py
