// frame/convert: turning bound arguments into native values.
//
// Each conversion throws PyErrorSet on failure. Called through convert_arg(),
// a failure becomes an argument error: the exception is kept as raised and
// gets the note "while processing '{param}'".
//
//   to_i64   int or __index__ objects, C long long range (TypeError / OverflowError)
//   to_u64   int or __index__ objects, 0 .. 2**64-1
//   to_bool  exactly True/False, or a numpy boolean through its truth slot
//   to_text  str (or subclass) as UTF-8
#pragma once

#include <cstdint>
#include <string_view>

#include "frame/errors.h"
#include "frame/python.h"

namespace quorvel::frame {

int64_t to_i64(PyObject* obj);
uint64_t to_u64(PyObject* obj);
bool to_bool(PyObject* obj);
std::string_view to_text(PyObject* obj);

// TypeError "'{type}' object is not an instance of '{expected}'" (or the
// "'None' is not an instance of '{expected}'" form); always throws.
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* expected);

template <class F>
inline auto convert_arg(const char* param, F&& conversion) -> decltype(conversion()) {
    try {
        return conversion();
    } catch (const PyErrorSet&) {
        add_processing_note(param);
        throw;
    }
}

inline int64_t arg_i64(PyObject* obj, const char* param) {
    // Exact ints in range take the fast path with no exception machinery.
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return v;
        PyErr_Clear();
    }
    return convert_arg(param, [&] { return to_i64(obj); });
}
inline uint64_t arg_u64(PyObject* obj, const char* param) {
    return convert_arg(param, [&] { return to_u64(obj); });
}
inline bool arg_bool(PyObject* obj, const char* param) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    return convert_arg(param, [&] { return to_bool(obj); });
}
inline std::string_view arg_text(PyObject* obj, const char* param) {
    return convert_arg(param, [&] { return to_text(obj); });
}

}  // namespace quorvel::frame
