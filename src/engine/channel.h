// engine/channel: ChannelCore and its reference-counted ends.
//
// An array, list or zero channel lives in one record: the flavour's state,
// `senders` and `receivers` (live ends per side, starting at 1) and `destroy`.
// An end is a flavour tag and a pointer. Each end has one dispatch point,
// visit(), an exhaustive switch from the tag to the flavour's record; every
// operation is a set of overloads over the records it can meet. Timer
// receivers (at, never) have no counter record: an at receiver dispatches on
// its AtChannel, a never receiver on a NeverRecord.
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

// What a never receiver dispatches on: it has no record.
struct NeverRecord {};

// Missing enumerators in the dispatch switches are errors, not warnings, with
// either compiler.
#define QUORVEL_EXHAUSTIVE_SWITCH_BEGIN _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic error \"-Wswitch\"")
#define QUORVEL_EXHAUSTIVE_SWITCH_END _Pragma("GCC diagnostic pop")

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

// Overloaded lambdas: each end operation is one overload set over the
// records, so a record type nobody handles fails to compile.
template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

inline void count_clone(std::atomic<size_t>& count) noexcept {
    // Relaxed: the new end is made from a live one, which keeps the record
    // alive; nothing is published through the count.
    if (count.fetch_add(1, std::memory_order_relaxed) >= size_t(PTRDIFF_MAX)) std::abort();
}

// Drops one end of a side; the last one disconnects the side, and the second
// side to finish frees the record.
template <bool kSender, class Chan>
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
        visit([]<class Chan>(ChannelCore<Chan>& core) { detail::count_clone(core.senders); });
        return ChannelSender(flavor_, core_);
    }

    // Blocks while an array channel is full, or until a zero-channel receiver
    // takes the item; a list channel never blocks. Sent, or Disconnected with
    // the item.
    SendResult<T> send(T item) const {
        return visit([&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.send(std::move(item)); });
    }

    // Never blocks: Sent, Full with the item, or Disconnected with the item.
    SendResult<T> try_send(T item) const {
        return visit([&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.try_send(std::move(item)); });
    }

    Flavor flavor() const noexcept { return flavor_; }

private:
    ChannelSender(Flavor flavor, void* core) noexcept : flavor_(flavor), core_(core) {}

    ChannelCore<ArrayChannel<T>>* array_core() const noexcept { return static_cast<ChannelCore<ArrayChannel<T>>*>(core_); }
    ChannelCore<ListChannel<T>>* list_core() const noexcept { return static_cast<ChannelCore<ListChannel<T>>*>(core_); }
    ChannelCore<ZeroChannel<T>>* zero_core() const noexcept { return static_cast<ChannelCore<ZeroChannel<T>>*>(core_); }

QUORVEL_EXHAUSTIVE_SWITCH_BEGIN
    // The one dispatch point: calls f with this end's record. Every operation
    // goes through here, so a new flavour is a compile error until this
    // switch and every operation's overloads handle it.
    template <class F>
    decltype(auto) visit(F&& f) const {
        switch (flavor_) {
            case Flavor::Array: return f(*array_core());
            case Flavor::List: return f(*list_core());
            case Flavor::Zero: return f(*zero_core());
            case Flavor::At:
            case Flavor::Never: panic("a sender of a receiver-only flavour");
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }
QUORVEL_EXHAUSTIVE_SWITCH_END

    void release() noexcept {
        if (flavor_ != Flavor::Moved) {
            visit([]<class Chan>(ChannelCore<Chan>& core) { detail::release_end<true>(&core); });
        }
        flavor_ = Flavor::Moved;
        core_ = nullptr;
    }

    // SelectHandle.
    bool try_select(Token& token) const override {
        return visit([&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.start_send(token); });
    }
    std::optional<Instant> deadline() const override { return std::nullopt; }
    bool register_op(Operation oper, WaitContext& cx) const override {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.send_register(oper, cx); },
            [](ChannelCore<ListChannel<T>>&) { return true; },  // always ready; nothing to register
        });
    }
    void unregister_op(Operation oper) const override {
        visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { core.chan.send_unregister(oper); },
            [](ChannelCore<ListChannel<T>>&) {},
        });
    }
    bool accept(Token& token, WaitContext& cx) const override {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.start_send(token); },
            [&](ChannelCore<ZeroChannel<T>>&) {
                token.zero.packet = cx.wait_packet();
                return true;
            },
        });
    }
    bool is_ready() const override {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.send_is_ready(); },
            [](ChannelCore<ListChannel<T>>&) { return true; },
        });
    }

    // Completes a send started by try_select or accept.
    SendResult<T> write(Token& token, T&& item) const {
        return visit([&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.write(token, std::move(item)); });
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
        visit(detail::Overload{
            []<class Chan>(ChannelCore<Chan>& core) { detail::count_clone(core.receivers); },
            [](AtChannel& at) { at.add_ref(); },
            [](NeverRecord&) {},
        });
        return ChannelReceiver(flavor_, core_);
    }

    // Blocks while the channel is empty and connected: the item, or
    // Disconnected once every sender is gone and nothing is left.
    RecvResult<T> recv() const {
        return visit(detail::Overload{
            []<class Chan>(ChannelCore<Chan>& core) { return core.chan.recv(); },
            [this](AtChannel&) { return recv_timer(); },
            [this](NeverRecord&) { return recv_timer(); },
        });
    }

    // Never blocks: the item, Empty, or Disconnected.
    RecvResult<T> try_recv() const {
        return visit(detail::Overload{
            []<class Chan>(ChannelCore<Chan>& core) { return core.chan.try_recv(); },
            [](AtChannel& at) -> RecvResult<T> {
                if constexpr (kTimerItem) {
                    if (std::optional<Instant> got = at.try_recv()) return RecvResult<T>::received(Instant(*got));
                }
                return RecvResult<T>::empty();
            },
            [](NeverRecord&) { return RecvResult<T>::empty(); },
        });
    }

    // Whether nothing can be received right now (a zero channel never buffers).
    bool is_empty() const {
        return visit(detail::Overload{
            []<class Chan>(ChannelCore<Chan>& core) { return core.chan.is_empty(); },
            [](AtChannel& at) { return at.is_empty(); },
            [](NeverRecord&) { return true; },
        });
    }

    Flavor flavor() const noexcept { return flavor_; }

