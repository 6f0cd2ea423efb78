// frame/ref: owning handles for Python references.
//
// `Owned` holds one strong reference and releases it with Py_DECREF; it is for
// code that runs attached to the interpreter. Ownership is spelled out where a
// handle is made: Owned::steal(new_ref) takes over a reference the caller got
// from the C API, Owned::incref(borrowed) takes a new one.
//
// `Item` is the owning handle stored in native structures (channel items, job
// records): its destructor goes through deferred release, so it may run on a
// thread that is not attached (a detached wait, a worker between jobs).
// Dropping an `Owned` there would run Py_DECREF without the interpreter; debug
// and sanitizer builds (QUORVEL_DEBUG_CHECKS) abort at the drop that does it.
#pragma once

#include <utility>

#include "frame/attach.h"
#include "frame/python.h"

#ifndef QUORVEL_DEBUG_CHECKS
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEL_DEBUG_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORVEL_DEBUG_CHECKS 1
#endif
#endif
#endif
#ifndef QUORVEL_DEBUG_CHECKS
#define QUORVEL_DEBUG_CHECKS 0
#endif

namespace quorvel::frame {

// Releases `obj` now when the thread is attached, or queues it for the next
// thread that enters the interpreter through this module (frame/attach.cpp).
void release(PyObject* obj) noexcept;

namespace detail {
// Prints `what` and aborts: a broken rule of the frame in a checking build.
[[noreturn]] void debug_check_failed(const char* what) noexcept;

inline void decref(PyObject* obj) noexcept {
#if QUORVEL_DEBUG_CHECKS
    if (frame::attach_depth() <= 0) {
        debug_check_failed("frame::Owned dropped while detached (only frame::Item may be dropped there)");
    }
#endif
    Py_DECREF(obj);
}
}  // namespace detail

// One strong reference, given back through `Release` when the handle goes.
template <void (*Release)(PyObject*) noexcept>
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref incref(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    void reset() noexcept {
        if (PyObject* obj = std::exchange(obj_, nullptr)) Release(obj);
    }
    PyObject* obj_ = nullptr;
};

using Owned = Ref<detail::decref>;
using Item = Ref<frame::release>;

}  // namespace quorvel::frame
