#include "frame/errors.h"

#include <atomic>
#include <cstring>

namespace quorvel::frame {

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException so that it\n"
    "typically propagates all the way up the stack and ends the interpreter.";

}  // namespace

namespace {

// The message as a str. Sized: it may quote user text holding NUL characters.
// Surrogates that user text carried in (encoded with "surrogatepass") come
// back as they were; anything else that is not UTF-8 is replaced.
PyObject* message_text(std::string_view message) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "surrogatepass");
    if (text) return text;
    PyErr_Clear();
    return PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
}

}  // namespace

void raise_error(PyObject* type, std::string_view message) {
    if (PyObject* text = message_text(message)) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PyErrorSet{};
}

PyObject* panic_exception_type() noexcept {
    // Acquire: pairs with the release CAS below; the class object is fully
    // built before its pointer is published.
    PyObject* type = g_panic_type.load(std::memory_order_acquire);
    if (type) return type;
    PyObject* made = PyErr_NewExceptionWithDoc("_quorvel_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    if (g_panic_type.compare_exchange_strong(type, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);  // another thread published first; everyone uses its class
    return type;
}

void set_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (!type) return;  // the error from creating the class stays set
    PyObject* text = message_text(message);
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void add_processing_note(const char* param) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
    if (note) {
        PyObject* res = PyObject_CallMethod(exc, "add_note", "O", note);
        Py_DECREF(note);
        if (res) {
            Py_DECREF(res);
        } else {
            // The original error matters more than a failed note.
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace quorvel::frame
