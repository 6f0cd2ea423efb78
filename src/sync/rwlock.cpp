// sync/rwlock: the contended paths of RawRwLock.
//
// Readers park on the primary key with token RW_READER_UNIT, writers with
// token RW_WRITER, both validating that PARKED is set and a writer still bars
// them. A writer's release walks that queue and, under the bucket lock, writes
// the new word: normally it lets the lock go (PARKED kept if anyone stays
// queued); on a fair unpark it counts the woken readers in and gives RW_WRITER
// to the woken writer before they even run (hand-off).
// A writer acquires in two phases: claim RW_WRITER (which bars new readers),
// then wait for the readers inside to drain, parked on the secondary key with
// RW_WRITER_PARKED set; the reader that brings the count to 0 wakes it and
// never touches the word again (the lock may be gone by then), so the writer
// clears RW_WRITER_PARKED itself once it sees no reader.
// Timed forms park with a deadline. A waiter whose deadline passes leaves the
// queue under the bucket lock and, if it was the last one on the primary key,
// clears RW_PARKED there. A waiter woken with the normal token always makes
// one more attempt before giving up: the waker left the rest of the queue to
// it (or to whoever now bars it, whose release wakes them). A writer that
// times out in phase 2 abandons its claim: it clears RW_WRITER_PARKED, then
// RW_WRITER, and wakes the waiters its claim held back, as a release would.
#include "sync/rwlock.h"

#include "base/panic.h"
#include "base/backoff.h"

