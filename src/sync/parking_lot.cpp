// sync/parking_lot: the table, its buckets, the per-thread records and growth.
//
// A key's bucket is the top k bits of key * 0x9E3779B97F4A7C15 in a table of
// 2^k buckets (16 at first). The table keeps kBucketsPerThread buckets per live
// thread with a record (made on its first park, gone at thread exit); counting
// every thread that ever parked would let thread churn grow it without bound.
// Growth: one thread (the winner of the old table's `successor`) retires the
//   old buckets one at a time, taking each queue under that bucket's lock, and
//   appends the records in order to the still-private new table; then it
//   publishes it. Whoever locks a retired bucket waits for the new table and
//   retries there. So no thread holds two bucket locks, and FIFO order per key
//   survives the move.
// Old tables are never freed (a thread may be about to lock one of their
//   buckets); they stay reachable through `prev`, and, sizes doubling, all of
//   them together are smaller than the current table.
// Fork: a child starts with empty queues and free bucket locks (see
//   reset_after_fork()), since every parked thread stayed in the parent.
#include "sync/parking_lot.h"

#include <atomic>
#include <bit>
#include <optional>

#include <pthread.h>

#include "sync/parker.h"
#include "base/backoff.h"

namespace quorvel::sync::parking_lot {

namespace {

using platform::Instant;

constexpr size_t kInitialBuckets = 16;
constexpr size_t kBucketsPerThread = 3;  // keeps queues short when every thread waits at once
constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ull;

// Upper bound of the random gap between two fair unparks of one bucket. A
// release hands the lock over at most about once per millisecond per bucket:
// rare enough that throughput stays that of an unfair lock, often enough that
// no waiter starves behind a thread that keeps re-taking the lock.
constexpr uint64_t kFairnessWindowNs = 1'000'000;

std::atomic<uint64_t> g_fair_unparks{0};  // relaxed: a statistic

// ---------------------------------------------------------------------------
// Bucket lock: one 32-bit word, spin then sleep on the futex of that word.
// Word: 0 free, 1 locked, 2 locked and someone may sleep on it.
class BucketLock {
public:
    void lock() noexcept {
        uint32_t expected = 0;
        // Acquire: pairs with the release exchange in unlock().
        if (word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
        lock_contended();
    }

    void unlock() noexcept {
        // Release: pairs with the acquire in lock() and lock_contended().
        if (word_.exchange(0, std::memory_order_release) == 2) platform::futex_wake_one(word_);
    }

    // In a fork child: whoever held the lock in the parent does not exist here.
    void reset_after_fork() noexcept { word_.store(0, std::memory_order_relaxed); }

private:
    void lock_contended() noexcept {
        SpinWait spin;
        while (spin.try_snooze()) {
            uint32_t expected = 0;
            if (word_.load(std::memory_order_relaxed) == 0 &&
                word_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                return;
            }
        }
        // From here on we may sleep, so we leave 2 behind: the holder that
        // finally unlocks wakes one sleeper, which re-marks the word as 2.
        while (word_.exchange(2, std::memory_order_acquire) != 0) platform::futex_wait(word_, 2);
    }

    std::atomic<uint32_t> word_{0};
};

// ---------------------------------------------------------------------------
// Per-thread record. Owned by its thread; while the thread is inside park()
// or park_until() it is linked into one bucket queue and its fields belong to
// that bucket's lock.
struct ThreadData {
    ThreadData() noexcept;
    ~ThreadData();
    ThreadData(const ThreadData&) = delete;
    ThreadData& operator=(const ThreadData&) = delete;

    Parker parker;                    // the owner sleeps on it; unparkers wake it
    Key key = 0;                      // guarded by the bucket lock while queued
    ParkToken park_token = 0;             // guarded by the bucket lock while queued
    ParkToken unpark_token = kUnparkNormal;  // written by the unparker under the bucket lock,
                                         // read by the owner after the parker wakes it
    ThreadData* next = nullptr;       // queue link, guarded by the bucket lock
};

struct alignas(64) Bucket {
    BucketLock lock;
    bool retired = false;         // guarded by lock; set once, by the grower
    ThreadData* head = nullptr;   // guarded by lock
    ThreadData* tail = nullptr;   // guarded by lock
    Instant fair_deadline{};      // guarded by lock
    uint32_t seed = 1;            // guarded by lock; xorshift state, never 0

