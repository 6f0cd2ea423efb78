#include "frame/affinity.h"

#include "frame/python.h"
#include "base/panic.h"

namespace quorvel::frame {

std::string affinity_message(const char* type_path, uint64_t caller, uint64_t creator) {
    std::string msg = "assertion `left == right` failed: ";
    msg += type_path;
    msg += " is unsendable, but sent to another thread\n  left: ThreadId(";
    msg += std::to_string(caller);
    msg += ")\n right: ThreadId(";
    msg += std::to_string(creator);
    msg += ')';
    return msg;
}

void report_foreign_drop(const char* type_path) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread", type_path);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(saved);
}

}  // namespace quorvel::frame
