#include "python/numpy.hpp"

#include <atomic>
#include <string>
#include <algorithm>
#include <limits>
#include <type_traits>

#include "python/type_objects.hpp"
#include "python/errors.hpp"

namespace turnsmith::py {
namespace {

// ---- the C-API table -----------------------------------------------------

// Published slots of NumPy's multiarray C-API table (stable across 1.x and 2.x).
enum ApiSlot : int {
    slot_abi_version = 0,  // PyArray_GetNDArrayCVersion
    slot_array_type = 2,
    slot_descr_from_type = 45,
    slot_new_from_descr = 94,
    slot_equiv_types = 182,
    slot_api_version = 211,  // PyArray_GetNDArrayCFeatureVersion
    slot_set_base_object = 282,
};

// What the slots and the array fields below assume of the running NumPy: an
// ABI of NumPy 1.x or 2.x (the ABI version's top byte), and a C-API version
// that has every slot used, PyArray_SetBaseObject the newest (NumPy 1.7).
constexpr unsigned first_abi_major = 1;
constexpr unsigned last_abi_major = 2;
constexpr int abi_major_shift = 24;
constexpr unsigned oldest_api_version = 7;

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

using VersionQuery = unsigned (*)();

// Refuses, with ImportError, a NumPy whose table the slots above do not fit,
// rather than call into the wrong function.
void check_interface(void** table) {
    const unsigned abi = reinterpret_cast<VersionQuery>(table[slot_abi_version])();
    const unsigned api = reinterpret_cast<VersionQuery>(table[slot_api_version])();
    const unsigned abi_major = abi >> abi_major_shift;
    if (abi_major >= first_abi_major && abi_major <= last_abi_major && api >= oldest_api_version) return;
    PyErr_Format(PyExc_ImportError,
                 "NumPy's C interface has ABI version 0x%x and C-API version 0x%x, but turnsmith needs ABI "
                 "version %u.x or %u.x and C-API version 0x%x or later",
                 abi, api, first_abi_major, last_abi_major, oldest_api_version);
    throw_error_already_set();
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
    check_interface(located);  // a refused table is not kept: each later use refuses it again
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

namespace {

Ref numpy_attribute(const char* name) { return import_attribute("numpy", name); }

Ref call(PyObject* function, PyObject* argument) { return Ref::steal(check(PyObject_CallOneArg(function, argument))); }

// value.dtype.kind, as one character.
char dtype_kind(PyObject* array) {
    Ref dtype = Ref::steal(check(PyObject_GetAttrString(array, "dtype")));
    Ref kind = Ref::steal(check(PyObject_GetAttrString(dtype.get(), "kind")));
    const char* text = PyUnicode_AsUTF8(kind.get());
    if (text == nullptr) throw_error_already_set();
    return text[0];
}

// The flat position of the first element of `array` for which
// `array <op> bound` holds, or -1.
Py_ssize_t first_where(PyObject* array, int op, long long bound) {
    Ref limit = Ref::steal(check(PyLong_FromLongLong(bound)));
    Ref mask = Ref::steal(check(PyObject_RichCompare(array, limit.get(), op)));
    Ref positions = call(numpy_attribute("flatnonzero").get(), mask.get());
    if (PyObject_Length(positions.get()) == 0) return -1;
    Ref first = Ref::steal(check(PySequence_GetItem(positions.get(), 0)));
    const Py_ssize_t at = PyNumber_AsSsize_t(first.get(), PyExc_OverflowError);
    if (at == -1 && PyErr_Occurred()) throw_error_already_set();
    return at;
}

// Whether `value` is an ndarray of exactly T, aligned and C-contiguous.
template <class T>
bool readable_in_place(PyObject* value) {
    if (!PyObject_TypeCheck(value, array_type())) return false;
    const auto* fields = reinterpret_cast<const ArrayFields*>(value);
    Ref wanted = Ref::steal(check(api<DescrFromType>(slot_descr_from_type)(npy_type_number<T>)));
    const bool same = fields->descr == wanted.get() || api<EquivTypes>(slot_equiv_types)(fields->descr, wanted.get());
    return same && (fields->flags & (flag_c_contiguous | flag_aligned)) == (flag_c_contiguous | flag_aligned);
}

[[noreturn]] void throw_dimensions_error(const char* parameter, int dimensions) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected 1 or 2 dimensions, got %d", parameter, dimensions);
    throw_error_already_set();
}

[[noreturn]] void throw_does_not_fit(const char* parameter, Py_ssize_t row, PyObject* item, bool is_signed) {
    PyErr_Format(PyExc_ValueError, "argument '%s': row %zd holds %S, which does not fit %s", parameter, row, item,
                 is_signed ? "a signed integer" : "an unsigned integer");
    throw_error_already_set();
}

// A C-contiguous array of T from a sequence whose values NumPy would not read
// as integers on its own (ints beyond 64 bits next to others, or mixed with
// floats): every element must be a Python int that T holds.
template <class T>
Ref integers_from_objects(PyObject* value, const char* parameter) {
    PyObject* object_dtype = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    Ref as_objects = Ref::steal(
        check(PyObject_CallFunctionObjArgs(numpy_attribute("asarray").get(), value, object_dtype, nullptr)));
    const auto* fields = reinterpret_cast<const ArrayFields*>(as_objects.get());
    Ref flat = Ref::steal(check(PyObject_CallMethod(as_objects.get(), "ravel", nullptr)));
    Ref listed = Ref::steal(check(PyObject_CallMethod(flat.get(), "tolist", nullptr)));
    const Py_ssize_t count = PyList_GET_SIZE(listed.get());
    // The kind of every value first, then the shape, then the range.
    for (Py_ssize_t at = 0; at < count; ++at) {
        PyObject* item = PyList_GET_ITEM(listed.get(), at);
        if (!PyLong_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected integers, got '%s'", parameter,
                         Py_TYPE(item)->tp_name);
            throw_error_already_set();
        }
    }
    if (fields->nd < 1 || fields->nd > 2) throw_dimensions_error(parameter, fields->nd);
    const Py_ssize_t cols = fields->nd == 2 ? std::max<Py_ssize_t>(fields->dimensions[1], 1) : 1;
    Ref dtype = Ref::steal(check(api<DescrFromType>(slot_descr_from_type)(npy_type_number<T>)));
    Ref shape = Ref::steal(check(PyObject_GetAttrString(as_objects.get(), "shape")));
    Ref result = Ref::steal(
        check(PyObject_CallFunctionObjArgs(numpy_attribute("empty").get(), shape.get(), dtype.get(), nullptr)));
    T* out = reinterpret_cast<T*>(reinterpret_cast<const ArrayFields*>(result.get())->data);
    for (Py_ssize_t at = 0; at < count; ++at) {
        PyObject* item = PyList_GET_ITEM(listed.get(), at);
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (small == -1 && PyErr_Occurred()) throw_error_already_set();
        constexpr bool wide_unsigned = std::is_unsigned_v<T> && sizeof(T) == 8;
        bool fits = overflow == 0 && small >= static_cast<long long>(std::numeric_limits<T>::min()) &&
                    (wide_unsigned || small <= static_cast<long long>(std::numeric_limits<T>::max()));
        unsigned long long large = 0;
        if constexpr (wide_unsigned) {
            if (overflow > 0) {
                large = PyLong_AsUnsignedLongLong(item);
                if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                    PyErr_Clear();
                } else {
                    fits = true;
                }
            }
        }
        if (!fits) throw_does_not_fit(parameter, at / cols, item, std::is_signed_v<T>);
        out[at] = overflow > 0 ? static_cast<T>(large) : static_cast<T>(small);
    }
    return result;
}

}  // namespace