    void append(ThreadData* td) noexcept {
        td->next = nullptr;
        if (tail) {
            tail->next = td;
        } else {
            head = td;
        }
        tail = td;
    }

    uint32_t next_random() noexcept {
        uint32_t x = seed;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        seed = x;
        return x;
    }

    void renew_deadline(Instant now) noexcept {
        fair_deadline = Instant{now.ns + next_random() % kFairnessWindowNs};
    }
};

struct Table {
    Table(size_t n, Table* previous) : size(n), shift(64 - std::countr_zero(n)), prev(previous),
                                       buckets(new Bucket[n]) {
        const Instant now = Instant::now();
        for (size_t i = 0; i < n; ++i) {
            // Any non-zero seed will do; spread them so that neighbouring
            // buckets do not turn fair at the same moments.
            uint32_t seed = uint32_t(i) * 0x9E3779B9u + 0x7F4A7C15u;
            buckets[i].seed = seed ? seed : 1;
            buckets[i].renew_deadline(now);
        }
    }

    Bucket& bucket_for(Key key) const noexcept {
        return buckets[size_t((uint64_t(key) * kGoldenRatio64) >> shift)];
    }

    const size_t size;
    const unsigned shift;                   // 64 - log2(size)
    Table* const prev;                      // the table this one replaced, kept alive
    const std::unique_ptr<Bucket[]> buckets;
    std::atomic<Table*> successor{nullptr};  // claimed by the one thread that replaces this table
};

std::atomic<Table*> g_table{nullptr};
std::atomic<size_t> g_threads{0};  // live threads owning a parking record

Table* current_table() noexcept {
    // Acquire: pairs with the release publications below; the buckets (and,
    // after growth, the moved queues) are visible.
    Table* t = g_table.load(std::memory_order_acquire);
    if (t) return t;
    auto* fresh = new Table(kInitialBuckets, nullptr);
    if (g_table.compare_exchange_strong(t, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return fresh;
    }
    delete fresh;  // another thread created the first table; t holds it
    return t;
}

// Wait until `old` is no longer the published table. Called only after `old`'s
// successor was claimed, so the grower is at work and finishes without waiting
// for anyone.
void wait_for_replacement(Table* old) noexcept {
    while (g_table.load(std::memory_order_acquire) == old) platform::yield_now();
}

void grow_for(size_t threads) {
    const size_t wanted = std::bit_ceil(threads * kBucketsPerThread);
    for (;;) {
        Table* old = current_table();
        if (old->size >= wanted) return;
        auto* fresh = new Table(wanted, old);
        Table* no_successor = nullptr;
        if (!old->successor.compare_exchange_strong(no_successor, fresh, std::memory_order_acq_rel)) {
            // Someone else is replacing `old`; see whether its table suffices.
            delete fresh;
            wait_for_replacement(old);
            continue;
        }
        for (size_t i = 0; i < old->size; ++i) {
            Bucket& b = old->buckets[i];
            b.lock.lock();
            ThreadData* queue = b.head;
            b.head = b.tail = nullptr;
            b.retired = true;
            b.lock.unlock();
            // `fresh` is private until published, so its buckets need no lock.
            while (queue) {
                ThreadData* next = queue->next;
                fresh->bucket_for(queue->key).append(queue);
                queue = next;
            }
        }
        // Release: pairs with the acquire in current_table() and
        // wait_for_replacement(); the moved queues are visible to whoever
        // finds the new table.
        g_table.store(fresh, std::memory_order_release);
        return;
    }
}

// noexcept: park() has no way to report failure, so running out of memory
// while growing the table terminates the process.
ThreadData::ThreadData() noexcept {
    const size_t threads = g_threads.fetch_add(1) + 1;
    grow_for(threads);
}

ThreadData::~ThreadData() { g_threads.fetch_sub(1); }

// The thread's record lives in thread-local storage. A lock used from a later
// thread-local destructor, after the record is gone, parks with a record on
// its own stack instead.
thread_local bool t_record_destroyed = false;
thread_local bool t_record_live = false;  // this thread's record exists (for the fork handler)

struct RecordHolder {
    ThreadData data;
    RecordHolder() noexcept { t_record_live = true; }
    ~RecordHolder() {
        t_record_live = false;
        t_record_destroyed = true;
    }
};

ThreadData* this_thread_record(std::optional<ThreadData>& fallback) noexcept {
    if (!t_record_destroyed) {
        thread_local RecordHolder holder;
        return &holder.data;
    }
    return &fallback.emplace();
}

// Lock the bucket that holds `key`'s records, following table replacements.
Bucket& lock_bucket(Key key) noexcept {
    for (;;) {
        Table* t = current_table();
        Bucket& b = t->bucket_for(key);
        b.lock.lock();
        // Not retired while we hold its lock: the table cannot be replaced
        // before we let go (the grower needs this lock to retire it), so this
        // bucket is where every record on `key` is and will be queued.
        if (!b.retired) return b;
        b.lock.unlock();
        wait_for_replacement(t);
    }
}

// Child side of fork(): only the forking thread exists here, and it is not
// parked (it is forking). Every queued record belongs to a thread that is
// gone: unparking one would hand a lock to a ghost and lose it for good. So
// empty every queue, free every bucket lock (its holder may be gone), and
// forget a table growth in flight (its grower is gone; the half-filled new
// table is dropped unpublished). Records chosen by an unpark in flight in the
// parent need nothing: that unparker is gone and their owners with it.
void reset_after_fork() noexcept {
    g_threads.store(t_record_live ? 1 : 0, std::memory_order_relaxed);
    Table* t = g_table.load(std::memory_order_relaxed);
    if (!t) return;
    t->successor.store(nullptr, std::memory_order_relaxed);
    for (size_t i = 0; i < t->size; ++i) {
        Bucket& b = t->buckets[i];
        b.lock.reset_after_fork();
        b.retired = false;
        b.head = b.tail = nullptr;
    }
}

// Registered when this object is loaded (any program that parks links it).
[[maybe_unused]] const int g_fork_handler_registered = pthread_atfork(nullptr, nullptr, reset_after_fork);

}  // namespace

namespace {

// Validates and enqueues the caller's record; false (nothing enqueued) when
// `validate` fails.
bool enqueue(ThreadData* self, Key key, ParkToken park_token, FunctionRef<bool()> validate) noexcept {
    Bucket& b = lock_bucket(key);
    if (!validate()) {
        b.lock.unlock();
        return false;
    }
    self->key = key;
    self->park_token = park_token;
    self->unpark_token = kUnparkNormal;
    b.append(self);
    b.lock.unlock();
    return true;
}

}  // namespace

ParkResult park(Key key, ParkToken park_token, FunctionRef<bool()> validate) noexcept {
    // Get the record before taking a bucket lock: creating it may grow the
    // table, which takes bucket locks itself.
    std::optional<ThreadData> fallback;
    ThreadData* self = this_thread_record(fallback);
    if (!enqueue(self, key, park_token, validate)) return {ParkStatus::Invalid, kUnparkNormal};

    // Exactly one unpark() will take the record out of its queue and then
    // unpark this parker once; no other permit is ever given to it.
    self->parker.park();
    // Visible: written under the bucket lock before the unparker's release in
    // Parker::unpark(), which pairs with the acquire in Parker::park().
    return {ParkStatus::Unparked, self->unpark_token};
}

ParkResult park_until(Key key, ParkToken park_token, FunctionRef<bool()> validate, Instant deadline,
                      FunctionRef<void(bool)> timed_out) noexcept {
    // The record first, as in park().
    std::optional<ThreadData> fallback;
    ThreadData* self = this_thread_record(fallback);
    if (!enqueue(self, key, park_token, validate)) return {ParkStatus::Invalid, kUnparkNormal};

    if (!self->parker.park_until(deadline)) {
        // The deadline passed. Whether an unpark took the record is decided
        // under the bucket lock: the record is still queued exactly when none
        // did. Growth may have moved it, but always to the bucket that
        // lock_bucket(key) now returns.
        Bucket& b = lock_bucket(key);
        ThreadData* prev = nullptr;
        ThreadData* cur = b.head;
        bool more_waiters = false;
        while (cur && cur != self) {
            more_waiters |= cur->key == key;
            prev = cur;
            cur = cur->next;
        }
        if (cur) {
            if (prev) {
                prev->next = self->next;
            } else {
                b.head = self->next;
            }
            if (b.tail == self) b.tail = prev;
            for (ThreadData* td = self->next; td && !more_waiters; td = td->next) more_waiters = td->key == key;
            self->next = nullptr;
            timed_out(more_waiters);
            b.lock.unlock();
            return {ParkStatus::TimedOut, kUnparkNormal};
        }
        b.lock.unlock();
        // An unpark chose us just as the deadline passed and will unpark the
        // parker once it has released the bucket lock. Take that permit now:
        // left behind, it would end our next park at once, unchosen.
        self->parker.park();
    }
    // Visible as in park(): the unparker's release in Parker::unpark() pairs
    // with the acquire in Parker::park_until() or Parker::park().
    return {ParkStatus::Unparked, self->unpark_token};
}

void unpark(Key key, FunctionRef<Choice(ParkToken)> select, FunctionRef<ParkToken(UnparkInfo)> decide) noexcept {
    Bucket& b = lock_bucket(key);

    ThreadData* chosen_head = nullptr;
    ThreadData* chosen_tail = nullptr;
    size_t woken = 0;
    bool more_waiters = false;

    ThreadData* prev = nullptr;
    for (ThreadData* cur = b.head; cur;) {
        ThreadData* next = cur->next;
        if (cur->key == key) {
            const Choice verdict = select(cur->park_token);
            if (verdict == Choice::Stop) {
                more_waiters = true;  // `cur` itself stays queued
                break;
            }
            if (verdict == Choice::Take) {
                if (prev) {
                    prev->next = next;
                } else {
                    b.head = next;
                }
                if (b.tail == cur) b.tail = prev;
                cur->next = nullptr;
                if (chosen_tail) {
                    chosen_tail->next = cur;
                } else {
                    chosen_head = cur;
                }
                chosen_tail = cur;
                ++woken;
                cur = next;
                continue;  // prev stays: cur left the queue
            }
            more_waiters = true;  // Skip
        }
        prev = cur;
        cur = next;
    }

    bool fair = false;
    if (woken > 0) {
        const Instant now = Instant::now();
        if (b.fair_deadline < now) {
            fair = true;
            b.renew_deadline(now);
            g_fair_unparks.fetch_add(1, std::memory_order_relaxed);
        }
    }

    const ParkToken token = decide(UnparkInfo{woken, more_waiters, fair});
    for (ThreadData* td = chosen_head; td; td = td->next) td->unpark_token = token;
    b.lock.unlock();

    // Wake after the bucket lock is released. Read `next` before unparking:
    // once woken, the owner may park again and relink its record.
    for (ThreadData* td = chosen_head; td;) {
        ThreadData* next = td->next;
        td->parker.unpark();
        td = next;
    }
}

void unpark_one(Key key, FunctionRef<ParkToken(UnparkInfo)> decide) noexcept {
    bool taken = false;
    unpark(
        key,
        [&](ParkToken) {
            if (taken) return Choice::Stop;
            taken = true;
            return Choice::Take;
        },
        decide);
}

uint64_t fair_unpark_count() noexcept { return g_fair_unparks.load(std::memory_order_relaxed); }

size_t waiters_on(Key key) noexcept {
    Bucket& b = lock_bucket(key);
    size_t n = 0;
    for (ThreadData* td = b.head; td; td = td->next) n += td->key == key;
    b.lock.unlock();
    return n;
}

size_t bucket_count() noexcept { return current_table()->size; }

platform::Instant fairness_deadline(Key key) noexcept {
    Bucket& b = lock_bucket(key);
    const Instant d = b.fair_deadline;
    b.lock.unlock();
    return d;
}

void set_fairness_deadline(Key key, platform::Instant deadline) noexcept {
    Bucket& b = lock_bucket(key);
    b.fair_deadline = deadline;
    b.lock.unlock();
}

}  // namespace quorvel::sync::parking_lot
