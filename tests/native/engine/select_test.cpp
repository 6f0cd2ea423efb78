// Select tests: the first pass, readiness appearing during registration, the
// re-check before parking, deadlines (caller's, timers', zero, overflowing),
// the seeded shuffle, the rules for completing a SelectedOperation, and the
// timer receivers. Test hooks make a counterpart act at an exact point of a
// wait; the rest assert outcomes and counters, with lower bounds on time only.
#include <algorithm>
#include <set>

#include "test_support.h"

namespace engine_test {
namespace {

using A = TestAccess;

// Installs a select-registration hook on the calling thread for its lifetime.
class RegistrationHook {
public:
    template <class F>
    explicit RegistrationHook(F& f) {
        WaitHooks& h = this_thread_wait_hooks();
        h.arg = &f;
        h.after_select_register = [](void* arg, size_t index) { (*static_cast<F*>(arg))(index); };
    }
    ~RegistrationHook() { this_thread_wait_hooks() = {}; }
};

// Installs a before-block hook on the calling thread for its lifetime.
class BeforeBlockHook {
public:
    template <class F>
    explicit BeforeBlockHook(F& f) {
        WaitHooks& h = this_thread_wait_hooks();
        h.arg = &f;
        h.before_block = [](void* arg) { (*static_cast<F*>(arg))(); };
    }
    ~BeforeBlockHook() { this_thread_wait_hooks() = {}; }
};

TEST(SelectPasses, ReadyOperationIsTakenInTheFirstPassWithoutRegistering) {
    auto [atx, arx] = new_bounded<int>(4);
    auto [ltx, lrx] = new_unbounded<int>();
    ASSERT_TRUE(ltx.send(9).ok());
    const WaitStats before = this_thread_wait_stats();
    Select sel;
    sel.recv(arx);
    const size_t li = sel.recv(lrx);
    SelectedOperation op = sel.select();
    EXPECT_EQ(op.index(), li);
    EXPECT_EQ(*op.recv(lrx).item, 9);
    const WaitStats after = this_thread_wait_stats();
    EXPECT_EQ(after.parks, before.parks);
    EXPECT_EQ(after.select_registrations, before.select_registrations);
}

TEST(SelectPasses, ReadinessAppearingOnALaterOperationDuringRegistrationAborts) {
    // After the first registration, the other channel gets an item: its own
    // registration then reports ready, the wait is abandoned before parking,
    // and that operation is taken.
    auto achan = new_bounded<int>(4);
    auto& atx = achan.first;
    auto& arx = achan.second;
    auto bchan = new_bounded<int>(4);
    auto& btx = bchan.first;
    auto& brx = bchan.second;
    size_t first = SIZE_MAX;
    auto hook = [&](size_t index) {
        if (first != SIZE_MAX) return;
        first = index;
        ASSERT_TRUE((index == 0 ? btx : atx).try_send(int(index)).ok());
    };
    RegistrationHook installed(hook);
    const WaitStats before = this_thread_wait_stats();
    Select sel;
    sel.recv(arx);
    sel.recv(brx);
    SelectedOperation op = sel.select();
    ASSERT_NE(first, SIZE_MAX);
    EXPECT_EQ(op.index(), 1 - first);
    EXPECT_EQ(*op.recv(op.index() == 0 ? arx : brx).item, int(first));
    const WaitStats after = this_thread_wait_stats();
    EXPECT_EQ(after.parks, before.parks);
    EXPECT_EQ(after.select_registrations - before.select_registrations, 2u);
}

TEST(SelectPasses, CounterpartChoosingARegisteredOperationStopsTheRegistration) {
    // Another thread sends on the channel registered first: its notify
    // chooses this thread's entry, so the second operation is never registered.
    auto achan = new_bounded<int>(4);
    auto& atx = achan.first;
    auto& arx = achan.second;
    auto bchan = new_bounded<int>(4);
    auto& btx = bchan.first;
    auto& brx = bchan.second;
    size_t first = SIZE_MAX;
    auto hook = [&](size_t index) {
        if (first != SIZE_MAX) return;
        first = index;
        std::thread counterpart([&] { ASSERT_TRUE((index == 0 ? atx : btx).try_send(7).ok()); });
        counterpart.join();
    };
    RegistrationHook installed(hook);
    const WaitStats before = this_thread_wait_stats();
    Select sel;
    sel.recv(arx);
    sel.recv(brx);
    SelectedOperation op = sel.select();
    EXPECT_EQ(op.index(), first);
    EXPECT_EQ(*op.recv(first == 0 ? arx : brx).item, 7);
    const WaitStats after = this_thread_wait_stats();
    EXPECT_EQ(after.parks, before.parks);
    EXPECT_EQ(after.select_registrations - before.select_registrations, 1u);
    EXPECT_EQ(A::waiting_receivers(A::array(atx)) + A::waiting_receivers(A::array(btx)), 0u);
}

TEST(SelectPasses, ReadyOperationTakenByAnotherThreadMeanwhileMakesTheSelectionWaitAgain) {
    run_bounded("ready then taken", [] {
        auto achan = new_bounded<int>(4);
        auto& atx = achan.first;
        auto& arx = achan.second;
        auto bchan = new_bounded<int>(4);
        auto& btx = bchan.first;
        auto& brx = bchan.second;
        ChannelReceiver<int> thief_a = arx.clone(), thief_b = brx.clone();
        std::atomic<int> calls{0};
        auto hook = [&](size_t index) {
            const int call = calls.fetch_add(1) + 1;
            if (call == 1) {
                ASSERT_TRUE((index == 0 ? btx : atx).try_send(1).ok());
            } else if (call == 2) {
                // Registered and reported ready; take the item before the
                // selection tries it.
                ASSERT_TRUE((index == 0 ? thief_a : thief_b).try_recv().ok());
            }
        };
        RegistrationHook installed(hook);
        std::thread late([&] {
            // Both operations registered a second time: the selection waits again.
            ASSERT_TRUE(eventually([&] { return calls.load() >= 4; }));
            ASSERT_TRUE(atx.try_send(2).ok());
        });
        Select sel;
        sel.recv(arx);
        sel.recv(brx);
        SelectedOperation op = sel.select();
        late.join();
        EXPECT_EQ(op.index(), 0u);
        EXPECT_EQ(*op.recv(arx).item, 2);
        EXPECT_EQ(calls.load(), 4);
    });
}

// A counterpart that acts between the failed attempt and the registration is
// not missed: the re-check after registering aborts the wait. The hook makes
// another thread act exactly there; without the re-check the waiter would
// park for ever, which run_bounded reports.
TEST(SelectWakeups, CounterpartActingBeforeRegistrationIsNotMissed) {
    run_bounded("act before registration", [] {
        for (size_t cap : {0, 1, 4}) {  // 0: the list flavour
            auto chan = cap ? new_bounded<int>(cap) : new_unbounded<int>();
            auto& tx = chan.first;
            auto& rx = chan.second;
            int calls = 0;
            auto send_now = [&] {
                if (++calls == 1) std::thread([&] { ASSERT_TRUE(tx.try_send(11).ok()); }).join();
            };
            {
                BeforeBlockHook installed(send_now);
                EXPECT_EQ(*rx.recv().item, 11) << "cap " << cap;
            }
            EXPECT_EQ(calls, 1);
            if (cap == 0) continue;  // list senders never block

            // The mirror image: a full channel whose receiver frees a slot.
            for (size_t i = 0; i < cap; ++i) ASSERT_TRUE(tx.try_send(int(i)).ok());
            calls = 0;
            auto recv_now = [&] {
                if (++calls == 1) std::thread([&] { ASSERT_TRUE(rx.try_recv().ok()); }).join();
            };
            {
                BeforeBlockHook installed(recv_now);
                EXPECT_TRUE(tx.send(99).ok()) << "cap " << cap;
            }
            EXPECT_EQ(calls, 1);
        }
    });
}

// The same race left to chance: ping-pong many times.
TEST(SelectWakeups, NoLostWakeUpsInBlockingPingPong) {
    run_bounded("blocking ping-pong", [] {
        const int n = 5000 * kScale;
        auto ping_chan = new_bounded<int>(1);
        auto& ping_tx = ping_chan.first;
        auto& ping_rx = ping_chan.second;
        auto pong_chan = new_unbounded<int>();
        auto& pong_tx = pong_chan.first;
        auto& pong_rx = pong_chan.second;
        std::thread peer([&] {
            for (int i = 0; i < n; ++i) {
                RecvResult<int> r = ping_rx.recv();
                ASSERT_TRUE(r.ok());
                ASSERT_TRUE(pong_tx.send(*r.item + 1).ok());
            }
        });
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(ping_tx.send(int(i)).ok());
            ASSERT_EQ(*pong_rx.recv().item, i + 1);
        }
        peer.join();
    });
}

TEST(SelectWakeups, NoLostWakeUpsInSelectingPingPong) {
    run_bounded("selecting ping-pong", [] {
        const int n = 3000 * kScale;
        auto a_chan = new_bounded<int>(1);
        auto& a_tx = a_chan.first;
        auto& a_rx = a_chan.second;
        auto b_chan = new_unbounded<int>();
        auto& b_tx = b_chan.first;
        auto& b_rx = b_chan.second;
        auto z_chan = new_bounded<int>(0);
        auto& z_tx = z_chan.first;
        auto& z_rx = z_chan.second;
        // The peer answers on whichever of two channels the selection picks.
        std::thread peer([&] {
            for (int i = 0; i < n; ++i) {
                Select sel;
                sel.recv(a_rx);
                sel.recv(z_rx);
                SelectedOperation op = sel.select();
                RecvResult<int> r = op.index() == 0 ? op.recv(a_rx) : op.recv(z_rx);
                ASSERT_TRUE(r.ok());
                ASSERT_TRUE(b_tx.send(*r.item).ok());
            }
        });
        for (int i = 0; i < n; ++i) {
            if (i % 2) {
                ASSERT_TRUE(a_tx.send(int(i)).ok());
            } else {
                ASSERT_TRUE(z_tx.send(int(i)).ok());
            }
            Select sel;
            sel.recv(b_rx);
            SelectedOperation op = sel.select();
            ASSERT_EQ(*op.recv(b_rx).item, i);
        }
        peer.join();
    });
}

TEST(SelectDeadlines, TimerEarlierThanTheCallersDeadlineWins) {
    run_bounded("timer wins", [] {
        auto [tx, rx] = new_unbounded<int>();
        const Instant start = Instant::now();
        ChannelReceiver<Instant> timer = after(ms(40));
        Select sel;
        sel.recv(rx);
        const size_t ti = sel.recv(timer);
        SelectOutcome out = sel.select_timeout(ms(20'000));
        ASSERT_FALSE(out.timed_out());
        EXPECT_EQ(out.operation().index(), ti);
        RecvResult<Instant> fired = out.operation().recv(timer);
        ASSERT_TRUE(fired.ok());
        EXPECT_GE(fired.item->ns, start.ns + ms(40));
        EXPECT_GE(Instant::now().saturating_since(start), ms(40));
    });
}

TEST(SelectDeadlines, CallersDeadlineEarlierThanTheTimerWins) {
    run_bounded("caller wins", [] {
        auto [tx, rx] = new_unbounded<int>();
        ChannelReceiver<Instant> timer = after(ms(20'000));
        const Instant start = Instant::now();
        Select sel;
        sel.recv(rx);
        sel.recv(timer);
        SelectOutcome out = sel.select_timeout(ms(30));
        EXPECT_TRUE(out.timed_out());
        EXPECT_GE(Instant::now().saturating_since(start), ms(30));
        EXPECT_EQ(timer.try_recv().status, RecvStatus::Empty);
    });
}

TEST(SelectDeadlines, ZeroDurationStillMakesOneFullAttempt) {
    auto achan = new_bounded<int>(2);
    auto& atx = achan.first;
    auto& arx = achan.second;
    auto [ztx, zrx] = new_bounded<int>(0);
    {
        const WaitStats before = this_thread_wait_stats();
        Select sel;
        sel.recv(arx);
        sel.recv(zrx);
        EXPECT_TRUE(sel.select_timeout(0).timed_out());
        const WaitStats after = this_thread_wait_stats();
        EXPECT_EQ(after.select_registrations - before.select_registrations, 2u);  // every operation registered
        EXPECT_EQ(after.parks, before.parks);
        EXPECT_EQ(A::waiting_receivers(A::array(atx)) + A::waiting_receivers(A::zero(ztx)), 0u);
    }
    {
        // Readiness that appears during that registration is still taken.
        int calls = 0;
        auto hook = [&](size_t) {
            if (++calls == 1) {
                ASSERT_TRUE(atx.try_send(4).ok());
            }
        };
        RegistrationHook installed(hook);
        Select sel;
        sel.recv(arx);
        sel.recv(zrx);
        SelectOutcome out = sel.select_timeout(0);
        ASSERT_FALSE(out.timed_out());
        EXPECT_EQ(*out.operation().recv(arx).item, 4);
    }
}

TEST(SelectDeadlines, OverflowingDurationMeansNoLimit) {
    run_bounded("overflowing duration", [] {
        auto chan = new_bounded<int>(1);
        auto& tx = chan.first;
        auto& rx = chan.second;
        std::thread late([&] {
            ASSERT_TRUE(eventually([&] { return A::registered_receivers(tx) == 1; }));
            ASSERT_TRUE(tx.send(3).ok());
        });
        Select sel;
        sel.recv(rx);
        SelectOutcome out = sel.select_timeout(UINT64_MAX);
        ASSERT_FALSE(out.timed_out());
        EXPECT_EQ(*out.operation().recv(rx).item, 3);
        late.join();

        Select empty;
        try {
            (void)empty.select_timeout(Instant::kMaxNs);
            ADD_FAILURE() << "an empty selection without a limit must fail";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "no operations have been added to `Select`");
        }
    });
}

TEST(SelectDeadlines, EmptySelectionWithADeadlineSleepsUntilIt) {
    const Instant start = Instant::now();
    Select empty;
    EXPECT_TRUE(empty.select_timeout(ms(20)).timed_out());
    EXPECT_GE(Instant::now().saturating_since(start), ms(20));
    try {
        (void)empty.select();
        ADD_FAILURE() << "select() on an empty selection must fail";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "no operations have been added to `Select`");
    }
}

TEST(SelectDeadlines, DisconnectionDuringTheWaitIsChosenByTheSecondPass) {
    run_bounded("disconnect during wait", [] {
        auto [atx, arx] = new_bounded<int>(2);
        auto [ltx, lrx] = new_unbounded<int>();
        std::thread dropper([&, l = std::move(ltx)]() mutable {
            ASSERT_TRUE(eventually([&] { return A::waiting_receivers(A::list(l)) == 1; }));
            auto gone = std::move(l);
        });
        Select sel;
        sel.recv(arx);
        const size_t li = sel.recv(lrx);
        SelectedOperation op = sel.select();
        dropper.join();
        EXPECT_EQ(op.index(), li);
        EXPECT_EQ(op.recv(lrx).status, RecvStatus::Disconnected);
    });
}

// Index chosen first by a selection of n always-ready operations, on a fresh thread.
std::vector<size_t> first_choices(int calls, size_t n, bool interleave_single) {
    std::vector<size_t> out;
    std::thread t([&] {
        auto [tx, rx] = new_unbounded<Unit>();
        std::vector<ChannelSender<Unit>> ends;
        for (size_t i = 0; i < n; ++i) ends.push_back(tx.clone());
        for (int c = 0; c < calls; ++c) {
            if (interleave_single) {
                Select one;
                one.send(ends[0]);
                SelectedOperation op = one.select();
                (void)op.send(ends[0], Unit{});
            }
            Select sel;
            for (auto& e : ends) sel.send(e);
            SelectedOperation op = sel.select();
            out.push_back(op.index());
            (void)op.send(ends[op.index()], Unit{});
        }
    });
    t.join();
    return out;
}

TEST(SelectShuffle, EveryFreshThreadRepeatsTheSameSequenceOfOrders) {
    const std::vector<size_t> a = first_choices(40, 4, false);
    const std::vector<size_t> b = first_choices(40, 4, false);
    EXPECT_EQ(a, b);
    EXPECT_GE(std::set<size_t>(a.begin(), a.end()).size(), 3u) << "the first operation tried changes";
    // A selection of one operation does not consume the generator.
    EXPECT_EQ(first_choices(40, 4, true), a);
}

TEST(SelectShuffle, EveryReadyOperationIsChosenFirstAboutEquallyOften) {
    // Three always-ready operations: none is favoured or starved. The order
    // on a fresh thread is fixed, so this is not a matter of chance: a fair
    // share is a third (100 of 300), and every operation gets at least 60.
    const std::vector<size_t> firsts = first_choices(300, 3, false);
    size_t counts[3] = {0, 0, 0};
    for (size_t i : firsts) ++counts[i];
    for (size_t i = 0; i < 3; ++i) EXPECT_GE(counts[i], 60u) << "operation " << i;
}

// One Select over three item types, as a channel's blocking receive with a
// time limit builds it: the data end, the close signal (contentless items)
// and a timer. Each arm is chosen in its own situation.
TEST(SelectMixed, DataCloseSignalAndTimerArmsInOneSelection) {
    run_bounded("mixed arms", [] {
        DestroyLog log(10);
        auto data_chan = new_bounded<Tracked>(2);
        auto& data_tx = data_chan.first;
        auto& data_rx = data_chan.second;
        auto close_chan = new_bounded<Unit>(0);
        auto& close_tx = close_chan.first;
        auto& close_rx = close_chan.second;
        auto wait = [&](uint64_t timeout) {
            ChannelReceiver<Instant> timer = after(timeout);
            Select sel;
            EXPECT_EQ(sel.recv(data_rx), 0u);
            EXPECT_EQ(sel.recv(close_rx), 1u);
            EXPECT_EQ(sel.recv(timer), 2u);
            SelectedOperation op = sel.select();
            switch (op.index()) {
                case 0: {
                    RecvResult<Tracked> r = op.recv(data_rx);
                    return r.ok() ? r.item->value : -2;
                }
                case 1: return op.recv(close_rx).status == RecvStatus::Disconnected ? int64_t(-10) : -3;
                default: return op.recv(timer).ok() ? int64_t(-20) : -4;
            }
        };
        std::thread later([&] {
            ASSERT_TRUE(eventually([&] { return A::registered_receivers(data_tx) == 1; }));
            ASSERT_TRUE(data_tx.send(Tracked(1)).ok());
        });
        EXPECT_EQ(wait(ms(20'000)), 1);
        later.join();
        EXPECT_EQ(wait(ms(10)), -20);  // nothing arrives: the timer fires
        std::thread closer([c = std::move(close_tx)]() mutable {
            ASSERT_TRUE(eventually([&] { return A::registered_receivers(c) == 1; }));
            auto gone = std::move(c);
        });
        EXPECT_EQ(wait(ms(20'000)), -10);
        closer.join();
        EXPECT_EQ(log.count(1), 1);
    });
}

TEST(SelectedOp, CompletingOnACloneOfTheChosenEndFails) {
    auto [tx, rx] = new_unbounded<int>();
    ASSERT_TRUE(tx.send(1).ok());
    ChannelReceiver<int> rclone = rx.clone();
    {
        Select sel;
        sel.recv(rx);
        SelectedOperation op = sel.select();
        try {
            (void)op.recv(rclone);
            ADD_FAILURE() << "a clone is a different end";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "passed a receiver that wasn't selected");
        }
        EXPECT_FALSE(op.completed());
        EXPECT_EQ(*op.recv(rx).item, 1);  // the right end still completes it
    }
    ChannelSender<int> tclone = tx.clone();
    {
        Select sel;
        sel.send(tx);
        SelectedOperation op = sel.select();
        try {
            (void)op.send(tclone, 2);
            ADD_FAILURE() << "a clone is a different end";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "passed a sender that wasn't selected");
        }
        EXPECT_TRUE(op.send(tx, 3).ok());
    }
    EXPECT_EQ(*rx.try_recv().item, 3);
}

TEST(SelectedOp, DroppingAnUncompletedOperationIsAnInternalFailure) {
    ChannelReceiver<Instant> timer = after(0);
    try {
        Select sel;
        sel.recv(timer);
        {
            SelectedOperation op = sel.select();
        }  // dropped here without recv()
        ADD_FAILURE() << "the drop must report";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "dropped `SelectedOperation` without completing the operation");
    }
    // While another exception unwinds, the drop stays silent instead of
    // ending the process.
    ChannelReceiver<Instant> timer2 = after(0);
    EXPECT_THROW(
        {
            Select sel;
            sel.recv(timer2);
            SelectOutcome out = sel.select_timeout(ms(1000));
            throw std::runtime_error("unrelated");
        },
        std::runtime_error);
    // A list send whose reserved slot is abandoned leaves a channel that can
    // still be torn down.
    AllocSnapshot before;
    {
        auto [tx, rx] = new_unbounded<int>();
        bool raised = false;
        try {
            Select sel;
            sel.send(tx);
            SelectedOperation op = sel.select();
        } catch (const Panic& p) {
            raised = true;
            EXPECT_EQ(p.message(), "dropped `SelectedOperation` without completing the operation");
        }
        EXPECT_TRUE(raised) << "dropping the uncompleted send must report";
        { auto gone = std::move(tx); }
    }
    EXPECT_EQ(before.delta(AllocKind::Record), 0);
    EXPECT_EQ(before.delta(AllocKind::Block), 0);
}

TEST(SelectedOp, OperationIdentifierMustExceedTwo) {
    for (uintptr_t bad : {0, 1, 2}) {
        try {
            (void)Operation::hook(reinterpret_cast<const void*>(bad));
            ADD_FAILURE();
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "assertion failed: val > 2");
        }
    }
    int here;
    EXPECT_EQ(Operation::hook(&here).id(), reinterpret_cast<uintptr_t>(&here));
}

TEST(SelectAlloc, WaitListGrowthFailureTakesEarlierRegistrationsBack) {
    run_bounded("wait-list failure", [] {
        for (int round = 0; round < 10; ++round) {
            // Fresh channels: a wait list keeps its capacity once grown.
            auto [atx, arx] = new_bounded<int>(2);
            auto [btx, brx] = new_bounded<int>(2);
            Select sel;
            sel.recv(arx);
            sel.recv(brx);
            alloc_stats::fail_nth(AllocKind::WaitList, 2);  // the second registration's vector
            EXPECT_THROW((void)sel.select_timeout(ms(1000)), std::bad_alloc);
            EXPECT_EQ(A::waiting_receivers(A::array(atx)), 0u);
            EXPECT_EQ(A::waiting_receivers(A::array(btx)), 0u);
        }
        alloc_stats::fail_nth(AllocKind::WaitList, 0);
    });
}

TEST(Timers, AfterZeroIsReadyAtOnceAndFiresOnce) {
    ChannelReceiver<Instant> timer = after(0);
    EXPECT_EQ(timer.flavor(), Flavor::At);
    EXPECT_FALSE(timer.is_empty());
    auto [tx, rx] = new_bounded<int>(1);
    Select sel;
    sel.recv(rx);
    const size_t ti = sel.recv(timer);
    SelectedOperation op = sel.select();
    EXPECT_EQ(op.index(), ti);
    EXPECT_TRUE(op.recv(timer).ok());
    EXPECT_TRUE(timer.is_empty());
    EXPECT_EQ(timer.try_recv().status, RecvStatus::Empty);
    ChannelReceiver<Instant> clone = timer.clone();  // shares the one delivery
    EXPECT_EQ(clone.try_recv().status, RecvStatus::Empty);
    Select again;
    again.recv(timer);
    EXPECT_TRUE(again.select_timeout(ms(10)).timed_out());
}

TEST(Timers, ExactlyOneOfManyRacingReceiversGetsTheInstant) {
    run_bounded("timer race", [] {
        for (int round = 0; round < 20 * kScale; ++round) {
            ChannelReceiver<Instant> timer = after(ms(1));
            std::atomic<int> fired{0};
            std::vector<std::thread> ts;
            for (int t = 0; t < 3; ++t) {
                ts.emplace_back([&, mine = timer.clone()] {
                    Select sel;
                    sel.recv(mine);
                    SelectOutcome out = sel.select_timeout(ms(5));
                    if (!out.timed_out() && out.operation().recv(mine).ok()) fired.fetch_add(1);
                });
            }
            for (auto& t : ts) t.join();
            ASSERT_EQ(fired.load(), 1);
        }
    });
}

TEST(Timers, HugeDurationGivesANeverReceiver) {
    AllocSnapshot before;
    ChannelReceiver<Instant> a = after(UINT64_MAX);
    ChannelReceiver<Instant> b = after(Instant::kMaxNs);
    EXPECT_EQ(a.flavor(), Flavor::Never);
    EXPECT_EQ(b.flavor(), Flavor::Never);
    EXPECT_EQ(before.delta(AllocKind::Timer), 0);
    EXPECT_EQ(a.try_recv().status, RecvStatus::Empty);
    EXPECT_TRUE(a.is_empty());
    run_bounded("never receiver waits without a limit", [&] {
        auto chan = new_bounded<int>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        std::thread late([&] {
            ASSERT_TRUE(eventually([&] { return A::registered_receivers(tx) == 1; }));
            ASSERT_TRUE(tx.send(8).ok());
        });
        Select sel;
        sel.recv(a);
        const size_t ri = sel.recv(rx);
        SelectedOperation op = sel.select();
        EXPECT_EQ(op.index(), ri);
        EXPECT_EQ(*op.recv(rx).item, 8);
        late.join();
    });
}

TEST(Timers, TimersAreFreedWithTheirLastClone) {
    AllocSnapshot before;
    {
        ChannelReceiver<Instant> t = after(ms(5));
        ChannelReceiver<Instant> c = t.clone();
        { auto gone = std::move(t); }
        EXPECT_EQ(before.delta(AllocKind::Timer), 1);
        run_bounded("timer recv", [&] { EXPECT_TRUE(c.recv().ok()); });
    }
    EXPECT_EQ(before.delta(AllocKind::Timer), 0);
}

TEST(SelectTry, OnePassWithoutRegisteringOrParking) {
    auto [atx, arx] = new_bounded<int>(2);
    auto [ztx, zrx] = new_bounded<int>(0);
    {
        // Nothing ready: no registration, no park, nothing left on a wait list.
        const WaitStats before = this_thread_wait_stats();
        Select sel;
        sel.recv(arx);
        sel.recv(zrx);
        EXPECT_TRUE(sel.try_select().timed_out());
        const WaitStats after = this_thread_wait_stats();
        EXPECT_EQ(after.select_registrations, before.select_registrations);
        EXPECT_EQ(after.parks, before.parks);
        EXPECT_EQ(A::waiting_receivers(A::array(atx)) + A::waiting_receivers(A::zero(ztx)), 0u);
    }
    {
        // One item in two slots, so both are ready: each is taken in some
        // round, and the chosen one completes.
        ASSERT_TRUE(atx.try_send(1).ok());
        Select sel;
        sel.send(atx);
        sel.recv(arx);
        bool seen[2] = {false, false};
        for (int round = 0; round < 64; ++round) {
            SelectOutcome out = sel.try_select();
            ASSERT_FALSE(out.timed_out());
            SelectedOperation& op = out.operation();
            seen[op.index()] = true;
            if (op.index() == 0) {
                ASSERT_TRUE(op.send(atx, 7).ok());
                ASSERT_TRUE(arx.try_recv().ok());
            } else {
                const RecvResult<int> r = op.recv(arx);
                ASSERT_TRUE(r.ok());
                ASSERT_TRUE(atx.try_send(*r.item).ok());
            }
        }
        EXPECT_TRUE(seen[0] && seen[1]);
    }
}

}  // namespace
}  // namespace engine_test
