// RawRwLock: writer preference, recursive shared attempts, the phase-2 wake-up
// by the last reader, hand-off on fair releases, reader-count overflow, and
// exclusion under churn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../bounded.h"
#include "probes.h"
#include "base/panic.h"
#include "sync/parking_lot.h"
#include "sync/rwlock.h"

namespace pl = quorvel::sync::parking_lot;
using quorvel::platform::Instant;
using quorvel::sync::RawRwLock;
using quorvel::sync::RW_PARKED;
using quorvel::sync::RW_READER_UNIT;
using quorvel::sync::RW_READERS_MASK;
using quorvel::sync::RW_WRITER;
using quorvel::sync::RW_WRITER_PARKED;
using quorvel::sync::RwLockProbe;
using quorvel::test::eventually;
using quorvel::test::kFarFuture;
using quorvel::test::parked_on;
using quorvel::test::wait_for;
using quorvel::test::Team;

namespace {

// A thread that takes the lock (shared or exclusive), reports it, and holds
// it until released.
struct Holder {
    std::atomic<bool> in{false};
    std::atomic<bool> release{false};

    void read(RawRwLock& l, bool recursive = false) {
        l.lock_shared(recursive);
        in.store(true);
        wait_for(release);
        l.unlock_shared();
    }
    void write(RawRwLock& l) {
        l.lock_exclusive();
        in.store(true);
        wait_for(release);
        l.unlock_exclusive();
    }
};

}  // namespace

