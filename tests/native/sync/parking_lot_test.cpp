// Parking table: validation, FIFO selection per key, tokens, fairness deadlines
// and growth with records queued.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "../bounded.h"
#include "probes.h"
#include "sync/mutex.h"
#include "sync/rwlock.h"
#include "sync/parking_lot.h"
#include "base/platform.h"

namespace pl = quorvel::sync::parking_lot;
using quorvel::platform::Instant;
using quorvel::test::eventually;
using quorvel::test::kFarFuture;
using quorvel::test::parked_on;
using quorvel::test::Team;

namespace {

// The inverse of the hash multiplier modulo 2^64 (Newton's iteration). A key
// c * k hashes to k itself, so keys built from small k all land in bucket 0
// whatever the table size: a way to make keys share a bucket on purpose.
constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
constexpr uint64_t inverse_multiplier() {
    uint64_t x = kMultiplier;
    for (int i = 0; i < 6; ++i) x *= 2 - kMultiplier * x;
    return x;
}
static_assert(inverse_multiplier() * kMultiplier == 1);
constexpr pl::Key same_bucket_key(uint64_t k) { return pl::Key(inverse_multiplier() * k); }

// A thread parked on a key, with what park() returned once it is back.
struct Parked {
    std::atomic<bool> back{false};
    pl::ParkResult result{pl::ParkStatus::Invalid, 0};
};

// Park one more thread on `key` with `token` and wait until it is queued
// there (`queued_after` records on the key in total).
::testing::AssertionResult park_one(Team& team, pl::Key key, pl::ParkToken token, Parked& slot,
                                    size_t queued_after) {
    team.spawn([key, token, &slot] {
        slot.result = pl::park(key, token, [] { return true; });
        slot.back.store(true);
    });
    return parked_on(key, queued_after);
}

// Unpark every record on `key`, returning the park tokens in the order the
// selection rule saw them.
std::vector<pl::ParkToken> unpark_all(pl::Key key, pl::ParkToken give, pl::UnparkInfo* info_out = nullptr) {
    std::vector<pl::ParkToken> seen;
    pl::unpark(
        key,
        [&](pl::ParkToken t) {
            seen.push_back(t);
            return pl::Choice::Take;
        },
        [&](pl::UnparkInfo info) {
            if (info_out) *info_out = info;
            return give;
        });
    return seen;
}

}  // namespace

TEST(ParkingLot, FailedValidationQueuesNothingAndUnparkFindsNobody) {
    const pl::Key key = same_bucket_key(11);
    bool validated = false;
    const auto r = pl::park(key, 5, [&] {
        validated = true;
        return false;
    });
    EXPECT_TRUE(validated);
    EXPECT_EQ(r.status, pl::ParkStatus::Invalid);
    EXPECT_FALSE(r.handed_off());
    EXPECT_EQ(pl::waiters_on(key), 0u);

    // Even with the deadline long past, an unpark that chooses nobody is not
    // fair and leaves the deadline alone.
    pl::set_fairness_deadline(key, Instant{0});
    const uint64_t fair_before = pl::fair_unpark_count();
    bool decided = false;
    pl::unpark_one(key, [&](pl::UnparkInfo info) {
        decided = true;
        EXPECT_EQ(info.woken, 0u);
        EXPECT_FALSE(info.more_waiters);
        EXPECT_FALSE(info.fair);
        return pl::kUnparkNormal;
    });
    EXPECT_TRUE(decided);
    EXPECT_EQ(pl::fair_unpark_count(), fair_before);
    EXPECT_EQ(pl::fairness_deadline(key).ns, 0u);
}

