// Mutual exclusion under churn, for every exclusive lock of the engine (one
// typed suite): many threads updating a plain counter never overlap and lose
// no update, two threads alternating lose none either, and the lock's word
// is back to idle afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../bounded.h"
#include "probes.h"
#include "sync/mutex.h"
#include "sync/rwlock.h"

namespace {

using quorvel::sync::MutexProbe;
using quorvel::sync::RwLockProbe;
using quorvel::test::Team;

struct MutexLock {
    quorvel::sync::RawMutex raw;
    void lock() { raw.lock(); }
    void unlock() { raw.unlock(); }
    bool idle() const { return MutexProbe::state(raw) == 0; }
};

struct RwLockExclusive {
    quorvel::sync::RawRwLock raw;
    void lock() { raw.lock_exclusive(); }
    void unlock() { raw.unlock_exclusive(); }
    bool idle() const { return RwLockProbe::state(raw) == 0; }
};

template <class L>
class Exclusion : public ::testing::Test {};
using ExclusiveLocks = ::testing::Types<MutexLock, RwLockExclusive>;
TYPED_TEST_SUITE(Exclusion, ExclusiveLocks);

TYPED_TEST(Exclusion, PlainCounterFromManyThreadsLosesNoUpdate) {
    constexpr int kThreads = 8, kIters = 60'000;
    TypeParam l;
    long counter = 0;  // plain on purpose: only the lock protects it
    std::atomic<int> inside{0}, overlaps{0};
    Team team;
    team.spawn_n(kThreads, [&](int) {
        for (int i = 0; i < kIters; ++i) {
            l.lock();
            if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
            ++counter;
            if (i % 256 == 0) std::this_thread::yield();  // make the others park now and then
            inside.fetch_sub(1);
            l.unlock();
        }
    });
    team.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, long(kThreads) * kIters);
    EXPECT_TRUE(l.idle());
}

TYPED_TEST(Exclusion, TwoThreadsAlternatingNeverLoseAnUpdate) {
    constexpr int kIters = 200'000;
    TypeParam l;
    long counter = 0;
    Team team;
    team.spawn_n(2, [&](int) {
        for (int i = 0; i < kIters; ++i) {
            l.lock();
            ++counter;
            l.unlock();
        }
    });
    team.join();
    EXPECT_EQ(counter, 2L * kIters);
    EXPECT_TRUE(l.idle());
}

}  // namespace
