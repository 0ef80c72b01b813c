#include "module/numpy.hpp"

#include <atomic>
#include <string>
#include <type_traits>

#include "module/type_objects.hpp"
#include "module/errors.hpp"

namespace turnsmith::py {
namespace {

// ---- the C-API table -----------------------------------------------------

// Published slots of NumPy's multiarray C-API table (stable across 1.x and 2.x).
enum ApiSlot : int {
    slot_array_type = 2,
    slot_descr_from_type = 45,
    slot_new_from_descr = 94,
    slot_equiv_types = 182,
    slot_set_base_object = 282,
};

// The leading fields of every ndarray object, as NumPy publishes them.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr int flag_c_contiguous = 0x1;
constexpr int flag_f_contiguous = 0x2;
constexpr int flag_aligned = 0x100;
constexpr int flag_writeable = 0x400;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, Py_intptr_t*, Py_intptr_t*, void*, int,
                                   PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

// The pending Python exception becomes an internal fault whose text names it.
[[noreturn]] void fault_from_python_error(const char* prefix) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    std::string text = prefix;
    PyObject* description = PyUnicode_FromFormat("%s: %S", Py_TYPE(error.get())->tp_name, error.get());
    const char* utf8 = description ? PyUnicode_AsUTF8(description) : nullptr;
    (text += ": ") += utf8 ? utf8 : "<no description>";
    Py_XDECREF(description);
    PyErr_Clear();
    internal_fault(text);
}

Ref import_attribute(const char* module, const char* attribute) {
    Ref imported = Ref::steal(check(PyImport_ImportModule(module)));
    return Ref::steal(check(PyObject_GetAttrString(imported.get(), attribute)));
}

// "numpy._core.multiarray" for NumPy 2, "numpy.core.multiarray" before.
std::string multiarray_module_name() {
    Ref version = import_attribute("numpy", "__version__");
    Ref numpy_version = import_attribute("numpy.lib", "NumpyVersion");
    Ref parsed = Ref::steal(check(PyObject_CallOneArg(numpy_version.get(), version.get())));
    Ref major = Ref::steal(check(PyObject_GetAttrString(parsed.get(), "major")));
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) throw_error_already_set();
    if (value < 0 || value > 255) {
        PyErr_Format(PyExc_ValueError, "unexpected NumPy major version %ld", value);
        throw_error_already_set();
    }
    return value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void** locate_api_table() {
    Ref capsule = import_attribute(multiarray_module_name().c_str(), "_ARRAY_API");
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        throw_error_already_set();
    }
    void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    if (table == nullptr) throw_error_already_set();
    // The capsule's module stays imported for the process, and the table with it.
    return static_cast<void**>(table);
}

void** api_table() {
    static std::atomic<void**> table{nullptr};
    if (void** known = table.load(std::memory_order_acquire)) return known;
    // Threads racing here all find NumPy's one table; storing it twice is harmless.
    void** located = nullptr;
    try {
        located = locate_api_table();
    } catch (const ErrorAlreadySet&) {
        // The fault texts of the NumPy bridge are fixed wording, deliberate (this
        // one is pinned by the tests).
        fault_from_python_error("Failed to access NumPy array API capsule");
    }
    table.store(located, std::memory_order_release);
    return located;
}

template <class Function>
Function api(ApiSlot slot) {
    return reinterpret_cast<Function>(api_table()[slot]);
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api_table()[slot_array_type]); }

// ---- the keeper object ---------------------------------------------------

// Owns a result array's buffer; NumPy holds the only reference, as the array's base.
struct KeeperContents {
    explicit KeeperContents(row_memory::Owned&& owned) noexcept : memory(std::move(owned)) {}

    row_memory::Owned memory;
};

}  // namespace

template <>
struct PythonClass<KeeperContents> {
    // "PySliceContainer" under "builtins" is the keeper's published name, which
    // callers see as type(array.base); deliberate, and pinned by the tests.
    static constexpr const char* name = "PySliceContainer";
    static PyTypeObject* type();
};

