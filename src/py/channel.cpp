// Channel: a multi-producer multi-consumer channel of Python objects for
// Python code, over the channel engine, with a close signal that wakes every
// waiter, iteration, a context manager, select() descriptors and asyncio
// adapters.
//
// Guarantees: a send moves the caller's reference into the channel and a
// receive moves it out (recv() returns the very object sent); an item that
// cannot be delivered is released exactly once; no failure changes the
// channel. close() never waits: blocked callers hold their own clones of the
// ends and are woken through the close signal.
// Waiting: a blocking call first tries once while attached; only a call that
// must wait clones what it needs, detaches, and waits in a Select over the
// data end, the close signal and (with a timeout) a timer, completing the
// chosen arm before it re-attaches. On the main thread the wait runs in
// slices so that signal handlers run (frame/interrupt.h); a handler that
// raises ends the call before any arm completes, so nothing is lost.
// Locks: `sender_lock` is held for one clone or one attempt, and for writing
// only by close(); no lock is held across a wait or while Python code runs.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "py/channel.h"
#include "py/classes.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/interrupt.h"

namespace quorvel {

namespace pychan {

double timeout_seconds(PyObject* obj, const char* param) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    return frame::convert_arg(param, [&] {
        const double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) frame::throw_error_set();
        return v;
    });
}

uint64_t duration_ns(double seconds) {
    constexpr double kTwoPow64 = 18446744073709551616.0;
    // Also refuses NaN, for which every comparison is false.
    if (!(seconds < kTwoPow64)) panic("cannot convert float seconds to Duration: value is either too big or NaN");
    if (seconds <= 0.0) return 0;  // callers pass no negative value; -0.0 is zero
    // seconds == m * 2**e exactly, with m a 53-bit integer; the nanoseconds
    // m * 10**9 * 2**e are then computed exactly in 128 bits and rounded once.
    int exp = 0;
    const double mant = std::frexp(seconds, &exp);
    const uint64_t m = uint64_t(std::ldexp(mant, 53));
    const int e = exp - 53;
    const unsigned __int128 product = static_cast<unsigned __int128>(m) * 1'000'000'000u;
    unsigned __int128 ns;
    if (e >= 0) {
        ns = product << e;  // e <= 11 since seconds < 2**64: no overflow
    } else if (-e >= 128) {
        ns = 0;  // product < 2**83, far below half a nanosecond here
    } else {
        const int s = -e;
        unsigned __int128 q = product >> s;
        const unsigned __int128 rem = product - (q << s);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (s - 1);
        if (rem > half || (rem == half && (q & 1))) ++q;
        ns = q;
    }
    return ns > UINT64_MAX ? UINT64_MAX : uint64_t(ns);
}

PyTypeObject* recv_op_type() { return recv_op_class.get(); }
PyTypeObject* send_op_type() { return send_op_class.get(); }

}  // namespace pychan

