// Behaviour shared by the three flavours (array, list, zero), as typed tests:
// MPMC delivery (every item exactly once, per-producer order per consumer),
// blocking and disconnection from either side in every order and from other
// threads, and reference counting of the ends and of the record. Stress tests
// assert counts and orders only; every wait is bounded by run_bounded.
#include <algorithm>
#include <barrier>
#include <map>

#include "test_support.h"

namespace engine_test {
namespace {

struct ArraySmall {
    template <class T>
    static Channel<T> make() { return new_bounded<T>(kCap); }
    static constexpr size_t kCap = 1;
    static constexpr bool kBlocksSenders = true;
};
struct ArrayLarge {
    template <class T>
    static Channel<T> make() { return new_bounded<T>(kCap); }
    static constexpr size_t kCap = 16;
    static constexpr bool kBlocksSenders = true;
};
struct List {
    template <class T>
    static Channel<T> make() { return new_unbounded<T>(); }
    static constexpr bool kBlocksSenders = false;
};
struct Zero {
    template <class T>
    static Channel<T> make() { return new_bounded<T>(0); }
    static constexpr bool kBlocksSenders = true;
};

// Fills an array channel so that the next send blocks (zero needs nothing).
template <class F, class T>
void fill(const ChannelSender<T>& tx, int64_t& next) {
    if constexpr (std::is_same_v<F, ArraySmall> || std::is_same_v<F, ArrayLarge>) {
        for (size_t i = 0; i < F::kCap; ++i) ASSERT_TRUE(tx.try_send(T(next++)).ok());
    }
}

template <class F>
class Flavors : public ::testing::Test {};
using AllFlavors = ::testing::Types<ArraySmall, ArrayLarge, List, Zero>;
TYPED_TEST_SUITE(Flavors, AllFlavors);

// Several producers and consumers, mixing blocking, non-blocking and
// selecting operations. Every item is received exactly once, and each
// consumer sees each producer's items in the order they were sent.
TYPED_TEST(Flavors, MpmcDeliversEveryItemOnceInPerProducerOrder) {
    constexpr int kProducers = 3, kConsumers = 3;
    const int per = 3000 * kScale;
    DestroyLog log(size_t(kProducers * per));
    run_bounded("mpmc", [&] {
        std::vector<std::vector<int64_t>> got(kConsumers);
        {
            auto [tx, rx] = TypeParam::template make<Tracked>();
            std::barrier start(kProducers + kConsumers);
            std::vector<std::thread> ts;
            for (int p = 0; p < kProducers; ++p) {
                ts.emplace_back([&, p, mine = tx.clone()] {
                    start.arrive_and_wait();
                    for (int i = 0; i < per; ++i) {
                        Tracked item(int64_t(p) * per + i);
                        if (i % 3 == 1) {
                            // Spin on try_send for a while, then block.
                            for (int k = 0; k < 50 && item.value >= 0; ++k) {
                                SendResult<Tracked> r = mine.try_send(std::move(item));
                                if (r.ok()) break;
                                ASSERT_EQ(r.status, SendStatus::Full);
                                item = std::move(*r.item);  // given back
                            }
                            if (item.value >= 0) {
                                ASSERT_TRUE(mine.send(std::move(item)).ok());
                            }
                        } else if (i % 3 == 2) {
                            Select sel;
                            sel.send(mine);
                            SelectedOperation op = sel.select();
                            ASSERT_TRUE(op.send(mine, std::move(item)).ok());
                        } else {
                            ASSERT_TRUE(mine.send(std::move(item)).ok());
                        }
                    }
                });
            }
            for (int c = 0; c < kConsumers; ++c) {
                ts.emplace_back([&, c, mine = rx.clone()] {
                    start.arrive_and_wait();
                    for (int i = 0;; ++i) {
                        RecvResult<Tracked> r = RecvResult<Tracked>::empty();
                        if (i % 3 == 1) {
                            r = mine.try_recv();
                            if (r.status == RecvStatus::Empty) continue;
                        } else if (i % 3 == 2) {
                            Select sel;
                            sel.recv(mine);
                            SelectedOperation op = sel.select();
                            r = op.recv(mine);
                        } else {
                            r = mine.recv();
                        }
                        if (r.status == RecvStatus::Disconnected) break;
                        ASSERT_TRUE(r.ok());
                        got[size_t(c)].push_back(r.item->value);
                    }
                });
            }
            { auto a = std::move(tx); auto b = std::move(rx); }  // only the clones remain
            for (auto& t : ts) t.join();
        }
        std::vector<int64_t> all;
        for (auto& g : got) {
            std::map<int64_t, int64_t> last;  // producer -> last sequence number seen
            for (int64_t v : g) {
                auto [it, fresh] = last.try_emplace(v / per, v % per);
                if (!fresh) {
                    ASSERT_GT(v % per, it->second) << "producer order broken";
                    it->second = v % per;
                }
            }
            all.insert(all.end(), g.begin(), g.end());
        }
        std::sort(all.begin(), all.end());
        ASSERT_EQ(all.size(), size_t(kProducers * per));
        for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], int64_t(i));
    });
    log.expect_each_once(size_t(kProducers * per));
    EXPECT_EQ(Tracked::live.load(), 0);
}

