#include "module/cube_object.hpp"

namespace turnsmith::py {

PyTypeObject* type_once(std::atomic<PyTypeObject*>& cache, PyType_Spec& spec) {
    if (PyTypeObject* type = cache.load(std::memory_order_acquire)) return type;
    auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (created == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!cache.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;  // kept for the life of the process
}

}  // namespace turnsmith::py
