// engine/channel: ChannelCore and its reference-counted ends.
//
// An array, list or zero channel lives in one record: the flavour's state,
// `senders` and `receivers` (live ends per side, starting at 1) and `destroy`.
// An end is a flavour tag and a pointer; every operation dispatches on the
// tag. Timer receivers (at, never) have no record.
// Counting: clone() increments its side (relaxed) and stops the process past
// the largest signed word. Drop decrements (acq_rel); the end that brings a
// side to 0 disconnects that side, then swaps `destroy` (acq_rel): whoever
// finds it already set finished second and frees the record, exactly once.
// Disconnection is for good: receivers still drain what is buffered; every
// later send gives its item back. Items left in a record are destroyed exactly
// once, on whichever thread frees it (array) or at once when the receivers go
// (list). Wakes: the disconnecting side wakes every waiter of the channel.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "engine/alloc.h"
#include "engine/context.h"
#include "engine/flavors/array.h"
#include "engine/flavors/list.h"
#include "engine/flavors/timer.h"
#include "engine/flavors/zero.h"
#include "engine/item.h"
#include "engine/outcome.h"
#include "engine/select.h"
#include "base/panic.h"

namespace quorvel::engine {

enum class Flavor : uint8_t {
    Moved,  // a moved-from end: only destruction and assignment are allowed
    Array,
    List,
    Zero,
    At,     // receivers only
    Never,  // receivers only
};

// The counter record of one channel.
template <class Chan>
struct ChannelCore {
    Chan chan;
    std::atomic<size_t> senders{1};    // live ChannelSender ends
    std::atomic<size_t> receivers{1};  // live ChannelReceiver ends
    std::atomic<bool> destroy{false};  // set by the first side to finish

    template <class... Args>
    explicit ChannelCore(Args&&... args) : chan(std::forward<Args>(args)...) {}
};

namespace detail {

struct EndFactory;

[[noreturn]] inline void moved_from_end() { panic("use of a moved-from channel end"); }

inline void count_clone(std::atomic<size_t>& count) noexcept {
    // Relaxed: the new end is made from a live one, which keeps the record
    // alive; nothing is published through the count.
    if (count.fetch_add(1, std::memory_order_relaxed) >= size_t(PTRDIFF_MAX)) std::abort();
}

// Drops one end of a side; the last one disconnects the side, and the second
// side to finish frees the record.
template <class Chan, bool kSender>
void release_end(ChannelCore<Chan>* core) noexcept {
    std::atomic<size_t>& count = kSender ? core->senders : core->receivers;
    // AcqRel: the release orders this end's operations before the disconnect
    // and the free; the acquire (in the last one) sees all other ends' uses.
    if (count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if constexpr (kSender) {
        core->chan.disconnect_senders();
    } else {
        core->chan.disconnect_receivers();
    }
    // AcqRel: pairs with the other side's swap, so whichever frees the record
    // sees everything the other side did, its disconnect included.
    if (core->destroy.exchange(true, std::memory_order_acq_rel)) destroy(AllocKind::Record, core);
}

}  // namespace detail

template <class T>
class ChannelSender final : public SelectHandle {
    static_assert(ChannelItem<T>, "items must be nothrow movable and nothrow destructible");

public:
    ChannelSender(ChannelSender&& o) noexcept
        : SelectHandle(), flavor_(std::exchange(o.flavor_, Flavor::Moved)), core_(std::exchange(o.core_, nullptr)) {}
    ChannelSender& operator=(ChannelSender&& o) noexcept {
        if (this != &o) {
            release();
            flavor_ = std::exchange(o.flavor_, Flavor::Moved);
            core_ = std::exchange(o.core_, nullptr);
        }
        return *this;
    }
    ChannelSender(const ChannelSender&) = delete;
    ChannelSender& operator=(const ChannelSender&) = delete;
    ~ChannelSender() { release(); }

    // A new end of the same channel, counted as a live sender.
    ChannelSender clone() const {
        switch (flavor_) {
            case Flavor::Array: detail::count_clone(array_core()->senders); break;
            case Flavor::List: detail::count_clone(list_core()->senders); break;
            case Flavor::Zero: detail::count_clone(zero_core()->senders); break;
            default: detail::moved_from_end();
        }
        return ChannelSender(flavor_, core_);
    }

