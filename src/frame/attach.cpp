#include "frame/attach.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "frame/ref.h"
#include "base/panic.h"

namespace quorvel::frame {

namespace detail {
__thread int attach_depth __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<bool> pending_nonempty{false};
std::atomic<uint64_t> fail_pending_growth{0};

void debug_check_failed(const char* what) noexcept {
    std::fprintf(stderr, "quorvel: %s\n", what);
    std::abort();
}
}  // namespace detail

namespace {

// The pending list's memory: operator new, with the test hook that makes the
// n-th next growth fail (one relaxed load per growth, not per release).
template <class T>
struct PendingAllocator {
    using value_type = T;
    PendingAllocator() noexcept = default;
    template <class U>
    PendingAllocator(const PendingAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        // Relaxed: a test hook; it orders nothing.
        uint64_t left = detail::fail_pending_growth.load(std::memory_order_relaxed);
        while (left != 0) {
            if (detail::fail_pending_growth.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
                if (left == 1) throw std::bad_alloc();
                break;
            }
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
    template <class U>
    bool operator==(const PendingAllocator<U>&) const noexcept {
        return true;
    }
};

using RefList = std::vector<PyObject*, PendingAllocator<PyObject*>>;

// Created on first use and never freed, so that threads still running at
// process exit never see it destroyed.
struct PendingList {
    std::mutex mu;
    RefList refs;  // guarded by mu
};

PendingList& pending_list() {
    static PendingList* list = new PendingList();
    return *list;
}

// Appends `obj`; false when the list could not grow (nothing changed then).
bool append_pending(PyObject* obj) noexcept {
    PendingList& list = pending_list();
    std::lock_guard<std::mutex> guard(list.mu);
    try {
        list.refs.push_back(obj);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Release: pairs with the acquire load in drain_pending(); a thread that
    // sees the flag also sees the appended pointer (it takes mu too).
    detail::pending_nonempty.store(true, std::memory_order_release);
    return true;
}

// Out of memory with no room to queue: attach just long enough to release.
// A thread inside a detached wait gets its own thread state back; any other
// thread gets one from PyGILState_Ensure. While the interpreter is finalizing
// no thread may attach, and the reference is leaked instead.
void release_attached_now(PyObject* obj) noexcept {
    if (Py_IsFinalizing()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    ++detail::attach_depth;
    Py_DECREF(obj);
    --detail::attach_depth;
    PyGILState_Release(state);
}

}  // namespace

void release(PyObject* obj) noexcept {
    if (!obj) return;
    if (detail::attach_depth > 0) {
        Py_DECREF(obj);
        return;
    }
    if (!append_pending(obj)) release_attached_now(obj);
}

void detail::drain_pending_slow() noexcept {
    PendingList& list = pending_list();
    RefList taken;
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
