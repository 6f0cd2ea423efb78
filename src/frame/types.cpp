#include "frame/types.h"

#include "frame/ref.h"

namespace quorvel::frame {

void detail::raise_not_initialized(PyObject* self) {
    // The name as a str object: %U keeps whatever it holds, NUL included.
    Owned name = Owned::steal(check(PyType_GetName(Py_TYPE(self))));
    PyErr_Format(PyExc_TypeError, "%U object is not initialized", name.get());
    throw_error_set();
}

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