namespace {

using frame::Item;
using frame::Owned;
using frame::Params;
using pychan::ChannelState;
using pychan::Rx;
using pychan::SignalRx;
using pychan::SignalTx;
using pychan::TimerRx;
using pychan::Tx;

constexpr char kClosed[] = "Channel is closed";
constexpr char kClosedEmpty[] = "Channel is closed and empty";

// The state of an initialized Channel, admitted for a shared call. The access
// word is checked, not counted, so nothing needs giving back.
ChannelState& channel(PyObject* self) {
    ChannelState& st = frame::state_of<ChannelState>(self);
    frame::SharedAccess access(st.access);
    return st;
}

// Shared hold of the sender slot for one clone or one attempt.
class SenderRead {
public:
    explicit SenderRead(ChannelState& st) : lock_(st.sender_lock) { lock_.lock_shared(false); }
    ~SenderRead() { lock_.unlock_shared(); }
    SenderRead(const SenderRead&) = delete;
    SenderRead& operator=(const SenderRead&) = delete;

private:
    sync::RawRwLock& lock_;
};

enum class Outcome : uint8_t { Done, Closed, ClosedEmpty, TimedOut };

struct Received {
    Outcome outcome;
    Item item;  // set when outcome is Done
};

// One wait of a Select: for good without a slice, else at most `slice` ns
// (nothing when it passes, and then no operation has started). The chosen
// operation is completed by `complete` before the wait returns.
template <class Complete>
auto select_step(engine::Select& sel, std::optional<uint64_t> slice, Complete&& complete)
    -> std::optional<decltype(complete(std::declval<engine::SelectedOperation&>()))> {
    if (!slice) {
        engine::SelectedOperation op = sel.select();
        return complete(op);
    }
    engine::SelectOutcome out = sel.select_timeout(*slice);
    if (out.timed_out()) return std::nullopt;
    return complete(out.operation());
}

// The duration of a given timeout: below zero is refused; NaN, infinity and
// 2**64 s or more panic.
std::optional<uint64_t> checked_duration(std::optional<double> seconds) {
    if (!seconds) return std::nullopt;
    if (*seconds < 0.0) frame::raise_error(PyExc_ValueError, "Timeout must be non-negative");
    return pychan::duration_ns(*seconds);
}

// Arms: 0 sends `item` on `tx`, 1 receives the close signal, 2 the timer
// (made when the wait begins, after detaching). `item` stays the caller's
// unless arm 0 completes.
Outcome wait_send(const Tx& tx, const SignalRx& close_rx, std::optional<uint64_t> duration, Item& item) {
    engine::Select sel;
    sel.reserve(duration ? 3 : 2);
    sel.send(tx);
    sel.recv(close_rx);
    std::optional<TimerRx> timer;
    return frame::interruptible([&](std::optional<uint64_t> slice) -> std::optional<Outcome> {
        if (duration && !timer) {
            timer.emplace(engine::after(*duration));
            sel.recv(*timer);
        }
        return select_step(sel, slice, [&](engine::SelectedOperation& op) -> Outcome {
            switch (op.index()) {
                case 0: {
                    // A disconnected channel gives the item back; it is
                    // released here, detached, through deferred release.
                    engine::SendResult<Item> r = op.send(tx, std::move(item));
                    return r.ok() ? Outcome::Done : Outcome::Closed;
                }
                case 1: (void)op.recv(close_rx); return Outcome::Closed;
                default: (void)op.recv(*timer); return Outcome::TimedOut;
            }
        });
    });
}

// Arms: 0 receives on `rx`, 1 the close signal (then one attempt on `rx`, so
// receivers drain what is buffered after close()), 2 the timer.
Received wait_recv(const Rx& rx, const SignalRx& close_rx, std::optional<uint64_t> duration) {
    engine::Select sel;
    sel.reserve(duration ? 3 : 2);
    sel.recv(rx);
    sel.recv(close_rx);
    std::optional<TimerRx> timer;
    return frame::interruptible([&](std::optional<uint64_t> slice) -> std::optional<Received> {
        if (duration && !timer) {
            timer.emplace(engine::after(*duration));
            sel.recv(*timer);
        }
        return select_step(sel, slice, [&](engine::SelectedOperation& op) -> Received {
            engine::RecvResult<Item> r = engine::RecvResult<Item>::empty();
            switch (op.index()) {
                case 0: r = op.recv(rx); break;
                case 1:
                    (void)op.recv(close_rx);
                    r = rx.try_recv();
                    break;
                default: (void)op.recv(*timer); return Received{Outcome::TimedOut, Item()};
            }
            if (!r.ok()) return Received{Outcome::ClosedEmpty, Item()};
            return Received{Outcome::Done, std::move(*r.item)};
        });
    });
}

// The short back-off of send() and recv() before they commit to a wait
// (still attached, a few microseconds at most): a partner on its way saves the
// call the clones, the detach and the park. next() pauses and says whether to
// try again. Buffered channels snooze (spins, then yields, which let a
// producer or consumer sharing this processor make progress). A rendezvous
// only completes with a partner that registers in its own wait, so it spins
// without yielding: a yield on a busy machine can cost a whole time slice,
// during which the partner finds nobody registered and parks as well.
class PreWait {
public:
    explicit PreWait(const ChannelState& st) noexcept : rendezvous_(st.bounded && st.capacity == 0) {}
    bool next() noexcept {
        if (!rendezvous_) return backoff_.try_snooze();
        if (spins_ == kRendezvousSpins) return false;
        ++spins_;
        backoff_.spin();
        return true;
    }

private:
    static constexpr unsigned kRendezvousSpins = 7;  // 1, 2, 4 ... 64 pause hints
    Backoff backoff_;
    unsigned spins_ = 0;
    bool rendezvous_;
};

[[noreturn]] void raise_send_failure(Outcome out) {
    if (out == Outcome::TimedOut) {
        frame::raise_error(PyExc_TimeoutError, "send() timed out waiting for channel capacity");
    }
    frame::raise_error(PyExc_ValueError, kClosed);
}

[[noreturn]] void raise_recv_failure(Outcome out) {
    if (out == Outcome::TimedOut) {
        frame::raise_error(PyExc_TimeoutError, "recv() timed out waiting for available item");
    }
    frame::raise_error(PyExc_ValueError, kClosedEmpty);
}

// send(), send_timeout() and asend's scheduled call. `timeout` is nullptr for
// no deadline. Every failure releases the call's reference to the item.
void blocking_send(ChannelState& st, PyObject* item_obj, PyObject* timeout) {
    Item item = Item::incref(item_obj);
    std::optional<double> seconds;
    if (timeout) seconds = pychan::timeout_seconds(timeout, "timeout");

    bool closed = false;
    bool sent = false;
    std::optional<Tx> tx;
    Item refused;  // given back by a disconnected channel; released after unlocking
    {
        SenderRead hold(st);
        if (!st.sender) {
            closed = true;
        } else if (!seconds) {
            // The first attempt runs on the held end, as try_send() does: the
            // lock keeps that end alive for the attempt, so a clone would add
            // nothing any caller could observe.
            engine::SendResult<Item> r = st.sender->try_send(std::move(item));
            switch (r.status) {
                case engine::SendStatus::Sent: sent = true; break;
                case engine::SendStatus::Disconnected: closed = true; refused = std::move(*r.item); break;
                case engine::SendStatus::Full:
                    item = std::move(*r.item);
                    tx.emplace(st.sender->clone());
                    break;
            }
        } else {
            tx.emplace(st.sender->clone());
        }
    }
    if (sent) return;
    if (closed) frame::raise_error(PyExc_ValueError, kClosed);
    if (!seconds) {
        // A short back-off before the wait, for a receiver that is about to
        // make room (PreWait).
        for (PreWait pause(st); pause.next();) {
            engine::SendResult<Item> r = tx->try_send(std::move(item));
            if (r.ok()) return;
            item = std::move(*r.item);
            if (r.status == engine::SendStatus::Disconnected) frame::raise_error(PyExc_ValueError, kClosed);
        }
    }

    SignalRx close_rx = st.close_rx.clone();
    const std::optional<uint64_t> duration = checked_duration(seconds);
    const Outcome out = wait_send(*tx, close_rx, duration, item);
    if (out != Outcome::Done) raise_send_failure(out);
}

// recv(), recv_timeout() and __next__. `timeout` is nullptr for no deadline.
// Conversion errors raise; channel outcomes are returned.
Received blocking_recv(ChannelState& st, PyObject* timeout) {
    std::optional<double> seconds;
    if (timeout) {
        seconds = pychan::timeout_seconds(timeout, "timeout");
    } else {
        // The first attempt runs on the object's own receiving end, which
        // nothing empties while the object lives: a clone would add nothing
        // any caller could observe. A disconnected channel stays so, and
        // nothing can be buffered after it has been drained, so the wait
        // would only report the same.
        engine::RecvResult<Item> r = st.receiver.try_recv();
        // A short back-off before committing to a wait (PreWait).
        for (PreWait pause(st);;) {
            if (r.ok()) return Received{Outcome::Done, std::move(*r.item)};
            if (r.status == engine::RecvStatus::Disconnected) return Received{Outcome::ClosedEmpty, Item()};
            if (!pause.next()) break;
            r = st.receiver.try_recv();
        }
    }
    Rx rx = st.receiver.clone();
    SignalRx close_rx = st.close_rx.clone();
    const std::optional<uint64_t> duration = checked_duration(seconds);
    return wait_recv(rx, close_rx, duration);
}

PyObject* recv_result(Received r) {
    if (r.outcome != Outcome::Done) raise_recv_failure(r.outcome);
    return r.item.release();
}

// ---------------------------------------------------------------------------
// Methods

constexpr Params<2> kSend{"Channel", "send", {"item", "timeout"}, 1};
constexpr Params<1> kRecv{"Channel", "recv", {"timeout"}, 0};
constexpr Params<1> kTrySend{"Channel", "try_send", {"item"}, 1};
constexpr Params<2> kSendTimeout{"Channel", "send_timeout", {"item", "timeout"}, 2};
constexpr Params<1> kRecvTimeout{"Channel", "recv_timeout", {"timeout"}, 1};
constexpr Params<1> kSendOp{"Channel", "send_op", {"item"}, 1};
constexpr Params<3> kExit{"Channel", "__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 3};
constexpr Params<2> kAsend{"Channel", "asend", {"item", "timeout"}, 1};
constexpr Params<1> kArecv{"Channel", "arecv", {"timeout"}, 0};
constexpr Params<1> kNew{"Channel", "__new__", {"capacity"}, 0};

PyObject* none_to_null(PyObject* arg) { return frame::is_absent_or_none(arg) ? nullptr : arg; }

PyObject* ch_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kSend, args, nargs, kwnames);
        blocking_send(channel(self), a[0], none_to_null(a[1]));
        Py_RETURN_NONE;
    });
}

