#include "frame/types.h"

#include "frame/ref.h"

namespace quorvel::frame {

PyTypeObject* ClassSlot::get() {
    // Acquire: pairs with the publishing CAS below.
    PyTypeObject* type = type_.load(std::memory_order_acquire);
    if (type) return type;
    PyObject* made = PyType_FromSpec(spec_);
    if (!made) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name_);
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetCause(err, cause);  // steals cause
        PyErr_SetRaisedException(err);
        throw_error_set();
    }
    auto* made_type = reinterpret_cast<PyTypeObject*>(made);
    if (type_.compare_exchange_strong(type, made_type, std::memory_order_acq_rel)) return made_type;
    Py_DECREF(made);  // lost the race; use the published class
    return type;
}

}  // namespace quorvel::frame
