// ThreadPool: a fixed set of OS worker threads running Python callables in
// parallel and reporting through concurrent.futures.Future objects.
//
// Guarantee: while the interpreter runs, every job accepted by submit() is
// taken by exactly one worker and then either run with its future completed,
// or (after shutdown(cancel_futures=True)) cancelled; either way the future's
// waiters (result(), wait(), as_completed()) are told. Every reference a job holds is
// released once the worker is done with it.
// Invariants:
//   - the pool keeps only the sending end of its unbounded job channel; each
//     worker owns one receiver clone, so the channel reports Disconnected to a
//     worker only when the sender is gone and the queue is drained;
//   - `running` turns false exactly once (first shutdown, or deallocation),
//     and the sender is released at that moment or later, never before;
//   - a worker is attached only while it handles one job; it waits for work
//     detached and never holds an internal lock across a Python call. It keeps
//     one interpreter thread state from its first job to its end
//     (frame/native_thread.h): making and deleting one per job would cost far
//     more than the job itself;
//   - no thread joins itself: a shutdown or deallocation running on one of the
//     pool's own workers leaves that worker's handle detached; nor does a
//     deallocation during interpreter finalization join anyone;
//   - a future that ends up cancelled is reported to its waiters
//     (set_running_or_notify_cancel) by the worker that handled its job.
// Wakes: submit wakes one waiting worker (channel send); releasing the sender
// wakes them all, to drain and end.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "engine/channel.h"
#include "frame/access.h"
#include "frame/attach.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/native_thread.h"
#include "frame/ref.h"
#include "frame/types.h"
#include "py/classes.h"
#include "sync/mutex.h"

