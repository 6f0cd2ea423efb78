// sync/parking_lot: the process-wide table where lock waiters sleep.
//
// A lock keeps only its state word; a waiter parks here under a key (an address
// derived from the lock) until an unpark on that key selects it. Each bucket has
// a small lock, a FIFO queue of per-thread records and a fairness deadline.
// Guarantee: park() validates the lock's state and enqueues the caller under one
//   bucket lock, and unpark() selects records and lets the lock update its state
//   under that same lock, so no waiter is lost between "the lock looks taken"
//   and "I am asleep".
// Invariants: a record is queued at most once, only while its thread is in
//   park() or park_until(); bucket locks are held only for queue work and
//   callbacks, never while sleeping, and never two at once.
// Timeouts: park_until() gives up at its deadline by taking its own record
//   out of the queue under the bucket lock. If an unpark took the record
//   first, the deadline lost the race: the thread waits for that unpark's
//   wake-up and reports Unparked with its token, so a hand-off is never lost.
// Fork: in a child the queues start empty and the bucket locks free; the
//   threads parked in the parent do not exist there.
// Wakes: unpark() wakes exactly the records it selected, after releasing the lock.
//   auto r = parking_lot::park(key, token, [&] { return word.load() == expected; });
//   if (r.handed_off()) { /* the releaser gave us the lock */ }
#pragma once

#include <cstddef>
#include <cstdint>
#include "base/function_ref.h"
#include "base/platform.h"

namespace quorvel::sync {

namespace parking_lot {

using Key = uintptr_t;
using ParkToken = uint64_t;

// Unpark tokens: what a woken thread is told.
inline constexpr ParkToken kUnparkNormal = 0;   // retry the acquisition, racing newcomers
inline constexpr ParkToken kUnparkHandoff = 1;  // the waker already gave you the lock (or your share)

enum class ParkStatus : uint8_t {
    Unparked,  // woken by unpark(); `token` holds what the waker decided
    Invalid,   // the validation failed under the bucket lock; nothing was enqueued
    TimedOut,  // park_until() only: the deadline passed and no unpark chose the record
};

struct ParkResult {
    ParkStatus status;
    ParkToken token;  // meaningful only when Unparked

    bool handed_off() const noexcept { return status == ParkStatus::Unparked && token == kUnparkHandoff; }
};

// What an unpark's selection rule says about one record parked on the key.
enum class Choice : uint8_t {
    Take,  // wake it, and keep walking the queue
    Skip,  // leave it queued, and keep walking
    Stop,  // leave it and every later record queued
};

// Handed to an unpark's decision callback, under the bucket lock.
struct UnparkInfo {
    size_t woken;       // records chosen by the selection rule
    bool more_waiters;  // some record on the key stays queued
    bool fair;          // the bucket's fairness deadline had passed: hand the lock over
};

// Park the calling thread on `key` with `park_token` if `validate()` holds
// under the bucket lock, then sleep until an unpark selects it. `validate`
// runs with the bucket lock held: it must only read lock state, never block.
ParkResult park(Key key, ParkToken park_token, FunctionRef<bool()> validate) noexcept;

// As park(), but gives up at `deadline` (an instant already passed still
// validates and enqueues, then times out at once). On timing out, the record
// leaves the queue and `timed_out` runs, bucket lock still held, told whether
// another record stays parked on `key`: the lock updates its state word there
// (typically clearing its parked bit when none does). The same callback rules
// as `validate` apply.
ParkResult park_until(Key key, ParkToken park_token, FunctionRef<bool()> validate, platform::Instant deadline,
                      FunctionRef<void(bool more_waiters)> timed_out) noexcept;

// Walk the records parked on `key` in FIFO order, choosing them with `select`
// (given each record's park token), then call `decide` once, bucket lock still
// held, to update the lock's state; its result is the token every chosen
// thread receives. The chosen threads are woken after the bucket lock is
// released. `decide` is called even when nothing was chosen.
void unpark(Key key, FunctionRef<Choice(ParkToken park_token)> select, FunctionRef<ParkToken(UnparkInfo)> decide) noexcept;

// unpark() with a rule that takes the first record on `key` only.
void unpark_one(Key key, FunctionRef<ParkToken(UnparkInfo)> decide) noexcept;

// Diagnostics for tests and benchmarks. None of them changes the outcome of a
// park or unpark except set_fairness_deadline(), which does so only when called.

// Number of fair unparks (deadline passed, at least one thread chosen) since
// the process started. A relaxed counter, touched only on the fair path.
uint64_t fair_unpark_count() noexcept;

// Records currently parked on `key` (takes the bucket lock).
size_t waiters_on(Key key) noexcept;

// Buckets in the current table (creating it if no one has parked yet).
size_t bucket_count() noexcept;

// Read or replace the fairness deadline of the bucket holding `key`. Setting
// Instant{0} makes the next unpark on that bucket that chooses a thread fair;
// a far-future instant makes unparks unfair until it is set again.
platform::Instant fairness_deadline(Key key) noexcept;
void set_fairness_deadline(Key key, platform::Instant deadline) noexcept;

}  // namespace parking_lot
}  // namespace quorvel::sync