    // Blocks while an array channel is full, or until a zero-channel receiver
    // takes the item; a list channel never blocks. Sent, or Disconnected with
    // the item.
    SendResult<T> send(T item) const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.send(std::move(item));
            case Flavor::List: return list_core()->chan.send(std::move(item));
            case Flavor::Zero: return zero_core()->chan.send(std::move(item));
            default: detail::moved_from_end();
        }
    }

    // Never blocks: Sent, Full with the item, or Disconnected with the item.
    SendResult<T> try_send(T item) const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.try_send(std::move(item));
            case Flavor::List: return list_core()->chan.try_send(std::move(item));
            case Flavor::Zero: return zero_core()->chan.try_send(std::move(item));
            default: detail::moved_from_end();
        }
    }

    Flavor flavor() const noexcept { return flavor_; }

private:
    ChannelSender(Flavor flavor, void* core) noexcept : flavor_(flavor), core_(core) {}

    ChannelCore<ArrayChannel<T>>* array_core() const noexcept { return static_cast<ChannelCore<ArrayChannel<T>>*>(core_); }
    ChannelCore<ListChannel<T>>* list_core() const noexcept { return static_cast<ChannelCore<ListChannel<T>>*>(core_); }
    ChannelCore<ZeroChannel<T>>* zero_core() const noexcept { return static_cast<ChannelCore<ZeroChannel<T>>*>(core_); }

    void release() noexcept {
        switch (flavor_) {
            case Flavor::Array: detail::release_end<ArrayChannel<T>, true>(array_core()); break;
            case Flavor::List: detail::release_end<ListChannel<T>, true>(list_core()); break;
            case Flavor::Zero: detail::release_end<ZeroChannel<T>, true>(zero_core()); break;
            default: break;  // moved-from: nothing to release
        }
        flavor_ = Flavor::Moved;
        core_ = nullptr;
    }

    // SelectHandle.
    bool try_select(Token& token) const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.start_send(token);
            case Flavor::List: return list_core()->chan.start_send(token);
            case Flavor::Zero: return zero_core()->chan.start_send(token);
            default: detail::moved_from_end();
        }
    }
    std::optional<Instant> deadline() const override { return std::nullopt; }
    bool register_op(Operation oper, WaitContext& cx) const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.send_register(oper, cx);
            case Flavor::List: return true;  // always ready; nothing to register
            case Flavor::Zero: return zero_core()->chan.send_register(oper, cx);
            default: detail::moved_from_end();
        }
    }
    void unregister_op(Operation oper) const override {
        switch (flavor_) {
            case Flavor::Array: array_core()->chan.send_unregister(oper); return;
            case Flavor::List: return;
            case Flavor::Zero: zero_core()->chan.send_unregister(oper); return;
            default: detail::moved_from_end();
        }
    }
    bool accept(Token& token, WaitContext& cx) const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.start_send(token);
            case Flavor::List: return list_core()->chan.start_send(token);
            case Flavor::Zero: token.zero.packet = cx.wait_packet(); return true;
            default: detail::moved_from_end();
        }
    }
    bool is_ready() const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.send_is_ready();
            case Flavor::List: return true;
            case Flavor::Zero: return zero_core()->chan.send_is_ready();
            default: detail::moved_from_end();
        }
    }

    // Completes a send started by try_select or accept.
    SendResult<T> write(Token& token, T&& item) const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.write(token, std::move(item));
            case Flavor::List: return list_core()->chan.write(token, std::move(item));
            case Flavor::Zero: return zero_core()->chan.write(token, std::move(item));
            default: detail::moved_from_end();
        }
    }

    Flavor flavor_;
    void* core_;  // ChannelCore<...Channel<T>>* of the flavour

    friend class SelectedOperation;
    friend struct detail::EndFactory;
    friend struct TestAccess;
};

template <class T>
class ChannelReceiver final : public SelectHandle {
    static_assert(ChannelItem<T>, "items must be nothrow movable and nothrow destructible");
    static constexpr bool kTimerItem = std::is_same_v<T, Instant>;

public:
    ChannelReceiver(ChannelReceiver&& o) noexcept
        : SelectHandle(), flavor_(std::exchange(o.flavor_, Flavor::Moved)), core_(std::exchange(o.core_, nullptr)) {}
    ChannelReceiver& operator=(ChannelReceiver&& o) noexcept {
        if (this != &o) {
            release();
            flavor_ = std::exchange(o.flavor_, Flavor::Moved);
            core_ = std::exchange(o.core_, nullptr);
        }
        return *this;
    }
    ChannelReceiver(const ChannelReceiver&) = delete;
    ChannelReceiver& operator=(const ChannelReceiver&) = delete;
    ~ChannelReceiver() { release(); }

