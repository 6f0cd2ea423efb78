// frame/native_thread: native attach for a thread of this module that enters
// the interpreter many times, one unit of work at a time (a pool worker).
//
// Guarantee: between enter() and leave() the thread is attached, its attach
// depth is raised by one and deferred releases have been drained, exactly as
// under NativeAttach. The difference is what leave() keeps: the thread's
// interpreter state made by the first enter() (PyGILState_Ensure) survives
// leave() (PyEval_SaveThread), so every later enter() is one
// PyEval_RestoreThread instead of building and tearing down a thread state
// for each unit of work. retire() deletes that state at the end of the thread.
// Refusal: enter() while the interpreter is finalizing (or no longer
// initialized) panics with "Cannot attach to the Python interpreter while it
// is finalizing." and touches no Python object; retire() then leaves the kept
// state to the interpreter's own teardown.
// Not reentrant: enter() is called at depth 0 only, and leave() pairs with it.
#pragma once

#include "frame/python.h"

namespace quorvel::frame {

class NativeThread {
public:
    NativeThread() noexcept = default;
    ~NativeThread() { retire(); }
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;

    void enter();
    void leave() noexcept;
    // Deletes the kept thread state (attaching once more to do so) unless the
    // interpreter is finalizing. Idempotent.
    void retire() noexcept;

private:
    PyThreadState* kept_ = nullptr;  // set while left with a state made by enter()
    PyGILState_STATE gil_state_{};
    bool made_ = false;              // the first enter() made a thread state
};

}  // namespace quorvel::frame