TEST(ParkingLot, UnparkSelectsOnlyItsKeyInFifoOrderAndDeliversTheToken) {
    // Two keys in one bucket, their records interleaved in its queue.
    const pl::Key a = same_bucket_key(64), b = same_bucket_key(65);
    const std::array<pl::Key, 6> keys{a, b, a, a, b, a};
    std::array<Parked, 6> parked;
    Team team;
    size_t on_a = 0, on_b = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
        const size_t after = keys[i] == a ? ++on_a : ++on_b;
        ASSERT_TRUE(park_one(team, keys[i], pl::ParkToken(i), parked[i], after));
    }

    pl::UnparkInfo info{};
    EXPECT_EQ(unpark_all(a, 99, &info), (std::vector<pl::ParkToken>{0, 2, 3, 5}));
    EXPECT_EQ(info.woken, 4u);
    EXPECT_FALSE(info.more_waiters);
    for (size_t i : {0, 2, 3, 5}) {
        ASSERT_TRUE(eventually([&] { return parked[i].back.load(); })) << "record " << i;
        EXPECT_EQ(parked[i].result.status, pl::ParkStatus::Unparked);
        EXPECT_EQ(parked[i].result.token, 99u);
    }
    // The other key's records were neither woken nor reordered.
    EXPECT_FALSE(parked[1].back.load());
    EXPECT_FALSE(parked[4].back.load());
    EXPECT_EQ(pl::waiters_on(b), 2u);
    EXPECT_EQ(unpark_all(b, pl::kUnparkHandoff), (std::vector<pl::ParkToken>{1, 4}));
    team.join();
    EXPECT_TRUE(parked[1].result.handed_off());
    EXPECT_TRUE(parked[4].result.handed_off());
}

TEST(ParkingLot, SkipAndStopLeaveRecordsQueuedAndReportMoreWaiters) {
    const pl::Key key = same_bucket_key(70);
    std::array<Parked, 4> parked;
    Team team;
    for (size_t i = 0; i < parked.size(); ++i) ASSERT_TRUE(park_one(team, key, 10 + i, parked[i], i + 1));

    std::vector<pl::ParkToken> offered;
    pl::UnparkInfo info{};
    pl::unpark(
        key,
        [&](pl::ParkToken t) {
            offered.push_back(t);
            if (t == 10) return pl::Choice::Skip;
            if (t == 11) return pl::Choice::Take;
            return pl::Choice::Stop;
        },
        [&](pl::UnparkInfo i) {
            info = i;
            return pl::ParkToken(7);
        });
    EXPECT_EQ(offered, (std::vector<pl::ParkToken>{10, 11, 12}));  // nothing offered after Stop
    EXPECT_EQ(info.woken, 1u);
    EXPECT_TRUE(info.more_waiters);
    ASSERT_TRUE(eventually([&] { return parked[1].back.load(); }));
    EXPECT_EQ(parked[1].result.token, 7u);
    EXPECT_EQ(pl::waiters_on(key), 3u);

    // unpark_one takes the oldest remaining record and sees the others.
    pl::unpark_one(key, [&](pl::UnparkInfo i) {
        EXPECT_EQ(i.woken, 1u);
        EXPECT_TRUE(i.more_waiters);
        return pl::kUnparkNormal;
    });
    ASSERT_TRUE(eventually([&] { return parked[0].back.load(); }));
    EXPECT_FALSE(parked[2].back.load());
    EXPECT_EQ(unpark_all(key, 0), (std::vector<pl::ParkToken>{12, 13}));
    team.join();
}

TEST(ParkingLotFairness, UnparkIsFairOnlyPastTheDeadlineAndThenRenewsIt) {
    const pl::Key key = same_bucket_key(80);
    Team team;

    // Deadline ahead: not fair, nothing renewed.
    Parked first;
    ASSERT_TRUE(park_one(team, key, 0, first, 1));
    pl::set_fairness_deadline(key, kFarFuture);
    const uint64_t fair_before = pl::fair_unpark_count();
    pl::UnparkInfo info{};
    unpark_all(key, 0, &info);
    EXPECT_FALSE(info.fair);
    EXPECT_EQ(pl::fair_unpark_count(), fair_before);
    EXPECT_EQ(pl::fairness_deadline(key), kFarFuture);

    // Deadline passed: fair, and the next deadline lies less than 1 ms ahead.
    Parked second;
    ASSERT_TRUE(park_one(team, key, 0, second, 1));
    pl::set_fairness_deadline(key, Instant{0});
    const Instant before = Instant::now();
    unpark_all(key, 0, &info);
    const Instant after = Instant::now();
    EXPECT_TRUE(info.fair);
    EXPECT_EQ(pl::fair_unpark_count(), fair_before + 1);
    const Instant renewed = pl::fairness_deadline(key);
    EXPECT_GE(renewed.ns, before.ns);
    EXPECT_LT(renewed.ns, after.ns + 1'000'000);
    team.join();
}