PyObject* ch_send_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kSendTimeout, args, nargs, kwnames);
        blocking_send(channel(self), a[0], a[1]);
        Py_RETURN_NONE;
    });
}

PyObject* ch_recv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kRecv, args, nargs, kwnames);
        return recv_result(blocking_recv(channel(self), none_to_null(a[0])));
    });
}

PyObject* ch_recv_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kRecvTimeout, args, nargs, kwnames);
        return recv_result(blocking_recv(channel(self), a[0]));
    });
}

PyObject* ch_try_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kTrySend, args, nargs, kwnames);
        ChannelState& st = channel(self);
        Item item = Item::incref(a[0]);
        engine::SendStatus status = engine::SendStatus::Disconnected;
        Item refused;  // released after unlocking
        {
            SenderRead hold(st);
            if (st.sender) {
                engine::SendResult<Item> r = st.sender->try_send(std::move(item));
                status = r.status;
                if (r.item) refused = std::move(*r.item);
            }
        }
        if (status == engine::SendStatus::Sent) Py_RETURN_NONE;
        if (status == engine::SendStatus::Full) frame::raise_error(PyExc_RuntimeError, "Channel is full");
        frame::raise_error(PyExc_ValueError, kClosed);
    });
}

PyObject* ch_try_recv(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        ChannelState& st = channel(self);
        engine::RecvResult<Item> r = st.receiver.try_recv();
        if (r.ok()) return r.item->release();
        if (r.status == engine::RecvStatus::Empty) frame::raise_error(PyExc_RuntimeError, "Channel is empty");
        frame::raise_error(PyExc_ValueError, kClosedEmpty);
    });
}

