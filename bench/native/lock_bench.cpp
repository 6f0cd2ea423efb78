// lock_bench: the lock engine against the standard library's locks.
//
// Uncontended: one thread, lock + unlock in a loop; the best of several runs
// is reported, so a busy machine inflates the figures less. Contended: two
// threads each do N lock / increment / unlock on one lock; the time per
// operation is the wall time over all 2N operations, reported as the median
// of several runs together with each thread's time spent waiting in that run
// (a lost update fails the run). Ratios are time ratios, engine / standard:
// lower is better, below 1 means the engine is faster.
//
//   lock_bench [iterations]      (default 20 000 000 uncontended, a tenth of it contended)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

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

// One contended run: the wall time per operation, and each thread's total
// time spent waiting to acquire (from before lock() to after it returns).
struct ContendedRun {
    double ns_per_op;
    double wait_ms[2];
};

// Two threads, each `per_thread` times lock / ++counter / unlock, kRuns
// times. A lost update ends the benchmark with a failure.
template <class Lock, class Unlock>
std::vector<ContendedRun> contended_runs(long per_thread, Lock lock, Unlock unlock) {
    std::vector<ContendedRun> runs;
    for (int run = 0; run < kRuns; ++run) {
        long counter = 0;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        double wait_ns[2] = {0, 0};
        auto worker = [&](int who) {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            Clock::duration waited{};
            for (long i = 0; i < per_thread; ++i) {
                const auto before = Clock::now();
                lock();
                waited += Clock::now() - before;
                ++counter;
                unlock();
            }
            wait_ns[who] = std::chrono::duration<double, std::nano>(waited).count();
        };
        std::thread a(worker, 0), b(worker, 1);
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
        runs.push_back({ns / double(2 * per_thread), {wait_ns[0] / 1e6, wait_ns[1] / 1e6}});
    }
    return runs;
}

// The run of median time per operation.
ContendedRun median_run(std::vector<ContendedRun> runs) {
    std::sort(runs.begin(), runs.end(), [](const ContendedRun& a, const ContendedRun& b) { return a.ns_per_op < b.ns_per_op; });
    return runs[runs.size() / 2];
}

void contended_row(const char* engine, const std::vector<ContendedRun>& e, const char* peer,
                   const std::vector<ContendedRun>& p) {
    const ContendedRun me = median_run(e), mp = median_run(p);
    std::printf("  %-22s %7.2f   %-26s %7.2f   ratio %.2f\n", engine, me.ns_per_op, peer, mp.ns_per_op,
                me.ns_per_op / mp.ns_per_op);
    std::printf("  %-22s waits %.0f / %.0f ms   %-20s waits %.0f / %.0f ms\n", "", me.wait_ms[0], me.wait_ms[1], "",
                mp.wait_ms[0], mp.wait_ms[1]);
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

    std::printf("time ratios, engine / standard: lower is better\n\n");
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

    std::printf("\ncontended, 2 threads x %ld lock/increment/unlock, ns/op: the median of %d runs, and in\n"
                "that run each thread's total time waiting to acquire (unequal waits mean an unfair lock)\n",
                contended_n, kRuns);
    contended_row("RawMutex", contended_runs(contended_n, [&] { raw_mutex.lock(); }, [&] { raw_mutex.unlock(); }),
                  "std::mutex", contended_runs(contended_n, [&] { std_mutex.lock(); }, [&] { std_mutex.unlock(); }));
    contended_row("RawRwLock exclusive",
                  contended_runs(contended_n, [&] { raw_rw.lock_exclusive(); }, [&] { raw_rw.unlock_exclusive(); }),
                  "std::shared_mutex excl.",
                  contended_runs(contended_n, [&] { std_rw.lock(); }, [&] { std_rw.unlock(); }));
    return 0;
}
