// frame/call: the boundary between the interpreter and an entry's body.
//
// Every function the interpreter calls is noexcept and runs its body through
// one of these wrappers, which open a CallScope (attach depth, deferred
// releases) and map the outcome: a result is returned; PyErrorSet means an
// exception is already set; quorvel::Panic becomes PanicException with its
// message; std::bad_alloc becomes MemoryError. No C++ exception crosses into
// the interpreter.
#pragma once

#include <new>

#include "frame/attach.h"
#include "frame/errors.h"

namespace quorvel::frame {

// Runs `body` inside a call frame; `failed` is the entry's error indicator
// (nullptr for object results, -1 for int and Py_ssize_t slots).
template <class R, class F>
inline R guarded(R failed, F&& body) noexcept {
    CallScope scope;
    try {
        return body();
    } catch (const PyErrorSet&) {
        return failed;
    } catch (const Panic& p) {
        set_panic(p.what());
        return failed;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failed;
    } catch (const std::exception& e) {
        set_panic(e.what());
        return failed;
    } catch (...) {
        set_panic("unknown native failure");
        return failed;
    }
}

template <class F>
inline PyObject* call(F&& body) noexcept {
    return guarded<PyObject*>(nullptr, static_cast<F&&>(body));
}

}  // namespace quorvel::frame
