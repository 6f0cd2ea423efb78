// Zero-capacity flavour tests: non-blocking calls with and without a waiting
// partner, hand-over between every pairing of blocking and selecting parties
// (on-stack and separate packets, all freed), no pairing with oneself, the
// close-signal pattern, a failed packet allocation during registration, and
// a failed send registration that drops no item under the channel mutex.
// Partners are awaited through the wait lists, never through sleeps.
#include "test_support.h"

namespace engine_test {
namespace {

using A = TestAccess;

TEST(Zero, NonBlockingCallsNeedAWaitingPartner) {
    auto [tx, rx] = new_bounded<int>(0);
    SendResult<int> s = tx.try_send(1);
    EXPECT_EQ(s.status, SendStatus::Full);
    EXPECT_EQ(*s.item, 1);
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
    EXPECT_TRUE(rx.is_empty());
}

TEST(Zero, TrySendHandsTheItemToABlockedReceiver) {
    run_bounded("try_send to blocked recv", [] {
        auto chan = new_bounded<Tracked>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        int64_t got = -1;
        std::thread r([&] { got = rx.recv().item->value; });
        ASSERT_TRUE(eventually([&] { return A::waiting_receivers(A::zero(tx)) == 1; }));
        EXPECT_TRUE(tx.try_send(Tracked(42)).ok());
        r.join();
        EXPECT_EQ(got, 42);
        EXPECT_EQ(A::waiting_receivers(A::zero(tx)), 0u);
    });
    EXPECT_EQ(Tracked::live.load(), 0);
}

TEST(Zero, TryRecvTakesTheItemOfABlockedSender) {
    run_bounded("try_recv from blocked send", [] {
        auto chan = new_bounded<Tracked>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        SendStatus status = SendStatus::Full;
        std::thread s([&] { status = tx.send(Tracked(7)).status; });
        ASSERT_TRUE(eventually([&] { return A::waiting_senders(A::zero(tx)) == 1; }));
        RecvResult<Tracked> got = rx.try_recv();
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(got.item->value, 7);
        s.join();
        EXPECT_EQ(status, SendStatus::Sent);
    });
    EXPECT_EQ(Tracked::live.load(), 0);
}

// Every pairing of a blocking and a selecting party, both ways round. The
// separate packets of the selecting side are all freed.
TEST(Zero, HandOverBetweenBlockingAndSelectingParties) {
    run_bounded("zero hand-over", [] {
        const int n = 300 * kScale;
        AllocSnapshot before;
        auto chan = new_bounded<Tracked>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        for (int mode = 0; mode < 4; ++mode) {
            const bool select_send = mode & 1, select_recv = mode & 2;
            std::thread s([&] {
                for (int i = 0; i < n; ++i) {
                    if (select_send) {
                        Select sel;
                        sel.send(tx);
                        SelectedOperation op = sel.select();
                        ASSERT_TRUE(op.send(tx, Tracked(i)).ok());
                    } else {
                        ASSERT_TRUE(tx.send(Tracked(i)).ok());
                    }
                }
            });
            for (int i = 0; i < n; ++i) {
                RecvResult<Tracked> r = RecvResult<Tracked>::empty();
                if (select_recv) {
                    Select sel;
                    sel.recv(rx);
                    SelectedOperation op = sel.select();
                    r = op.recv(rx);
                } else {
                    r = rx.recv();
                }
                ASSERT_TRUE(r.ok());
                ASSERT_EQ(r.item->value, i) << "mode " << mode;
            }
            s.join();
        }
        EXPECT_EQ(before.delta(AllocKind::Packet), 0);
    });
    EXPECT_EQ(Tracked::live.load(), 0);
}

TEST(Zero, SelectOnBothEndsDoesNotPairWithItself) {
    run_bounded("no self pairing", [] {
        auto chan = new_bounded<int>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        {
            Select sel;
            sel.send(tx);
            sel.recv(rx);
            const WaitStats before = this_thread_wait_stats();
            SelectOutcome out = sel.select_timeout(ms(30));
            EXPECT_TRUE(out.timed_out());
            EXPECT_GE(this_thread_wait_stats().select_registrations - before.select_registrations, 2u);
        }
        // With a real partner, the selection pairs with the partner.
        std::thread partner([&] { EXPECT_EQ(rx.recv().item.value_or(-1), 5); });
        Select sel;
        const size_t send_index = sel.send(tx);
        sel.recv(rx);
        SelectedOperation op = sel.select();
        EXPECT_EQ(op.index(), send_index);
        EXPECT_TRUE(op.send(tx, 5).ok());
        partner.join();
    });
}

TEST(Zero, TwoSelectingPartiesPairWithEachOther) {
    run_bounded("select-select pairing", [] {
        AllocSnapshot before;
        auto chan = new_bounded<int>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        const int n = 200 * kScale;
        std::thread s([&] {
            for (int i = 0; i < n; ++i) {
                Select sel;
                sel.send(tx);
                SelectedOperation op = sel.select();
                ASSERT_TRUE(op.send(tx, int(i)).ok());
            }
        });
        for (int i = 0; i < n; ++i) {
            Select sel;
            sel.recv(rx);
            SelectedOperation op = sel.select();
            ASSERT_EQ(*op.recv(rx).item, i);
        }
        s.join();
        EXPECT_EQ(before.delta(AllocKind::Packet), 0);
    });
}

TEST(Zero, CloseSignalWakesASelectionWhenItsLastSenderGoes) {
    run_bounded("close signal", [] {
        auto [data_tx, data_rx] = new_bounded<int>(4);
        auto [close_tx, close_rx] = new_bounded<Unit>(0);
        std::thread closer([c = std::move(close_tx)]() mutable {
            ASSERT_TRUE(eventually([&] { return A::registered_receivers(c) == 1; }));
            auto gone = std::move(c);
        });
        Select sel;
        sel.recv(data_rx);
        const size_t close_index = sel.recv(close_rx);
        SelectedOperation op = sel.select();
        EXPECT_EQ(op.index(), close_index);
        EXPECT_EQ(op.recv(close_rx).status, RecvStatus::Disconnected);
        closer.join();
        // Disconnected for good: every later selection picks it at once.
        Select again;
        again.recv(close_rx);
        SelectedOperation op2 = again.select();
        EXPECT_EQ(op2.recv(close_rx).status, RecvStatus::Disconnected);
    });
}

TEST(Zero, FailedPacketAllocationTakesEveryRegistrationBack) {
    run_bounded("packet allocation failure", [] {
        AllocSnapshot before;
        auto [atx, arx] = new_bounded<int>(2);
        auto [ztx, zrx] = new_bounded<int>(0);
        for (int round = 0; round < 10; ++round) {
            Select sel;
            sel.recv(arx);
            sel.recv(zrx);
            alloc_stats::fail_nth(AllocKind::Packet, 1);
            EXPECT_THROW((void)sel.select_timeout(ms(1000)), std::bad_alloc);
            EXPECT_EQ(A::waiting_receivers(A::array(atx)), 0u);
            EXPECT_EQ(A::waiting_receivers(A::zero(ztx)), 0u);
        }
        // The channels still work.
        ASSERT_TRUE(atx.try_send(3).ok());
        Select sel;
        sel.recv(arx);
        sel.recv(zrx);
        SelectedOperation op = sel.select();
        EXPECT_EQ(op.index(), 0u);
        EXPECT_EQ(*op.recv(arx).item, 3);
        EXPECT_EQ(before.delta(AllocKind::Packet), 0);
    });
}

// An item that, when destroyed, asks another thread whether the channel
// mutex is free: an item must never be dropped while that mutex is held.
struct MutexWitness {
    static inline std::mutex* watched = nullptr;
    static inline std::atomic<int> dropped_under_lock{0}, dropped_free{0};
    bool live = true;