    // A new end of the same channel (or timer), counted as a live receiver.
    ChannelReceiver clone() const {
        switch (flavor_) {
            case Flavor::Array: detail::count_clone(array_core()->receivers); break;
            case Flavor::List: detail::count_clone(list_core()->receivers); break;
            case Flavor::Zero: detail::count_clone(zero_core()->receivers); break;
            case Flavor::At: at()->add_ref(); break;
            case Flavor::Never: break;
            case Flavor::Moved: detail::moved_from_end();
        }
        return ChannelReceiver(flavor_, core_);
    }

    // Blocks while the channel is empty and connected: the item, or
    // Disconnected once every sender is gone and nothing is left.
    RecvResult<T> recv() const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.recv();
            case Flavor::List: return list_core()->chan.recv();
            case Flavor::Zero: return zero_core()->chan.recv();
            case Flavor::At:
            case Flavor::Never: {
                // Timers wait through a one-operation Select: until the
                // delivery instant, or for ever.
                Select sel;
                sel.recv(*this);
                SelectedOperation op = sel.select();
                return op.recv(*this);
            }
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }

    // Never blocks: the item, Empty, or Disconnected.
    RecvResult<T> try_recv() const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.try_recv();
            case Flavor::List: return list_core()->chan.try_recv();
            case Flavor::Zero: return zero_core()->chan.try_recv();
            case Flavor::At:
                if constexpr (kTimerItem) {
                    if (std::optional<Instant> got = at()->try_recv()) return RecvResult<T>::received(Instant(*got));
                }
                return RecvResult<T>::empty();
            case Flavor::Never: return RecvResult<T>::empty();
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }

    // Whether nothing can be received right now (a zero channel never buffers).
    bool is_empty() const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.is_empty();
            case Flavor::List: return list_core()->chan.is_empty();
            case Flavor::Zero: return zero_core()->chan.is_empty();
            case Flavor::At: return at()->is_empty();
            case Flavor::Never: return true;
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }

    Flavor flavor() const noexcept { return flavor_; }

private:
    ChannelReceiver(Flavor flavor, void* core) noexcept : flavor_(flavor), core_(core) {}

    ChannelCore<ArrayChannel<T>>* array_core() const noexcept { return static_cast<ChannelCore<ArrayChannel<T>>*>(core_); }
    ChannelCore<ListChannel<T>>* list_core() const noexcept { return static_cast<ChannelCore<ListChannel<T>>*>(core_); }
    ChannelCore<ZeroChannel<T>>* zero_core() const noexcept { return static_cast<ChannelCore<ZeroChannel<T>>*>(core_); }
    AtChannel* at() const noexcept { return static_cast<AtChannel*>(core_); }

    void release() noexcept {
        switch (flavor_) {
            case Flavor::Array: detail::release_end<ArrayChannel<T>, false>(array_core()); break;
            case Flavor::List: detail::release_end<ListChannel<T>, false>(list_core()); break;
            case Flavor::Zero: detail::release_end<ZeroChannel<T>, false>(zero_core()); break;
            case Flavor::At: at()->drop_ref(); break;
            case Flavor::Never:
            case Flavor::Moved: break;
        }
        flavor_ = Flavor::Moved;
        core_ = nullptr;
    }

    // SelectHandle.
    bool try_select(Token& token) const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.start_recv(token);
            case Flavor::List: return list_core()->chan.start_recv(token);
            case Flavor::Zero: return zero_core()->chan.start_recv(token);
            case Flavor::At: return at()->try_select(token);
            case Flavor::Never: return false;
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }
    std::optional<Instant> deadline() const override {
        if (flavor_ == Flavor::At) return at()->deadline();
        return std::nullopt;
    }
    bool register_op(Operation oper, WaitContext& cx) const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.recv_register(oper, cx);
            case Flavor::List: return list_core()->chan.recv_register(oper, cx);
            case Flavor::Zero: return zero_core()->chan.recv_register(oper, cx);
            case Flavor::At: return !at()->is_empty();  // nothing to register: its deadline bounds the wait
            case Flavor::Never: return false;
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }
    void unregister_op(Operation oper) const override {
        switch (flavor_) {
            case Flavor::Array: array_core()->chan.recv_unregister(oper); return;
            case Flavor::List: list_core()->chan.recv_unregister(oper); return;
            case Flavor::Zero: zero_core()->chan.recv_unregister(oper); return;
            case Flavor::At:
            case Flavor::Never: return;
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }
    bool accept(Token& token, WaitContext& cx) const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.start_recv(token);
            case Flavor::List: return list_core()->chan.start_recv(token);
            case Flavor::Zero: token.zero.packet = cx.wait_packet(); return true;
            case Flavor::At: return at()->try_select(token);
            case Flavor::Never: return false;
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }
    bool is_ready() const override {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.recv_is_ready();
            case Flavor::List: return list_core()->chan.recv_is_ready();
            case Flavor::Zero: return zero_core()->chan.recv_is_ready();
            case Flavor::At: return !at()->is_empty();
            case Flavor::Never: return false;
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }

    // Completes a receive started by try_select or accept.
    RecvResult<T> read(Token& token) const {
        switch (flavor_) {
            case Flavor::Array: return array_core()->chan.read(token);
            case Flavor::List: return list_core()->chan.read(token);
            case Flavor::Zero: return zero_core()->chan.read(token);
            case Flavor::At:
                if constexpr (kTimerItem) return AtChannel::read(token);
                // Only after() makes at receivers, and it makes them of Instant.
                panic("timer receiver of a non-instant item type");
            case Flavor::Never: return RecvResult<T>::disconnected();
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }

    Flavor flavor_;
    void* core_;  // ChannelCore<...Channel<T>>* of the flavour, AtChannel*, or null (never)

    friend class SelectedOperation;
    friend struct detail::EndFactory;
    friend struct TestAccess;
};