TEST(RawRwLock, SharedAndExclusiveExcludeEachOther) {
    RawRwLock l;
    ASSERT_TRUE(l.try_lock_shared(false));
    ASSERT_TRUE(l.try_lock_shared_fast(false));
    EXPECT_EQ(RwLockProbe::readers(l), 2u);
    EXPECT_FALSE(l.try_lock_exclusive());
    l.unlock_shared();
    l.unlock_shared();
    ASSERT_TRUE(l.try_lock_exclusive());
    EXPECT_FALSE(l.try_lock_exclusive());
    EXPECT_FALSE(l.try_lock_shared(false));
    EXPECT_FALSE(l.try_lock_shared_fast(false));
    l.unlock_exclusive();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLock, RecursiveAttemptFailsWhenAWriterHoldsTheLockWithNoReaders) {
    RawRwLock l;
    l.lock_exclusive();
    EXPECT_FALSE(l.try_lock_shared(true));
    EXPECT_FALSE(l.try_lock_shared_fast(true));
    // The blocking form waits for the writer like anyone else.
    Holder r;
    Team team;
    team.spawn([&] { r.read(l, /*recursive=*/true); });
    ASSERT_TRUE(parked_on(RwLockProbe::primary(l), 1));
    EXPECT_FALSE(r.in.load());
    l.unlock_exclusive();
    ASSERT_TRUE(eventually([&] { return r.in.load(); }));
    r.release.store(true);
    team.join();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockWriterPreference, ClaimedWriterKeepsNewReadersOutWhileOldReadersLeave) {
    RawRwLock l;
    const pl::Key primary = RwLockProbe::primary(l), secondary = RwLockProbe::secondary(l);
    Holder writer, late_reader;
    Team team;

    l.lock_shared(false);  // an old reader, inside before the writer comes
    team.spawn([&] { writer.write(l); });
    ASSERT_TRUE(parked_on(secondary, 1));  // claimed RW_WRITER, waits for us in phase 2
    EXPECT_EQ(RwLockProbe::state(l), RW_READER_UNIT | RW_WRITER | RW_WRITER_PARKED);

    // New readers are turned away, although only readers are inside.
    EXPECT_FALSE(l.try_lock_shared_fast(false));
    EXPECT_FALSE(l.try_lock_shared(false));
    team.spawn([&] { late_reader.read(l); });
    ASSERT_TRUE(parked_on(primary, 1));
    EXPECT_EQ(RwLockProbe::state(l), RW_READER_UNIT | RW_WRITER | RW_WRITER_PARKED | RW_PARKED);

    // The old reader leaves: the writer gets in before the late reader.
    l.unlock_shared();
    ASSERT_TRUE(eventually([&] { return writer.in.load(); }));
    EXPECT_EQ(RwLockProbe::state(l), RW_WRITER | RW_PARKED);
    EXPECT_FALSE(late_reader.in.load());
    EXPECT_EQ(pl::waiters_on(primary), 1u);

    writer.release.store(true);
    ASSERT_TRUE(eventually([&] { return late_reader.in.load(); }));
    late_reader.release.store(true);
    team.join();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockWriterPreference, RecursiveAttemptPassesAWriterWaitingForReaders) {
    RawRwLock l;
    const pl::Key secondary = RwLockProbe::secondary(l);
    Holder writer, recursive_reader;
    Team team;

    l.lock_shared(false);
    team.spawn([&] { writer.write(l); });
    ASSERT_TRUE(parked_on(secondary, 1));

    // A thread already holding a read lock gets another one, in every form.
    EXPECT_TRUE(l.try_lock_shared(true));
    team.spawn([&] { recursive_reader.read(l, /*recursive=*/true); });
    ASSERT_TRUE(eventually([&] { return recursive_reader.in.load(); }));
    EXPECT_EQ(RwLockProbe::readers(l), 3u);
    EXPECT_EQ(RwLockProbe::state(l) & ~RW_READERS_MASK, RW_WRITER | RW_WRITER_PARKED);

    // The writer stays parked until the very last of them is out.
    l.unlock_shared();
    recursive_reader.release.store(true);
    ASSERT_TRUE(eventually([&] { return RwLockProbe::readers(l) == 1; }));
    EXPECT_FALSE(writer.in.load());
    EXPECT_EQ(pl::waiters_on(secondary), 1u);
    l.unlock_shared();
    ASSERT_TRUE(eventually([&] { return writer.in.load(); }));
    writer.release.store(true);
    team.join();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockWriterPreference, LastReaderWakesThePhaseTwoWriterWhichClearsWriterParked) {
    RawRwLock l;
    const pl::Key secondary = RwLockProbe::secondary(l);
    Holder writer;
    Team team;

    for (int i = 0; i < 3; ++i) l.lock_shared(false);
    team.spawn([&] { writer.write(l); });
    ASSERT_TRUE(parked_on(secondary, 1));

    l.unlock_shared();
    l.unlock_shared();
    // Not the last one: nobody woken, the flag stays.
    EXPECT_EQ(RwLockProbe::state(l), RW_READER_UNIT | RW_WRITER | RW_WRITER_PARKED);
    EXPECT_EQ(pl::waiters_on(secondary), 1u);

    l.unlock_shared();
    ASSERT_TRUE(eventually([&] { return writer.in.load(); }));
    EXPECT_EQ(RwLockProbe::state(l), RW_WRITER);
    EXPECT_EQ(pl::waiters_on(secondary), 0u);
    writer.release.store(true);
    team.join();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockFairness, FairReleaseHandsOverToReadersAheadOfTheFirstWriterAndThatWriter) {
    RawRwLock l;
    const pl::Key primary = RwLockProbe::primary(l);
    Holder r1, r2, w2, r3;
    Team team;

    l.lock_exclusive();
    // Queue, oldest first: r1, r2, w2, r3.
    team.spawn([&] { r1.read(l); });
    ASSERT_TRUE(parked_on(primary, 1));
    team.spawn([&] { r2.read(l); });
    ASSERT_TRUE(parked_on(primary, 2));
    team.spawn([&] { w2.write(l); });
    ASSERT_TRUE(parked_on(primary, 3));
    team.spawn([&] { r3.read(l); });
    ASSERT_TRUE(parked_on(primary, 4));

    pl::set_fairness_deadline(primary, Instant{0});
    const uint64_t fair_before = pl::fair_unpark_count();
    l.unlock_exclusive();
    // Two readers counted in, RW_WRITER given to w2, r3 still queued. (w2
    // may already be parked again in phase 2, waiting for r1 and r2.)
    EXPECT_EQ(RwLockProbe::state(l) & ~RW_WRITER_PARKED, 2 * RW_READER_UNIT | RW_WRITER | RW_PARKED);
    EXPECT_EQ(pl::fair_unpark_count(), fair_before + 1);
    ASSERT_TRUE(eventually([&] { return r1.in.load() && r2.in.load(); }));
    EXPECT_EQ(pl::waiters_on(primary), 1u);
    EXPECT_FALSE(w2.in.load());

    r1.release.store(true);
    r2.release.store(true);
    ASSERT_TRUE(eventually([&] { return w2.in.load(); }));
    EXPECT_FALSE(r3.in.load());
    w2.release.store(true);
    ASSERT_TRUE(eventually([&] { return r3.in.load(); }));
    r3.release.store(true);
    team.join();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockFairness, FairReleaseToAWriterFirstInQueueWakesOnlyIt) {
    RawRwLock l;
    const pl::Key primary = RwLockProbe::primary(l);
    Holder w2, r1;
    Team team;

    l.lock_exclusive();
    team.spawn([&] { w2.write(l); });
    ASSERT_TRUE(parked_on(primary, 1));
    team.spawn([&] { r1.read(l); });
    ASSERT_TRUE(parked_on(primary, 2));

    pl::set_fairness_deadline(primary, Instant{0});
    l.unlock_exclusive();
    EXPECT_EQ(RwLockProbe::state(l), RW_WRITER | RW_PARKED);
    ASSERT_TRUE(eventually([&] { return w2.in.load(); }));
    EXPECT_EQ(pl::waiters_on(primary), 1u);
    w2.release.store(true);
    ASSERT_TRUE(eventually([&] { return r1.in.load(); }));
    r1.release.store(true);
    team.join();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockFairness, DeadlineAheadMeansNoHandOffUnlessForced) {
    RawRwLock l;
    const pl::Key primary = RwLockProbe::primary(l);
    pl::set_fairness_deadline(primary, kFarFuture);
    const uint64_t fair_before = pl::fair_unpark_count();
    Team team;

    // Normal release: the word is let go; the woken reader counts itself in.
    Holder r1;
    l.lock_exclusive();
    team.spawn([&] { r1.read(l); });
    ASSERT_TRUE(parked_on(primary, 1));
    l.unlock_exclusive();
    ASSERT_TRUE(eventually([&] { return r1.in.load(); }));
    EXPECT_EQ(RwLockProbe::state(l), RW_READER_UNIT);
    r1.release.store(true);
    team.join();

    // unlock_exclusive_fair counts the reader in before it runs.
    Holder r2;
    l.lock_exclusive();
    team.spawn([&] { r2.read(l); });
    ASSERT_TRUE(parked_on(primary, 1));
    l.unlock_exclusive_fair();
    EXPECT_EQ(RwLockProbe::state(l), RW_READER_UNIT);
    EXPECT_FALSE(l.try_lock_exclusive());
    ASSERT_TRUE(eventually([&] { return r2.in.load(); }));
    r2.release.store(true);
    team.join();
    EXPECT_EQ(pl::fair_unpark_count(), fair_before);
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLock, ReaderCountOverflowPanicsAndChangesNothing) {
    RawRwLock l;
    // One unit below full: the last reader still fits.
    RwLockProbe::seed(l, RW_READERS_MASK - RW_READER_UNIT);
    EXPECT_TRUE(l.try_lock_shared(false));
    EXPECT_EQ(RwLockProbe::state(l), RW_READERS_MASK);

    // Full: the fast form just fails; the others report the overflow.
    EXPECT_FALSE(l.try_lock_shared_fast(false));
    for (bool recursive : {false, true}) {
        try {
            l.try_lock_shared(recursive);
            ADD_FAILURE() << "try_lock_shared did not panic";
        } catch (const quorvel::Panic& e) {
            EXPECT_EQ(e.message(), "RwLock reader count overflow");
        }
        try {
            l.lock_shared(recursive);
            ADD_FAILURE() << "lock_shared did not panic";
        } catch (const quorvel::Panic& e) {
            EXPECT_EQ(e.message(), "RwLock reader count overflow");
        }
    }
    EXPECT_EQ(RwLockProbe::state(l), RW_READERS_MASK);
    l.unlock_shared();
    EXPECT_EQ(RwLockProbe::state(l), RW_READERS_MASK - RW_READER_UNIT);
    RwLockProbe::seed(l, 0);
}

