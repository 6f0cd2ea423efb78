// py/channel: what Channel (channel.cpp) and select() with its operation
// descriptors (select.cpp) share: the native state of the three classes, the
// timeout conversion, and the admission and initialisation checks.
//
// Items are frame::Item handles: a strong reference moved in by a send and out
// by a receive; one dropped while detached goes through deferred release, so
// the engine may destroy items on any thread at any time.
// The close signal of a Channel is a zero-capacity channel of Unit on which
// nothing is ever sent; dropping its only sender disconnects it, which makes
// every receive on a clone of `close_rx` ready for good.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/engine.h"
#include "frame/access.h"
#include "frame/errors.h"
#include "frame/ref.h"
#include "frame/types.h"
#include "sync/mutex.h"
#include "sync/rwlock.h"

namespace quorvel::pychan {

using frame::Item;
using Tx = engine::ChannelSender<Item>;
using Rx = engine::ChannelReceiver<Item>;
using SignalTx = engine::ChannelSender<engine::Unit>;
using SignalRx = engine::ChannelReceiver<engine::Unit>;
using TimerRx = engine::ChannelReceiver<platform::Instant>;

// No method of the three classes takes exclusive access, so their access
// words are checked, not counted (frame::CheckedAccessWord).
struct ChannelState {
    frame::CheckedAccessWord access;
    bool bounded;
    uint64_t capacity;  // meaningful when bounded (0: rendezvous)
    // Filled at construction and never emptied while the object lives, so
    // both are read without a lock (nothing writes them).
    SignalRx close_rx;
    Rx receiver;
    // Emptied by close(), under the write lock.
    sync::RawRwLock sender_lock;
    std::optional<Tx> sender;
    // Emptied by close(), under the mutex.
    sync::RawMutex close_lock;
    std::optional<SignalTx> close_tx;

    ChannelState(std::optional<uint64_t> cap, engine::Channel<Item> data, engine::Channel<engine::Unit> signal) noexcept
        : bounded(cap.has_value()), capacity(cap.value_or(0)), close_rx(std::move(signal.second)),
          receiver(std::move(data.second)), sender(std::move(data.first)), close_tx(std::move(signal.first)) {}
};

struct RecvOpState {
    frame::CheckedAccessWord access;
    Rx receiver;
    SignalRx close_rx;
    RecvOpState(Rx rx, SignalRx close) noexcept : receiver(std::move(rx)), close_rx(std::move(close)) {}
};

struct SendOpState {
    frame::CheckedAccessWord access;
    Tx sender;
    SignalRx close_rx;
    Item item;
    SendOpState(Tx tx, SignalRx close, Item it) noexcept
        : sender(std::move(tx)), close_rx(std::move(close)), item(std::move(it)) {}
};

// The float seconds of a `timeout` argument (an exact float read directly,
// anything else through the interpreter's float conversion); a failure is an
// argument error for `param`.
double timeout_seconds(PyObject* obj, const char* param);

// Whole nanoseconds of non-negative `seconds`, rounded to nearest with ties
// to even, saturated to UINT64_MAX (a wait that long has no deadline the clock
// can hold). NaN, infinity and 2**64 s or more panic with "cannot convert
// float seconds to Duration: value is either too big or NaN".
uint64_t duration_ns(double seconds);

// Shared by Channel.recv_op() / send_op() and select().
PyTypeObject* recv_op_type();
PyTypeObject* send_op_type();

}  // namespace quorvel::pychan
