// frame/attach: the thread's relation to the interpreter.
//
// Attach depth: per thread, the number of call frames active while the thread
// is attached. Entries raise it for their duration (CallScope); a detached wait
// sets it to 0 and restores it afterwards; native threads raise it while they
// run Python work (NativeAttach). Depth > 0 means Python references may be
// released directly.
//
// Deferred release: a reference dropped at depth 0 (inside a detached wait, on
// a worker between jobs) is appended to one process-wide pending list. Every
// attach (entry, end of a detached wait, native attach) drains that list,
// releasing the references in order while attached. The list's mutex is held
// only to append one pointer or to swap the whole list out; finalizers run
// after it is let go. Queuing never fails: when memory runs out and the list
// cannot grow, the releasing thread attaches just long enough to release the
// reference itself (or, while the interpreter is finalizing, leaks it).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "frame/python.h"

namespace quorvel::frame {

namespace detail {
// Initial-exec TLS: one int read and written on every call, without a call
// into the dynamic TLS resolver.
extern __thread int attach_depth __attribute__((tls_model("initial-exec")));
// Set while the pending list may hold references; lets every entry skip the
// list's mutex when there is nothing to release.
extern std::atomic<bool> pending_nonempty;
void drain_pending_slow() noexcept;
// Test hook: the n-th next growth of the pending list fails (0: none).
extern std::atomic<uint64_t> fail_pending_growth;
}  // namespace detail

inline int attach_depth() noexcept { return detail::attach_depth; }

// Releases the references queued by detached threads. Must run attached.
inline void drain_pending() noexcept {
    // Acquire: pairs with the release store in release() after appending.
    if (detail::pending_nonempty.load(std::memory_order_acquire)) detail::drain_pending_slow();
}

// Steps 1 and 4 of every entry: raise the attach depth and drain deferred
// releases on entry, lower the depth on the way out.
class CallScope {
public:
    CallScope() noexcept {
        ++detail::attach_depth;
        drain_pending();
    }
    ~CallScope() { --detail::attach_depth; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// Runs `op` detached from the interpreter: the depth is saved and zeroed, the
// thread state released, and both restored on every path out (including an
// exception thrown by `op`), after which deferred releases are drained.
// `op` must not touch Python objects other than moving owned references or
// dropping them through release().
template <class F>
decltype(auto) detached(F&& op) {
    struct Reattach {
        int saved_depth;
        PyThreadState* state;
        ~Reattach() {
            PyEval_RestoreThread(state);
            detail::attach_depth = saved_depth;
            drain_pending();
        }
    };
    const int saved = detail::attach_depth;
    detail::attach_depth = 0;
    Reattach reattach{saved, PyEval_SaveThread()};
    return std::forward<F>(op)();
}

// A native thread (or any thread) entering the interpreter to run Python work.
// Already attached (depth > 0): only the depth changes. Otherwise the thread
// attaches with PyGILState_Ensure, unless the interpreter is finalizing, in
// which case the constructor panics with "Cannot attach to the Python
// interpreter while it is finalizing."
class NativeAttach {
public:
    NativeAttach();
    ~NativeAttach();
    NativeAttach(const NativeAttach&) = delete;
    NativeAttach& operator=(const NativeAttach&) = delete;

private:
    bool ensured_ = false;
    PyGILState_STATE gil_state_{};
};

}  // namespace quorvel::frame