TYPED_TEST(Flavors, BlockedReceiverWakesWhenTheLastSenderGoesElsewhere) {
    run_bounded("recv wakes on sender drop", [] {
        auto chan = TypeParam::template make<int>();
        auto& tx = chan.first;
        auto& rx = chan.second;
        std::vector<ChannelSender<int>> clones;
        for (int i = 0; i < 3; ++i) clones.push_back(tx.clone());
        std::atomic<int> woke{0};
        std::vector<std::thread> rs;
        for (int i = 0; i < 2; ++i) {
            rs.emplace_back([&, mine = rx.clone()] {
                EXPECT_EQ(mine.recv().status, RecvStatus::Disconnected);
                woke.fetch_add(1);
            });
        }
        // Both receivers blocked and registered before any sender goes.
        ASSERT_TRUE(eventually([&] { return TestAccess::registered_receivers(tx) == 2; }));
        { auto gone = std::move(tx); }
        // Drop the remaining clones from different threads; only the last disconnects.
        std::thread d1([c = std::move(clones[0])] {});
        std::thread d2([c = std::move(clones[1])] {});
        d1.join();
        d2.join();
        EXPECT_EQ(woke.load(), 0) << "a sender is still alive";
        EXPECT_EQ(TestAccess::registered_receivers(clones[2]), 2u) << "a sender is still alive";
        std::thread d3([c = std::move(clones[2])] {});
        d3.join();
        for (auto& t : rs) t.join();
        EXPECT_EQ(woke.load(), 2);
        EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
    });
}

TYPED_TEST(Flavors, BlockedSenderWakesWithItsItemWhenTheLastReceiverGoes) {
    run_bounded("send wakes on receiver drop", [] {
        DestroyLog log(100);
        {
            auto chan = TypeParam::template make<Tracked>();
            auto& tx = chan.first;
            auto& rx = chan.second;
            int64_t next = 0;
            fill<TypeParam>(tx, next);
            const int64_t blocked_value = next;
            std::atomic<bool> returned{false};
            std::thread s([&, mine = tx.clone()] {
                SendResult<Tracked> r = mine.send(Tracked(blocked_value));
                if constexpr (TypeParam::kBlocksSenders) {
                    EXPECT_EQ(r.status, SendStatus::Disconnected);
                    ASSERT_TRUE(r.item);
                    EXPECT_EQ(r.item->value, blocked_value);  // the very item comes back
                } else {
                    EXPECT_TRUE(r.ok());
                }
                returned.store(true);
            });
            if constexpr (TypeParam::kBlocksSenders) {
                ASSERT_TRUE(eventually([&] { return TestAccess::registered_senders(tx) == 1; }));
                EXPECT_FALSE(returned.load());
            } else {
                s.join();  // a list send returns at once
            }
            std::thread d([r = std::move(rx)] {});
            d.join();
            if (s.joinable()) s.join();
            SendResult<Tracked> after = tx.try_send(Tracked(99));
            EXPECT_EQ(after.status, SendStatus::Disconnected);
            EXPECT_EQ(after.item->value, 99);
        }
        EXPECT_EQ(Tracked::live.load(), 0);
        for (size_t v = 0; v < 100; ++v) EXPECT_LE(log.count(v), 1);
    });
}

// Items a flavour holds without a receiver: a full array, or a list run
// across a block boundary.
template <class F>
constexpr int buffered_items() {
    if constexpr (std::is_same_v<F, Zero>) {
        return 0;
    } else if constexpr (std::is_same_v<F, List>) {
        return 40;
    } else {
        return int(F::kCap);
    }
}

