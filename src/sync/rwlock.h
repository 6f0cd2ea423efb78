// sync/rwlock: RawRwLock, a one-word reader-writer lock.
//
// Guarantee: many readers or one writer; acquisitions synchronise with the
// releases before them. Not reentrant for writers, not owner-checked.
// Timed acquisitions (the *_until forms) wait in the same queue as the
// untimed ones, so writer preference holds for them too; one that returns
// false leaves no trace: no share or claim held, no parked bit naming a
// waiter that has gone, and the waiters its claim held back woken.
// Writer-preferring: once a writer has claimed RW_WRITER, new non-recursive
// readers stay out and it gets in when the readers inside have left. A recursive
// shared attempt (by a thread already holding a read lock) may still enter while
// readers are inside, so it cannot deadlock against that writer.
// Approximately fair, like RawMutex: releases hand over about once per ms per bucket.
// Keys: waiters to get in park on the word's address (primary); the writer that
// holds RW_WRITER and waits for readers parks on address + 1 (secondary).
// Wakes: the last reader out wakes the phase-2 writer; a writer's release wakes,
// in queue order, the readers ahead of the first queued writer plus that writer.
// Uncontended: one compare-and-exchange per lock or unlock (a subtraction for
// a shared unlock), no parking-table call.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync/parking_lot.h"

namespace quorvel::sync {

// Reader-writer word: [ readers : 60 | WRITER | UPGRADABLE | WRITER_PARKED | PARKED ]
//   PARKED: someone waits on the primary key (readers or writers waiting to get in).
//   WRITER_PARKED: the writer holding WRITER waits on the secondary key for the
//     readers to leave.
//   UPGRADABLE: an upgradable reader is inside. Nothing here sets it, but every
//     rule that names it honours it.
//   WRITER: a writer holds the lock, or has claimed it and waits for readers.
//   readers: readers inside, in units of RW_READER_UNIT.
inline constexpr uint64_t RW_PARKED = 1, RW_WRITER_PARKED = 2, RW_UPGRADABLE = 4, RW_WRITER = 8,
                          RW_READER_UNIT = 16;
inline constexpr uint64_t RW_READERS_MASK = ~(RW_READER_UNIT - 1);
static_assert((RW_READER_UNIT - 1) == (RW_PARKED | RW_WRITER_PARKED | RW_UPGRADABLE | RW_WRITER),
              "the reader count starts just above the flag bits");

class RawRwLock {
public:
    constexpr RawRwLock() noexcept = default;
    RawRwLock(const RawRwLock&) = delete;
    RawRwLock& operator=(const RawRwLock&) = delete;

    // --- shared -------------------------------------------------------------

    // One compare-and-exchange adding a reader. Fails (without retrying) when
    // a writer forbids entry, when the count would overflow (the other forms
    // report that), or on interference. Callers fall back to try_lock_shared()
    // or lock_shared().
    bool try_lock_shared_fast(bool recursive) noexcept {
        uint64_t state = state_.load(std::memory_order_relaxed);
        if (writer_forbids(state, recursive) || state > kMaxStateBeforeReader) return false;
        // Acquire: pairs with the release in unlock_exclusive() / unlock_exclusive_slow().
        return state_.compare_exchange_weak(state, state + RW_READER_UNIT, std::memory_order_acquire,
                                            std::memory_order_relaxed);
    }

    // Add a reader unless a writer forbids entry; never waits. Panics with
    // "RwLock reader count overflow" if the count is full.
    bool try_lock_shared(bool recursive);

    // Add a reader, waiting as long as a writer forbids entry. Panics as
    // try_lock_shared() does.
    void lock_shared(bool recursive) {
        if (!try_lock_shared_fast(recursive)) lock_shared_slow(recursive, nullptr);
    }

    // As lock_shared(), but gives up at `deadline` (false: nothing taken). A
    // deadline already passed still gets one attempt.
    bool try_lock_shared_until(bool recursive, platform::Instant deadline) {
        return try_lock_shared_fast(recursive) || lock_shared_slow(recursive, &deadline);
    }

    void unlock_shared() noexcept {
        // Release: pairs with the acquire loads of a writer waiting for the
        // readers in lock_exclusive_slow().
        const uint64_t prev = state_.fetch_sub(RW_READER_UNIT, std::memory_order_release);
        // The last reader out, with a writer parked waiting for it.
        if ((prev & (RW_READERS_MASK | RW_WRITER_PARKED)) == (RW_READER_UNIT | RW_WRITER_PARKED)) {
            unlock_shared_slow();
        }
    }

    // --- exclusive ----------------------------------------------------------

    // The uncontended acquisition: 0 -> WRITER in one compare-and-exchange.
    bool try_lock_exclusive() noexcept {
        uint64_t expected = 0;
        // Acquire: pairs with the releases in unlock_shared() and unlock_exclusive().
        return state_.compare_exchange_strong(expected, RW_WRITER, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    void lock_exclusive() noexcept {
        if (!try_lock_exclusive()) lock_exclusive_slow(nullptr);
    }

    // As lock_exclusive(), but gives up at `deadline` (false: nothing taken).
    // A deadline already passed still gets one attempt.
    bool try_lock_exclusive_until(platform::Instant deadline) noexcept {
        return try_lock_exclusive() || lock_exclusive_slow(&deadline);
    }

    void unlock_exclusive() noexcept { unlock_exclusive_impl(false); }

    // As unlock_exclusive(), but the threads it wakes are handed the lock.
    void unlock_exclusive_fair() noexcept { unlock_exclusive_impl(true); }

private:
    friend struct RwLockProbe;  // tests read and seed the word

    // Largest state to which one more reader unit can be added.
    static constexpr uint64_t kMaxStateBeforeReader = UINT64_MAX - RW_READER_UNIT;

    // A writer holds or has claimed the lock, and this attempt may not pass
    // it: always for a non-recursive attempt; for a recursive one only when no
    // reader is inside.
    static bool writer_forbids(uint64_t state, bool recursive) noexcept {
        return (state & RW_WRITER) && (!recursive || (state & RW_READERS_MASK) == 0);
    }

    void unlock_exclusive_impl(bool force_fair) noexcept {
        uint64_t expected = RW_WRITER;
        // Release: pairs with the acquire of the next reader or writer.
        if (!state_.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed)) {
            unlock_exclusive_slow(force_fair);
        }
    }

    parking_lot::Key primary_key() const noexcept { return reinterpret_cast<parking_lot::Key>(&state_); }
    // Inside this lock's own word, so no other lock can ever use it.
    parking_lot::Key secondary_key() const noexcept { return primary_key() + 1; }

    // The slow paths wait without limit when `deadline` is null; otherwise
    // they return false at the deadline, having undone their steps.
    bool lock_shared_slow(bool recursive, const platform::Instant* deadline);
    void unlock_shared_slow() noexcept;
    bool lock_exclusive_slow(const platform::Instant* deadline) noexcept;
    bool wait_for_readers(const platform::Instant* deadline) noexcept;
    void abandon_claim() noexcept;
    // Park on `key` until woken, or until `deadline` when there is one.
    parking_lot::ParkResult park(parking_lot::Key key, parking_lot::ParkToken token, FunctionRef<bool()> validate,
                                 const platform::Instant* deadline) noexcept;
    void unlock_exclusive_slow(bool force_fair) noexcept;

    std::atomic<uint64_t> state_{0};
};

static_assert(sizeof(RawRwLock) == 8, "a reader-writer lock is its state word");
static_assert(alignof(RawRwLock) == 8, "address + 1 must stay inside the lock's own word");

}  // namespace quorvel::sync
