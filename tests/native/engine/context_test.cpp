// Tests of what sits under every wait: the per-thread context cache (reuse,
// nesting, thread exit), wait_until's deadline rule, the parker's one-permit
// semantics (with the regression of a lost permit), the wait lists' choice
// and disconnection rules, and the back-off steps. Every wait that involves
// another thread is bounded by run_bounded.
#include "test_support.h"

namespace engine_test {
namespace {

TEST(WaitContextCache, ReusedAcrossWaitsAndFreshWhenNested) {
    run_bounded("context cache", [] {
        const AllocSnapshot before;
        WaitContext* outer = nullptr;
        WaitContext* inner = nullptr;
        WaitContext::with([&](WaitContext& cx) {
            outer = &cx;
            EXPECT_TRUE(cx.selected().is_waiting());
            EXPECT_TRUE(cx.try_select(Selected::aborted()));
            WaitContext::with([&](WaitContext& nested) { inner = &nested; });
        });
        EXPECT_NE(outer, inner);
        // The nested context was for that call only; the cached one stays.
        EXPECT_EQ(before.delta(AllocKind::Context), 1);
        WaitContext::with([&](WaitContext& cx) {
            EXPECT_EQ(&cx, outer);
            EXPECT_TRUE(cx.selected().is_waiting()) << "with() resets the selection";
        });
    });
}

// A context is released with its thread; a wait during thread exit, after the
// cache has been torn down, still works with a fresh one.
TEST(WaitContextCache, ThreadExitReleasesTheContextAndLateWaitsStillWork) {
    const AllocSnapshot before;
    struct WaitsAtExit {
        ChannelReceiver<Instant>* timer = nullptr;
        bool* fired = nullptr;
        ~WaitsAtExit() {
            if (!timer) return;
            Select sel;
            sel.recv(*timer);
            SelectedOperation op = sel.select();
            *fired = op.recv(*timer).ok();
        }
    };
    bool fired = false;
    ChannelReceiver<Instant> timer = after(ms(2));
    run_bounded("wait at thread exit", [&] {
        std::thread t([&] {
            static thread_local WaitsAtExit late;
            late.timer = &timer;  // constructed before the context cache, so destroyed after it
            late.fired = &fired;
            WaitContext::with([](WaitContext&) {});
        });
        t.join();
    });
    EXPECT_TRUE(fired);
    EXPECT_EQ(before.delta(AllocKind::Context), 0);
}

TEST(WaitContextWait, DeadlinePassingAbortsUnlessSomebodyChoseFirst) {
    WaitContext::with([](WaitContext& cx) {
        const Instant start = Instant::now();
        EXPECT_EQ(cx.wait_until(start.checked_add(ms(5))).kind(), Selected::Kind::Aborted);
        EXPECT_GE(Instant::now().saturating_since(start), ms(5));
    });
    WaitContext::with([](WaitContext& cx) {
        int marker = 0;
        const Operation op = Operation::hook(&marker);
        ASSERT_TRUE(cx.try_select(Selected::operation(op)));
        // Already chosen: the passed deadline does not override it.
        const Selected s = cx.wait_until(Instant::now());
        EXPECT_EQ(s.kind(), Selected::Kind::Operation);
        EXPECT_EQ(s.operation(), op);
        Selected found = Selected::waiting();
        EXPECT_FALSE(cx.try_select(Selected::disconnected(), &found));
        EXPECT_EQ(found, Selected::operation(op));
    });
}

TEST(Wakers, AThreadNeverChoosesItsOwnEntry) {
    run_bounded("own entry", [] {
        Waker waker;
        int a, b;
        WaitContext::with([&](WaitContext& cx) {
            waker.register_with_packet(Operation::hook(&a), &b, cx);
            EXPECT_FALSE(waker.can_select());
            EXPECT_FALSE(waker.try_select().has_value());
            EXPECT_TRUE(cx.selected().is_waiting());

            std::optional<WaiterEntry> chosen;
            std::thread other([&] {
                EXPECT_TRUE(waker.can_select());
                chosen = waker.try_select();
            });
            other.join();
            ASSERT_TRUE(chosen.has_value());
            EXPECT_EQ(chosen->oper, Operation::hook(&a));
            EXPECT_EQ(cx.selected(), Selected::operation(Operation::hook(&a)));
            EXPECT_EQ(cx.wait_packet(), &b);
            EXPECT_TRUE(waker.is_empty());
        });
    });
}

TEST(Wakers, DisconnectWakesEveryWaiterAndLeavesTheEntries) {
    run_bounded("disconnect", [] {
        Waker waker;
        std::mutex mu;
        constexpr int kWaiters = 3;
        std::atomic<int> registered{0};
        std::vector<std::thread> ts;
        for (int i = 0; i < kWaiters; ++i) {
            ts.emplace_back([&] {
                WaitContext::with([&](WaitContext& cx) {
                    int token = 0;
                    const Operation op = Operation::hook(&token);
                    {
                        std::lock_guard<std::mutex> g(mu);
                        waker.register_op(op, cx);
                    }
                    registered.fetch_add(1);
                    EXPECT_EQ(cx.wait_until(std::nullopt).kind(), Selected::Kind::Disconnected);
                    std::lock_guard<std::mutex> g(mu);
                    EXPECT_TRUE(waker.unregister(op).has_value()) << "disconnect leaves entries in place";
                });
            });
        }
        ASSERT_TRUE(eventually([&] { return registered.load() == kWaiters; }));
        {
            std::lock_guard<std::mutex> g(mu);
            waker.disconnect();
        }
        for (auto& t : ts) t.join();
        EXPECT_TRUE(waker.is_empty());
    });
}

TEST(Parker, PermitBeforeParkIsKeptAndDoesNotAccumulate) {
    quorvel::sync::Parker p;
    p.unpark();
    p.unpark();
    p.park();  // returns at once
    EXPECT_FALSE(p.park_until(Instant::now().checked_add(ms(2)).value()));
    p.unpark();
    EXPECT_TRUE(p.park_until(Instant::now().checked_add(ms(20'000)).value()));
}

// Regression: the owner took a permit that was already there with an
// exchange to PARKED followed by a store of EMPTY, and an unpark landing
// between the two was overwritten. Zero-channel hand-overs, which leave stale
// permits behind, then lost wake-ups. Each round here leaves a stale permit,
// then sets the flag and unparks after a varying delay; a round whose flag
// was set but whose owner slept until its time-out is a lost wake-up.
TEST(Parker, UnparkWhileAStalePermitIsTakenIsNotLost) {
    run_bounded("parker permits", [] {
        quorvel::sync::Parker p;
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
                if (!p.park_until(Instant::now().checked_add(ms(2000)).value()) && go.load() == r) lost = true;
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

TEST(Backoff, SpinsSevenTimesThenYieldsFourTimesBeforeParking) {
    Backoff b;
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(b.is_completed());
        b.snooze();
    }
    EXPECT_EQ(b.step(), 7u);  // spin hints 1, 2, 4 ... 64
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(b.is_completed());
        b.snooze();
    }
    EXPECT_TRUE(b.is_completed());
    b.snooze();
    EXPECT_EQ(b.step(), 11u);

    Backoff s;
    for (int i = 0; i < 100; ++i) s.spin();
    EXPECT_EQ(s.step(), 7u) << "spin alone never completes the back-off";
    EXPECT_FALSE(s.is_completed());
}

}  // namespace
}  // namespace engine_test