namespace quorvel {
namespace {

using frame::Item;
using frame::Owned;
using frame::Params;

constexpr size_t kThreadStack = size_t(2) << 20;  // 2 MiB for workers and the joiner
constexpr int64_t kUnknownParallelism = 4;

// One queued task. The references go through deferred release, so a job may
// be dropped on a thread that is not attached (a channel discarding what is
// left when its last receiver goes).
struct Job {
    Item func;
    Item args;     // tuple
    Item future;
    Item kwargs;   // dict, or empty when submit got no keyword arguments
    Item context;  // contextvars.Context, or empty when none could be copied
};

// A boolean behind its own small mutex, never held across a Python call.
class GuardedFlag {
public:
    explicit GuardedFlag(bool value) noexcept : value_(value) {}
    bool get() noexcept {
        std::lock_guard<sync::RawMutex> guard(mu_);
        return value_;
    }
    void set(bool value) noexcept {
        std::lock_guard<sync::RawMutex> guard(mu_);
        value_ = value;
    }
    // Sets the flag false; reports whether it was true (only one caller wins).
    bool take() noexcept {
        std::lock_guard<sync::RawMutex> guard(mu_);
        return std::exchange(value_, false);
    }

private:
    sync::RawMutex mu_;
    bool value_;  // guarded by mu_
};

// The worker's unique thread id, written by the worker before it takes any
// job; 0 until then. Shared by the handle and the worker, so neither outlives it.
using WorkerIdentity = std::shared_ptr<std::atomic<uint64_t>>;

struct WorkerHandle {
    platform::ThreadHandle thread;
    WorkerIdentity identity;
};

// What a worker thread owns.
struct WorkerStart {
    engine::ChannelReceiver<Job> jobs;
    std::shared_ptr<GuardedFlag> cancel_requested;
    WorkerIdentity identity;
};

// Interned method names used by the workers, made once while attached.
struct Names {
    PyObject* cancel;
    PyObject* cancelled;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* notify_cancel;
};

const Names& names() {
    static const Names made = [] {
        Names n{PyUnicode_InternFromString("cancel"), PyUnicode_InternFromString("cancelled"),
                PyUnicode_InternFromString("set_result"), PyUnicode_InternFromString("set_exception"),
                PyUnicode_InternFromString("set_running_or_notify_cancel")};
        if (!n.cancel || !n.cancelled || !n.set_result || !n.set_exception || !n.notify_cancel) {
            PyErr_Clear();
            panic("could not create the pool's method names");
        }
        return n;
    }();
    return made;
}

// ---------------------------------------------------------------------------
// Worker side (runs attached, one job at a time)

// Calls `name` on `obj` with at most one argument, discarding any exception
// and the result.
void call_discarding(PyObject* obj, PyObject* name, PyObject* arg = nullptr) noexcept {
    PyObject* result = arg ? PyObject_CallMethodOneArg(obj, name, arg) : PyObject_CallMethodNoArgs(obj, name);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_Clear();
    }
}

// A future that ended up cancelled is only reported to wait() and
// as_completed() by set_running_or_notify_cancel(); nobody else calls it on a
// pool's future, so the worker does, once the future can no longer change.
// Calling it on a future that is not cancelled would mark it running (or log
// an unexpected state), hence the check.
void notify_if_cancelled(PyObject* future) noexcept {
    const Names& n = names();
    PyObject* cancelled = PyObject_CallMethodNoArgs(future, n.cancelled);
    if (!cancelled) {
        PyErr_Clear();
        return;
    }
    const int is_cancelled = PyObject_IsTrue(cancelled);
    Py_DECREF(cancelled);
    if (is_cancelled < 0) PyErr_Clear();
    if (is_cancelled == 1) call_discarding(future, n.notify_cancel);
}

// func(*args, **kwargs) inside the job's context when it has one. Entering a
// fresh copy of a context cannot clash with another entry of it, so this is
// context.run(func, *args, **kwargs) without building the (func, *args) tuple.
PyObject* call_task(Job& job) noexcept {
    PyObject* context = job.context.get();
    if (context && PyContext_Enter(context) < 0) return nullptr;
    PyObject* result = PyObject_Call(job.func.get(), job.args.get(), job.kwargs.get());
    if (context) {
        PyObject* raised = PyErr_GetRaisedException();
        if (PyContext_Exit(context) < 0) {
            Py_XDECREF(result);
            Py_XDECREF(raised);
            return nullptr;
        }
        if (raised) PyErr_SetRaisedException(raised);
    }
    return result;
}

void handle_job(Job& job, GuardedFlag& cancel_requested) noexcept {
    const Names& n = names();
    PyObject* future = job.future.get();
    if (cancel_requested.get()) {
        call_discarding(future, n.cancel);
        notify_if_cancelled(future);
        return;
    }
    PyObject* result = call_task(job);
    PyObject* done;
    if (result) {
        done = PyObject_CallMethodOneArg(future, n.set_result, result);
        Py_DECREF(result);
    } else {
        PyObject* exc = PyErr_GetRaisedException();
        done = PyObject_CallMethodOneArg(future, n.set_exception, exc);
        Py_DECREF(exc);
    }
    if (done) {
        Py_DECREF(done);
        return;
    }
    // Refused, typically because the holder cancelled the future meanwhile.
    PyErr_Clear();
    notify_if_cancelled(future);
}

// Gives up the job's references without touching the objects: used when the
// interpreter can no longer be entered.
void abandon(Job& job) noexcept {
    (void)job.func.release();
    (void)job.args.release();
    (void)job.future.release();
    (void)job.kwargs.release();
    (void)job.context.release();
}

void worker_main(void* raw) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw));
    // Relaxed: a joiner only asks whether this id is its own, and a thread
    // always sees its own earlier store; any other value, 0 included, means
    // "another thread", which is then true.
    start->identity->store(platform::unique_thread_id(), std::memory_order_relaxed);
    frame::NativeThread python;
    try {
        for (;;) {
            engine::RecvResult<Job> got = start->jobs.recv();
            if (!got.ok()) break;  // no sender left and the queue is drained
            Job job = std::move(*got.item);
            got.item.reset();
            try {
                python.enter();
            } catch (const Panic& refused) {
                abandon(job);
                std::fprintf(stderr, "%s\n", refused.what());
                return;  // `start` releases the receiver clone and the flag share
            }
            handle_job(job, *start->cancel_requested);
            { Job done = std::move(job); }  // released while attached
            python.leave();
        }
    } catch (const std::exception& e) {  // never a thread's forced unwind, which passes through
        std::fprintf(stderr, "quorvel pool worker ended: %s\n", e.what());
    }
}

