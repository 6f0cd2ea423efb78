// White-box access to the locks' state words, for scripted interleavings.
// The locks name these structs as friends; nothing outside tests uses them.
#pragma once

#include <atomic>
#include <cstdint>

#include <gtest/gtest.h>

#include "../bounded.h"
#include "sync/mutex.h"
#include "sync/parking_lot.h"
#include "base/platform.h"
#include "sync/rwlock.h"

namespace quorvel::sync {

struct MutexProbe {
    static uint8_t state(const RawMutex& m) { return m.state_.load(); }
    static parking_lot::Key key(const RawMutex& m) { return m.key(); }
};

struct RwLockProbe {
    static uint64_t state(const RawRwLock& l) { return l.state_.load(); }
    static void seed(RawRwLock& l, uint64_t state) { l.state_.store(state); }
    static parking_lot::Key primary(const RawRwLock& l) { return l.primary_key(); }
    static parking_lot::Key secondary(const RawRwLock& l) { return l.secondary_key(); }
    static uint64_t readers(const RawRwLock& l) { return state(l) / RW_READER_UNIT; }
};

}  // namespace quorvel::sync

namespace quorvel::test {

// A fairness deadline no test reaches: unparks stay unfair.
inline const platform::Instant kFarFuture{platform::Instant::kMaxNs};

// Waits until a test sets `flag`; a test that never does is a hang.
inline void wait_for(const std::atomic<bool>& flag) {
    if (!eventually([&] { return flag.load(); })) hang_detected("wait_for");
}

// Succeeds once exactly `n` threads are parked on `key`.
inline ::testing::AssertionResult parked_on(sync::parking_lot::Key key, size_t n) {
    if (eventually([&] { return sync::parking_lot::waiters_on(key) == n; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << n << " threads parked, found "
                                         << sync::parking_lot::waiters_on(key);
}

}  // namespace quorvel::test
