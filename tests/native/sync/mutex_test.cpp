// RawMutex: no lost wake-ups under churn, hand-off on fair
// releases, and waiters surviving parking-table growth.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "../bounded.h"
#include "probes.h"
#include "sync/mutex.h"
#include "sync/parking_lot.h"

namespace pl = quorvel::sync::parking_lot;
using quorvel::platform::Instant;
using quorvel::sync::MUTEX_LOCKED;
using quorvel::sync::MUTEX_PARKED;
using quorvel::sync::MutexProbe;
using quorvel::sync::RawMutex;
using quorvel::test::eventually;
using quorvel::test::kFarFuture;
using quorvel::test::parked_on;
using quorvel::test::wait_for;
using quorvel::test::Team;

namespace {

// A thread that takes the mutex, reports it, and holds it until released.
struct Holder {
    std::atomic<bool> in{false};
    std::atomic<bool> release{false};

    void run(RawMutex& m) {
        m.lock();
        in.store(true);
        wait_for(release);
        m.unlock();
    }
};

// Start a Holder thread and wait until it is parked on `m` (the `queued`-th).
::testing::AssertionResult queue_holder(Team& team, RawMutex& m, Holder& h, size_t queued) {
    team.spawn([&m, &h] { h.run(m); });
    return parked_on(MutexProbe::key(m), queued);
}

}  // namespace

TEST(RawMutex, TryLockFailsWhileHeldAndWorksWithStdGuards) {
    RawMutex m;
    ASSERT_TRUE(m.try_lock());
    EXPECT_TRUE(m.is_locked());
    EXPECT_FALSE(m.try_lock());
    m.unlock();
    EXPECT_FALSE(m.is_locked());
    {
        std::lock_guard<RawMutex> g(m);
        EXPECT_FALSE(m.try_lock());
    }
    EXPECT_EQ(MutexProbe::state(m), 0);
}

TEST(RawMutexStress, HeavyChurnLosesNoWakeUp) {
    // Sixteen threads on two cores, critical sections that sometimes yield
    // while held: most acquisitions park, and every unlock must find them. A
    // lost wake-up leaves a thread asleep and trips the hang limit.
    constexpr int kThreads = 16, kIters = 10'000;
    RawMutex m;
    long counter = 0;
    Team team;
    team.spawn_n(kThreads, [&](int t) {
        for (int i = 0; i < kIters; ++i) {
            m.lock();
            ++counter;
            if ((i + t) % 64 == 0) std::this_thread::yield();
            m.unlock();
        }
    });
    team.join("churning mutex users");
    EXPECT_EQ(counter, long(kThreads) * kIters);
    // Nobody is queued any more, so the last release cleared MUTEX_PARKED.
    EXPECT_EQ(MutexProbe::state(m), 0);
}

TEST(RawMutexFairness, PassedDeadlineHandsTheLockToTheWokenWaiter) {
    RawMutex m;
    const pl::Key key = MutexProbe::key(m);
    Holder b;
    Team team;
    m.lock();
    ASSERT_TRUE(queue_holder(team, m, b, 1));
    EXPECT_EQ(MutexProbe::state(m), MUTEX_LOCKED | MUTEX_PARKED);

    pl::set_fairness_deadline(key, Instant{0});
    const uint64_t fair_before = pl::fair_unpark_count();
    m.unlock();
    // Handed over before the waiter even runs: the byte never showed "free".
    EXPECT_EQ(MutexProbe::state(m), MUTEX_LOCKED);
    EXPECT_FALSE(m.try_lock());
    EXPECT_EQ(pl::fair_unpark_count(), fair_before + 1);
    ASSERT_TRUE(eventually([&] { return b.in.load(); }));
    b.release.store(true);
    team.join();
    EXPECT_EQ(MutexProbe::state(m), 0);
}

TEST(RawMutexFairness, HandOffKeepsParkedForTheWaitersBehind) {
    RawMutex m;
    const pl::Key key = MutexProbe::key(m);
    Holder b, c;
    Team team;
    m.lock();
    ASSERT_TRUE(queue_holder(team, m, b, 1));
    ASSERT_TRUE(queue_holder(team, m, c, 2));

    pl::set_fairness_deadline(key, Instant{0});
    m.unlock();
    EXPECT_EQ(MutexProbe::state(m), MUTEX_LOCKED | MUTEX_PARKED);
    ASSERT_TRUE(eventually([&] { return b.in.load(); }));  // the oldest waiter got it
    EXPECT_FALSE(c.in.load());
    EXPECT_EQ(pl::waiters_on(key), 1u);
    b.release.store(true);
    ASSERT_TRUE(eventually([&] { return c.in.load(); }));
    c.release.store(true);
    team.join();
    EXPECT_EQ(MutexProbe::state(m), 0);
}

