// sync/mutex: RawMutex, a one-byte exclusive lock.
//
// Guarantee: mutual exclusion; lock() synchronises with the previous unlock().
// Not reentrant, not owner-checked (any thread may unlock), no timeouts.
// Approximately fair: a release normally wakes one waiter that then races with
// newcomers, but about once per millisecond per parking bucket the release
// hands the lock straight to the waiter it wakes, so no waiter starves.
// Invariants: MUTEX_PARKED is set whenever a thread is queued on the byte's
//   address (it may also be set with nobody queued, briefly, while a waiter is
//   about to park); the byte is the lock's whole state.
// Wakes: unlock() with MUTEX_PARKED set wakes one waiter, after the parking
//   bucket's lock is released.
// Uncontended lock() and unlock() are one compare-and-exchange each and never
// touch the parking table. Usable with std::lock_guard / std::unique_lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync/parking_lot.h"

namespace quorvel::sync {

// Mutex byte: [ unused : 6 | PARKED | LOCKED ]
//   LOCKED: some thread holds the lock.  PARKED: some thread is (or is about to
//   be) parked on the byte's address and must be woken by the release.
inline constexpr uint8_t MUTEX_LOCKED = 1, MUTEX_PARKED = 2;
static_assert((MUTEX_LOCKED & MUTEX_PARKED) == 0, "the two flags are distinct bits");

class RawMutex {
public:
    constexpr RawMutex() noexcept = default;
    RawMutex(const RawMutex&) = delete;
    RawMutex& operator=(const RawMutex&) = delete;

    void lock() noexcept {
        uint8_t expected = 0;
        // Acquire: pairs with the release in unlock() / unlock_slow().
        if (!state_.compare_exchange_weak(expected, MUTEX_LOCKED, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            lock_slow();
        }
    }

    bool try_lock() noexcept {
        uint8_t state = state_.load(std::memory_order_relaxed);
        while (!(state & MUTEX_LOCKED)) {
            // Acquire: as in lock(). PARKED is kept: the waiters stay queued.
            if (state_.compare_exchange_weak(state, state | MUTEX_LOCKED, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

    void unlock() noexcept { unlock_impl(false); }

    // As unlock(), but if a waiter is woken the lock is handed to it directly.
    void unlock_fair() noexcept { unlock_impl(true); }

    // A snapshot; only meaningful to the holder or to a quiescent observer.
    bool is_locked() const noexcept { return state_.load(std::memory_order_relaxed) & MUTEX_LOCKED; }

private:
    friend struct MutexProbe;  // tests read the byte

    void unlock_impl(bool force_fair) noexcept {
        uint8_t expected = MUTEX_LOCKED;
        // Release: pairs with the acquire in lock() / try_lock() / lock_slow().
        if (!state_.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed)) {
            unlock_slow(force_fair);
        }
    }

    parking_lot::Key key() const noexcept { return reinterpret_cast<parking_lot::Key>(&state_); }

    void lock_slow() noexcept;
    void unlock_slow(bool force_fair) noexcept;

    std::atomic<uint8_t> state_{0};
};

static_assert(sizeof(RawMutex) == 1, "a mutex is its state byte; waiters live in the parking table");

}  // namespace quorvel::sync
