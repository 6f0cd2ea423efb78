// RwLock and its guards: a reader-writer lock for Python, used through
// context-manager guards (`with lock.read():`, `with lock.write():`).
//
// The lock word lives in a reference-counted LockCore shared by the RwLock and
// every guard made from it; a guard that holds the lock keeps one more
// reference (`held`), so deleting the RwLock never strands a guard.
// Guards are thread-affine: used and dropped on the thread that made them. A
// guard dropped elsewhere leaks its state, and a lock it held stays held.
//
// Waiting: the first acquisition attempt runs attached; only an attempt that
// must block detaches (the lock engine parks the thread, no processor time;
// on the main thread, in timed parks so that Ctrl-C can end it: wait_for_lock).
// Releases never detach.
//
// Held-read count: per OS thread, the read guards entered and not yet exited
// over all locks. A thread whose count is positive takes read locks
// recursively, so it can enter past a writer that waits for it to leave.
#include <atomic>
#include <cstdint>

#include "py/classes.h"
#include "frame/access.h"
#include "frame/affinity.h"
#include "frame/attach.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/interrupt.h"
#include "frame/types.h"
#include "base/platform.h"
#include "sync/rwlock.h"

namespace quorvel {
namespace {

using frame::Bound;
using frame::Params;

// One lock word and the count of references to it.
struct LockCore {
    sync::RawRwLock lock;
    std::atomic<uint64_t> refs{1};
};

// An owning reference to a LockCore (empty or one count).
class CoreRef {
public:
    CoreRef() noexcept = default;
    static CoreRef make() { return CoreRef(new LockCore()); }
    CoreRef clone() const noexcept {
        // Relaxed: a new reference is made from an existing one, which keeps
        // the core alive; nothing is published by the increment.
        core_->refs.fetch_add(1, std::memory_order_relaxed);
        return CoreRef(core_);
    }
    CoreRef(CoreRef&& other) noexcept : core_(other.core_) { other.core_ = nullptr; }
    CoreRef& operator=(CoreRef&& other) noexcept {
        if (this != &other) {
            reset();
            core_ = other.core_;
            other.core_ = nullptr;
        }
        return *this;
    }
    CoreRef(const CoreRef&) = delete;
    CoreRef& operator=(const CoreRef&) = delete;
    ~CoreRef() { reset(); }