TEST(RawRwLockStress, ReadersNeverSeeAHalfDoneWriteAndNobodyStaysAsleep) {
    // Writers keep two plain fields equal; readers, some of them taking a
    // second, recursive read lock the way a nested read guard does, check
    // that they are. Sixteen threads on two cores: most acquisitions park, and
    // a lost wake-up trips the hang limit.
    constexpr int kWriters = 6, kReaders = 10, kWrites = 6'000, kReads = 12'000;
    RawRwLock l;
    long a = 0, b = 0;  // plain on purpose: only the lock protects them
    std::atomic<int> writers_inside{0}, readers_inside{0}, violations{0};
    Team team;
    team.spawn_n(kWriters + kReaders, [&](int t) {
        if (t < kWriters) {
            for (int i = 0; i < kWrites; ++i) {
                l.lock_exclusive();
                if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) violations.fetch_add(1);
                ++a;
                if (i % 32 == 0) std::this_thread::yield();
                ++b;
                writers_inside.fetch_sub(1);
                l.unlock_exclusive();
            }
        } else {
            for (int i = 0; i < kReads; ++i) {
                l.lock_shared(false);
                readers_inside.fetch_add(1);
                const bool nested = (i + t) % 8 == 0;
                if (nested) l.lock_shared(true);
                if (writers_inside.load() != 0 || a != b) violations.fetch_add(1);
                if (i % 64 == 0) std::this_thread::yield();
                if (nested) l.unlock_shared();
                readers_inside.fetch_sub(1);
                l.unlock_shared();
            }
        }
    });
    team.join("churning readers and writers");
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(a, long(kWriters) * kWrites);
    EXPECT_EQ(b, a);
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}

