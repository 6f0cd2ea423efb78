// base/platform: the one seam between the engines and the operating system.
// Everything here is a thin wrapper over a system call or an instruction; the
// algorithms above it (parking table, channel machinery) hold no #ifdefs.
//
//  - futex_wait / futex_wake: wait on a 32-bit word while it holds an expected
//    value. Waits may return spuriously; callers always re-check the word.
//  - cpu_relax: the processor's spin-wait hint. yield_now: give up the slice.
//  - spawn_thread / join_thread / detach_thread: OS threads with a chosen
//    stack size.
//  - Instant: a monotonic clock reading in nanoseconds; adding a duration
//    reports overflow instead of wrapping.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorvel::platform {

// Spin-wait hint (PAUSE on x86, YIELD on ARM).
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

void yield_now() noexcept;

// Monotonic instant with nanosecond resolution.
struct Instant {
    uint64_t ns = 0;

    static Instant now() noexcept;

    // now + duration, or nullopt when the sum does not fit the clock's range.
    std::optional<Instant> checked_add(uint64_t duration_ns) const noexcept {
        uint64_t sum;
        if (__builtin_add_overflow(ns, duration_ns, &sum) || sum > kMaxNs) return std::nullopt;
        return Instant{sum};
    }
    uint64_t saturating_since(Instant earlier) const noexcept {
        return ns > earlier.ns ? ns - earlier.ns : 0;
    }
    friend bool operator<(Instant a, Instant b) noexcept { return a.ns < b.ns; }
    friend bool operator<=(Instant a, Instant b) noexcept { return a.ns <= b.ns; }
    friend bool operator>=(Instant a, Instant b) noexcept { return a.ns >= b.ns; }
    friend bool operator==(Instant a, Instant b) noexcept { return a.ns == b.ns; }

    // The clock's range: instants are kept within a signed 64-bit count of
    // nanoseconds so that a timespec can always represent them.
    static constexpr uint64_t kMaxNs = uint64_t(INT64_MAX);
};

// Block while *word == expected, until woken or (with a deadline) until the
// monotonic clock reaches it. Returns on any wake-up, spurious ones included.
void futex_wait(const std::atomic<uint32_t>& word, uint32_t expected) noexcept;
void futex_wait_until(const std::atomic<uint32_t>& word, uint32_t expected, Instant deadline) noexcept;
void futex_wake_one(const std::atomic<uint32_t>& word) noexcept;
void futex_wake_all(const std::atomic<uint32_t>& word) noexcept;

// Sleep the calling thread for the given number of nanoseconds (or until a
// signal interrupts it; callers loop on the clock).
void sleep_for_ns(uint64_t ns) noexcept;

// The operating system's id of the calling thread (never 0). The OS hands an
// id out again once its thread has exited: compare it only among live threads.
uint64_t os_thread_id() noexcept;

// Whether the calling thread is the process's initial thread (in a forked
// child: the thread that forked). Not cached, so it stays right across fork().
bool is_initial_thread() noexcept;

// An id of the calling thread that is unique for the life of the process and
// never reused (never 0): the first call on a thread draws the next number.
uint64_t unique_thread_id() noexcept;

// Number of hardware threads this process may run on; 0 when unknown.
unsigned available_parallelism() noexcept;

// Fill `buf` with random bytes from the operating system; false on failure.
bool random_bytes(void* buf, size_t len) noexcept;

// How many fork()s lie between the first call of this function and now in
// this process's line of descent: a child sees the count go up by one. Threads
// do not survive a fork, so an object that owns threads compares the count
// it saw when it started them with the current one.
uint64_t fork_generation() noexcept;

// An operating-system thread that has been started and neither joined nor
// detached yet. Each handle must end in exactly one join_thread() or
// detach_thread().
struct ThreadHandle {
    uint64_t native = 0;
};

// Starts a thread with a stack of `stack_bytes` running entry(arg). Returns 0
// and fills `out`, or the system's error number when the thread was refused
// (entry is then never called).
int spawn_thread(size_t stack_bytes, void (*entry)(void*), void* arg, ThreadHandle& out) noexcept;

// Waits for the thread to end and frees its resources.
void join_thread(ThreadHandle handle) noexcept;

// Lets the thread free its resources by itself when it ends.
void detach_thread(ThreadHandle handle) noexcept;

}  // namespace quorvel::platform
