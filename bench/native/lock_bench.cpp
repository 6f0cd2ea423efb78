// lock_bench: the lock engine against the standard library's locks.
//
// Uncontended: one thread, lock + unlock in a loop; the best of several runs
// is reported, so a busy machine inflates the figures less. Contended: two
// threads each do N lock / increment / unlock on one lock, and the time per
// operation is the wall time over all 2N operations (the counter is checked
// afterwards). Ratios are engine / standard: below 1 means the engine is faster.
//
//   lock_bench [iterations]      (default 20 000 000 uncontended, a tenth of it contended)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "sync/mutex.h"
#include "sync/rwlock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

template <class Body>
double best_ns_per_op(long iterations, Body body) {
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        body(iterations);
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        if (ns / double(iterations) < best) best = ns / double(iterations);
    }
    return best;
}

// Two threads, each `per_thread` times lock / ++counter / unlock.
template <class Lock, class Unlock>
double contended_ns_per_op(long per_thread, Lock lock, Unlock unlock) {
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        long counter = 0;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        auto worker = [&] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            for (long i = 0; i < per_thread; ++i) {
                lock();
                ++counter;
                unlock();
            }
        };
        std::thread a(worker), b(worker);
        while (ready.load() < 2) std::this_thread::yield();
        const auto start = Clock::now();
        go.store(true);
        a.join();
        b.join();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        if (counter != 2 * per_thread) {
            std::fprintf(stderr, "lost updates: %ld of %ld\n", 2 * per_thread - counter, 2 * per_thread);
            std::exit(1);
        }
        if (ns / double(2 * per_thread) < best) best = ns / double(2 * per_thread);
    }
    return best;
}

void row(const char* engine, double e, const char* peer, double p) {
    std::printf("  %-22s %7.2f   %-26s %7.2f   ratio %.2f\n", engine, e, peer, p, e / p);
}

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 20'000'000;
    const long contended_n = n / 10;

    // glibc takes a shortcut (no bus-locked instructions) in a process that
    // has never had a second thread. The engine always runs in multi-threaded
    // processes, so measure everything in one.
    std::thread([] {}).join();

    quorvel::sync::RawMutex raw_mutex;
    quorvel::sync::RawRwLock raw_rw;
    std::mutex std_mutex;
    std::shared_mutex std_rw;

    std::printf("uncontended lock+unlock, ns/op (best of %d runs of %ld)\n", kRuns, n);
    row("RawMutex", best_ns_per_op(n, [&](long k) {
            for (long i = 0; i < k; ++i) {
                raw_mutex.lock();
                raw_mutex.unlock();
            }
        }),
        "std::mutex", best_ns_per_op(n, [&](long k) {
            for (long i = 0; i < k; ++i) {
                std_mutex.lock();
                std_mutex.unlock();
            }
        }));
    row("RawRwLock shared", best_ns_per_op(n, [&](long k) {
            for (long i = 0; i < k; ++i) {
                raw_rw.lock_shared(false);
                raw_rw.unlock_shared();
            }
        }),
        "std::shared_mutex shared", best_ns_per_op(n, [&](long k) {
            for (long i = 0; i < k; ++i) {
                std_rw.lock_shared();
                std_rw.unlock_shared();
            }
        }));
    row("RawRwLock exclusive", best_ns_per_op(n, [&](long k) {
            for (long i = 0; i < k; ++i) {
                raw_rw.lock_exclusive();
                raw_rw.unlock_exclusive();
            }
        }),
        "std::shared_mutex excl.", best_ns_per_op(n, [&](long k) {
            for (long i = 0; i < k; ++i) {
                std_rw.lock();
                std_rw.unlock();
            }
        }));

    std::printf("\ncontended, 2 threads x %ld lock/increment/unlock, ns/op (best of %d runs)\n", contended_n,
                kRuns);
    row("RawMutex", contended_ns_per_op(contended_n, [&] { raw_mutex.lock(); }, [&] { raw_mutex.unlock(); }),
        "std::mutex", contended_ns_per_op(contended_n, [&] { std_mutex.lock(); }, [&] { std_mutex.unlock(); }));
    row("RawRwLock exclusive",
        contended_ns_per_op(contended_n, [&] { raw_rw.lock_exclusive(); }, [&] { raw_rw.unlock_exclusive(); }),
        "std::shared_mutex excl.",
        contended_ns_per_op(contended_n, [&] { std_rw.lock(); }, [&] { std_rw.unlock(); }));
    return 0;
}
