// Array flavour tests: the worked examples (capacities 1 and 3) and every
// capacity's fill, refusal and order across laps, through the public
// operations; the record's alignment and head/tail separation; what
// the channel holds and gives back around disconnection, and allocation
// failures at creation. (Draining and refused sends after disconnection are
// in the typed suite, channel_test.cpp.) Each case checks observable state after a fixed
// sequence of operations; none depends on timing.
#include "test_support.h"

namespace engine_test {
namespace {

using A = TestAccess;

// The worked examples of capacities 1 and 3, checked through what a user
// sees: exactly `cap` items fit, a refused item comes back, and items keep
// their order as the positions wrap into the next laps.
TEST(ArrayLayout, WorkedExamplesOfCapacitiesOneAndThree) {
    {
        auto [tx, rx] = new_bounded<int>(1);
        EXPECT_TRUE(tx.try_send(10).ok());
        SendResult<int> full = tx.try_send(11);
        EXPECT_EQ(full.status, SendStatus::Full);
        ASSERT_TRUE(full.item);
        EXPECT_EQ(*full.item, 11);  // the item comes back
        EXPECT_EQ(*rx.try_recv().item, 10);
        EXPECT_TRUE(rx.is_empty());
        EXPECT_TRUE(tx.try_send(12).ok());  // the next lap
        EXPECT_EQ(tx.try_send(13).status, SendStatus::Full);
        EXPECT_EQ(*rx.try_recv().item, 12);
    }
    {
        auto [tx, rx] = new_bounded<int>(3);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(tx.try_send(int(i)).ok());
        EXPECT_EQ(tx.try_send(3).status, SendStatus::Full);
        EXPECT_EQ(*rx.try_recv().item, 0);
        ASSERT_TRUE(tx.try_send(4).ok());  // slot 0 again, in the next lap
        EXPECT_EQ(tx.try_send(5).status, SendStatus::Full);
        for (int want : {1, 2, 4}) EXPECT_EQ(*rx.try_recv().item, want);
        EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
    }
}

// Every capacity holds exactly that many items, lap after lap, in order
// (capacities on both sides of the powers of two the positions are built on).
TEST(ArrayLayout, EveryCapacityHoldsExactlyItsItemsAcrossManyLaps) {
    for (size_t cap : {1, 2, 3, 4, 5, 7, 8, 9, 31, 32, 33, 1000}) {
        auto [tx, rx] = new_bounded<int>(cap);
        int next_in = 0, next_out = 0;
        for (int lap = 0; lap < 3; ++lap) {
            for (size_t i = 0; i < cap; ++i) ASSERT_TRUE(tx.try_send(next_in++).ok()) << "cap " << cap;
            ASSERT_EQ(tx.try_send(-1).status, SendStatus::Full) << "cap " << cap;
            // Half out and half in, so the next lap starts mid-buffer.
            for (size_t i = 0; i < cap / 2 + 1; ++i) ASSERT_EQ(*rx.try_recv().item, next_out++) << "cap " << cap;
            for (size_t i = 0; i < cap / 2 + 1; ++i) ASSERT_TRUE(tx.try_send(next_in++).ok()) << "cap " << cap;
            while (next_out < next_in) ASSERT_EQ(*rx.try_recv().item, next_out++) << "cap " << cap;
            ASSERT_EQ(rx.try_recv().status, RecvStatus::Empty) << "cap " << cap;
        }
    }
}

TEST(ArrayLayout, HeadAndTailSit128BytesApartInAnAlignedRecord) {
    auto [tx, rx] = new_bounded<int>(4);
    auto* core = A::array_core(tx);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(core) % 128, 0u);
    static_assert(alignof(ChannelCore<ArrayChannel<int>>) >= 128);
    static_assert(sizeof(ArrayChannel<Unit>::Slot) == sizeof(uint64_t), "a contentless item takes no slot storage");
}

TEST(ArrayDisconnect, ItemsLeftInsideAreDestroyedOnceWhenTheLastEndGoes) {
    // head index below, above and equal to the tail index, in both drop orders.
    for (bool senders_first : {true, false}) {
        for (auto [wrap, count] : {std::pair{0, 2}, {2, 2}, {0, 3}, {2, 3}}) {
            DestroyLog log(100);
            {
                auto [tx, rx] = new_bounded<Tracked>(3);
                int next = 0;
                for (int i = 0; i < wrap; ++i) {
                    ASSERT_TRUE(tx.try_send(Tracked(next++)).ok());
                    ASSERT_TRUE(rx.try_recv().ok());
                }
                for (int i = 0; i < count; ++i) ASSERT_TRUE(tx.try_send(Tracked(next++)).ok());
                for (int i = 0; i < wrap; ++i) EXPECT_EQ(log.count(size_t(i)), 1);
                if (senders_first) {
                    { auto gone = std::move(tx); }
                    EXPECT_EQ(log.count(size_t(wrap)), 0);  // still receivable
                } else {
                    { auto gone = std::move(rx); }
                    EXPECT_EQ(log.count(size_t(wrap)), 0);  // kept until the record goes
                }
            }
            log.expect_each_once(size_t(wrap + count));
            EXPECT_EQ(Tracked::live.load(), 0);
        }
    }
}

TEST(ArrayAlloc, HugeCapacityFailsBeforeAnyEndExists) {
    AllocSnapshot before;
    EXPECT_THROW((void)new_bounded<int>(SIZE_MAX / 2), std::bad_alloc);
    EXPECT_THROW((void)new_bounded<int>(size_t(PTRDIFF_MAX)), std::bad_alloc);
    alloc_stats::fail_nth(AllocKind::Buffer, 1);
    EXPECT_THROW((void)new_bounded<int>(16), std::bad_alloc);
    EXPECT_EQ(before.delta(AllocKind::Record), 0);
    EXPECT_EQ(before.delta(AllocKind::Buffer), 0);
    auto [tx, rx] = new_bounded<int>(16);  // the failure was one-shot
    EXPECT_TRUE(tx.try_send(1).ok());
}

}  // namespace
}  // namespace engine_test