TEST(ParkingLotFairness, RenewedDeadlinesStayWithinTheMillisecondAndVary) {
    // Each fair unpark sets the bucket's next deadline less than 1 ms ahead,
    // at a varying distance, so that fair hand-overs neither starve a waiter
    // for long nor fall into step with a thread that relocks periodically.
    const pl::Key key = same_bucket_key(90);
    constexpr int kDraws = 50;
    Team team;
    team.spawn([&] {
        for (int i = 0; i < kDraws; ++i) pl::park(key, 0, [] { return true; });
    });
    std::set<uint64_t> gaps;
    for (int i = 0; i < kDraws; ++i) {
        ASSERT_TRUE(eventually([&] { return pl::waiters_on(key) == 1; }));
        pl::set_fairness_deadline(key, Instant{0});
        const Instant before = Instant::now();
        pl::UnparkInfo info{};
        unpark_all(key, 0, &info);
        ASSERT_TRUE(info.fair);
        const Instant after = Instant::now();
        const Instant renewed = pl::fairness_deadline(key);
        EXPECT_GE(renewed.ns, before.ns);
        EXPECT_LT(renewed.ns, after.ns + 1'000'000);
        gaps.insert(renewed.ns - before.ns);
    }
    team.join();
    EXPECT_GE(gaps.size(), size_t(kDraws / 2)) << "the deadlines do not vary";
}

TEST(ParkingLotGrowth, NinetySixParkedThreadsSurviveTableGrowthInOrder) {
    // Threads park one at a time, so each new thread's record may grow the
    // table while the earlier ones are queued and must be moved. The table
    // keeps three buckets per thread with a record: 96 threads need 512
    // buckets, and no other test in this program runs more than 64 threads at
    // once (256 buckets), so in a fresh process the table grows during this
    // test. (Repeated in one process, it only checks that nobody is lost.)
    constexpr size_t kThreads = 96, kKeys = 8;
    alignas(8) static uint64_t words[kKeys];

    std::vector<std::unique_ptr<Parked>> parked;
    Team team;
    for (size_t i = 0; i < kThreads; ++i) {
        parked.push_back(std::make_unique<Parked>());
        const pl::Key key = reinterpret_cast<pl::Key>(&words[i % kKeys]);
        ASSERT_TRUE(park_one(team, key, pl::ParkToken(i), *parked[i], i / kKeys + 1));
    }
    EXPECT_GE(pl::bucket_count(), 3 * kThreads);

    for (size_t k = 0; k < kKeys; ++k) {
        const pl::Key key = reinterpret_cast<pl::Key>(&words[k]);
        std::vector<pl::ParkToken> expected;
        for (size_t i = k; i < kThreads; i += kKeys) expected.push_back(i);
        // Queue order per key survived every move.
        EXPECT_EQ(unpark_all(key, 1000 + k), expected) << "key " << k;
    }
    team.join();
    for (size_t i = 0; i < kThreads; ++i) {
        EXPECT_EQ(parked[i]->result.status, pl::ParkStatus::Unparked);
        EXPECT_EQ(parked[i]->result.token, 1000 + i % kKeys) << "thread " << i;
    }
}

