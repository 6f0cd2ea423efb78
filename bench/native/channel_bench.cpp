// channel_bench: items per second through the channel flavours, against a
// std::mutex + std::condition_variable + std::deque queue: unbounded (the
// plain baseline), and bounded to the capacity of each array case, whose
// producers wait for room as the array's do (the "vs cap / same cap" column).
//
// SPSC (1 producer, 1 consumer) and MPMC (2 producers, 2 consumers), blocking
// send and receive of 64-bit items. The cases of one shape run interleaved,
// five rounds; each reports its median and fastest round (on a shared machine
// the rounds vary a lot), and throughput ratios (higher is better): its median
// against the unbounded mutex queue's, and for the array cases against the
// mutex queue bounded to the same capacity. The channels spin before they
// sleep and the mutex queue sleeps at once, so each case also reports the CPU
// time of the whole process per item (median round): a faster wall time
// bought with more processor time shows there. A checksum mismatch (an item
// lost or duplicated) fails the run.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace {

using namespace quorvel::engine;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kStop = UINT64_MAX;

class MutexQueue {
public:
    explicit MutexQueue(size_t capacity) : cap_(capacity) {}  // 0: unbounded

    void push(uint64_t v) {
        {
            std::unique_lock<std::mutex> g(mu_);
            if (cap_) not_full_.wait(g, [&] { return q_.size() < cap_; });
            q_.push_back(v);
        }
        not_empty_.notify_one();
    }
    uint64_t pop() {
        uint64_t v;
        {
            std::unique_lock<std::mutex> g(mu_);
            not_empty_.wait(g, [&] { return !q_.empty(); });
            v = q_.front();
            q_.pop_front();
        }
        if (cap_) not_full_.notify_one();
        return v;
    }

private:
    const size_t cap_;
    std::mutex mu_;
    std::condition_variable not_empty_, not_full_;
    std::deque<uint64_t> q_;
};

struct Shape {
    const char* name;
    int producers;
    int consumers;
};

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Round {
    double items_per_s;
    double cpu_ns_per_item;  // all threads of the process
};

// Runs producers and consumers; returns the round's throughput and CPU cost.
Round run_threads(const Shape& shape, uint64_t items, const std::function<void(int, uint64_t, uint64_t)>& produce,
                   const std::function<uint64_t(int)>& consume, const std::function<void()>& finish) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<uint64_t> checksum{0};
    std::vector<std::thread> ts;
    const uint64_t per = items / uint64_t(shape.producers);
    for (int p = 0; p < shape.producers; ++p) {
        ts.emplace_back([&, p] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            produce(p, uint64_t(p) * per, per);
        });
    }
    std::vector<std::thread> cs;
    for (int c = 0; c < shape.consumers; ++c) {
        cs.emplace_back([&, c] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            checksum.fetch_add(consume(c));
        });
    }
    while (ready.load() != shape.producers + shape.consumers) std::this_thread::yield();
    const double cpu_start = process_cpu_seconds();
    const auto start = Clock::now();
    go.store(true);
    for (auto& t : ts) t.join();
    finish();
    for (auto& t : cs) t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = process_cpu_seconds() - cpu_start;
    const uint64_t n = per * uint64_t(shape.producers);
    if (checksum.load() != n * (n - 1) / 2) {
        std::fprintf(stderr, "checksum mismatch: %s lost or duplicated items\n", shape.name);
        std::exit(1);
    }
    return {double(n) / secs, cpu * 1e9 / double(n)};
}

Round bench_mutex(const Shape& shape, uint64_t items, size_t capacity) {
    MutexQueue q(capacity);
    return run_threads(
        shape, items,
        [&](int, uint64_t first, uint64_t n) {
            for (uint64_t i = 0; i < n; ++i) q.push(first + i);
        },
        [&](int) {
            uint64_t sum = 0;
            for (uint64_t v; (v = q.pop()) != kStop;) sum += v;
            return sum;
        },
        [&] {
            for (int c = 0; c < shape.consumers; ++c) q.push(kStop);
        });
}