// Joins the workers in start order; the calling thread's own handle, if it is
// one of them, is detached instead (it ends by itself once the queue drains).
void join_workers(std::vector<WorkerHandle>& workers) noexcept {
    const uint64_t me = platform::unique_thread_id();
    for (WorkerHandle& w : workers) {
        // Relaxed: see the store in worker_main().
        if (w.identity->load(std::memory_order_relaxed) == me) {
            platform::detach_thread(w.thread);
        } else {
            platform::join_thread(w.thread);
        }
    }
    workers.clear();
}

void detach_workers(std::vector<WorkerHandle>& workers) noexcept {
    for (WorkerHandle& w : workers) platform::detach_thread(w.thread);
    workers.clear();
}

void joiner_main(void* raw) {
    std::unique_ptr<std::vector<WorkerHandle>> workers(static_cast<std::vector<WorkerHandle>*>(raw));
    join_workers(*workers);
}

[[noreturn]] void spawn_failed(int err) { panic(std::string("failed to spawn thread: ") + std::strerror(err)); }

// ---------------------------------------------------------------------------
// The pool object

// What the constructor builds: the engine side of the pool.
struct PoolCore {
    // `job_sender` and `workers` change only under exclusive access
    // (shutdown) or in deallocation; submit reads `job_sender` under shared access.
    std::optional<engine::ChannelSender<Job>> job_sender;
    std::vector<WorkerHandle> workers;
    GuardedFlag running{true};
    std::shared_ptr<GuardedFlag> cancel_requested;
    Owned future_class;
    uint64_t fork_generation = platform::fork_generation();  // when the workers were started
};

// In a child made by fork() the workers do not exist, and the channel's and
// the flags' internal locks may have been copied held: the pool then neither
// queues nor joins, touches neither the channel nor its flags, and leaks the
// sender.
bool workers_gone_by_fork(PoolCore& st) noexcept {
    if (platform::fork_generation() == st.fork_generation) return false;
    if (st.job_sender) (void)new (std::nothrow) engine::ChannelSender<Job>(std::move(*st.job_sender));
    st.job_sender.reset();
    st.workers.clear();
    return true;
}

// The instance's state. Kept standard-layout, so that the weak-reference list
// CPython manages sits at an offset known when the class is built; the pool
// itself lives in `core`.
struct PoolState {
    PyObject* weakreflist = nullptr;  // managed by CPython (__weaklistoffset__)
    frame::AccessWord access{0};      // counted: shutdown takes exclusive access
    PoolCore* core;
    explicit PoolState(PoolCore* c) noexcept : core(c) {}
    ~PoolState() { delete core; }
    PoolState(const PoolState&) = delete;
    PoolState& operator=(const PoolState&) = delete;
};
static_assert(std::is_standard_layout_v<frame::Instance<PoolState>>,
              "the weak-reference list needs a constant offset");

// Stops intake and joins every worker still owned, detached while joining.
// Queued jobs are run, not cancelled. While the interpreter is finalizing
// (a pool still referenced by a module at exit) no worker can enter it
// again, and one caught in a task when finalization began never returns
// from it, so the workers are left to end by themselves instead of joined.
void stop_and_join(PoolCore& st) noexcept {
    if (workers_gone_by_fork(st)) return;
    st.running.set(false);
    st.job_sender.reset();
    if (st.workers.empty()) return;
    std::vector<WorkerHandle> workers = std::move(st.workers);
    if (Py_IsFinalizing()) {
        detach_workers(workers);
        return;
    }
    frame::detached([&] { join_workers(workers); });
}