TEST(RawRwLockStress, LastReaderNeverTouchesALockItsWriterHasFreed) {
    // Lock, unlock, delete: the writer frees the lock as soon as it has had
    // it. The reader lets go the moment the writer waits for it in phase 2,
    // so the writer often gets in before the reader's wake-up has run; that
    // wake-up must not touch the freed word (AddressSanitizer reports it).
    constexpr int kRounds = 1'500;
    for (int round = 0; round < kRounds; ++round) {
        auto* l = new RawRwLock;
        l->lock_shared(false);
        std::atomic<bool> done{false};
        std::thread writer([&] {
            l->lock_exclusive();
            l->unlock_exclusive();
            delete l;
            done.store(true);
        });
        // A busy wait: the window is the writer's few steps from setting the
        // flag to its park validation, and a polling sleep would miss it.
        const auto deadline = std::chrono::steady_clock::now() + quorvel::test::kHangLimit;
        while (!(RwLockProbe::state(*l) & RW_WRITER_PARKED)) {
            if (std::chrono::steady_clock::now() > deadline) quorvel::test::hang_detected("the phase-2 writer");
        }
        l->unlock_shared();  // from here on the lock may be gone
        wait_for(done);
        writer.join();
    }
}

TEST(RawRwLockStress, OverlappingReadersDoNotStarveAWriter) {
    // Four readers overlap so that the lock is never free of readers; without
    // writer preference the writer would wait for ever. The writer starts
    // once every reader is going.
    constexpr int kReaders = 4, kWrites = 50;
    RawRwLock l;
    std::atomic<bool> stop{false};
    std::atomic<int> readers_going{0}, writes{0};
    Team team;
    team.spawn_n(kReaders, [&](int) {
        bool counted = false;
        while (!stop.load()) {
            l.lock_shared(false);
            if (!counted) {
                readers_going.fetch_add(1);
                counted = true;
            }
            std::this_thread::yield();
            l.unlock_shared();
        }
    });
    team.spawn([&] {
        while (readers_going.load() < kReaders) std::this_thread::yield();
        for (int i = 0; i < kWrites; ++i) {
            l.lock_exclusive();
            writes.fetch_add(1);
            l.unlock_exclusive();
        }
    });
    const bool done = eventually([&] { return writes.load() == kWrites; });
    stop.store(true);
    team.join();
    EXPECT_TRUE(done) << "the writer got in " << writes.load() << " times";
    EXPECT_EQ(RwLockProbe::state(l), 0u);
}