Round bench_channel(const Shape& shape, uint64_t items, const std::function<Channel<uint64_t>()>& make) {
    auto [tx, rx] = make();
    std::vector<ChannelSender<uint64_t>> senders;
    for (int p = 0; p < shape.producers; ++p) senders.push_back(tx.clone());
    std::vector<ChannelReceiver<uint64_t>> receivers;
    for (int c = 0; c < shape.consumers; ++c) receivers.push_back(rx.clone());
    { auto a = std::move(tx); auto b = std::move(rx); }
    return run_threads(
        shape, items,
        [&](int p, uint64_t first, uint64_t n) {
            const ChannelSender<uint64_t>& s = senders[size_t(p)];
            for (uint64_t i = 0; i < n; ++i) (void)s.send(first + i);
            auto gone = std::move(senders[size_t(p)]);  // the last one disconnects
        },
        [&](int c) {
            const ChannelReceiver<uint64_t>& r = receivers[size_t(c)];
            uint64_t sum = 0;
            for (;;) {
                RecvResult<uint64_t> got = r.recv();
                if (!got.ok()) break;
                sum += *got.item;
            }
            return sum;
        },
        [] {});
}

}  // namespace

int main() {
    const Shape shapes[] = {{"SPSC", 1, 1}, {"MPMC 2x2", 2, 2}};
    struct Case {
        const char* name;
        uint64_t items;
        std::function<Channel<uint64_t>()> make;  // null: a mutex queue of capacity `cap`
        size_t cap;
        int same_cap;  // index of the mutex queue with this case's capacity, or -1
    };
    const Case cases[] = {
        {"mutex+cv", 1'000'000, nullptr, 0, -1},
        {"mutex+cv(1)", 200'000, nullptr, 1, -1},
        {"mutex+cv(64)", 1'000'000, nullptr, 64, -1},
        {"mutex+cv(1024)", 2'000'000, nullptr, 1024, -1},
        {"array(1)", 200'000, [] { return new_bounded<uint64_t>(1); }, 0, 1},
        {"array(64)", 1'000'000, [] { return new_bounded<uint64_t>(64); }, 0, 2},
        {"array(1024)", 2'000'000, [] { return new_bounded<uint64_t>(1024); }, 0, 3},
        {"list", 2'000'000, [] { return new_unbounded<uint64_t>(); }, 0, -1},
        {"zero", 40'000, [] { return new_bounded<uint64_t>(0); }, 0, -1},
    };
    constexpr size_t kCases = sizeof(cases) / sizeof(cases[0]);
    constexpr int kRounds = 5;
    std::printf("throughput ratios, higher is better; cpu: CPU ns of the whole process per item\n");
    std::printf("%-10s %-15s %14s %14s %9s %9s %12s\n", "shape", "queue", "median items/s", "best items/s",
                "vs mutex", "vs cap", "cpu ns/item");
    std::printf("%-10s %-15s %14s %14s %9s %9s %12s\n", "", "", "", "", "unbounded", "same cap", "(median)");
    for (const Shape& shape : shapes) {
        Round rounds[kCases][kRounds] = {};
        for (int round = 0; round < kRounds; ++round) {
            for (size_t i = 0; i < kCases; ++i) {
                const Case& c = cases[i];
                rounds[i][round] =
                    c.make ? bench_channel(shape, c.items, c.make) : bench_mutex(shape, c.items, c.cap);
            }
        }
        Round median[kCases];
        double best[kCases];
        for (size_t i = 0; i < kCases; ++i) {
            std::sort(rounds[i], rounds[i] + kRounds,
                      [](const Round& a, const Round& b) { return a.items_per_s < b.items_per_s; });
            median[i] = rounds[i][kRounds / 2];
            best[i] = rounds[i][kRounds - 1].items_per_s;
        }
        for (size_t i = 0; i < kCases; ++i) {
            std::printf("%-10s %-15s %14.0f %14.0f %9.2f", shape.name, cases[i].name, median[i].items_per_s, best[i],
                        median[i].items_per_s / median[0].items_per_s);
            if (cases[i].same_cap >= 0) {
                std::printf(" %9.2f", median[i].items_per_s / median[cases[i].same_cap].items_per_s);
            } else {
                std::printf(" %9s", "");
            }
            std::printf(" %12.0f\n", median[i].cpu_ns_per_item);
        }
    }
    return 0;
}
