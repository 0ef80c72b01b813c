// CubeBatch and the 48 symmetries of the cube: the images of its states
// under one symmetry or one each, every state's least image (its class's
// representative), and the table of what each symmetry makes of each move,
// a class attribute. The loops only read the batch and run detached.
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "cube/symmetries.hpp"
#include "engine/batch.hpp"
#include "engine/symmetry_operations.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/batch_object.hpp"
#include "python/call.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"

namespace turnsmith::py {
namespace {

using Batch = BatchContents;
using symmetries::symmetry_count;

[[noreturn]] void throw_not_a_symmetry(long long value, std::size_t position, bool in_array) {
    if (in_array) {
        PyErr_Format(PyExc_ValueError, "argument 'k': position %zu holds %lld, but symmetries are 0..%u",
                     position, value, symmetry_count - 1);
    } else {
        PyErr_Format(PyExc_ValueError, "argument 'k': %lld is not a symmetry: symmetries are 0..%u", value,
                     symmetry_count - 1);
    }
    throw_error_already_set();
}

PyObject* symmetric(const Call<1>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<1>& bound) {
            return batch.states.visit([&]<Cube C>(std::span<C> stored) -> PyObject* {
                const std::span<const C> cubes(stored);
                if (PyLong_Check(bound[0]) || (PyIndex_Check(bound[0]) && !PySequence_Check(bound[0]))) {
                    const std::int64_t k = to_int64(bound[0], "k");
                    if (k < 0 || k >= std::int64_t{symmetry_count}) throw_not_a_symmetry(k, 0, false);
                    return make_batch<C>(cubes.size(), [&](std::span<C> out, auto& run) {
                        symmetric_internal(cubes, static_cast<unsigned>(k), out, run);
                    });
                }
                require_numpy();
                const IntegerArray<std::int64_t> ks(bound[0], "k");
                if (ks.dimensions() != 1 || ks.rows() != cubes.size()) {
                    throw_error(PyExc_ValueError, "argument 'k': expected an int or shape (" +
                                                      std::to_string(cubes.size()) + ",), got " +
                                                      ks.shape_text());
                }
                // Held apart: the caller's array is not locked against other writers.
                std::vector<std::uint8_t> numbers(cubes.size());
                for (std::size_t at = 0; at < numbers.size(); ++at) {
                    const std::int64_t k = ks.elements()[at];
                    if (k < 0 || k >= std::int64_t{symmetry_count}) throw_not_a_symmetry(k, at, true);
                    numbers[at] = static_cast<std::uint8_t>(k);
                }
                return make_batch<C>(cubes.size(), [&](std::span<C> out, auto& run) {
                    symmetric_each_internal(cubes, std::span<const std::uint8_t>(numbers), out, run);
                });
            });
        });
}

PyObject* canonical(const Call<1>& call) {
    return method_call<Batch, Access::shared>(
        call, [](Batch& batch, const Bound<1>& bound) {
            const bool with_inverse = to_flag(bound[0]);
            symmetries::corner_tables();  // made here, before the workers need them
            return batch.states.visit([&]<Cube C>(std::span<C> stored) {
                const std::span<const C> cubes(stored);
                return make_batch<C>(cubes.size(), [&](std::span<C> out, auto& run) {
                    canonical_internal(cubes, with_inverse, out, run);
                });
            });
        });
}

// ---- SYMMETRY_MOVES ----------------------------------------------------------

// The table as a read-only int8 array of (48, 12), made on first use: NumPy
// is imported only when an array is first asked for.
PyObject* symmetry_moves_array() {
    static constinit std::atomic<PyObject*> made{nullptr};
    if (PyObject* array = made.load(std::memory_order_acquire)) return Py_NewRef(array);
    require_numpy();
    auto rows = Rows<std::int8_t>::zeroed(symmetry_count, move_count);
    for (unsigned k = 0; k < symmetry_count; ++k) {
        for (MoveIndex move = 0; move < move_count; ++move)
            rows.row(k)[move] = static_cast<std::int8_t>(symmetries::all()[k].moved[move]);
    }
    Ref array = Ref::steal(make_result_array(std::move(rows)));
    const Ref read_only =
        Ref::steal(check(PyObject_CallMethod(array.get(), "setflags", "OOO", Py_False, Py_None, Py_None)));
    PyObject* expected = nullptr;
    if (made.compare_exchange_strong(expected, array.get(), std::memory_order_acq_rel)) {
        array.release();  // kept for the life of the process
        return Py_NewRef(made.load(std::memory_order_acquire));
    }
    return Py_NewRef(expected);  // another thread's, the same values
}

// A descriptor that gives the table on the class and on its instances alike.
PyObject* symmetry_moves_get(PyObject*, PyObject*, PyObject*) {
    return guarded([] { return symmetry_moves_array(); });
}

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>("The move each symmetry makes of each move, as CubeBatch.SYMMETRY_MOVES.")},
    {Py_tp_descr_get, reinterpret_cast<void*>(symmetry_moves_get)},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {"builtins.SymmetryMovesTable", static_cast<int>(sizeof(PyObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, descriptor_slots};

// ---- the methods -------------------------------------------------------------

constexpr MethodTable symmetry_methods{"CubeBatch", std::tuple{
    method("symmetric", {"k"}, symmetric,
           "Return a new batch of the states conjugated by symmetry k: S X S^-1.\n\n"
           "k is one symmetry (0..47) for every cube, or an int array of one per cube.\n"
           "Symmetry k = q + 4 h + 8 a + 24 m: mirrored through the L-R plane when m is 1,\n"
           "given a half turn about the F-B axis when h is 1, turned q quarter turns\n"
           "about the U-D axis (F onto R), then turned to put the U-D axis where a\n"
           "names it (0 U-D, 1 R-L, 2 F-B). 0 is the identity, 0..23 are the whole-cube\n"
           "turns, 24..47 the mirrored ones. A solution of a state maps through\n"
           "SYMMETRY_MOVES[k] to a solution of its image."),
    method("canonical", {defaulted("inverse", "False")}, canonical,
           "Return a new batch of each state's representative among its 48 images.\n\n"
           "The representative is the least image: the least corner word, and among\n"
           "images with that corner word the least edge word. With inverse=True the\n"
           "least among the 96 images of the state and of its inverse. States of one\n"
           "class have the same representative."),
}};

}  // namespace

void add_batch_class_attributes(PyTypeObject* batch_type) {
    PyTypeObject* descriptor_type = type_once<descriptor_spec>();
    Ref descriptor = Ref::steal(check(PyType_GenericAlloc(descriptor_type, 0)));
    check(
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(batch_type), "SYMMETRY_MOVES", descriptor.get()));
}

std::span<const PyMethodDef> batch_symmetry_rows() {
    static const auto rows = method_rows<symmetry_methods>();
    return rows;
}

}  // namespace turnsmith::py
