// frame/errors: how failures travel inside the frame.
//
// Inside an entry's body a failure is a C++ exception that never crosses into
// the interpreter (every entry point is noexcept and catches at its boundary,
// frame/call.h):
//   - PyErrorSet: a Python exception is already set (the C API reported one, or
//     raise_error() set it); the entry just returns its error indicator.
//   - quorvel::Panic (base/panic.h): an internal failure; the boundary raises
//     PanicException with its message.
//   - std::bad_alloc: memory ran out; the boundary raises MemoryError.
#pragma once

#include <string>
#include <string_view>

#include "frame/python.h"
#include "base/panic.h"

namespace quorvel::frame {

struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

// Sets `type(message)` as the current exception and throws PyErrorSet.
[[noreturn]] void raise_error(PyObject* type, std::string_view message);

// Throws PyErrorSet when a C API call reported failure.
inline PyObject* check(PyObject* result) {
    if (!result) throw_error_set();
    return result;
}
inline int check(int status) {
    if (status < 0) throw_error_set();
    return status;
}

// The process-wide PanicException class (a BaseException subclass), created
// on first use. Returns a borrowed reference, or nullptr with an error set.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the current exception.
void set_panic(std::string_view message) noexcept;

// Attaches the note "while processing '{param}'" to the current exception.
void add_processing_note(const char* param) noexcept;

}  // namespace quorvel::frame