constexpr Params<1> kNew{"ThreadPool", "__new__", {"num_workers"}, 0};

int64_t worker_count(PyObject* arg) {
    if (frame::is_absent_or_none(arg)) {
        const unsigned n = platform::available_parallelism();
        return n > 0 ? int64_t(n) : kUnknownParallelism;
    }
    const int64_t n = frame::arg_i64(arg, "num_workers");
    if (n <= 0) frame::raise_error(PyExc_ValueError, "num_workers must be greater than zero");
    return n;
}

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&]() -> PyObject* {
        const frame::Bound<1> a = frame::bind(kNew, args, kwargs);
        const int64_t count = worker_count(a[0]);
        names();

        auto st = std::make_unique<PoolCore>();
        auto [sender, receiver] = engine::new_unbounded<Job>();
        st->job_sender.emplace(std::move(sender));
        st->cancel_requested = std::make_shared<GuardedFlag>(false);
        {
            Owned futures = Owned::steal(frame::check(PyImport_ImportModule("concurrent.futures")));
            st->future_class = Owned::steal(frame::check(PyObject_GetAttrString(futures.get(), "Future")));
        }
        try {
            st->workers.reserve(size_t(std::min<int64_t>(count, 1024)));
            for (int64_t i = 0; i < count; ++i) {
                auto start = std::make_unique<WorkerStart>(
                    WorkerStart{receiver.clone(), st->cancel_requested, std::make_shared<std::atomic<uint64_t>>(0)});
                WorkerIdentity identity = start->identity;
                st->workers.emplace_back();  // room first, so a started thread's handle is never lost
                platform::ThreadHandle thread;
                const int err = platform::spawn_thread(kThreadStack, worker_main, start.get(), thread);
                if (err != 0) {
                    // The workers already started find the channel disconnected
                    // once `st` and `receiver` are gone, and end by themselves.
                    st->workers.pop_back();
                    spawn_failed(err);
                }
                (void)start.release();  // now owned by the thread
                st->workers.back() = WorkerHandle{thread, std::move(identity)};
            }
        } catch (...) {
            detach_workers(st->workers);  // started workers end once the channel is gone
            throw;
        }
        { engine::ChannelReceiver<Job> dropped = std::move(receiver); }

        PyObject* self;
        try {
            self = frame::new_instance<PoolState>(type, st.get());
        } catch (...) {
            stop_and_join(*st);
            throw;
        }
        (void)st.release();  // now owned by the instance's state
        return self;
    });
}

// Joins (running every queued job first), then clears the weak references,
// then frees. An instance never initialized has no pool, but may have weak
// references all the same.
void pool_dealloc(PyObject* self) noexcept {
    frame::CallScope scope;
    auto* instance = reinterpret_cast<frame::Instance<PoolState>*>(self);
    if (frame::is_initialized<PoolState>(self)) stop_and_join(*instance->state.core);
    if (instance->state.weakreflist) PyObject_ClearWeakRefs(self);
    frame::destroy_instance<PoolState>(self);
}

constexpr Params<1> kSubmit{"ThreadPool", "submit", {"func"}, 1};

