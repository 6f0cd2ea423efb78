// White-box access to the locks' state words, for scripted interleavings.
// The locks name these structs as friends; nothing outside tests uses them.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync/mutex.h"
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