template <class T>
using Channel = std::pair<ChannelSender<T>, ChannelReceiver<T>>;

namespace detail {
struct EndFactory {
    template <class T, class Chan, class... Args>
    static Channel<T> make(Flavor flavor, Args&&... args) {
        // Allocates the record and the flavour's state in full, or throws
        // std::bad_alloc having freed whatever it had made.
        auto* core = create<ChannelCore<Chan>>(AllocKind::Record, std::forward<Args>(args)...);
        return Channel<T>(ChannelSender<T>(flavor, core), ChannelReceiver<T>(flavor, core));
    }
    template <class T>
    static ChannelReceiver<T> receiver(Flavor flavor, void* core) noexcept {
        return ChannelReceiver<T>(flavor, core);
    }
};
}  // namespace detail

// An unbounded (list-flavour) channel.
template <class T>
Channel<T> new_unbounded() {
    return detail::EndFactory::make<T, ListChannel<T>>(Flavor::List);
}

// A zero-capacity (rendezvous) channel for cap 0, else an array channel of
// `cap` slots, all allocated now.
template <class T>
Channel<T> new_bounded(size_t cap) {
    if (cap == 0) return detail::EndFactory::make<T, ZeroChannel<T>>(Flavor::Zero);
    return detail::EndFactory::make<T, ArrayChannel<T>>(Flavor::Array, cap);
}

// A receiver that is never ready and has no deadline.
template <class T>
ChannelReceiver<T> never() noexcept {
    return detail::EndFactory::receiver<T>(Flavor::Never, nullptr);
}

// A one-shot timer that delivers its instant once now + duration_ns has come;
// a never receiver when that sum does not fit the clock.
inline ChannelReceiver<Instant> after(uint64_t duration_ns) {
    if (AtChannel* at = AtChannel::make_after(duration_ns)) {
        return detail::EndFactory::receiver<Instant>(Flavor::At, at);
    }
    return never<Instant>();
}

template <class T>
RecvResult<T> SelectedOperation::recv(const ChannelReceiver<T>& receiver) {
    if (static_cast<const void*>(&receiver) != identity_) panic("passed a receiver that wasn't selected");
    if (!pending_) panic("`SelectedOperation` completed twice");
    pending_ = false;
    return receiver.read(token_);
}

template <class T>
SendResult<T> SelectedOperation::send(const ChannelSender<T>& sender, T item) {
    if (static_cast<const void*>(&sender) != identity_) panic("passed a sender that wasn't selected");
    if (!pending_) panic("`SelectedOperation` completed twice");
    pending_ = false;
    return sender.write(token_, std::move(item));
}

}  // namespace quorvel::engine
