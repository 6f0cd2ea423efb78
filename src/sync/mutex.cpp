// sync/mutex: the contended paths of RawMutex.
//
// A waiter spins while nobody is parked, then sets MUTEX_PARKED and parks on
// the byte's address (park token 0), validating under the bucket lock that the
// byte is still exactly LOCKED | PARKED. The releaser unparks one waiter and,
// under the same bucket lock, writes the new byte: either it lets the lock go
// (normal token: the woken thread retries) or, on a fair unpark, it keeps the
// lock locked for the woken thread (hand-off token: it owns the lock on return).
#include "sync/mutex.h"

#include "base/backoff.h"

namespace quorvel::sync {

namespace {
constexpr parking_lot::ParkToken kMutexParkToken = 0;
}

void RawMutex::lock_slow() noexcept {
    SpinWait spin;
    uint8_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
        if (!(state & MUTEX_LOCKED)) {
            // Acquire: pairs with the release in unlock() / unlock_slow().
            if (state_.compare_exchange_weak(state, state | MUTEX_LOCKED, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        // Nobody parked yet: the holder may let go soon, so spin a little.
        if (!(state & MUTEX_PARKED) && spin.try_snooze()) {
            state = state_.load(std::memory_order_relaxed);
            continue;
        }
        // Relaxed: PARKED only routes the release into unlock_slow(); the
        // bucket lock orders everything that follows.
        if (!(state & MUTEX_PARKED) &&
            !state_.compare_exchange_weak(state, state | MUTEX_PARKED, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
            continue;
        }
        const auto result = parking_lot::park(key(), kMutexParkToken, [this] {
            return state_.load(std::memory_order_relaxed) == (MUTEX_LOCKED | MUTEX_PARKED);
        });
        // Hand-off: the releaser kept LOCKED set for us. What it wrote before
        // releasing is visible through the parker's release/acquire pair.
        if (result.handed_off()) return;
        spin.reset();
        state = state_.load(std::memory_order_relaxed);
    }
}

void RawMutex::unlock_slow(bool force_fair) noexcept {
    parking_lot::unpark_one(key(), [&](parking_lot::UnparkInfo info) {
        if (info.woken != 0 && (info.fair || force_fair)) {
            // Keep the lock held for the woken thread. Nothing else changes
            // the byte while it is LOCKED | PARKED, so a plain store will do.
            if (!info.more_waiters) state_.store(MUTEX_LOCKED, std::memory_order_relaxed);
            return parking_lot::kUnparkHandoff;
        }
        // Release: pairs with the acquire of the next locker.
        state_.store(info.more_waiters ? MUTEX_PARKED : 0, std::memory_order_release);
        return parking_lot::kUnparkNormal;
    });
}

}  // namespace quorvel::sync