void close_channel(ChannelState& st) {
    // The ends are dropped after unlocking: the last sender's drop wakes the
    // channel's waiters, which is no work to do under the slot's lock.
    std::optional<Tx> sender;
    st.sender_lock.lock_exclusive();
    if (st.sender) {
        sender.emplace(std::move(*st.sender));
        st.sender.reset();
    }
    st.sender_lock.unlock_exclusive();
    sender.reset();

    std::optional<SignalTx> close_tx;
    st.close_lock.lock();
    if (st.close_tx) {
        close_tx.emplace(std::move(*st.close_tx));
        st.close_tx.reset();
    }
    st.close_lock.unlock();
    // The close signal's only sender: dropping it disconnects the signal and
    // wakes every Select holding a clone of close_rx.
    close_tx.reset();
}

PyObject* ch_close(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        close_channel(channel(self));
        Py_RETURN_NONE;
    });
}

PyObject* ch_recv_op(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        ChannelState& st = channel(self);
        PyTypeObject* type = pychan::recv_op_type();
        return frame::new_instance<pychan::RecvOpState>(type, st.receiver.clone(), st.close_rx.clone());
    });
}

PyObject* ch_send_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kSendOp, args, nargs, kwnames);
        ChannelState& st = channel(self);
        Item item = Item::incref(a[0]);
        PyTypeObject* type = pychan::send_op_type();
        std::optional<Tx> tx;
        {
            SenderRead hold(st);
            if (st.sender) tx.emplace(st.sender->clone());
        }
        if (!tx) frame::raise_error(PyExc_ValueError, kClosed);
        return frame::new_instance<pychan::SendOpState>(type, std::move(*tx), st.close_rx.clone(), std::move(item));
    });
}

