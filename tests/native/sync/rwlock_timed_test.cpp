// RawRwLock timed acquisitions: a timed-out attempt leaves no trace (no share
// or claim, no parked bit, nobody left asleep), a writer timing out in phase 2
// lets in the readers its claim held back, and a hand-off racing a deadline is
// never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../bounded.h"
#include "probes.h"
#include "sync/parking_lot.h"
#include "sync/rwlock.h"

namespace pl = quorvel::sync::parking_lot;
using quorvel::platform::Instant;
using quorvel::sync::RawRwLock;
using quorvel::sync::RW_READER_UNIT;
using quorvel::sync::RwLockProbe;
using quorvel::test::eventually;
using quorvel::test::kScale;
using quorvel::test::parked_on;
using quorvel::test::Team;

namespace {

Instant in_us(uint64_t us) { return *Instant::now().checked_add(us * 1000); }

enum class Mode { Read, Write };

}  // namespace

TEST(RawRwLockTimed, TimedOutAttemptLeavesTheLockAsItWasAndUsable) {
    // held: what the test thread holds; attempt: the timed acquisition that
    // must fail; queued: an untimed reader parked behind the holder, whose
    // RW_PARKED the timed-out attempt must keep (and who must still get in).
    struct Case {
        const char* name;
        Mode held;
        Mode attempt;
        bool recursive;
        uint64_t wait_us;  // 0: a deadline already passed
        bool queued;
    };
    const Case cases[] = {
        {"read vs write", Mode::Write, Mode::Read, false, 2'000, false},
        {"recursive read vs write", Mode::Write, Mode::Read, true, 2'000, false},
        {"write vs write", Mode::Write, Mode::Write, false, 2'000, false},
        {"write vs read (phase 2)", Mode::Read, Mode::Write, false, 2'000, false},
        {"write vs write, passed", Mode::Write, Mode::Write, false, 0, false},
        {"write vs read, passed", Mode::Read, Mode::Write, false, 0, false},
        {"read vs write, queued", Mode::Write, Mode::Read, false, 2'000, true},
        {"write vs write, queued", Mode::Write, Mode::Write, false, 2'000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawRwLock l;
        if (c.held == Mode::Read) {
            l.lock_shared(false);
        } else {
            l.lock_exclusive();
        }
        Team team;
        std::atomic<bool> queued_in{false};
        if (c.queued) {
            team.spawn([&] {
                l.lock_shared(false);
                queued_in.store(true);
                l.unlock_shared();
            });
            ASSERT_TRUE(parked_on(RwLockProbe::primary(l), 1));
        }
        const uint64_t before = RwLockProbe::state(l);
        const Instant deadline = c.wait_us ? in_us(c.wait_us) : Instant{0};
        const bool got = c.attempt == Mode::Read ? l.try_lock_shared_until(c.recursive, deadline)
                                                 : l.try_lock_exclusive_until(deadline);
        EXPECT_FALSE(got);
        EXPECT_EQ(RwLockProbe::state(l), before);
        EXPECT_EQ(pl::waiters_on(RwLockProbe::primary(l)), c.queued ? 1u : 0u);
        EXPECT_EQ(pl::waiters_on(RwLockProbe::secondary(l)), 0u);
        if (c.held == Mode::Read) {
            l.unlock_shared();
        } else {
            l.unlock_exclusive();
        }
        team.join("the queued reader");
        EXPECT_EQ(queued_in.load(), c.queued);
        // Fully usable: both timed forms succeed at once on the free lock.
        EXPECT_EQ(RwLockProbe::state(l), 0u);
        ASSERT_TRUE(l.try_lock_exclusive_until(Instant{0}));
        l.unlock_exclusive();
        ASSERT_TRUE(l.try_lock_shared_until(false, Instant{0}));
        l.unlock_shared();
        EXPECT_EQ(RwLockProbe::state(l), 0u);
    }
}

TEST(RawRwLockTimed, WriterTimingOutInPhaseTwoLetsTheReadersBehindItIn) {
    RawRwLock l;
    l.lock_shared(false);  // the reader the writer waits for; held throughout
    Team team;
    std::atomic<bool> writer_got{true};
    // Three seconds leave the readers ample time to park even under a sanitizer
    // on a loaded machine; the test waits out the whole deadline.
    team.spawn([&] { writer_got.store(l.try_lock_exclusive_until(in_us(3'000'000))); });
    ASSERT_TRUE(parked_on(RwLockProbe::secondary(l), 1));  // claimed RW_WRITER, phase 2
    constexpr int kReaders = 3;
    std::atomic<int> readers_in{0};
    std::atomic<bool> release{false};
    team.spawn_n(kReaders, [&](int) {
        l.lock_shared(false);  // barred by the claim: parks
        readers_in.fetch_add(1);
        quorvel::test::wait_for(release);
        l.unlock_shared();
    });
    ASSERT_TRUE(parked_on(RwLockProbe::primary(l), kReaders));
    // The writer's deadline passes while we still read: it must give up its
    // claim and wake the readers, who get in alongside us.
    ASSERT_TRUE(eventually([&] { return readers_in.load() == kReaders; }));
    EXPECT_FALSE(writer_got.load());
    EXPECT_EQ(RwLockProbe::state(l), uint64_t(kReaders + 1) * RW_READER_UNIT);
    release.store(true);
    team.join("the readers");
    l.unlock_shared();
    EXPECT_EQ(RwLockProbe::state(l), 0u);
    ASSERT_TRUE(l.try_lock_exclusive());
    l.unlock_exclusive();
}

TEST(RawRwLockTimedStress, HandOffsRacingDeadlinesAreNeverLost) {
    // Writers release fairly, so every release with a waiter hands the lock
    // over, while timed waiters give up after a few microseconds: some hand-offs
    // land on a thread whose deadline just passed. A lost one leaves the lock
    // held (the untimed threads hang, the final word is not 0); a timed-out
    // attempt that kept something breaks exclusion or the counts.
    constexpr int kTimed = 4, kUntimed = 4;
    const int rounds = 1'000 * kScale;
    RawRwLock l;
    long writes = 0;  // plain: only the lock protects it
    std::atomic<long> writes_reported{0}, reads_reported{0}, timeouts{0};
    std::atomic<int> writers_inside{0}, readers_inside{0}, violations{0};
    auto write_section = [&] {
        if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) violations.fetch_add(1);
        ++writes;
        if (writes % 4 == 0) std::this_thread::yield();  // let waiters queue up
        writers_inside.fetch_sub(1);
        l.unlock_exclusive_fair();
        writes_reported.fetch_add(1);
    };
    auto read_section = [&] {
        readers_inside.fetch_add(1);
        if (writers_inside.load() != 0) violations.fetch_add(1);
        std::this_thread::yield();
        readers_inside.fetch_sub(1);
        l.unlock_shared();
        reads_reported.fetch_add(1);
    };
    Team team;
    team.spawn_n(kTimed + kUntimed, [&](int t) {
        for (int i = 0; i < rounds; ++i) {
            const bool write = (i + t) % 3 != 0;
            if (t < kTimed) {
                const Instant deadline = in_us(uint64_t((i * 7 + t) % 40));
                if (write ? l.try_lock_exclusive_until(deadline) : l.try_lock_shared_until(false, deadline)) {
                    write ? write_section() : read_section();
                } else {
                    timeouts.fetch_add(1);
                }
            } else if (write) {
                l.lock_exclusive();
                write_section();
            } else {
                l.lock_shared(false);
                read_section();
            }
        }
    });
    team.join("timed and untimed lockers");
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(writes, writes_reported.load());
    EXPECT_EQ(writes_reported.load() + reads_reported.load() + timeouts.load(),
              long(kTimed + kUntimed) * rounds);
    EXPECT_EQ(RwLockProbe::state(l), 0u);
    EXPECT_EQ(pl::waiters_on(RwLockProbe::primary(l)), 0u);
    EXPECT_EQ(pl::waiters_on(RwLockProbe::secondary(l)), 0u);
}