// A fork child inherits the parent's locks but not its parked threads: it
// finds no waiters, and releasing a lock there (even with a fair release,
// which hands the lock to the woken) leaves it usable.
TEST(ParkingLotFork, ChildReleasesAndRetakesLocksWhoseWaitersStayedInTheParent) {
    quorvel::sync::RawMutex m;
    quorvel::sync::RawRwLock l;
    const pl::Key mkey = quorvel::sync::MutexProbe::key(m);
    const pl::Key primary = quorvel::sync::RwLockProbe::primary(l);
    m.lock();
    l.lock_exclusive();
    Team team;
    team.spawn([&] { m.lock(); m.unlock(); });
    team.spawn([&] { l.lock_shared(false); l.unlock_shared(); });
    team.spawn([&] { l.lock_exclusive(); l.unlock_exclusive(); });
    ASSERT_TRUE(parked_on(mkey, 1));
    ASSERT_TRUE(parked_on(primary, 2));
    pl::set_fairness_deadline(mkey, Instant{0});
    pl::set_fairness_deadline(primary, Instant{0});

    const int status = quorvel::test::exit_status_of_fork_child([&] {
        if (pl::waiters_on(mkey) != 0 || pl::waiters_on(primary) != 0) return 2;
        m.unlock_fair();
        l.unlock_exclusive_fair();
        if (!m.try_lock() || !l.try_lock_exclusive()) return 3;
        m.unlock();
        l.unlock_exclusive();
        l.lock_shared(false);  // a blocking form too
        l.unlock_shared();
        m.lock();
        m.unlock();
        return 0;
    });
    EXPECT_EQ(status, 0) << "2: ghost waiters queued; 3: a lock was lost to one; -1: killed or hung";

    // The parent's waiters are untouched and still get the locks.
    EXPECT_EQ(pl::waiters_on(mkey), 1u);
    EXPECT_EQ(pl::waiters_on(primary), 2u);
    m.unlock();
    l.unlock_exclusive();
    team.join();
}

TEST(ParkingLotTimeout, TimedOutRecordLeavesTheQueueAndTellsWhetherOthersStay) {
    // A waiter on another key of the same bucket never counts as "more".
    const pl::Key a = same_bucket_key(80), b = same_bucket_key(81);
    for (bool other_on_a : {false, true}) {
        SCOPED_TRACE(other_on_a ? "another waiter on the key" : "alone on the key");
        Team team;
        Parked on_b, other;
        ASSERT_TRUE(park_one(team, b, 7, on_b, 1));
        if (other_on_a) {
            ASSERT_TRUE(park_one(team, a, 8, other, 1));
        }
        int calls = 0;
        bool more = !other_on_a;
        const auto r = pl::park_until(
            a, 9, [] { return true; }, *Instant::now().checked_add(2'000'000), [&](bool m) {
                ++calls;
                more = m;
            });
        EXPECT_EQ(r.status, pl::ParkStatus::TimedOut);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(more, other_on_a);
        // Only our record left: the others are still queued, in order.
        if (other_on_a) {
            EXPECT_EQ(unpark_all(a, 0), (std::vector<pl::ParkToken>{8}));
        }
        EXPECT_EQ(unpark_all(b, 0), (std::vector<pl::ParkToken>{7}));
        team.join();
        EXPECT_EQ(pl::waiters_on(a) + pl::waiters_on(b), 0u);
    }
    // Woken before its deadline, a timed park reports what the waker decided.
    Team team;
    std::atomic<int> calls{0};
    pl::ParkResult r{pl::ParkStatus::Invalid, 0};
    team.spawn([&] {
        r = pl::park_until(a, 9, [] { return true; }, kFarFuture, [&](bool) { calls.fetch_add(1); });
    });
    ASSERT_TRUE(parked_on(a, 1));
    EXPECT_EQ(unpark_all(a, pl::kUnparkHandoff), (std::vector<pl::ParkToken>{9}));
    team.join();
    EXPECT_TRUE(r.handed_off());
    EXPECT_EQ(calls.load(), 0);
}
