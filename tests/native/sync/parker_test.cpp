// Parker: one-permit semantics (a permit left before the park is kept and
// does not accumulate; timed parks expire without one), wake-ups across
// threads (with the regression of a lost permit), and the platform clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "../bounded.h"
#include "base/platform.h"
#include "sync/parker.h"

using quorvel::platform::Instant;
using quorvel::sync::Parker;
using quorvel::test::kScale;
using quorvel::test::run_bounded;

namespace {
constexpr uint64_t kMs = 1'000'000;
Instant in_ms(uint64_t n) { return Instant::now().checked_add(n * kMs).value(); }
}  // namespace

TEST(Parker, OnePermitIsKeptNoneAccumulateAndATimedParkWithoutOneExpires) {
    Parker p;
    const Instant start = Instant::now();
    EXPECT_FALSE(p.park_until(start.checked_add(20 * kMs).value()));
    EXPECT_GE(Instant::now().saturating_since(start), 20 * kMs);

    p.unpark();
    p.unpark();
    p.park();  // returns at once: the permit was kept
    EXPECT_FALSE(p.park_until(in_ms(2))) << "two unparks left two permits";
    p.unpark();
    EXPECT_TRUE(p.park_until(in_ms(20'000)));
}

TEST(Parker, UnparkFromAnotherThreadWakesParkedOwner) {
    // Ping-pong many times: a lost wake-up would leave one side parked until
    // the one-second deadline, which the test reports as a failure.
    Parker a, b;
    constexpr int kRounds = 20000;
    std::atomic<int> lost{0};
    std::thread peer([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!b.park_until(in_ms(1000))) lost++;
            a.unpark();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        b.unpark();
        if (!a.park_until(in_ms(1000))) lost++;
    }
    peer.join();
    EXPECT_EQ(lost.load(), 0);
}

// Regression: the owner took a permit that was already there with an
// exchange to PARKED followed by a store of EMPTY, and an unpark landing
// between the two was overwritten. Zero-channel hand-overs, which leave stale
// permits behind, then lost wake-ups. Each round here leaves a stale permit,
// then sets the flag and unparks after a varying delay; a round whose flag
// was set but whose owner slept until its time-out is a lost wake-up.
TEST(Parker, UnparkWhileAStalePermitIsTakenIsNotLost) {
    run_bounded("parker permits", [] {
        Parker p;
        std::atomic<int> go{0}, ack{0};
        const int n = 20000 * kScale;
        std::thread waker([&] {
            uint32_t x = 12345;
            for (int r = 1; r <= n; ++r) {
                while (ack.load() < r - 1) {
                }
                p.unpark();  // stale by the time the owner parks
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                for (uint32_t i = 0; i < (x & 63); ++i) quorvel::platform::cpu_relax();
                go.store(r);
                p.unpark();
            }
        });
        bool lost = false;
        for (int r = 1; r <= n; ++r) {
            while (go.load() != r) {
                if (!p.park_until(in_ms(2000)) && go.load() == r) lost = true;
            }
            ack.store(r);
            if (lost) {
                ADD_FAILURE() << "round " << r << " slept through its wake-up";
                ack.store(n);  // lets the waker run through its remaining rounds
                break;
            }
        }
        waker.join();
    });
}

TEST(Instant, CheckedAddDetectsOverflow) {
    const Instant now = Instant::now();
    EXPECT_FALSE(now.checked_add(UINT64_MAX).has_value());
    EXPECT_FALSE(now.checked_add(Instant::kMaxNs).has_value());
    ASSERT_TRUE(now.checked_add(5).has_value());
    EXPECT_EQ(now.checked_add(5)->ns, now.ns + 5);
}