PyObject* ch_enter(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        (void)channel(self);
        return Py_NewRef(self);
    });
}

PyObject* ch_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        frame::bind(kExit, args, nargs, kwnames);
        close_channel(channel(self));
        Py_RETURN_NONE;
    });
}

PyObject* ch_iter(PyObject* self) noexcept {
    return frame::call([&] {
        (void)channel(self);
        return Py_NewRef(self);
    });
}

PyObject* ch_next(PyObject* self) noexcept {
    return frame::call([&]() -> PyObject* {
        ChannelState& st = channel(self);
        Received r = blocking_recv(st, nullptr);
        if (r.outcome == Outcome::Done) return r.item.release();
        // The iteration ends once the channel is closed and drained. An item
        // that came through a sending end outliving close() (a SendOp) after
        // the failed receive keeps the error instead.
        bool sender_gone;
        {
            SenderRead hold(st);
            sender_gone = !st.sender;
        }
        if (sender_gone && st.receiver.is_empty()) return nullptr;  // StopIteration, no arguments
        raise_recv_failure(r.outcome);
    });
}

// asend() and arecv(): hand the blocking call to the running loop's default
// executor. Nothing is scheduled when any step before run_in_executor fails.
PyObject* schedule(PyObject* self, const char* method, PyObject* item, PyObject* timeout) {
    Owned timeout_arg = Owned::incref(Py_None);
    if (!frame::is_absent_or_none(timeout)) {
        timeout_arg = Owned::steal(frame::check(PyFloat_FromDouble(pychan::timeout_seconds(timeout, "timeout"))));
    }
    Owned asyncio = Owned::steal(frame::check(PyImport_ImportModule("asyncio")));
    Owned loop = Owned::steal(frame::check(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr)));
    Owned bound = Owned::steal(frame::check(PyObject_GetAttrString(self, method)));
    Owned run = Owned::steal(frame::check(PyUnicode_FromString("run_in_executor")));
    if (item) {
        return frame::check(
            PyObject_CallMethodObjArgs(loop.get(), run.get(), Py_None, bound.get(), item, timeout_arg.get(), nullptr));
    }
    return frame::check(PyObject_CallMethodObjArgs(loop.get(), run.get(), Py_None, bound.get(), timeout_arg.get(), nullptr));
}

PyObject* ch_asend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kAsend, args, nargs, kwnames);
        (void)channel(self);
        Owned item = Owned::incref(a[0]);
        Owned keep = Owned::incref(self);
        return schedule(self, "send", item.get(), a[1]);
    });
}

PyObject* ch_arecv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kArecv, args, nargs, kwnames);
        (void)channel(self);
        Owned keep = Owned::incref(self);
        return schedule(self, "recv", nullptr, a[0]);
    });
}

PyObject* ch_capacity(PyObject* self, void*) noexcept {
    return frame::call([&] {
        ChannelState& st = channel(self);
        if (!st.bounded) Py_RETURN_NONE;
        return frame::check(PyLong_FromUnsignedLongLong(st.capacity));
    });
}

