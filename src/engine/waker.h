// engine/waker: wait lists of the channel flavours.
//
// A Waker is an ordered vector of registrations (oldest first) guarded by its
// owner: the zero flavour's channel mutex, or the mutex of a SyncWaker. A
// SyncWaker adds its own mutex and an `is_empty` flag, so notify() costs one
// load when nobody waits.
// Who wakes whom: a counterpart's send or receive (through notify) chooses the
// oldest entry of another thread whose context is Waiting: it moves it to
// Operation(oper), publishes the packet, unparks the owner and removes the
// entry. disconnect() moves every Waiting context to Disconnected and unparks
// it, leaving the entries: each woken thread unregisters its own.
// Entries whose owner a fork left in the parent are never chosen, woken or
// counted; try_select() drops them as it passes.
// Invariants: a thread never chooses its own entry. Choosing and unparking
// happen under the owner's mutex; one internal mutex at a time; items are
// never dropped under one.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/alloc.h"
#include "base/backoff.h"
#include "engine/context.h"
#include "base/panic.h"

namespace quorvel::engine {

struct WaiterEntry {
    ContextRef context;  // one counted reference to the waiting thread's context
    Operation oper;
    void* packet;        // null unless the zero flavour registered a packet
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
    // entry with its context reference and packet.
    std::optional<WaiterEntry> try_select() noexcept;
    // Whether try_select() could choose somebody right now.
    bool can_select() const noexcept;
    void disconnect() noexcept;
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
