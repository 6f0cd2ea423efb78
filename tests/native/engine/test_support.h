// Shared helpers of the engine tests: a counting move-only item whose every
// value must be destroyed exactly once, a bounded runner that turns a hang
// into a reported failure, polling with a time limit, allocation snapshots,
// and TestAccess, the engine's friend that reads positions, stamps and wait
// lists for the worked examples.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "../sync/bounded.h"
#include "engine/engine.h"
#include "base/panic.h"

namespace quorvel::engine {

// Read access to engine internals for the worked examples and for waiting
// until a partner has registered.
struct TestAccess {
    template <class T>
    static ArrayChannel<T>& array(const ChannelSender<T>& s) {
        return s.array_core()->chan;
    }
    template <class T>
    static ListChannel<T>& list(const ChannelSender<T>& s) {
        return s.list_core()->chan;
    }
    template <class T>
    static ZeroChannel<T>& zero(const ChannelSender<T>& s) {
        return s.zero_core()->chan;
    }
    template <class T>
    static ChannelCore<ArrayChannel<T>>* array_core(const ChannelSender<T>& s) {
        return s.array_core();
    }

    template <class T>
    static uint64_t head(const ArrayChannel<T>& c) {
        return c.head_.load();
    }
    template <class T>
    static uint64_t tail(const ArrayChannel<T>& c) {
        return c.tail_.load();
    }
    template <class T>
    static uint64_t stamp(const ArrayChannel<T>& c, size_t i) {
        return c.buffer_[i].stamp.load();
    }
    template <class T>
    static uint64_t mark_bit(const ArrayChannel<T>& c) {
        return c.mark_bit_;
    }
    template <class T>
    static uint64_t one_lap(const ArrayChannel<T>& c) {
        return c.one_lap_;
    }
    template <class T>
    static size_t waiting_senders(const ArrayChannel<T>& c) {
        return c.senders_.waiting();
    }
    template <class T>
    static size_t waiting_receivers(const ArrayChannel<T>& c) {
        return c.receivers_.waiting();
    }

    template <class T>
    static uint64_t head_index(const ListChannel<T>& c) {
        return c.head_.index.load();
    }
    template <class T>
    static uint64_t tail_index(const ListChannel<T>& c) {
        return c.tail_.index.load();
    }
    template <class T>
    static const void* head_block(const ListChannel<T>& c) {
        return c.head_.block.load();
    }
    template <class T>
    static const void* tail_block(const ListChannel<T>& c) {
        return c.tail_.block.load();
    }
    template <class T>
    static const void* next_of_tail_block(const ListChannel<T>& c) {
        auto* b = c.tail_.block.load();
        return b ? b->next.load() : nullptr;
    }
    template <class T>
    static size_t waiting_receivers(const ListChannel<T>& c) {
        return c.receivers_.waiting();
    }

    template <class T>
    static std::mutex& mutex(ZeroChannel<T>& c) {
        return c.mu_;
    }
    template <class T>
    static size_t waiting_senders(ZeroChannel<T>& c) {
        std::lock_guard<std::mutex> g(c.mu_);
        return c.senders_.size();
    }
    template <class T>
    static size_t waiting_receivers(ZeroChannel<T>& c) {
        std::lock_guard<std::mutex> g(c.mu_);
        return c.receivers_.size();
    }
};

}  // namespace quorvel::engine

namespace engine_test {

using namespace quorvel::engine;
using quorvel::Panic;
using quorvel::platform::Instant;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kScale = 2;  // sanitizers run 5-15x slower
#else
inline constexpr int kScale = 4;
#endif

// Per-value destruction counts of the Tracked items of one test.
class DestroyLog {
public:
    explicit DestroyLog(size_t n) : counts_(new std::atomic<int>[n]), n_(n) {
        for (size_t i = 0; i < n; ++i) counts_[i].store(0);
        active_.store(this);
    }
    ~DestroyLog() { active_.store(nullptr); }
    static void record(int64_t value) {
        if (DestroyLog* log = active_.load()) {
            if (value >= 0 && size_t(value) < log->n_) log->counts_[value].fetch_add(1);
        }
    }
    int count(size_t value) const { return counts_[value].load(); }
    // Every value in [0, n) destroyed exactly once.
    void expect_each_once(size_t n) const {
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(count(i), 1) << "value " << i;
    }

private:
    std::unique_ptr<std::atomic<int>[]> counts_;
    size_t n_;
    static inline std::atomic<DestroyLog*> active_{nullptr};
};

// A move-only item that counts live instances and logs the destruction of
// each value (moved-from shells carry -1 and are not logged).
struct Tracked {
    static inline std::atomic<int64_t> live{0};
    int64_t value;

    explicit Tracked(int64_t v) noexcept : value(v) { live.fetch_add(1); }
    Tracked(Tracked&& o) noexcept : value(std::exchange(o.value, -1)) { live.fetch_add(1); }
    // Assigning ends the item held before, like destroying it.
    Tracked& operator=(Tracked&& o) noexcept {
        if (this != &o) {
            DestroyLog::record(value);
            value = std::exchange(o.value, -1);
        }
        return *this;
    }
    Tracked(const Tracked&) = delete;
    ~Tracked() {
        DestroyLog::record(value);
        live.fetch_sub(1);
    }
};

// Runs `body` on its own thread; if it has not finished within `limit`, the
// test binary reports the hang and exits with failure instead of blocking.
template <class F>
void run_bounded(const char* what, F&& body, std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::packaged_task<void()> task(std::forward<F>(body));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "\nHANG: %s did not finish within %lld s\n", what, (long long)limit.count());
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    done.get();  // rethrows what the body threw
}

// Polls `cond` (with yields) for up to 20 s; false on time-out.
template <class Cond>
bool eventually(Cond cond) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Snapshot of the engine's live allocations of every kind.
struct AllocSnapshot {
    int64_t live[kAllocKinds];
    AllocSnapshot() {
        for (size_t k = 0; k < kAllocKinds; ++k) live[k] = alloc_stats::live(AllocKind(k));
    }
    int64_t delta(AllocKind k) const { return alloc_stats::live(k) - live[size_t(k)]; }
};

constexpr uint64_t ms(uint64_t n) { return n * 1'000'000; }

}  // namespace engine_test