PyObject* ch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kNew, args, kwargs);
        std::optional<uint64_t> cap;
        if (!frame::is_absent_or_none(a[0])) {
            const int64_t n = frame::arg_i64(a[0], "capacity");
            if (n < 0) frame::raise_error(PyExc_ValueError, "Capacity must be non-negative");
            cap = uint64_t(n);
        }
        // A slot buffer that cannot be allocated throws std::bad_alloc, which
        // the frame raises as MemoryError; the engine frees what it had made.
        engine::Channel<Item> data = cap ? engine::new_bounded<Item>(size_t(*cap)) : engine::new_unbounded<Item>();
        engine::Channel<engine::Unit> signal = engine::new_bounded<engine::Unit>(0);
        return frame::new_instance<ChannelState>(type, cap, std::move(data), std::move(signal));
    });
}

PyMethodDef channel_methods[] = {
    {"send", FRAME_FASTCALL(ch_send),
     "send($self, item, timeout=None)\n--\n\nBlock and send an item into the channel. Releases the GIL while waiting."},
    {"recv", FRAME_FASTCALL(ch_recv),
     "recv($self, timeout=None)\n--\n\n"
     "Block and receive an item from the channel. Releases the GIL while waiting.\n"
     "\n"
     "Concurrency & Closing Behavior:\n"
     "    When several threads are blocked in `recv()` and `close()` is called, all of them\n"
     "    are unblocked at once. The unblocked threads drain the buffered items until the\n"
     "    channel is empty; threads that call `recv()` after that get\n"
     "    ValueError(\"Channel is closed and empty\")."},
    {"try_send", FRAME_FASTCALL(ch_try_send),
     "try_send($self, item)\n--\n\nNon-blocking send. Raises RuntimeError if full, ValueError if closed."},
    {"try_recv", FRAME_NOARGS(ch_try_recv),
     "try_recv($self)\n--\n\nNon-blocking receive. Raises RuntimeError if empty, ValueError if closed."},
    {"send_timeout", FRAME_FASTCALL(ch_send_timeout),
     "send_timeout($self, item, timeout)\n--\n\nBlock and send an item with a timeout. Releases the GIL."},
    {"recv_timeout", FRAME_FASTCALL(ch_recv_timeout),
     "recv_timeout($self, timeout)\n--\n\nBlock and receive an item with a timeout. Releases the GIL."},
    {"close", FRAME_NOARGS(ch_close),
     "close($self)\n--\n\nClose the channel for sending. Drops sender and unblocks pending receivers.\n"
     "Note: Receiver remains active to allow draining any remaining buffered items."},
    {"recv_op", FRAME_NOARGS(ch_recv_op),
     "recv_op($self)\n--\n\nCreate a Receive Operation wrapper for `select()`.\n"
     "Remains available after `close()` to allow draining existing items in the channel buffer."},
    {"send_op", FRAME_FASTCALL(ch_send_op), "send_op($self, item)\n--\n\nCreate a Send Operation wrapper for `select()`."},
    {"__enter__", FRAME_NOARGS(ch_enter), "__enter__($self)\n--\n\n"},
    {"__exit__", FRAME_FASTCALL(ch_exit), "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {"asend", FRAME_FASTCALL(ch_asend),
     "asend($self, item, timeout=None)\n--\n\nAsync version of send() for compatibility with asyncio event loops."},
    {"arecv", FRAME_FASTCALL(ch_arecv),
     "arecv($self, timeout=None)\n--\n\nAsync version of recv() for compatibility with asyncio event loops."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"capacity", ch_capacity, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kChannelDoc[] =
    "Channel(capacity=None)\n--\n\n"
    "A thread-safe, lock-free message passing channel.\n"
    "Supports bounded, unbounded, and unbuffered (capacity=0) rendezvous modes.";

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>(kChannelDoc)},
    {Py_tp_new, reinterpret_cast<void*>(ch_new)},
    {Py_tp_iter, reinterpret_cast<void*>(ch_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ch_next)},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_getset},
    {Py_tp_base, &PyBaseObject_Type},
    // Dropping the state closes the channel: its sender and the close
    // signal's sender go, waking every waiter; clones elsewhere stay valid.
    {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<ChannelState>)},
    {0, nullptr},
};

PyType_Spec channel_spec = {
    "builtins.Channel", int(sizeof(frame::Instance<ChannelState>)), 0, Py_TPFLAGS_DEFAULT, channel_slots,
};

}  // namespace

frame::ClassSlot channel_class{"Channel", &channel_spec};

}  // namespace quorvel
