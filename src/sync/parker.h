// sync/parker: a per-thread wake flag with one-permit semantics.
//
// unpark() leaves a permit; park() consumes it, returning at once if it was
// already there, otherwise sleeping on a futex until one arrives. Permits do not
// accumulate: several unparks before a park leave one permit. park_until() may
// also return at the deadline without a permit; callers re-check their own
// condition either way. A parked thread uses no processor time.
//
// State word: EMPTY (no permit, owner awake), PARKED (owner asleep or about to
// sleep), NOTIFIED (permit available). Only the owning thread parks.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync/platform.h"

namespace quorvel::sync {

class Parker {
public:
    // Sleep until a permit is available, then consume it.
    void park() noexcept {
        // Acquire: pairs with the release exchange in unpark(); what the waker
        // wrote before unparking is visible once the permit is taken.
        if (state_.exchange(kParked, std::memory_order_acquire) == kNotified) {
            state_.store(kEmpty, std::memory_order_relaxed);
            return;
        }
        for (;;) {
            platform::futex_wait(state_, kParked);
            uint32_t expected = kNotified;
            if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire)) return;
            // Spurious wake-up: still PARKED, sleep again.
        }
    }

    // As park(), but gives up at `deadline`. Returns true if a permit was taken.
    bool park_until(platform::Instant deadline) noexcept {
        if (state_.exchange(kParked, std::memory_order_acquire) == kNotified) {
            state_.store(kEmpty, std::memory_order_relaxed);
            return true;
        }
        for (;;) {
            if (platform::Instant::now() >= deadline) break;
            platform::futex_wait_until(state_, kParked, deadline);
            uint32_t expected = kNotified;
            if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire)) return true;
        }
        // Timed out: leave PARKED. An unpark racing with us may have turned it
        // into NOTIFIED; the exchange consumes that permit so it is not lost.
        return state_.exchange(kEmpty, std::memory_order_acquire) == kNotified;
    }

    // Make a permit available and wake the owner if it sleeps.
    void unpark() noexcept {
        // Release: pairs with the acquire in park().
        if (state_.exchange(kNotified, std::memory_order_release) == kParked) {
            platform::futex_wake_one(state_);
        }
    }

private:
    static constexpr uint32_t kEmpty = 0;
    static constexpr uint32_t kNotified = 1;
    static constexpr uint32_t kParked = 2;

    std::atomic<uint32_t> state_{kEmpty};
};

}  // namespace quorvel::sync