PyObject* pool_submit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&]() -> PyObject* {
        frame::BoundVarargs<1> b;
        frame::bind_varargs(kSubmit, args, kwargs, b);
        PoolState& state = frame::state_of<PoolState>(self);
        frame::SharedAccess access(state.access);
        PoolCore& st = *state.core;
        // Checked first: in a child made by fork() even the flag's mutex may
        // have been copied held.
        if (platform::fork_generation() != st.fork_generation) {
            frame::raise_error(PyExc_RuntimeError, "Failed to submit task to worker threads");
        }
        if (!st.running.get() || !st.job_sender) frame::raise_error(PyExc_RuntimeError, "ThreadPool is shutdown");
        // The C form of contextvars.copy_context(); a failure leaves the job
        // without a context, silently.
        Item context = Item::steal(PyContext_CopyCurrent());
        if (!context) PyErr_Clear();
        Owned future = Owned::steal(frame::check(PyObject_CallNoArgs(st.future_class.get())));
        Job job{Item::incref(b.params[0]), Item::steal(std::exchange(b.extra_args, nullptr)),
                Item::incref(future.get()), Item::steal(std::exchange(b.extra_kwargs, nullptr)),
                std::move(context)};
        engine::SendResult<Job> sent = st.job_sender->send(std::move(job));
        if (!sent.ok()) {
            sent.item.reset();
            frame::raise_error(PyExc_RuntimeError, "Failed to submit task to worker threads");
        }
        return future.release();
    });
}

constexpr Params<2> kShutdown{"ThreadPool", "shutdown", {"wait", "cancel_futures"}, 0};

PyObject* pool_shutdown(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&]() -> PyObject* {
        const frame::Bound<2> a = frame::bind(kShutdown, args, nargs, kwnames);
        PoolState& state = frame::state_of<PoolState>(self);
        frame::ExclusiveAccess access(state.access);
        PoolCore& st = *state.core;
        const bool wait = a[0] ? frame::arg_bool(a[0], "wait") : true;
        const bool cancel_futures = a[1] ? frame::arg_bool(a[1], "cancel_futures") : false;
        if (workers_gone_by_fork(st)) Py_RETURN_NONE;
        if (!st.running.take()) Py_RETURN_NONE;
        if (cancel_futures) st.cancel_requested->set(true);
        st.job_sender.reset();
        std::vector<WorkerHandle> workers = std::move(st.workers);
        st.workers.clear();
        if (wait) {
            frame::detached([&] { join_workers(workers); });
            Py_RETURN_NONE;
        }
        auto moved = std::make_unique<std::vector<WorkerHandle>>(std::move(workers));
        platform::ThreadHandle joiner;
        if (const int err = platform::spawn_thread(kThreadStack, joiner_main, moved.get(), joiner); err != 0) {
            detach_workers(*moved);
            spawn_failed(err);
        }
        (void)moved.release();  // now owned by the joiner
        platform::detach_thread(joiner);
        Py_RETURN_NONE;
    });
}

PyMethodDef pool_methods[] = {
    {"submit", frame::as_cfunction(pool_submit), METH_VARARGS | METH_KEYWORDS,
     "submit($self, func, *args, **kwargs)\n--\n\n"
     "Submit a task for parallel execution in the thread pool.\n"
     "Instantiates and returns a standard `concurrent.futures.Future`."},
    {"shutdown", FRAME_FASTCALL(pool_shutdown),
     "shutdown($self, wait=True, cancel_futures=False)\n--\n\n"
     "Shut down the thread pool, dropping the sender and joining all worker threads."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef pool_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, Py_ssize_t(offsetof(frame::Instance<PoolState>, state.weakreflist)),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr char kPoolDoc[] =
    "ThreadPool(num_workers=None)\n--\n\n"
    "An OS-level physical thread pool scheduler for heavy parallel computing.\n"
    "Avoids GIL contention and allows true parallel multi-threaded execution.\n"
    "Supports CPython weakref and implements automatic RAII resource reclamation on Drop.";

PyType_Slot pool_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPoolDoc)},
    {Py_tp_new, reinterpret_cast<void*>(pool_new)},
    {Py_tp_methods, pool_methods},
    {Py_tp_members, pool_members},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(pool_dealloc)},
    {0, nullptr},
};

PyType_Spec pool_spec = {
    "builtins.ThreadPool", int(sizeof(frame::Instance<PoolState>)), 0, Py_TPFLAGS_DEFAULT, pool_slots,
};

}  // namespace

frame::ClassSlot thread_pool_class{"ThreadPool", &pool_spec};

}  // namespace quorvel
