// Shared helpers of the engine tests: a counting move-only item whose every
// value must be destroyed exactly once, allocation snapshots (the bounded
// runner and polling come from the shared harness, ../bounded.h),
// and TestAccess, the engine's friend that reads the wait lists so that a
// test can wait until a partner has registered.
//
// A test whose lambdas use the ends of a channel names the pair and binds
// references to its members, `auto chan = new_bounded<T>(n); auto& tx =
// chan.first; ...`, rather than `auto [tx, rx] = ...`: clang before 16
// refuses to capture a structured binding in a lambda, and the tests must
// build with Debian 12's clang 14 as well as with gcc.
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

#include "../bounded.h"
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
    static size_t waiting_senders(const ArrayChannel<T>& c) {
        return c.senders_.waiting();
    }
    template <class T>
    static size_t waiting_receivers(const ArrayChannel<T>& c) {
        return c.receivers_.waiting();
    }

    template <class T>
    static size_t waiting_receivers(const ListChannel<T>& c) {
        return c.receivers_.waiting();
    }

    // Threads registered on either side of the channel of `s`, whatever its
    // flavour (a list sender never waits).
    template <class T>
    static size_t registered_senders(const ChannelSender<T>& s) {
        switch (s.flavor()) {
            case Flavor::Array: return waiting_senders(s.array_core()->chan);
            case Flavor::Zero: return waiting_senders(s.zero_core()->chan);
            default: return 0;
        }
    }
    template <class T>
    static size_t registered_receivers(const ChannelSender<T>& s) {
        switch (s.flavor()) {
            case Flavor::Array: return waiting_receivers(s.array_core()->chan);
            case Flavor::List: return waiting_receivers(s.list_core()->chan);
            case Flavor::Zero: return waiting_receivers(s.zero_core()->chan);
            default: return 0;
        }
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

using quorvel::test::eventually;
using quorvel::test::kScale;
using quorvel::test::run_bounded;

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
