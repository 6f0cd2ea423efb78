// select() and its operation descriptors RecvOp and SendOp.
//
// A descriptor holds clones of one channel's ends and of its close signal
// (and, for SendOp, a reference to the item); nothing ever empties it, so a
// SendOp can send its item again and again. A select() call clones every
// descriptor's ends once, attached, then waits detached in one Select with
// two arms per operation: arm 2i is operation i's data arm, arm 2i + 1 its
// close arm. Exactly one operation takes effect per call, completed before the
// thread re-attaches. On the main thread the wait runs in slices so that
// signal handlers run (frame/interrupt.h); a handler that raises ends the call
// before any arm completes.
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "py/channel.h"
#include "py/classes.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/interrupt.h"

namespace quorvel {
namespace {

using frame::Item;
using frame::Owned;
using frame::Params;
using pychan::RecvOpState;
using pychan::Rx;
using pychan::SendOpState;
using pychan::SignalRx;
using pychan::Tx;

// One operation of a call: fresh clones, and for a send the call's own
// reference to the item.
struct Entry {
    std::optional<Rx> rx;  // receive entries
    std::optional<Tx> tx;  // send entries
    SignalRx close_rx;
    Item item;
};

enum class Outcome : uint8_t { Received, Sent, ClosedEmpty, Closed, TimedOut };

struct Completed {
    Outcome outcome;
    size_t index = 0;  // position in `ops`
    Item item;         // the received item
};

Completed complete(engine::SelectedOperation& op, std::vector<Entry>& entries) {
    const size_t i = op.index() / 2;
    Entry& e = entries[i];
    if (op.index() % 2 == 0) {
        if (e.tx) {
            // A disconnected channel gives the item back; it is released here,
            // detached, through deferred release. The SendOp keeps its own.
            engine::SendResult<Item> r = op.send(*e.tx, std::move(e.item));
            return Completed{r.ok() ? Outcome::Sent : Outcome::Closed, i, Item()};
        }
        engine::RecvResult<Item> r = op.recv(*e.rx);
        if (!r.ok()) return Completed{Outcome::ClosedEmpty, i, Item()};
        return Completed{Outcome::Received, i, std::move(*r.item)};
    }
    (void)op.recv(e.close_rx);
    if (e.tx) return Completed{Outcome::Closed, i, Item()};
    // Closed: drain what is still buffered, one item per call.
    engine::RecvResult<Item> r = e.rx->try_recv();
    if (!r.ok()) return Completed{Outcome::ClosedEmpty, i, Item()};
    return Completed{Outcome::Received, i, std::move(*r.item)};
}

Completed wait(std::vector<Entry>& entries, std::optional<uint64_t> duration) {
    engine::Select sel;
    sel.reserve(2 * entries.size());
    for (const Entry& e : entries) {
        if (e.tx) {
            sel.send(*e.tx);
        } else {
            sel.recv(*e.rx);
        }
        sel.recv(e.close_rx);
    }
    // One pass while still attached: an operation ready now completes without
    // the cost of detaching. It takes no registration, so a partner cannot be
    // left spinning on this thread; had the pass failed, the wait's own first
    // pass would have looked at the same arms in another random order.
    {
        engine::SelectOutcome now = sel.try_select();
        if (!now.timed_out()) return complete(now.operation(), entries);
    }
    std::optional<platform::Instant> deadline;  // fixed when the wait begins
    bool started = false;
    return frame::interruptible([&](std::optional<uint64_t> slice) -> std::optional<Completed> {
        if (!started) {
            started = true;
            // A deadline beyond the clock's range means none.
            if (duration) deadline = platform::Instant::now().checked_add(*duration);
        }
        if (!deadline && !slice) {
            engine::SelectedOperation op = sel.select();
            return complete(op, entries);
        }
        uint64_t limit = UINT64_MAX;
        if (deadline) limit = deadline->saturating_since(platform::Instant::now());
        if (slice && *slice < limit) limit = *slice;
        engine::SelectOutcome out = sel.select_timeout(limit);
        if (!out.timed_out()) return complete(out.operation(), entries);
        if (deadline && platform::Instant::now() >= *deadline) return Completed{Outcome::TimedOut, 0, Item()};
        return std::nullopt;  // only the slice ended
    });
}

// Reads `ops` into a list: any sequence but a str, elements taken by
// iterating. Failures are argument errors for `ops`.
std::vector<Owned> read_ops(PyObject* ops) {
    return frame::convert_arg("ops", [&] {
        if (PyUnicode_Check(ops)) frame::raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(ops)) frame::raise_type_mismatch(ops, "Sequence");
        std::vector<Owned> list;
        if (PyList_CheckExact(ops)) {
            // What iterating an exact list yields, read in one pass under the
            // list's own lock instead of through an iterator object.
            bool no_memory = false;
            Py_BEGIN_CRITICAL_SECTION(ops);
            const Py_ssize_t n = PyList_GET_SIZE(ops);
            try {
                list.reserve(size_t(n));
                for (Py_ssize_t i = 0; i < n; ++i) list.push_back(Owned::incref(PyList_GET_ITEM(ops, i)));
            } catch (const std::bad_alloc&) {
                no_memory = true;  // thrown by reserve(), before any element was taken
            }
            Py_END_CRITICAL_SECTION();
            if (no_memory) throw std::bad_alloc();
            return list;
        }
        Py_ssize_t hint = PySequence_Size(ops);
        if (hint < 0) {
            PyErr_Clear();
            hint = 0;
        }
        list.reserve(size_t(hint));
        Owned it = Owned::steal(frame::check(PyObject_GetIter(ops)));
        while (PyObject* obj = PyIter_Next(it.get())) list.push_back(Owned::steal(obj));
        if (PyErr_Occurred()) frame::throw_error_set();
        return list;
    });
}

constexpr Params<2> kSelect{nullptr, "select", {"ops", "timeout"}, 1};

PyObject* select_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const auto a = frame::bind(kSelect, args, nargs, kwnames);
        std::vector<Owned> ops = read_ops(a[0]);
        std::optional<double> seconds;
        if (!frame::is_absent_or_none(a[1])) {
            double s = pychan::timeout_seconds(a[1], "timeout");
            if (!(s > 0.0)) s = 0.0;  // below zero, negative zero and NaN
            seconds = s;
        }
        if (ops.empty()) frame::raise_error(PyExc_ValueError, "Operations list cannot be empty");

