// Tests of what sits under every wait: the per-thread context cache (reuse,
// nesting, thread exit), wait_until's deadline rule, the wait lists' choice
// and disconnection rules, and when wakers unpark. (The parker and the
// back-off schedules are tested with the lock engine, in ../sync.) Every wait
// that involves another thread is bounded by run_bounded.
#include "test_support.h"

#include <fstream>
#include <string>

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
        constexpr int kWaiters = 20;  // more than a WakeBatch holds: the rest are woken at once
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
            WakeBatch wakes;
            std::lock_guard<std::mutex> g(mu);
            waker.disconnect(wakes);
        }
        for (auto& t : ts) t.join();
        EXPECT_TRUE(waker.is_empty());
    });
}

// Whether thread `tid` of this process is asleep (state S in /proc).
bool thread_sleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');  // the name may hold spaces
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// A waker only marks the chosen or disconnected owner under the list's mutex;
// the owner is unparked when the chosen entry (or the batch of a disconnect)
// is let go, after that mutex is released.
TEST(Wakers, OwnersAreUnparkedOnlyWhenTheWakerLetsGoOfTheEntryOrBatch) {
    for (const bool disconnect : {false, true}) {
        run_bounded("deferred unpark", [&] {
            Waker waker;
            std::mutex mu;
            std::atomic<pid_t> tid{0};
            std::atomic<bool> woke{false};
            std::thread owner([&] {
                WaitContext::with([&](WaitContext& cx) {
                    int token = 0;
                    const Operation op = Operation::hook(&token);
                    {
                        std::lock_guard<std::mutex> g(mu);
                        waker.register_op(op, cx);
                    }
                    tid.store(pid_t(quorvel::platform::os_thread_id()));
                    (void)cx.wait_until(std::nullopt);
                    woke.store(true);
                    std::lock_guard<std::mutex> g(mu);
                    (void)waker.unregister(op);
                });
            });
            ASSERT_TRUE(eventually([&] { return tid.load() != 0 && thread_sleeps(tid.load()); }));
            {
                std::optional<WaiterEntry> chosen;
                WakeBatch wakes;
                {
                    std::lock_guard<std::mutex> g(mu);
                    if (disconnect) {
                        waker.disconnect(wakes);
                    } else {
                        chosen = waker.try_select();
                        ASSERT_TRUE(chosen.has_value());
                    }
                }
                // Marked but not woken: the owner sleeps on until we let go.
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                EXPECT_FALSE(woke.load()) << (disconnect ? "disconnect" : "try_select") << " unparked at once";
            }
            ASSERT_TRUE(eventually([&] { return woke.load(); }));
            owner.join();
        });
    }
}

}  // namespace
}  // namespace engine_test
