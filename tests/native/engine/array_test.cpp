// Array flavour tests: positions, stamps and marks of the worked layouts
// (capacities 1 and 3), the record's alignment and head/tail separation, what
// the channel holds and gives back around disconnection, and allocation
// failures at creation. Each case checks observable state after a fixed
// sequence of operations; none depends on timing.
#include "test_support.h"

namespace engine_test {
namespace {

using A = TestAccess;

TEST(ArrayLayout, CapacityOneUsesMarkTwoAndLapFour) {
    auto [tx, rx] = new_bounded<int>(1);
    auto& ch = A::array(tx);
    EXPECT_EQ(A::mark_bit(ch), 2u);
    EXPECT_EQ(A::one_lap(ch), 4u);

    EXPECT_TRUE(tx.try_send(10).ok());
    EXPECT_EQ(A::tail(ch), 4u);  // index 0 of lap 1
    SendResult<int> full = tx.try_send(11);
    EXPECT_EQ(full.status, SendStatus::Full);
    ASSERT_TRUE(full.item);
    EXPECT_EQ(*full.item, 11);  // the item comes back

    RecvResult<int> got = rx.try_recv();
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got.item, 10);
    EXPECT_EQ(A::head(ch), 4u);
    EXPECT_EQ(A::stamp(ch, 0), 4u);  // free for the writer of lap 1

    EXPECT_TRUE(tx.try_send(12).ok());  // the next lap
    EXPECT_EQ(A::tail(ch), 8u);
    EXPECT_EQ(A::stamp(ch, 0), 5u);
    EXPECT_EQ(*rx.try_recv().item, 12);
}

TEST(ArrayLayout, CapacityThreeWrapsIntoTheNextLap) {
    auto [tx, rx] = new_bounded<int>(3);
    auto& ch = A::array(tx);
    EXPECT_EQ(A::mark_bit(ch), 4u);
    EXPECT_EQ(A::one_lap(ch), 8u);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(tx.try_send(int(i)).ok());
    EXPECT_EQ(A::tail(ch), 8u);
    EXPECT_EQ(A::head(ch), 0u);
    EXPECT_EQ(A::stamp(ch, 0), 1u);
    EXPECT_EQ(A::stamp(ch, 1), 2u);
    EXPECT_EQ(A::stamp(ch, 2), 3u);
    EXPECT_EQ(tx.try_send(3).status, SendStatus::Full);

    EXPECT_EQ(*rx.try_recv().item, 0);
    EXPECT_EQ(A::head(ch), 1u);
    EXPECT_EQ(A::stamp(ch, 0), 8u);

    ASSERT_TRUE(tx.try_send(4).ok());  // slot 0 at position 8
    EXPECT_EQ(A::tail(ch), 9u);
    EXPECT_EQ(A::stamp(ch, 0), 9u);
    for (int want : {1, 2, 4}) EXPECT_EQ(*rx.try_recv().item, want);
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
}

TEST(ArrayLayout, MarkBitIsCapacityPlusOneRoundedUp) {
    for (auto [cap, mark] : {std::pair<size_t, uint64_t>{1, 2}, {3, 4}, {4, 8}, {7, 8}, {1000, 1024}}) {
        auto [tx, rx] = new_bounded<int>(cap);
        EXPECT_EQ(A::mark_bit(A::array(tx)), mark) << "cap " << cap;
        EXPECT_EQ(A::one_lap(A::array(tx)), 2 * mark) << "cap " << cap;
    }
}

TEST(ArrayLayout, HeadAndTailSit128BytesApartInAnAlignedRecord) {
    auto [tx, rx] = new_bounded<int>(4);
    auto* core = A::array_core(tx);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(core) % 128, 0u);
    static_assert(alignof(ChannelCore<ArrayChannel<int>>) >= 128);
    static_assert(sizeof(ArrayChannel<Unit>::Slot) == sizeof(uint64_t), "a contentless item takes no slot storage");
}

TEST(ArrayDisconnect, ReceiversDrainEverySentItemThenSeeDisconnected) {
    auto [tx, rx] = new_bounded<int>(4);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(tx.try_send(int(i)).ok());
    { auto gone = std::move(tx); }
    EXPECT_FALSE(rx.is_empty());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(*rx.recv().item, i);
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
    EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
}

TEST(ArrayDisconnect, SendersAreRefusedEvenWithFreeSlotsOnceReceiversAreGone) {
    auto [tx, rx] = new_bounded<int>(4);
    ASSERT_TRUE(tx.try_send(1).ok());
    { auto gone = std::move(rx); }
    SendResult<int> a = tx.try_send(2);
    EXPECT_EQ(a.status, SendStatus::Disconnected);
    EXPECT_EQ(*a.item, 2);
    SendResult<int> b = tx.send(3);
    EXPECT_EQ(b.status, SendStatus::Disconnected);
    EXPECT_EQ(*b.item, 3);
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