namespace quorvel::sync {

namespace {
using platform::Instant;

constexpr parking_lot::ParkToken kReaderParkToken = RW_READER_UNIT;
constexpr parking_lot::ParkToken kWriterParkToken = RW_WRITER;

[[noreturn]] void reader_overflow() { panic("RwLock reader count overflow"); }

// Whose turn it is when a writer lets go: in queue order, the readers ahead of
// the first writer, and that writer. `taken` adds up the chosen tokens.
parking_lot::Choice choose_after_writer(uint64_t& taken, parking_lot::ParkToken token) noexcept {
    if (taken & RW_WRITER) return parking_lot::Choice::Stop;  // a writer was taken: no one after it
    if ((token & (RW_WRITER | RW_UPGRADABLE)) && (taken & RW_UPGRADABLE)) return parking_lot::Choice::Skip;
    taken += token;
    return parking_lot::Choice::Take;
}

bool passed(const Instant* deadline) noexcept { return deadline && !(Instant::now() < *deadline); }
}  // namespace

parking_lot::ParkResult RawRwLock::park(parking_lot::Key key, parking_lot::ParkToken token,
                                        FunctionRef<bool()> validate, const Instant* deadline) noexcept {
    if (!deadline) return parking_lot::park(key, token, validate);
    return parking_lot::park_until(key, token, validate, *deadline, [this, key](bool more_waiters) {
        // The last waiter on the primary key leaves: no release needs to look
        // for anyone there. Relaxed, as where RW_PARKED is set: the bucket
        // lock orders it against every park and unpark on the key. (On the
        // secondary key the writer clears RW_WRITER_PARKED itself.)
        if (!more_waiters && key == primary_key()) state_.fetch_and(~RW_PARKED, std::memory_order_relaxed);
    });
}

bool RawRwLock::try_lock_shared(bool recursive) {
    uint64_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
        if (writer_forbids(state, recursive)) return false;
        if (state > kMaxStateBeforeReader) reader_overflow();
        // Acquire: pairs with the release in unlock_exclusive() / unlock_exclusive_slow().
        if (state_.compare_exchange_weak(state, state + RW_READER_UNIT, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return true;
        }
    }
}

bool RawRwLock::lock_shared_slow(bool recursive, const Instant* deadline) {
    SpinWait spin;
    uint64_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
        // Try while no writer bars us; back off between lost races with
        // other readers so a crowd does not hammer the word in lock step.
        ContentionBackoff backoff;
        while (!writer_forbids(state, recursive)) {
            if (state > kMaxStateBeforeReader) reader_overflow();
            // Acquire: pairs with the release in unlock_exclusive() / unlock_exclusive_slow().
            if (state_.compare_exchange_weak(state, state + RW_READER_UNIT, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
            backoff.spin();
            state = state_.load(std::memory_order_relaxed);
        }
        // Only after an attempt: a normal wake-up is owed one.
        if (passed(deadline)) return false;

        // A writer bars us. Spin only while nobody is parked: once someone
        // is, the wait is likely long.
        if (!(state & (RW_PARKED | RW_WRITER_PARKED)) && spin.try_snooze()) {
            state = state_.load(std::memory_order_relaxed);
            continue;
        }
        // Relaxed: PARKED only routes releases into the slow path; the bucket
        // lock orders everything that follows.
        if (!(state & RW_PARKED) &&
            !state_.compare_exchange_weak(state, state | RW_PARKED, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
            continue;
        }
        const auto result = park(
            primary_key(), kReaderParkToken,
            [this] {
                const uint64_t s = state_.load(std::memory_order_relaxed);
                return (s & RW_PARKED) && (s & RW_WRITER);
            },
            deadline);
        // Hand-off: the releasing writer already counted us in. Its writes are
        // visible through the parker's release/acquire pair. This holds for a
        // hand-off that raced our deadline too.
        if (result.handed_off()) return true;
        if (result.status == parking_lot::ParkStatus::TimedOut) return false;
        spin.reset();
        state = state_.load(std::memory_order_relaxed);
    }
}

void RawRwLock::unlock_shared_slow() noexcept {
    // Only the writer holding RW_WRITER ever parks on the secondary key. The
    // callback must not touch the word: our subtraction may have let that
    // writer in (its park validation failing, or its spin seeing no reader),
    // and it may since have released and freed the lock. The key is only a
    // number, so waking on it is safe even then; the writer clears
    // RW_WRITER_PARKED itself (wait_for_readers()).
    parking_lot::unpark_one(secondary_key(), [](parking_lot::UnparkInfo) { return parking_lot::kUnparkNormal; });
}

bool RawRwLock::lock_exclusive_slow(const Instant* deadline) noexcept {
    // Phase 1: claim RW_WRITER. From then on no new non-recursive reader enters.
    SpinWait spin;
    uint64_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
        if (!(state & (RW_WRITER | RW_UPGRADABLE))) {
            // Acquire: pairs with the release of the writer before us.
            // Readers still inside stay counted; phase 2 waits for them.
            if (state_.compare_exchange_weak(state, state | RW_WRITER, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                break;
            }
            continue;
        }
        if (passed(deadline)) return false;  // after an attempt, as in lock_shared_slow()
        if (!(state & (RW_PARKED | RW_WRITER_PARKED)) && spin.try_snooze()) {
            state = state_.load(std::memory_order_relaxed);
            continue;
        }
        if (!(state & RW_PARKED) &&
            !state_.compare_exchange_weak(state, state | RW_PARKED, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
            continue;
        }
        const auto result = park(
            primary_key(), kWriterParkToken,
            [this] {
                const uint64_t s = state_.load(std::memory_order_relaxed);
                return (s & RW_PARKED) && (s & (RW_WRITER | RW_UPGRADABLE));
            },
            deadline);
        // Hand-off (even one that raced our deadline): the releaser set
        // RW_WRITER for us; readers woken with us may be inside, so phase 2
        // still applies.
        if (result.handed_off()) break;
        if (result.status == parking_lot::ParkStatus::TimedOut) return false;
        spin.reset();
        state = state_.load(std::memory_order_relaxed);
    }

    // Phase 2: wait for the readers inside to leave.
    return wait_for_readers(deadline);
}

bool RawRwLock::wait_for_readers(const Instant* deadline) noexcept {
    // A fresh spin budget: this is a second, separate wait.
    SpinWait spin;
    // Acquire: pairs with the release subtraction in unlock_shared(); what the
    // departed readers did happens before our critical section.
    uint64_t state = state_.load(std::memory_order_acquire);
    while (state & RW_READERS_MASK) {
        if (passed(deadline)) {
            abandon_claim();
            return false;
        }
        if (spin.try_snooze()) {
            state = state_.load(std::memory_order_acquire);
            continue;
        }
        if (!(state & RW_WRITER_PARKED) &&
            !state_.compare_exchange_weak(state, state | RW_WRITER_PARKED, std::memory_order_acquire,
                                          std::memory_order_acquire)) {
            continue;
        }
        park(
            secondary_key(), kWriterParkToken,
            [this] {
                const uint64_t s = state_.load(std::memory_order_relaxed);
                return (s & RW_READERS_MASK) != 0 && (s & RW_WRITER_PARKED);
            },
            deadline);
        // Woken (always with the normal token), invalid, timed out, or woken
        // by a stale unpark on a lock that used to live at this address: look
        // again.
        spin.reset();
        state = state_.load(std::memory_order_acquire);
    }
    // The readers are gone and we own the lock. Nobody else clears the flag,
    // and while RW_WRITER is set with no reader inside, the only other change
    // to the word is a waiter setting RW_PARKED (or a timed-out one clearing
    // it), which fetch_and leaves alone.
    // Relaxed: the flag only routes the last reader into its slow path, and
    // no reader is left to read it; our acquire load above already ordered
    // the readers' critical sections before ours.
    if (state & RW_WRITER_PARKED) state_.fetch_and(~RW_WRITER_PARKED, std::memory_order_relaxed);
    return true;
}

void RawRwLock::abandon_claim() noexcept {
    // We hold RW_WRITER, readers may be inside. Drop RW_WRITER_PARKED first,
    // while no other writer can set it: released later, it could clear the
    // flag of the next writer and cost that writer its wake-up. Relaxed: both
    // steps are read-modify-writes of one word, so they stay in this order,
    // and the flag only routes a last reader to the secondary key, where no
    // one waits now (a reader still on its way there wakes nobody).
    uint64_t state = state_.load(std::memory_order_relaxed);
    if (state & RW_WRITER_PARKED) {
        state = state_.fetch_and(~RW_WRITER_PARKED, std::memory_order_relaxed) & ~RW_WRITER_PARKED;
    }
    // Nobody parked: just let the claim go. Release (here and below): pairs
    // with the acquire of whoever takes the lock next, as an unlock does.
    while (!(state & RW_PARKED)) {
        if (state_.compare_exchange_weak(state, state & ~RW_WRITER, std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    // Our claim kept the queue asleep: wake whom a release would wake, with
    // the normal token. Readers may still be inside, entering recursively or
    // leaving, so only our bits are cleared, never the whole word stored.
    uint64_t taken = 0;
    parking_lot::unpark(
        primary_key(), [&](parking_lot::ParkToken token) { return choose_after_writer(taken, token); },
        [&](parking_lot::UnparkInfo info) {
            state_.fetch_and(~(RW_WRITER | (info.more_waiters ? 0 : RW_PARKED)), std::memory_order_release);
            return parking_lot::kUnparkNormal;
        });
}

void RawRwLock::unlock_exclusive_slow(bool force_fair) noexcept {
    // The word we will leave if we hand the lock over: the woken threads'
    // tokens added up, in queue order.
    uint64_t new_state = 0;
    parking_lot::unpark(
        primary_key(), [&](parking_lot::ParkToken token) { return choose_after_writer(new_state, token); },
        [&](parking_lot::UnparkInfo info) {
            // We hold RW_WRITER with no reader inside and RW_WRITER_PARKED
            // clear (we cleared it after our readers left), so the only other
            // changes to the word now are a waiter setting PARKED (it then
            // revalidates under this bucket lock and sees our store) and a
            // timed-out waiter clearing it (under this bucket lock, so not
            // now). A whole-word store is therefore safe.
            if (info.woken != 0 && (info.fair || force_fair)) {
                if (info.more_waiters) new_state |= RW_PARKED;
                // Release: pairs with the acquire loads of the woken threads
                // (they also see it through the parker) and of later lockers.
                state_.store(new_state, std::memory_order_release);
                return parking_lot::kUnparkHandoff;
            }
            state_.store(info.more_waiters ? RW_PARKED : 0, std::memory_order_release);
            return parking_lot::kUnparkNormal;
        });
}

}  // namespace quorvel::sync