        PyTypeObject* recv_type = pychan::recv_op_type();
        PyTypeObject* send_type = pychan::send_op_type();
        // Built in full before any arm is added: the Select names each end
        // by its address, so the vector must not move them afterwards.
        std::vector<Entry> entries;
        entries.reserve(ops.size());
        for (const Owned& obj : ops) {
            PyTypeObject* type = Py_TYPE(obj.get());
            if (type == recv_type) {
                RecvOpState& st = frame::state_of<RecvOpState>(obj.get());
                frame::SharedAccess access(st.access);
                entries.push_back(Entry{st.receiver.clone(), std::nullopt, st.close_rx.clone(), Item()});
            } else if (type == send_type) {
                SendOpState& st = frame::state_of<SendOpState>(obj.get());
                frame::SharedAccess access(st.access);
                entries.push_back(Entry{std::nullopt, st.sender.clone(), st.close_rx.clone(), Item::incref(st.item.get())});
            } else {
                entries.clear();  // the entries made so far go first
                frame::raise_error(PyExc_TypeError, "Operations must be of type RecvOp or SendOp");
            }
        }
        std::optional<uint64_t> duration;
        if (seconds) duration = pychan::duration_ns(*seconds);

        Completed done = wait(entries, duration);
        entries.clear();
        switch (done.outcome) {
            case Outcome::Received:
            case Outcome::Sent: {
                Owned index = Owned::steal(frame::check(PyLong_FromSize_t(done.index)));
                PyObject* value = done.outcome == Outcome::Sent ? Py_NewRef(Py_None) : done.item.release();
                Owned pair = Owned::steal(PyTuple_New(2));
                if (!pair) {
                    Py_DECREF(value);
                    frame::throw_error_set();
                }
                PyTuple_SET_ITEM(pair.get(), 0, index.release());
                PyTuple_SET_ITEM(pair.get(), 1, value);
                return pair.release();
            }
            case Outcome::ClosedEmpty: frame::raise_error(PyExc_ValueError, "Selected channel is closed and empty");
            case Outcome::Closed: frame::raise_error(PyExc_ValueError, "Selected channel is closed");
            case Outcome::TimedOut: break;
        }
        frame::raise_error(PyExc_TimeoutError, "select() timed out waiting for ready channel");
    });
}

// ---------------------------------------------------------------------------
// Descriptor classes: no methods, no constructor; deallocation releases the
// clones (and the item).

PyType_Slot recv_op_slots[] = {
    {Py_tp_doc, const_cast<char*>("An operation descriptor for receiving from a channel inside `select()`.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<RecvOpState>)},
    {0, nullptr},
};

PyType_Slot send_op_slots[] = {
    {Py_tp_doc, const_cast<char*>("An operation descriptor for sending to a channel inside `select()`.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<SendOpState>)},
    {0, nullptr},
};

PyType_Spec recv_op_spec = {
    "builtins.RecvOp", int(sizeof(frame::Instance<RecvOpState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, recv_op_slots,
};

PyType_Spec send_op_spec = {
    "builtins.SendOp", int(sizeof(frame::Instance<SendOpState>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, send_op_slots,
};

}  // namespace

frame::ClassSlot recv_op_class{"RecvOp", &recv_op_spec};
frame::ClassSlot send_op_class{"SendOp", &send_op_spec};

PyMethodDef select_def = {
    "select", FRAME_FASTCALL(select_fn),
    "select(ops, timeout=None)\n--\n\n"
    "Block until one of the channel operations (recv_op or send_op) is ready, or until optional timeout expires.\n"
    "Multiplexes several channel operations at once and completes exactly one of them.",
};

}  // namespace quorvel