// Once a side is gone, the other side's calls report it without blocking:
// sends are refused with their item even where room is left, and receivers
// first drain every item sent before, in order.
TYPED_TEST(Flavors, DisconnectedSideReportsAtOnceWithoutBlocking) {
    run_bounded("disconnected ops do not block", [] {
        constexpr int n = buffered_items<TypeParam>();
        {
            auto [tx, rx] = TypeParam::template make<int>();
            if (n > 0) {
                ASSERT_TRUE(tx.try_send(1).ok());  // room left except in array(1)
            }
            { auto gone = std::move(rx); }
            SendResult<int> r = tx.send(5);
            EXPECT_EQ(r.status, SendStatus::Disconnected);
            EXPECT_EQ(*r.item, 5);
            SendResult<int> t = tx.try_send(6);
            EXPECT_EQ(t.status, SendStatus::Disconnected);
            EXPECT_EQ(*t.item, 6);
        }
        {
            auto [tx, rx] = TypeParam::template make<int>();
            for (int i = 0; i < n; ++i) ASSERT_TRUE(tx.try_send(int(i)).ok());
            { auto gone = std::move(tx); }
            EXPECT_EQ(rx.is_empty(), n == 0);
            for (int i = 0; i < n; ++i) EXPECT_EQ(*rx.recv().item, i);
            EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
            EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
            EXPECT_TRUE(rx.is_empty());
        }
    });
}

// Ends are cloned and dropped in every order and from several threads; the
// record is freed exactly once, and only after the last of them.
TYPED_TEST(Flavors, RecordIsFreedExactlyOnceWhateverTheDropOrder) {
    run_bounded("record freed once", [] {
        for (int round = 0; round < 50 * kScale; ++round) {
            AllocSnapshot before;
            {
                auto [tx, rx] = TypeParam::template make<Tracked>();
                ASSERT_EQ(before.delta(AllocKind::Record), 1);
                (void)tx.try_send(Tracked(round));
                std::vector<ChannelSender<Tracked>> ss;
                std::vector<ChannelReceiver<Tracked>> rs;
                for (int i = 0; i < 3; ++i) ss.push_back(tx.clone());
                for (int i = 0; i < 3; ++i) rs.push_back(rx.clone());
                ss.push_back(std::move(tx));
                rs.push_back(std::move(rx));
                // Interleave the two sides differently each round.
                std::vector<std::thread> ts;
                std::barrier start(8);
                for (int i = 0; i < 4; ++i) {
                    ts.emplace_back([&start, s = std::move(ss[size_t(i)])]() mutable {
                        start.arrive_and_wait();
                        auto gone = std::move(s);
                    });
                    ts.emplace_back([&start, r = std::move(rs[size_t(i)])]() mutable {
                        start.arrive_and_wait();
                        auto gone = std::move(r);
                    });
                }
                for (auto& t : ts) t.join();
            }
            ASSERT_EQ(before.delta(AllocKind::Record), 0) << "round " << round;
            ASSERT_EQ(before.delta(AllocKind::Buffer), 0);
            ASSERT_EQ(before.delta(AllocKind::Block), 0);
            ASSERT_EQ(Tracked::live.load(), 0);
        }
    });
}

TYPED_TEST(Flavors, MovedAndReassignedEndsKeepTheCountRight) {
    AllocSnapshot before;
    {
        auto [tx, rx] = TypeParam::template make<int>();
        ChannelSender<int> a = tx.clone();
        ChannelSender<int> b = std::move(a);
        EXPECT_EQ(a.flavor(), Flavor::Moved);
        EXPECT_THROW((void)a.try_send(1), Panic);
        a = std::move(b);  // a moved-from end can be assigned again
        { auto gone = std::move(tx); }
        EXPECT_NE(rx.try_recv().status, RecvStatus::Disconnected);  // `a` still counts
        { auto gone = std::move(a); }
        EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
    }
    EXPECT_EQ(before.delta(AllocKind::Record), 0);
}

TEST(Counting, CloneAbortsTheProcessWhenTheCountPassesTheSignedMaximum) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto [tx, rx] = new_bounded<int>(1);
    auto* core = TestAccess::array_core(tx);
    core->senders.store(size_t(PTRDIFF_MAX));
    EXPECT_DEATH((void)tx.clone(), "");
    core->senders.store(1);
}

}  // namespace
}  // namespace engine_test