    void reset() noexcept {
        // Acq_rel: the last owner must see every other owner's use of the core
        // before deleting it.
        if (core_ && core_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete core_;
        core_ = nullptr;
    }
    explicit operator bool() const noexcept { return core_ != nullptr; }
    sync::RawRwLock& lock() const noexcept { return core_->lock; }

private:
    explicit CoreRef(LockCore* core) noexcept : core_(core) {}
    LockCore* core_ = nullptr;
};

// Read guards entered and not exited on this thread, over all locks.
__thread uint64_t t_held_reads __attribute__((tls_model("initial-exec"))) = 0;

struct LockState {
    frame::CheckedAccessWord access;  // read() and write() are its only methods, both shared
    CoreRef core;
    explicit LockState(CoreRef c) noexcept : core(std::move(c)) {}
};

struct GuardState {
    frame::AccessWord access{0};  // counted: __exit__ takes exclusive access
    CoreRef core;
    CoreRef held;       // set while this guard holds the lock
    uint64_t creator;   // frame::affinity_id() of the thread that called read() or write()
    GuardState(CoreRef c, uint64_t thread) noexcept : core(std::move(c)), creator(thread) {}
};

constexpr const char kReadPath[] = "_quorvel::lock::RwLockReadGuard";
constexpr const char kWritePath[] = "_quorvel::lock::RwLockWriteGuard";

enum class Kind { Read, Write };

template <Kind kind>
constexpr const char* type_path() {
    return kind == Kind::Read ? kReadPath : kWritePath;
}

GuardState& guard_state(PyObject* self) { return frame::state_of<GuardState>(self); }

// Gives back one lock of this guard's kind.
template <Kind kind>
void unlock(sync::RawRwLock& lock) noexcept {
    if constexpr (kind == Kind::Read) {
        if (t_held_reads > 0) --t_held_reads;
        lock.unlock_shared();
    } else {
        lock.unlock_exclusive();
    }
}

// Gives back what `held` stands for. The guard's exclusive access (or, in
// deallocation, its thread) makes this the only code touching the guard.
template <Kind kind>
void release_held(GuardState& st) noexcept {
    if (!st.held) return;
    unlock<kind>(st.held.lock());
    st.held.reset();
}

// Waits detached until `lock_until(deadline)` has taken the lock (it returns
// false, having taken nothing, once the deadline passes) or, off the main
// thread, until `lock()` has. On the main thread
// the wait is cut into slices, each one a timed park in the lock's queue:
// the waiter keeps its place (and a writer its preference over new readers)
// like any other, and a slice that ends without the lock leaves no trace, so
// a signal handler that raises (Ctrl-C) ends the wait without the lock.
// Elsewhere the wait is one untimed park.
template <class LockUntil, class Lock>
void wait_for_lock(LockUntil&& lock_until, Lock&& lock) {
    frame::interruptible([&](std::optional<uint64_t> slice) -> std::optional<bool> {
        const std::optional<platform::Instant> end = slice ? platform::Instant::now().checked_add(*slice) : std::nullopt;
        if (!end) {  // no slice, or one past the clock's range
            lock();
            return true;
        }
        if (lock_until(*end)) return true;
        return std::nullopt;
    });
}

// ---------------------------------------------------------------------------
// Guards

template <Kind kind>
PyObject* guard_enter(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        GuardState& st = guard_state(self);
        frame::check_affinity(st.creator, type_path<kind>());
        {
            frame::SharedAccess access(st.access);
            if (st.held) frame::raise_error(PyExc_RuntimeError, "Lock guard already entered");
        }
        sync::RawRwLock& lock = st.core.lock();
        if constexpr (kind == Kind::Read) {
            const bool recursive = t_held_reads > 0;
            if (!lock.try_lock_shared_fast(recursive) && !lock.try_lock_shared(recursive)) {
                wait_for_lock(
                    [&](platform::Instant deadline) { return lock.try_lock_shared_until(recursive, deadline); },
                    [&] { lock.lock_shared(recursive); });
            }
            ++t_held_reads;
        } else {
            if (!lock.try_lock_exclusive()) {
                wait_for_lock([&](platform::Instant deadline) { return lock.try_lock_exclusive_until(deadline); },
                              [&] { lock.lock_exclusive(); });
            }
        }
        try {
            frame::ExclusiveAccess access(st.access);
            st.held = st.core.clone();
        } catch (...) {
            // Not reachable while the guard stays on its thread; even so, never
            // keep a lock that the guard does not record.
            unlock<kind>(lock);
            throw;
        }
        return Py_NewRef(self);
    });
}

constexpr Params<3> kReadExit{"RwLockReadGuard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};
constexpr Params<3> kWriteExit{"RwLockWriteGuard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};

template <Kind kind>
PyObject* guard_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        frame::bind(kind == Kind::Read ? kReadExit : kWriteExit, args, nargs, kwnames);
        GuardState& st = guard_state(self);
        frame::check_affinity(st.creator, type_path<kind>());
        frame::ExclusiveAccess access(st.access);
        release_held<kind>(st);
        Py_RETURN_NONE;
    });
}

template <Kind kind>
void guard_dealloc(PyObject* self) noexcept {
    frame::dealloc_with<GuardState>(self, [](PyObject*, GuardState& st) noexcept {
        if (!frame::on_creator_thread(st.creator)) {
            frame::report_foreign_drop(type_path<kind>());
            return frame::Disposal::Leak;
        }
        release_held<kind>(st);
        return frame::Disposal::Destroy;
    });
}

