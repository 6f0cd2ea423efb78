// engine/context: the per-thread context cache and parking.
//
// The cache is a trivially destructible thread-local slot plus an owner whose
// destructor releases the cached context at thread exit and marks the slot
// torn down; a wait after that (from another thread-local destructor) gets a
// fresh context. Contexts carry platform::unique_thread_id(), which is never
// reused, unlike operating-system thread ids.
#include "engine/context.h"

#include "base/backoff.h"
#include "base/panic.h"

namespace quorvel::engine {

namespace {

// Trivially destructible, so they stay readable while other thread-local
// destructors run at thread exit.
thread_local WaitStats t_stats;
thread_local WaitHooks t_hooks;

struct CacheSlot {
    WaitContext* cx = nullptr;  // the cached context; null while lent out by with()
    bool filled = false;        // a context was made for this thread
    bool torn_down = false;     // the thread is exiting; no context is cached again
};
thread_local CacheSlot t_slot;

}  // namespace

// Its destructor releases the cached context at thread exit.
struct detail::ContextCacheOwner {
    bool armed = false;
    ~ContextCacheOwner() {
        t_slot.torn_down = true;
        if (t_slot.cx) std::exchange(t_slot.cx, nullptr)->drop_ref();
    }
};

namespace {
thread_local detail::ContextCacheOwner t_owner;
}  // namespace

Operation Operation::hook(const void* address) {
    const auto val = reinterpret_cast<uintptr_t>(address);
    if (val <= 2) panic("assertion failed: val > 2");
    return Operation(val);
}

WaitStats this_thread_wait_stats() noexcept { return t_stats; }

void detail::count_select_registration() noexcept { ++t_stats.select_registrations; }

WaitHooks& this_thread_wait_hooks() noexcept { return t_hooks; }

WaitContext::WaitContext() noexcept
    : thread_id_(platform::unique_thread_id()), generation_(platform::fork_generation()) {}

ContextRef WaitContext::make() {
    void* raw = allocate(AllocKind::Context, sizeof(WaitContext), alignof(WaitContext));
    return ContextRef(::new (raw) WaitContext());  // the constructor cannot throw
}

void WaitContext::add_ref() noexcept {
    // Relaxed: a new reference is made from an existing one, which keeps the
    // context alive; nothing is published through the count itself.
    refs_.fetch_add(1, std::memory_order_relaxed);
}

void WaitContext::drop_ref() noexcept {
    // AcqRel: the release makes this holder's uses happen before the free;
    // the acquire (taken by the last holder) sees every other holder's uses.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(AllocKind::Context, this);
}

WaitContext* WaitContext::take_cached() {
    if (t_slot.torn_down) return nullptr;
    if (!t_slot.filled) {
        t_slot.cx = make().release();
        t_slot.filled = true;
        t_owner.armed = true;  // first use of t_owner registers its destructor
    }
    return std::exchange(t_slot.cx, nullptr);
}

void WaitContext::put_back(WaitContext* cx) noexcept {
    if (t_slot.torn_down || t_slot.cx != nullptr) {
        ContextRef(cx).reset();
        return;
    }
    t_slot.cx = cx;
}

void* WaitContext::wait_packet() const noexcept {
    Backoff backoff;
    for (;;) {
        // Acquire: pairs with the release store in store_packet().
        if (void* p = packet_.load(std::memory_order_acquire)) return p;
        backoff.snooze();
    }
}

Selected WaitContext::wait_until(std::optional<Instant> deadline) noexcept {
    for (;;) {
        const Selected s = selected();
        if (!s.is_waiting()) return s;
        if (deadline) {
            const Instant now = Instant::now();
            if (now < *deadline) {
                ++t_stats.parks;
                thread_.park_until(*deadline);
            } else {
                Selected found = Selected::waiting();
                if (try_select(Selected::aborted(), &found)) return Selected::aborted();
                return found;
            }
        } else {
            ++t_stats.parks;
            thread_.park();
        }
    }
}

}  // namespace quorvel::engine
