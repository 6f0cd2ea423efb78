// engine/waker: wait lists of the channel flavours.
//
// A Waker is an ordered vector of registrations (oldest first) guarded by its
// owner: the zero flavour's channel mutex, or the mutex of a SyncWaker. A
// SyncWaker adds its own mutex and an `is_empty` flag, so notify() costs one
// load when nobody waits.
// Who wakes whom: a counterpart's send or receive (through notify) chooses the
// oldest entry of another thread whose context is Waiting: it moves it to
// Operation(oper), publishes the packet and removes the entry, which carries
// the duty to unpark the owner out with it. disconnect() moves every Waiting
// context to Disconnected, leaving the entries (each woken thread unregisters
// its own), and collects the contexts to unpark in a WakeBatch.
// Unparking happens after the owner's mutex is released: a woken thread's
// first step is to take that mutex, and waking it under the mutex would make
// it block again at once.
// Entries whose owner a fork left in the parent are never chosen, woken or
// counted; try_select() drops them as it passes.
// Invariants: a thread never chooses its own entry. Choosing happens under
// the owner's mutex, unparking after it; one internal mutex at a time; items
// are never dropped under one.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "engine/alloc.h"
#include "base/backoff.h"
#include "engine/context.h"
#include "base/panic.h"

namespace quorvel::engine {

// The duty to unpark one chosen waiter, done when the duty is destroyed. Its
// holder lets it go after releasing the wait list's mutex. The context stays
// alive until then: the entry carrying the duty holds a reference to it.
class WakeDuty {
public:
    WakeDuty() noexcept = default;
    explicit WakeDuty(WaitContext* cx) noexcept : cx_(cx) {}
    WakeDuty(WakeDuty&& o) noexcept : cx_(std::exchange(o.cx_, nullptr)) {}
    WakeDuty& operator=(WakeDuty&& o) noexcept {
        if (this != &o) {
            fire();
            cx_ = std::exchange(o.cx_, nullptr);
        }
        return *this;
    }
    WakeDuty(const WakeDuty&) = delete;
    WakeDuty& operator=(const WakeDuty&) = delete;
    ~WakeDuty() { fire(); }

private:
    void fire() noexcept {
        if (cx_) std::exchange(cx_, nullptr)->unpark();
    }
    WaitContext* cx_ = nullptr;
};

struct WaiterEntry {
    ContextRef context;  // one counted reference to the waiting thread's context
    Operation oper;
    void* packet;        // null unless the zero flavour registered a packet
    WakeDuty wake{};     // set on an entry try_select() chose; destroyed before `context`
};

// Contexts that disconnect() moved to Disconnected, unparked when the batch
// is destroyed, which its holder arranges to be after the list's mutex is
// released. It holds a reference to each, so none is freed before its wake.
// Beyond its fixed room (a disconnect allocates nothing) it unparks at once,
// under the mutex, as a correct if slower fallback.
class WakeBatch {
public:
    WakeBatch() noexcept = default;
    WakeBatch(const WakeBatch&) = delete;
    WakeBatch& operator=(const WakeBatch&) = delete;
    ~WakeBatch() {
        for (size_t i = 0; i < n_; ++i) {
            held_[i]->unpark();
            held_[i].reset();
        }
    }

    void add(WaitContext& cx) noexcept {
        if (n_ < kRoom) {
            held_[n_++] = ContextRef::share(cx);
        } else {
            cx.unpark();
        }
    }

private:
    static constexpr size_t kRoom = 16;
    ContextRef held_[kRoom];
    size_t n_ = 0;
};

class Waker {
public:
    Waker() = default;
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void register_op(Operation oper, WaitContext& cx) { register_with_packet(oper, nullptr, cx); }
    // Strong guarantee: on std::bad_alloc nothing is registered.
    void register_with_packet(Operation oper, void* packet, WaitContext& cx);
    // Removes the first entry for `oper`, keeping the order of the others.
    std::optional<WaiterEntry> unregister(Operation oper) noexcept;
    // Chooses one waiter of another thread (see above); the caller gets the
    // entry with its context reference, packet and duty to wake the owner,
    // and must keep it until the owner's mutex is released.
    std::optional<WaiterEntry> try_select() noexcept;
    // Whether try_select() could choose somebody right now.
    bool can_select() const noexcept;
    // The caller destroys `wakes` after releasing the owner's mutex.
    void disconnect(WakeBatch& wakes) noexcept;
    bool is_empty() const noexcept { return selectors_.empty(); }
    size_t size() const noexcept { return selectors_.size(); }

private:
    std::vector<WaiterEntry, EngineAllocator<WaiterEntry, AllocKind::WaitList>> selectors_;
};

class SyncWaker {
public:
    SyncWaker() = default;
    SyncWaker(const SyncWaker&) = delete;
    SyncWaker& operator=(const SyncWaker&) = delete;

    void register_op(Operation oper, WaitContext& cx);
    std::optional<WaiterEntry> unregister(Operation oper);

    // Wakes one waiter of another thread, if any. Lock-free when none waits.
    void notify() {
        // SeqCst: pairs with the seq_cst store in register_op(); together with
        // the waiter's re-check after registering, one of the two sides sees
        // the other, so a wake-up cannot be lost.
        if (!is_empty_.load(std::memory_order_seq_cst)) notify_slow();
    }

    void disconnect();

    // Number of registrations (taken under the mutex), for tests.
    size_t waiting() const;

private:
    void notify_slow();

    mutable std::mutex mu_;
    Waker inner_;                       // guarded by mu_
    std::atomic<bool> is_empty_{true};  // inner_.is_empty(), stored under mu_ after every change
};

// Register, re-check, park: how a blocking send or receive of the array and
// list flavours waits for one operation. `op_address` is the operation's
// Token; `ready()` re-checks the channel after registering, which closes the
// race with a counterpart that acted between the failed attempt and the
// registration. Returns when woken; the caller retries its start step.
template <class Ready>
void block_on(SyncWaker& list, const void* op_address, Ready ready) {
    if (WaitHooks& h = this_thread_wait_hooks(); h.before_block) h.before_block(h.arg);
    WaitContext::with([&](WaitContext& cx) {
        const Operation oper = Operation::hook(op_address);
        list.register_op(oper, cx);
        if (ready()) cx.try_select(Selected::aborted());
        const Selected sel = cx.wait_until(std::nullopt);
        switch (sel.kind()) {
            case Selected::Kind::Aborted:
            case Selected::Kind::Disconnected:
                // Only a thread that moves the context to Operation removes
                // another thread's entry, so ours must still be there.
                if (!list.unregister(oper)) panic("wait-list entry missing at unregister");
                break;
            case Selected::Kind::Operation:
                break;  // the waker has removed the entry
            case Selected::Kind::Waiting:
                // wait_until() never returns Waiting.
                panic("blocking wait ended while still waiting");
        }
    });
}

// The whole blocking send or receive of the array and list flavours: a
// back-off loop of start steps, then register, re-check, park on `list`; after
// every wake-up a fresh back-off loop. `start(token)` is the flavour's start
// step and `finish(token)` its write or read.
template <class TokenT, class Start, class Finish, class Ready>
auto block_until_done(SyncWaker& list, Start start, Finish finish, Ready ready) {
    TokenT token;
    for (;;) {
        Backoff backoff;
        for (;;) {
            if (start(token)) return finish(token);
            if (backoff.is_completed()) break;
            backoff.snooze();
        }
        block_on(list, &token, ready);
    }
}

}  // namespace quorvel::engine
