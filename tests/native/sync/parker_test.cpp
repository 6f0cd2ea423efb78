// Parker: one-permit semantics, timed parks, and the platform clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sync/parker.h"
#include "base/platform.h"

using quorvel::platform::Instant;
using quorvel::sync::Parker;

TEST(Parker, TimedParkExpires) {
    Parker p;
    const Instant start = Instant::now();
    EXPECT_FALSE(p.park_until(start.checked_add(20'000'000).value()));
    EXPECT_GE(Instant::now().saturating_since(start), 20'000'000u);
}

TEST(Parker, UnparkFromAnotherThreadWakesParkedOwner) {
    // Ping-pong many times: a lost wake-up would leave one side parked until
    // the one-second deadline, which the test reports as a failure.
    Parker a, b;
    constexpr int kRounds = 20000;
    std::atomic<int> lost{0};
    std::thread peer([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!b.park_until(Instant::now().checked_add(1'000'000'000).value())) lost++;
            a.unpark();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        b.unpark();
        if (!a.park_until(Instant::now().checked_add(1'000'000'000).value())) lost++;
    }
    peer.join();
    EXPECT_EQ(lost.load(), 0);
}

TEST(Instant, CheckedAddDetectsOverflow) {
    const Instant now = Instant::now();
    EXPECT_FALSE(now.checked_add(UINT64_MAX).has_value());
    EXPECT_FALSE(now.checked_add(Instant::kMaxNs).has_value());
    ASSERT_TRUE(now.checked_add(5).has_value());
    EXPECT_EQ(now.checked_add(5)->ns, now.ns + 5);
}
