// List flavour tests: the 31-send worked example, block boundaries and
// block counts, the races to install the first and the next
// block, destruction of queued items at disconnection, and a failed block
// allocation. Block and record counts come from the engine's allocation
// tallies, so a block freed twice or never shows up as a wrong count.
#include <algorithm>
#include <barrier>

#include "test_support.h"

namespace engine_test {
namespace {

using A = TestAccess;

// The worked example: 31 sends fill the first block and install the second,
// and 31 receives drain them in order and free the first block.
TEST(ListLayout, ThirtyOneSendsThenThirtyOneReceives) {
    AllocSnapshot before;
    auto [tx, rx] = new_unbounded<int>();
    for (int i = 0; i < 31; ++i) ASSERT_TRUE(tx.send(int(i)).ok());
    EXPECT_EQ(before.delta(AllocKind::Block), 2);  // the second one installed by the last send
    EXPECT_EQ(*rx.try_recv().item, 0);
    for (int i = 1; i < 31; ++i) EXPECT_EQ(*rx.try_recv().item, i);
    EXPECT_EQ(before.delta(AllocKind::Block), 1) << "the drained block is freed";
    EXPECT_TRUE(rx.is_empty());
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
    ASSERT_TRUE(tx.send(31).ok());  // goes into the block already there
    EXPECT_EQ(before.delta(AllocKind::Block), 1);
    EXPECT_EQ(*rx.try_recv().item, 31);
}

TEST(ListLayout, FreshChannelHasNoBlockUntilTheFirstSend) {
    AllocSnapshot before;
    auto [tx, rx] = new_unbounded<int>();
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
    EXPECT_TRUE(rx.is_empty());
    EXPECT_EQ(before.delta(AllocKind::Block), 0);
    ASSERT_TRUE(tx.send(7).ok());
    EXPECT_EQ(before.delta(AllocKind::Block), 1);
    EXPECT_FALSE(rx.is_empty());
}

TEST(ListLayout, ItemsComeOutInOrderAcrossBlockBoundaries) {
    for (int n : {31, 32, 62, 63, 200}) {
        AllocSnapshot before;
        {
            auto [tx, rx] = new_unbounded<int>();
            for (int i = 0; i < n; ++i) ASSERT_TRUE(tx.try_send(int(i)).ok());
            // One block per 31 items, plus the one allocated early when the
            // last send landed on offset 30.
            EXPECT_EQ(before.delta(AllocKind::Block), n / 31 + 1) << n;
            for (int i = 0; i < n; ++i) ASSERT_EQ(*rx.try_recv().item, i) << n;
            EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
            EXPECT_EQ(before.delta(AllocKind::Block), 1) << "read blocks are freed by their last reader";
        }
        EXPECT_EQ(before.delta(AllocKind::Block), 0);
        EXPECT_EQ(before.delta(AllocKind::Record), 0);
    }
}

TEST(ListDisconnect, LastReceiverDestroysQueuedItemsAtOnce) {
    for (int n : {0, 5, 31, 45, 93}) {
        DestroyLog log(200);
        AllocSnapshot before;
        auto [tx, rx] = new_unbounded<Tracked>();
        for (int i = 0; i < 3 && i < n; ++i) ASSERT_TRUE(tx.send(Tracked(i)).ok());
        for (int i = 0; i < 3 && i < n; ++i) ASSERT_TRUE(rx.try_recv().ok());
        for (int i = 3; i < n; ++i) ASSERT_TRUE(tx.send(Tracked(i)).ok());
        { auto gone = std::move(rx); }
        log.expect_each_once(size_t(n));  // before the sender goes
        EXPECT_EQ(Tracked::live.load(), 0);
        EXPECT_EQ(before.delta(AllocKind::Block), 0) << n;

        SendResult<Tracked> r = tx.send(Tracked(150));
        EXPECT_EQ(r.status, SendStatus::Disconnected);
        ASSERT_TRUE(r.item);
        EXPECT_EQ(r.item->value, 150);
        EXPECT_EQ(tx.try_send(Tracked(151)).status, SendStatus::Disconnected);
    }
    EXPECT_EQ(Tracked::live.load(), 0);
}

TEST(ListDisconnect, ItemsStillQueuedWhenBothSidesGoAreDestroyedOnce) {
    DestroyLog log(100);
    AllocSnapshot before;
    {
        auto [tx, rx] = new_unbounded<Tracked>();
        for (int i = 0; i < 70; ++i) ASSERT_TRUE(tx.send(Tracked(i)).ok());
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(rx.recv().ok());
        { auto gone = std::move(tx); }
        EXPECT_EQ(log.count(10), 0);
    }
    log.expect_each_once(70);
    EXPECT_EQ(before.delta(AllocKind::Block), 0);
    EXPECT_EQ(before.delta(AllocKind::Record), 0);
}

TEST(ListRace, SendersRacingForTheFirstBlockInstallExactlyOne) {
    constexpr int kThreads = 4;
    for (int round = 0; round < 100 * kScale; ++round) {
        AllocSnapshot before;
        auto chan = new_unbounded<int>();
        auto& tx = chan.first;
        auto& rx = chan.second;
        std::barrier start(kThreads);
        std::vector<std::thread> ts;
        for (int t = 0; t < kThreads; ++t) {
            ts.emplace_back([&, t] {
                ChannelSender<int> mine = tx.clone();
                start.arrive_and_wait();
                ASSERT_TRUE(mine.send(int(t)).ok());
            });
        }
        for (auto& t : ts) t.join();
        ASSERT_EQ(before.delta(AllocKind::Block), 1) << "round " << round;  // losers freed theirs
        std::vector<int> got;
        for (int i = 0; i < kThreads; ++i) got.push_back(*rx.try_recv().item);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, (std::vector<int>{0, 1, 2, 3}));
    }
}

TEST(ListRace, SendersRacingAcrossABlockBoundaryInstallExactlyOneNextBlock) {
    constexpr int kThreads = 4, kEach = 3;  // 12 sends starting at offset 25 cross the gap
    for (int round = 0; round < 100 * kScale; ++round) {
        AllocSnapshot before;
        auto chan = new_unbounded<int>();
        auto& tx = chan.first;
        auto& rx = chan.second;
        for (int i = 0; i < 25; ++i) ASSERT_TRUE(tx.send(-1).ok());
        std::barrier start(kThreads);
        std::vector<std::thread> ts;
        for (int t = 0; t < kThreads; ++t) {
            ts.emplace_back([&, t] {
                ChannelSender<int> mine = tx.clone();
                start.arrive_and_wait();
                for (int k = 0; k < kEach; ++k) ASSERT_TRUE(mine.send(t * kEach + k).ok());
            });
        }
        for (auto& t : ts) t.join();
        ASSERT_EQ(before.delta(AllocKind::Block), 2) << "round " << round;
        std::vector<int> got;
        for (int i = 0; i < 25; ++i) ASSERT_EQ(*rx.try_recv().item, -1);
        for (int i = 0; i < kThreads * kEach; ++i) got.push_back(*rx.try_recv().item);
        ASSERT_EQ(rx.try_recv().status, RecvStatus::Empty);
        // Each sender's items keep their order; together they are all there.
        for (int t = 0; t < kThreads; ++t) {
            int last = -1;
            for (int v : got) {
                if (v / kEach == t) {
                    ASSERT_GT(v, last);
                    last = v;
                }
            }
        }
        std::sort(got.begin(), got.end());
        for (int i = 0; i < kThreads * kEach; ++i) ASSERT_EQ(got[size_t(i)], i);
    }
}

TEST(ListAlloc, FailedBlockAllocationLeavesTheChannelUnchanged) {
    AllocSnapshot before;
    {
        auto [tx, rx] = new_unbounded<int>();
        alloc_stats::fail_nth(AllocKind::Block, 1);  // the first block
        EXPECT_THROW((void)tx.send(0), std::bad_alloc);
        EXPECT_EQ(before.delta(AllocKind::Block), 0);
        EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);

        for (int i = 0; i < 30; ++i) ASSERT_TRUE(tx.send(int(i)).ok());
        alloc_stats::fail_nth(AllocKind::Block, 1);  // the next block, allocated at offset 30
        EXPECT_THROW((void)tx.send(30), std::bad_alloc);
        EXPECT_EQ(before.delta(AllocKind::Block), 1);
        ASSERT_TRUE(tx.send(30).ok());  // the failed send took no position
        ASSERT_TRUE(tx.send(31).ok());
        for (int i = 0; i < 32; ++i) ASSERT_EQ(*rx.try_recv().item, i);
        EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
    }
    EXPECT_EQ(before.delta(AllocKind::Block), 0);
    EXPECT_EQ(before.delta(AllocKind::Record), 0);
}

}  // namespace
}  // namespace engine_test
