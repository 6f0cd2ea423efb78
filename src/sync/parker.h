// sync/parker: a per-thread wake flag with one-permit semantics.
//
// unpark() leaves a permit and wakes the owner if it sleeps; park() consumes
// the permit, returning at once if it was there and sleeping on a futex
// otherwise. Permits do not accumulate. park_until() may also return at the
// deadline without one. Callers re-check their own condition after every
// return. Only the owning thread parks. A parked thread uses no processor time.
//
// State word: [ EMPTY 0 | NOTIFIED 1 | PARKED ~0 ]. park() moves NOTIFIED to
// EMPTY, or EMPTY to PARKED, with one atomic decrement, so a permit left by an
// unpark() can never be overwritten by the owner: taking a permit that was
// already there and going to sleep are decided by the same read-modify-write.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/platform.h"

namespace quorvel::sync {

class Parker {
public:
    void park() noexcept {
        // Acquire (here and below): pairs with the release exchange in
        // unpark(); what the waker wrote before unparking is visible.
        if (state_.fetch_sub(1, std::memory_order_acquire) == NOTIFIED) return;  // NOTIFIED -> EMPTY
        for (;;) {                                                                // EMPTY -> PARKED
            platform::futex_wait(state_, PARKED);
            uint32_t expected = NOTIFIED;
            if (state_.compare_exchange_strong(expected, EMPTY, std::memory_order_acquire)) return;
            // Spurious wake-up: still PARKED.
        }
    }

    // As park(), but gives up at `deadline`. True if a permit was taken.
    bool park_until(platform::Instant deadline) noexcept {
        if (state_.fetch_sub(1, std::memory_order_acquire) == NOTIFIED) return true;
        while (platform::Instant::now() < deadline) {
            platform::futex_wait_until(state_, PARKED, deadline);
            uint32_t expected = NOTIFIED;
            if (state_.compare_exchange_strong(expected, EMPTY, std::memory_order_acquire)) return true;
        }
        // Timed out: leave PARKED. An unpark that raced with the deadline has
        // turned it into NOTIFIED; the exchange takes that permit.
        return state_.exchange(EMPTY, std::memory_order_acquire) == NOTIFIED;
    }

    void unpark() noexcept {
        // Release: pairs with the acquire operations in park() and park_until().
        if (state_.exchange(NOTIFIED, std::memory_order_release) == PARKED) platform::futex_wake_one(state_);
    }

private:
    static constexpr uint32_t EMPTY = 0;
    static constexpr uint32_t NOTIFIED = 1;
    static constexpr uint32_t PARKED = ~uint32_t(0);  // EMPTY - 1
    std::atomic<uint32_t> state_{EMPTY};
};

}  // namespace quorvel::sync