template <class T>
IntegerArray<T>::IntegerArray(PyObject* value, const char* parameter, const char* bool_hint) {
    Ref array = Ref::borrow(value);
    if (!readable_in_place<T>(value)) {
        // The kind of the values comes before the shape: None, a str or a
        // float is a TypeError, whatever shape NumPy gives it.
        array = call(numpy_attribute("asarray").get(), value);
        char kind = dtype_kind(array.get());
        const auto* converted = reinterpret_cast<const ArrayFields*>(array.get());
        const bool is_array = PyObject_TypeCheck(value, array_type());
        bool empty = false;
        for (int d = 0; d < converted->nd; ++d) empty = empty || converted->dimensions[d] == 0;
        if ((kind == 'f' || kind == 'O') && converted->nd > 0 && !empty && !is_array) {
            // A list may hold ints that NumPy read as floats or objects only
            // because one is beyond 64 bits: read them one by one.
            array = integers_from_objects<T>(value, parameter);
            converted = reinterpret_cast<const ArrayFields*>(array.get());
            kind = 'c';  // converted, checked
        }
        if (kind == 'b' && bool_hint != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected integers, got a bool array; %s", parameter,
                         bool_hint);
            throw_error_already_set();
        }
        if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'c' && !empty) {
            if (converted->nd == 0 && !is_array) {
                PyErr_Format(PyExc_TypeError, "argument '%s': expected integers, got '%s'", parameter,
                             Py_TYPE(value)->tp_name);
                throw_error_already_set();
            }
            Ref dtype = Ref::steal(check(PyObject_GetAttrString(array.get(), "dtype")));
            PyErr_Format(PyExc_TypeError, "argument '%s': expected integers, got an array of %S", parameter,
                         dtype.get());
            throw_error_already_set();
        }
        if (converted->nd < 1 || converted->nd > 2) throw_dimensions_error(parameter, converted->nd);
        if (!empty && (kind == 'i' || kind == 'u')) {
            constexpr auto low = static_cast<long long>(std::numeric_limits<T>::min());
            const Py_ssize_t below = first_where(array.get(), Py_LT, low);
            Py_ssize_t above = -1;
            if constexpr (sizeof(T) < 8 || std::is_signed_v<T>) {
                above = first_where(array.get(), Py_GT, static_cast<long long>(std::numeric_limits<T>::max()));
            } else {
                (void)above;
            }
            if (below >= 0 || above >= 0) {
                const Py_ssize_t at = below < 0 ? above : above < 0 ? below : std::min(below, above);
                Ref flat = Ref::steal(check(PyObject_CallMethod(array.get(), "ravel", nullptr)));
                Ref item = Ref::steal(check(PySequence_GetItem(flat.get(), at)));
                const Py_ssize_t cols = converted->nd == 2 ? std::max<Py_ssize_t>(converted->dimensions[1], 1) : 1;
                throw_does_not_fit(parameter, at / cols, item.get(), std::is_signed_v<T>);
            }
        }
        Ref dtype = Ref::steal(check(api<DescrFromType>(slot_descr_from_type)(npy_type_number<T>)));
        Ref convert = numpy_attribute("ascontiguousarray");
        array = Ref::steal(check(PyObject_CallFunctionObjArgs(convert.get(), array.get(), dtype.get(), nullptr)));
    }
    const auto* fields = reinterpret_cast<const ArrayFields*>(array.get());
    if (fields->nd < 1 || fields->nd > 2) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected 1 or 2 dimensions, got %d", parameter, fields->nd);
        throw_error_already_set();
    }
    dimensions_ = fields->nd;
    for (int d = 0; d < fields->nd; ++d) shape_[d] = static_cast<std::size_t>(fields->dimensions[d]);
    const std::size_t count = rows() * cols();
    if (count > 0) elements_ = {reinterpret_cast<const T*>(fields->data), count};
    array_ = std::move(array);
}