private:
    ChannelReceiver(Flavor flavor, void* core) noexcept : flavor_(flavor), core_(core) {}

    ChannelCore<ArrayChannel<T>>* array_core() const noexcept { return static_cast<ChannelCore<ArrayChannel<T>>*>(core_); }
    ChannelCore<ListChannel<T>>* list_core() const noexcept { return static_cast<ChannelCore<ListChannel<T>>*>(core_); }
    ChannelCore<ZeroChannel<T>>* zero_core() const noexcept { return static_cast<ChannelCore<ZeroChannel<T>>*>(core_); }
    AtChannel* at() const noexcept { return static_cast<AtChannel*>(core_); }

QUORVEL_EXHAUSTIVE_SWITCH_BEGIN
    // The one dispatch point (see ChannelSender::visit); timers have their
    // AtChannel, or a NeverRecord standing in for the record a never
    // receiver does not have.
    template <class F>
    decltype(auto) visit(F&& f) const {
        NeverRecord never;
        switch (flavor_) {
            case Flavor::Array: return f(*array_core());
            case Flavor::List: return f(*list_core());
            case Flavor::Zero: return f(*zero_core());
            case Flavor::At: return f(*at());
            case Flavor::Never: return f(never);
            case Flavor::Moved: break;
        }
        detail::moved_from_end();
    }
QUORVEL_EXHAUSTIVE_SWITCH_END

    // Timers wait through a one-operation Select: until the delivery
    // instant, or for ever.
    RecvResult<T> recv_timer() const {
        Select sel;
        sel.recv(*this);
        SelectedOperation op = sel.select();
        return op.recv(*this);
    }

    void release() noexcept {
        if (flavor_ != Flavor::Moved) {
            visit(detail::Overload{
                []<class Chan>(ChannelCore<Chan>& core) { detail::release_end<false>(&core); },
                [](AtChannel& at) { at.drop_ref(); },
                [](NeverRecord&) {},
            });
        }
        flavor_ = Flavor::Moved;
        core_ = nullptr;
    }

    // SelectHandle.
    bool try_select(Token& token) const override {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.start_recv(token); },
            [&](AtChannel& at) { return at.try_select(token); },
            [](NeverRecord&) { return false; },
        });
    }
    std::optional<Instant> deadline() const override {
        return visit(detail::Overload{
            []<class Chan>(ChannelCore<Chan>&) -> std::optional<Instant> { return std::nullopt; },
            [](AtChannel& at) -> std::optional<Instant> { return at.deadline(); },
            [](NeverRecord&) -> std::optional<Instant> { return std::nullopt; },
        });
    }
    bool register_op(Operation oper, WaitContext& cx) const override {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.recv_register(oper, cx); },
            // Nothing to register: its deadline bounds the wait.
            [](AtChannel& at) { return !at.is_empty(); },
            [](NeverRecord&) { return false; },
        });
    }
    void unregister_op(Operation oper) const override {
        visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { core.chan.recv_unregister(oper); },
            [](AtChannel&) {},
            [](NeverRecord&) {},
        });
    }
    bool accept(Token& token, WaitContext& cx) const override {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.start_recv(token); },
            [&](ChannelCore<ZeroChannel<T>>&) {
                token.zero.packet = cx.wait_packet();
                return true;
            },
            [&](AtChannel& at) { return at.try_select(token); },
            [](NeverRecord&) { return false; },
        });
    }
    bool is_ready() const override {
        return visit(detail::Overload{
            []<class Chan>(ChannelCore<Chan>& core) { return core.chan.recv_is_ready(); },
            [](AtChannel& at) { return !at.is_empty(); },
            [](NeverRecord&) { return false; },
        });
    }

    // Completes a receive started by try_select or accept.
    RecvResult<T> read(Token& token) const {
        return visit(detail::Overload{
            [&]<class Chan>(ChannelCore<Chan>& core) { return core.chan.read(token); },
            [&](AtChannel&) -> RecvResult<T> {
                if constexpr (kTimerItem) {
                    return AtChannel::read(token);
                } else {
                    // Only after() makes at receivers, and it makes them of Instant.
                    panic("timer receiver of a non-instant item type");
                }
            },
            [](NeverRecord&) { return RecvResult<T>::disconnected(); },
        });
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
