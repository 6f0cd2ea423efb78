#include "frame/attach.h"

#include <mutex>
#include <vector>

#include "frame/ref.h"
#include "base/panic.h"

namespace quorvel::frame {

namespace detail {
__thread int attach_depth __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<bool> pending_nonempty{false};
}  // namespace detail

namespace {

// Created on first use and never freed, so that threads still running at
// process exit never see it destroyed.
struct PendingList {
    std::mutex mu;
    std::vector<PyObject*> refs;  // guarded by mu
};

PendingList& pending_list() {
    static PendingList* list = new PendingList();
    return *list;
}

}  // namespace

void release(PyObject* obj) noexcept {
    if (!obj) return;
    if (detail::attach_depth > 0) {
        Py_DECREF(obj);
        return;
    }
    PendingList& list = pending_list();
    {
        std::lock_guard<std::mutex> guard(list.mu);
        list.refs.push_back(obj);
        // Release: pairs with the acquire load in drain_pending(); a thread
        // that sees the flag also sees the appended pointer (it takes mu too).
        detail::pending_nonempty.store(true, std::memory_order_release);
    }
}

void detail::drain_pending_slow() noexcept {
    PendingList& list = pending_list();
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> guard(list.mu);
        if (list.refs.empty()) return;
        taken.swap(list.refs);
        detail::pending_nonempty.store(false, std::memory_order_relaxed);  // still under mu
    }
    // Finalizers may run here, with no internal lock held.
    for (PyObject* obj : taken) Py_DECREF(obj);
}

NativeAttach::NativeAttach() {
    if (detail::attach_depth > 0) {
        ++detail::attach_depth;
        return;
    }
    if (Py_IsFinalizing()) panic("Cannot attach to the Python interpreter while it is finalizing.");
    gil_state_ = PyGILState_Ensure();
    ensured_ = true;
    ++detail::attach_depth;
    drain_pending();
}

NativeAttach::~NativeAttach() {
    --detail::attach_depth;
    if (ensured_) PyGILState_Release(gil_state_);
}

}  // namespace quorvel::frame
