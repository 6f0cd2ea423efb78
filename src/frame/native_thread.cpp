#include "frame/native_thread.h"

#include "base/panic.h"
#include "frame/attach.h"

namespace quorvel::frame {

namespace {
bool interpreter_refuses() noexcept { return !Py_IsInitialized() || Py_IsFinalizing(); }
}  // namespace

void NativeThread::enter() {
    if (interpreter_refuses()) panic("Cannot attach to the Python interpreter while it is finalizing.");
    if (kept_) {
        PyEval_RestoreThread(kept_);
        kept_ = nullptr;
    } else {
        gil_state_ = PyGILState_Ensure();
        made_ = true;
    }
    ++detail::attach_depth;
    drain_pending();
}

void NativeThread::leave() noexcept {
    --detail::attach_depth;
    kept_ = PyEval_SaveThread();
}

void NativeThread::retire() noexcept {
    if (!made_) return;
    made_ = false;
    if (!kept_ || interpreter_refuses()) {
        kept_ = nullptr;
        return;
    }
    PyEval_RestoreThread(kept_);
    kept_ = nullptr;
    ++detail::attach_depth;
    drain_pending();
    --detail::attach_depth;
    // Deletes the thread state made by the first enter().
    PyGILState_Release(gil_state_);
}

}  // namespace quorvel::frame