namespace {

PyType_Slot keeper_slots[] = {
    {Py_tp_doc, const_cast<char*>("Owns the memory of an array returned by turnsmith.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<KeeperContents>)},
    {0, nullptr},
};

PyType_Spec keeper_spec = type_spec<KeeperContents>(
    "builtins.PySliceContainer", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, keeper_slots);

Ref make_keeper(row_memory::Owned& memory) {
    try {
        return Ref::steal(construct<KeeperContents>(std::move(memory)));
    } catch (const ErrorAlreadySet&) {
        fault_from_python_error("Failed to create slice container");
    }
}

// Stands in for the data pointer of an empty result, which NumPy must not own.
alignas(std::int64_t) constinit std::int64_t empty_data[1] = {};

}  // namespace

PyTypeObject* PythonClass<KeeperContents>::type() {
    return type_once<keeper_spec>();
}

void require_numpy() { api_table(); }

PyObject* make_result_array(row_memory::Owned memory, int type_number, std::size_t element_size,
                            std::span<const std::size_t> shape) {
    const auto new_from_descr = api<NewFromDescr>(slot_new_from_descr);
    const auto descr_from_type = api<DescrFromType>(slot_descr_from_type);
    const auto set_base_object = api<SetBaseObject>(slot_set_base_object);

    const int dimensions = static_cast<int>(shape.size());
    const bool empty = memory.bytes() == 0;
    Py_intptr_t sizes[2] = {};
    Py_intptr_t strides[2] = {};
    Py_intptr_t stride = static_cast<Py_intptr_t>(element_size);
    for (int d = dimensions - 1; d >= 0; --d) {
        sizes[d] = static_cast<Py_intptr_t>(shape[static_cast<std::size_t>(d)]);
        strides[d] = empty ? 0 : stride;
        stride *= sizes[d];
    }
    void* data = empty ? empty_data : memory.data();

    Ref keeper = make_keeper(memory);
    PyObject* descr = check(descr_from_type(type_number));
    Ref array = Ref::steal(
        check(new_from_descr(array_type(), descr, dimensions, sizes, strides, data, flag_writeable, nullptr)));
    // The base takes over the keeper's reference, also when it fails.
    check(set_base_object(array.get(), keeper.release()));
    return array.release();
}

template <class T>
ArrayRead<T>::ArrayRead(PyObject* value, const char* parameter) {
    static_assert(sizeof(T) == 8);
    constexpr int type_number = npy_type_number<T>;
    const auto descr_from_type = api<DescrFromType>(slot_descr_from_type);
    const auto equiv_types = api<EquivTypes>(slot_equiv_types);

    // Every refusal names 'ndarray', also for an ndarray of the wrong shape or
    // dtype ("'ndarray' object is not an instance of 'ndarray'"): the published
    // text, deliberate, and pinned by the tests.
    if (!PyObject_TypeCheck(value, array_type())) throw_type_mismatch(value, "ndarray", parameter);
    const auto* fields = reinterpret_cast<const ArrayFields*>(value);
    if (fields->nd != 1) throw_type_mismatch(value, "ndarray", parameter);
    Ref wanted = Ref::steal(check(descr_from_type(type_number)));
    if (fields->descr != wanted.get() && !equiv_types(fields->descr, wanted.get())) {
        throw_type_mismatch(value, "ndarray", parameter);
    }
    array_ = Ref::borrow(value);

    const auto count = static_cast<std::size_t>(fields->dimensions[0]);
    if (count == 0) return;
    const bool contiguous = (fields->flags & (flag_c_contiguous | flag_f_contiguous)) != 0;
    if ((fields->flags & flag_aligned) == 0 || !contiguous || fields->data == nullptr) {
        // "AsSliceError" is the fault's published name, pinned by the tests.
        internal_fault(std::string("argument '") + parameter +
                       "' is not an aligned, contiguous array: AsSliceError");
    }
    elements_ = {reinterpret_cast<const T*>(fields->data), count};
}

template class ArrayRead<std::int64_t>;
template class ArrayRead<std::uint64_t>;

}  // namespace turnsmith::py
