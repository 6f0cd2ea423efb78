// engine/waker: Waker and SyncWaker.
//
// Waker methods run under their owner's mutex; SyncWaker methods take their
// own. An entry that leaves a list carries one context reference, which its
// new holder drops after the mutex is released, together with the wake-up of
// a chosen owner. `is_empty` is stored, under
// the mutex, after every change of the list it mirrors.
#include "engine/waker.h"

namespace quorvel::engine {

void Waker::register_with_packet(Operation oper, void* packet, WaitContext& cx) {
    WaiterEntry entry{ContextRef::share(cx), oper, packet};
    selectors_.push_back(std::move(entry));  // on failure `entry` drops its reference
}

std::optional<WaiterEntry> Waker::unregister(Operation oper) noexcept {
    for (auto it = selectors_.begin(); it != selectors_.end(); ++it) {
        if (it->oper == oper) {
            WaiterEntry entry = std::move(*it);
            selectors_.erase(it);
            return entry;
        }
    }
    return std::nullopt;
}

std::optional<WaiterEntry> Waker::try_select() noexcept {
    const uint64_t me = platform::unique_thread_id();
    for (auto it = selectors_.begin(); it != selectors_.end();) {
        WaitContext& cx = *it->context;
        if (cx.is_stale()) {
            // Left behind by a fork: its owner never runs here, so drop it
            // rather than hand it an item or a wake-up. (Its packet, if
            // separate, was the owner's to free: a child-only leak.)
            it = selectors_.erase(it);
            continue;
        }
        if (cx.thread_id() == me) {
            ++it;
            continue;
        }
        if (cx.try_select(Selected::operation(it->oper))) {
            cx.store_packet(it->packet);
            WaiterEntry entry = std::move(*it);
            selectors_.erase(it);
            entry.wake = WakeDuty(&cx);  // done by the caller, past the unlock
            return entry;
        }
        // Lost: the owner is already woken or giving up, and removes its own entry.
        ++it;
    }
    return std::nullopt;
}

bool Waker::can_select() const noexcept {
    const uint64_t me = platform::unique_thread_id();
    for (const WaiterEntry& e : selectors_) {
        if (e.context->thread_id() != me && !e.context->is_stale() && e.context->selected().is_waiting()) {
            return true;
        }
    }
    return false;
}

void Waker::disconnect(WakeBatch& wakes) noexcept {
    for (WaiterEntry& e : selectors_) {
        if (!e.context->is_stale() && e.context->try_select(Selected::disconnected())) wakes.add(*e.context);
    }
}

void SyncWaker::register_op(Operation oper, WaitContext& cx) {
    std::lock_guard<std::mutex> g(mu_);
    inner_.register_op(oper, cx);
    is_empty_.store(false, std::memory_order_seq_cst);  // see notify()
}

std::optional<WaiterEntry> SyncWaker::unregister(Operation oper) {
    std::unique_lock<std::mutex> g(mu_);
    std::optional<WaiterEntry> entry = inner_.unregister(oper);
    is_empty_.store(inner_.is_empty(), std::memory_order_seq_cst);
    return entry;  // its context reference is dropped by the caller, after the unlock
}

void SyncWaker::notify_slow() {
    std::optional<WaiterEntry> chosen;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!is_empty_.load(std::memory_order_seq_cst)) {
            chosen = inner_.try_select();
            is_empty_.store(inner_.is_empty(), std::memory_order_seq_cst);
        }
    }
    // `chosen` wakes its owner and drops its context reference here, with the
    // mutex released.
}

void SyncWaker::disconnect() {
    WakeBatch wakes;  // destroyed, waking its contexts, after the unlock
    std::lock_guard<std::mutex> g(mu_);
    inner_.disconnect(wakes);
    is_empty_.store(inner_.is_empty(), std::memory_order_seq_cst);
}

size_t SyncWaker::waiting() const {
    std::lock_guard<std::mutex> g(mu_);
    return inner_.size();
}

}  // namespace quorvel::engine