std::optional<BoolValues> read_bools(PyObject* value) {
    Ref array = call(numpy_attribute("asarray").get(), value);
    if (dtype_kind(array.get()) != 'b') return std::nullopt;
    array = call(numpy_attribute("ascontiguousarray").get(), array.get());
    const auto* fields = reinterpret_cast<const ArrayFields*>(array.get());
    std::size_t count = 1;
    for (int d = 0; d < fields->nd; ++d) count *= static_cast<std::size_t>(fields->dimensions[d]);
    const auto* data = reinterpret_cast<const std::uint8_t*>(fields->data);
    BoolValues bools{{}, fields->nd};
    if (count > 0) bools.values.assign(data, data + count);
    return bools;
}

namespace {

template <class N>
std::string shape_text(std::span<const N> shape) {
    std::string text = "(";
    for (std::size_t d = 0; d < shape.size(); ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(shape[d]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

[[noreturn]] void throw_out_error(PyObject* type, const char* parameter, const std::string& text) {
    throw_error(type, std::string("argument '") + parameter + "': " + text);
}

}  // namespace

void* writable_array_data(PyObject* value, const char* parameter, int type_number, const char* dtype_name,
                          std::span<const std::size_t> shape) {
    if (!PyObject_TypeCheck(value, array_type())) {
        throw_out_error(PyExc_TypeError, parameter,
                        std::string("expected a numpy.ndarray, got '") + Py_TYPE(value)->tp_name + "'");
    }
    const auto* fields = reinterpret_cast<const ArrayFields*>(value);
    Ref wanted = Ref::steal(check(api<DescrFromType>(slot_descr_from_type)(type_number)));
    if (fields->descr != wanted.get() && !api<EquivTypes>(slot_equiv_types)(fields->descr, wanted.get())) {
        Ref dtype = Ref::steal(check(PyObject_GetAttrString(value, "dtype")));
        Ref got = Ref::steal(check(PyObject_Str(dtype.get())));
        throw_out_error(PyExc_TypeError, parameter,
                        std::string("expected dtype ") + dtype_name + ", got " + PyUnicode_AsUTF8(got.get()));
    }
    std::vector<Py_intptr_t> expected(shape.begin(), shape.end());
    const std::span<const Py_intptr_t> got(fields->dimensions, static_cast<std::size_t>(fields->nd));
    if (!std::equal(expected.begin(), expected.end(), got.begin(), got.end())) {
        throw_out_error(PyExc_ValueError, parameter,
                        "expected shape " + shape_text(std::span<const Py_intptr_t>(expected)) + ", got " + shape_text(got));
    }
    if ((fields->flags & flag_c_contiguous) == 0) {
        throw_out_error(PyExc_ValueError, parameter, "expected a C-contiguous array");
    }
    if ((fields->flags & flag_aligned) == 0) throw_out_error(PyExc_ValueError, parameter, "expected an aligned array");
    if ((fields->flags & flag_writeable) == 0) {
        throw_out_error(PyExc_ValueError, parameter, "expected a writeable array, got a read-only one");
    }
    return fields->data;
}

template <class T>
std::string IntegerArray<T>::shape_text() const {
    return py::shape_text(std::span<const std::size_t>(shape_, static_cast<std::size_t>(dimensions_)));
}

template <class T>
bool is_contiguous_array_of(PyObject* value) {
    return readable_in_place<T>(value);
}

template bool is_contiguous_array_of<std::uint8_t>(PyObject*);

template class IntegerArray<std::int64_t>;
template class IntegerArray<std::uint64_t>;
template class IntegerArray<std::uint8_t>;
template class IntegerArray<std::int8_t>;

}  // namespace turnsmith::py