PyMethodDef read_guard_methods[] = {
    {"__enter__", FRAME_NOARGS(guard_enter<Kind::Read>), "__enter__($self)\n--\n\nEnter the read lock context."},
    {"__exit__", FRAME_FASTCALL(guard_exit<Kind::Read>),
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit the read lock context, releasing the lock."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef write_guard_methods[] = {
    {"__enter__", FRAME_NOARGS(guard_enter<Kind::Write>), "__enter__($self)\n--\n\nEnter the write lock context."},
    {"__exit__", FRAME_FASTCALL(guard_exit<Kind::Write>),
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit the write lock context, releasing the lock."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kReadGuardDoc[] =
    "A context-manager guard for holding shared read access of an RwLock.\n"
    "Since it keeps references to local FFI contexts, it is marked as `unsendable`.";
constexpr char kWriteGuardDoc[] =
    "A context-manager guard for holding exclusive write access of an RwLock.\n"
    "Since it keeps references to local FFI contexts, it is marked as `unsendable`.";

PyType_Slot read_guard_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReadGuardDoc)},
    {Py_tp_methods, read_guard_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc<Kind::Read>)},
    {0, nullptr},
};

PyType_Slot write_guard_slots[] = {
    {Py_tp_doc, const_cast<char*>(kWriteGuardDoc)},
    {Py_tp_methods, write_guard_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc<Kind::Write>)},
    {0, nullptr},
};

PyType_Spec read_guard_spec = {
    "builtins.RwLockReadGuard", int(sizeof(frame::Instance<GuardState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, read_guard_slots,
};

PyType_Spec write_guard_spec = {
    "builtins.RwLockWriteGuard", int(sizeof(frame::Instance<GuardState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, write_guard_slots,
};

// ---------------------------------------------------------------------------
// RwLock

constexpr Params<0> kLockNew{"RwLock", "__new__", {}, 0};

PyObject* lock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&] {
        frame::bind(kLockNew, args, kwargs);
        return frame::new_instance<LockState>(type, CoreRef::make());
    });
}

// read() and write(): a fresh guard that does not hold the lock yet.
template <Kind kind>
PyObject* lock_guard(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        LockState& st = frame::state_of<LockState>(self);
        frame::SharedAccess access(st.access);
        PyTypeObject* guard_type =
            (kind == Kind::Read ? rwlock_read_guard_class : rwlock_write_guard_class).get();
        return frame::new_instance<GuardState>(guard_type, st.core.clone(), frame::affinity_id());
    });
}

PyMethodDef lock_methods[] = {
    {"read", FRAME_NOARGS(lock_guard<Kind::Read>),
     "read($self)\n--\n\nPrepare a read lock guard. Acquisition occurs upon entering the context."},
    {"write", FRAME_NOARGS(lock_guard<Kind::Write>),
     "write($self)\n--\n\nPrepare a write lock guard. Acquisition occurs upon entering the context."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kLockDoc[] =
    "RwLock()\n--\n\n"
    "A native reader-writer lock.\n"
    "Allows multiple concurrent readers or a single exclusive writer.\n"
    "Context-manager guards (`with lock.read():` / `with lock.write():`) ensure exception-safe RAII scoping.";

PyType_Slot lock_slots[] = {
    {Py_tp_doc, const_cast<char*>(kLockDoc)},
    {Py_tp_new, reinterpret_cast<void*>(lock_new)},
    {Py_tp_methods, lock_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<LockState>)},
    {0, nullptr},
};

PyType_Spec lock_spec = {
    "builtins.RwLock", int(sizeof(frame::Instance<LockState>)), 0, Py_TPFLAGS_DEFAULT, lock_slots,
};

}  // namespace

frame::ClassSlot rwlock_class{"RwLock", &lock_spec};
frame::ClassSlot rwlock_read_guard_class{"RwLockReadGuard", &read_guard_spec};
frame::ClassSlot rwlock_write_guard_class{"RwLockWriteGuard", &write_guard_spec};

}  // namespace quorvel
