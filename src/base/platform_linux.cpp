// Linux implementation of base/platform.h: futex(2), clock_gettime, getrandom, pthreads.
#include "base/platform.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace quorvel::platform {

namespace {

long futex(const std::atomic<uint32_t>& word, int op, uint32_t val, const timespec* ts,
           uint32_t bitset) noexcept {
    // The kernel only reads the word; std::atomic<uint32_t> has the layout of uint32_t.
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG, val,
                   ts, nullptr, bitset);
}

}  // namespace

void yield_now() noexcept { sched_yield(); }

Instant Instant::now() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Instant{uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec)};
}

void futex_wait(const std::atomic<uint32_t>& word, uint32_t expected) noexcept {
    futex(word, FUTEX_WAIT, expected, nullptr, 0);
}

void futex_wait_until(const std::atomic<uint32_t>& word, uint32_t expected, Instant deadline) noexcept {
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so a
    // spurious return never stretches the total wait.
    timespec ts;
    ts.tv_sec = time_t(deadline.ns / 1'000'000'000u);
    ts.tv_nsec = long(deadline.ns % 1'000'000'000u);
    futex(word, FUTEX_WAIT_BITSET, expected, &ts, FUTEX_BITSET_MATCH_ANY);
}

void futex_wake_one(const std::atomic<uint32_t>& word) noexcept { futex(word, FUTEX_WAKE, 1, nullptr, 0); }

void futex_wake_all(const std::atomic<uint32_t>& word) noexcept {
    futex(word, FUTEX_WAKE, INT_MAX, nullptr, 0);
}

void sleep_for_ns(uint64_t ns) noexcept {
    timespec ts;
    ts.tv_sec = time_t(ns / 1'000'000'000u);
    ts.tv_nsec = long(ns % 1'000'000'000u);
    nanosleep(&ts, nullptr);
}

uint64_t os_thread_id() noexcept {
    thread_local uint64_t cached = uint64_t(syscall(SYS_gettid));
    return cached;
}

bool is_initial_thread() noexcept { return syscall(SYS_gettid) == getpid(); }

namespace {
std::atomic<uint64_t> g_next_unique_thread_id{1};
thread_local uint64_t t_unique_thread_id = 0;
}  // namespace

uint64_t unique_thread_id() noexcept {
    if (t_unique_thread_id == 0) {
        // Relaxed: only uniqueness matters, which the atomic increment gives.
        t_unique_thread_id = g_next_unique_thread_id.fetch_add(1, std::memory_order_relaxed);
    }
    return t_unique_thread_id;
}

unsigned available_parallelism() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return unsigned(n);
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? unsigned(n) : 0;
}

bool random_bytes(void* buf, size_t len) noexcept {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        ssize_t got = getrandom(p, len, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        len -= size_t(got);
    }
    return true;
}

namespace {

std::atomic<uint64_t> g_fork_generation{0};

void count_fork_in_child() noexcept {
    // Relaxed: the child has one thread now; threads it starts later
    // synchronize with it through their creation.
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

uint64_t fork_generation() noexcept {
    static const bool registered = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
    (void)registered;
    return g_fork_generation.load(std::memory_order_relaxed);  // see count_fork_in_child()
}

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uint64_t), "a pthread_t fits the handle word");

pthread_t to_pthread(ThreadHandle handle) noexcept {
    pthread_t t;
    std::memcpy(&t, &handle.native, sizeof(t));
    return t;
}

struct ThreadStart {
    void (*entry)(void*);
    void* arg;
};

void* thread_main(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.arg);
    return nullptr;
}

}  // namespace

int spawn_thread(size_t stack_bytes, void (*entry)(void*), void* arg, ThreadHandle& out) noexcept {
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0) return err;
    err = pthread_attr_setstacksize(&attr, stack_bytes);
    auto* start = err == 0 ? new (std::nothrow) ThreadStart{entry, arg} : nullptr;
    if (err == 0 && start == nullptr) err = ENOMEM;
    pthread_t thread{};
    if (err == 0) {
        err = pthread_create(&thread, &attr, thread_main, start);
        if (err != 0) delete start;
    }
    pthread_attr_destroy(&attr);
    if (err != 0) return err;
    out.native = 0;
    std::memcpy(&out.native, &thread, sizeof(thread));
    return 0;
}

void join_thread(ThreadHandle handle) noexcept { pthread_join(to_pthread(handle), nullptr); }

void detach_thread(ThreadHandle handle) noexcept { pthread_detach(to_pthread(handle)); }

}  // namespace quorvel::platform