    MutexWitness() = default;
    MutexWitness(MutexWitness&& o) noexcept : live(std::exchange(o.live, false)) {}
    MutexWitness& operator=(MutexWitness&&) = delete;
    ~MutexWitness() {
        if (!live || !watched) return;
        std::mutex* m = watched;
        const bool free = std::async(std::launch::async, [m] {
                              if (!m->try_lock()) return false;
                              m->unlock();
                              return true;
                          }).get();
        (free ? dropped_free : dropped_under_lock).fetch_add(1);
    }
};

TEST(Zero, FailedSendRegistrationDropsNoItemUnderTheMutex) {
    run_bounded("send registration failure", [] {
        auto chan = new_bounded<MutexWitness>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        MutexWitness::watched = &A::mutex(A::zero(tx));
        alloc_stats::fail_nth(AllocKind::WaitList, 1);  // the senders' list grows on this first wait
        EXPECT_THROW((void)tx.send(MutexWitness()), std::bad_alloc);
        alloc_stats::fail_nth(AllocKind::WaitList, 0);
        MutexWitness::watched = nullptr;
        EXPECT_EQ(MutexWitness::dropped_under_lock.load(), 0);
        EXPECT_EQ(MutexWitness::dropped_free.load(), 1);  // by the caller, after the failed send
        EXPECT_EQ(A::waiting_senders(A::zero(tx)), 0u);
        // The channel still pairs a blocked sender with a receiver.
        std::thread s([&] { EXPECT_TRUE(tx.send(MutexWitness()).ok()); });
        ASSERT_TRUE(eventually([&] { return A::waiting_senders(A::zero(tx)) == 1; }));
        EXPECT_TRUE(rx.recv().ok());
        s.join();
    });
}

// A fork child inherits the channel, and the wait-list entry of a receiver
// that stayed in the parent: nothing may be handed to that receiver there.
TEST(Zero, ForkChildNeverPairsWithAReceiverLeftInTheParent) {
    run_bounded("fork with a blocked receiver", [] {
        auto chan = new_bounded<int>(0);
        auto& tx = chan.first;
        auto& rx = chan.second;
        std::thread r([&] { EXPECT_EQ(rx.recv().item.value_or(-1), 1); });
        ASSERT_TRUE(eventually([&] { return A::waiting_receivers(A::zero(tx)) == 1; }));
        const int status = quorvel::test::exit_status_of_fork_child([&] {
            if (tx.try_send(7).status != SendStatus::Full) return 2;
            Select sel;  // a selection does not see it as ready either
            sel.send(tx);
            if (!sel.select_timeout(ms(20)).timed_out()) return 3;
            if (A::waiting_receivers(A::zero(tx)) != 0) return 4;  // dropped on the way
            return 0;
        });
        EXPECT_EQ(status, 0) << "2: try_send paired; 3: select paired; 4: entry kept; -1: killed or hung";
        // In the parent the receiver is still there.
        EXPECT_TRUE(tx.send(1).ok());
        r.join();
    });
}

}  // namespace
}  // namespace engine_test