TEST(RawMutexFairness, DeadlineAheadMeansNoHandOffUnlessForced) {
    RawMutex m;
    const pl::Key key = MutexProbe::key(m);
    Team team;
    pl::set_fairness_deadline(key, kFarFuture);
    const uint64_t fair_before = pl::fair_unpark_count();

    // Normal release: the waiter is woken to compete; the second waiter keeps
    // MUTEX_PARKED set whoever wins.
    Holder b, c;
    m.lock();
    ASSERT_TRUE(queue_holder(team, m, b, 1));
    ASSERT_TRUE(queue_holder(team, m, c, 2));
    m.unlock();
    EXPECT_TRUE(MutexProbe::state(m) & MUTEX_PARKED);
    ASSERT_TRUE(eventually([&] { return b.in.load() || c.in.load(); }));
    EXPECT_EQ(pl::fair_unpark_count(), fair_before);
    b.release.store(true);
    c.release.store(true);
    team.join();

    // unlock_fair hands over although the deadline is far ahead.
    Holder d;
    m.lock();
    ASSERT_TRUE(queue_holder(team, m, d, 1));
    m.unlock_fair();
    EXPECT_EQ(MutexProbe::state(m), MUTEX_LOCKED);
    ASSERT_TRUE(eventually([&] { return d.in.load(); }));
    d.release.store(true);
    team.join();
    EXPECT_EQ(pl::fair_unpark_count(), fair_before);
    EXPECT_EQ(MutexProbe::state(m), 0);
}

TEST(RawMutexFairness, WaiterIsNotStarvedByAThreadThatKeepsRelocking) {
    // One thread holds the lock almost all the time and re-takes it right
    // after each release; the other must still get in, again and again, and
    // it is the fair unparks that let it in: the hog's critical section is
    // long enough that the waiter parks, and an unfair release is won by the
    // running hog. (A waiter let in by luck alone, with no fair unpark, is
    // what this test rules out.)
    constexpr int kVictimRounds = 50;
    RawMutex m;
    std::atomic<bool> hog_running{false}, stop{false};
    std::atomic<int> victim_rounds{0};
    // Buckets are shared and keep their deadline: clear whatever an earlier
    // test left in this one (a far-future deadline makes every unpark unfair).
    pl::set_fairness_deadline(MutexProbe::key(m), Instant::now());
    const uint64_t fair_before = pl::fair_unpark_count();
    Team team;
    team.spawn([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            m.lock();
            hog_running.store(true, std::memory_order_relaxed);
            // Hold it far longer than a waiter spins before it parks.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
            while (std::chrono::steady_clock::now() < until) quorvel::platform::cpu_relax();
            m.unlock();
        }
    });
    team.spawn([&] {
        wait_for(hog_running);
        for (int i = 0; i < kVictimRounds; ++i) {
            m.lock();
            victim_rounds.fetch_add(1);
            m.unlock();
        }
    });
    const bool done = eventually([&] { return victim_rounds.load() == kVictimRounds; });
    stop.store(true);
    team.join();
    EXPECT_TRUE(done) << "the waiter got in " << victim_rounds.load() << " times";
    EXPECT_GT(pl::fair_unpark_count(), fair_before) << "no release handed the lock over";
}

TEST(RawMutexGrowth, SixtyFourWaitersAcrossTableGrowthAllGetIn) {
    // More waiters than the first table has buckets, queued on eight mutexes
    // one after another (so records are moved while queued). Each mutex is
    // then released once; every waiter passes it on, so all must get in.
    constexpr int kThreads = 64, kMutexes = 8;
    std::vector<std::unique_ptr<RawMutex>> mutexes;
    for (int i = 0; i < kMutexes; ++i) mutexes.push_back(std::make_unique<RawMutex>());
    for (auto& m : mutexes) m->lock();
    std::atomic<int> got_in{0};
    Team team;
    for (int i = 0; i < kThreads; ++i) {
        RawMutex& m = *mutexes[i % kMutexes];
        team.spawn([&m, &got_in] {
            m.lock();
            got_in.fetch_add(1);
            m.unlock();
        });
        ASSERT_TRUE(eventually([&] { return pl::waiters_on(MutexProbe::key(m)) == size_t(i / kMutexes + 1); }))
            << "waiter " << i << " never parked";
    }
    EXPECT_GE(pl::bucket_count(), size_t(3 * kThreads));
    EXPECT_EQ(got_in.load(), 0);
    for (auto& m : mutexes) m->unlock();
    team.join("waiters released after growth");
    EXPECT_EQ(got_in.load(), kThreads);
    for (auto& m : mutexes) EXPECT_EQ(MutexProbe::state(*m), 0);
}
