#include "python/type_objects.hpp"

namespace turnsmith::py {

PyTypeObject* type_once(std::atomic<PyTypeObject*>& cache, PyType_Spec& spec) {
    if (PyTypeObject* type = cache.load(std::memory_order_acquire)) return type;
    Ref created = Ref::steal(check(PyType_FromSpec(&spec)));
    PyTypeObject* expected = nullptr;
    if (!cache.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(created.get()),
                                       std::memory_order_acq_rel)) {
        return expected;  // the duplicate is dropped with `created`
    }
    return reinterpret_cast<PyTypeObject*>(created.release());  // kept for the life of the process
}

}  // namespace turnsmith::py
