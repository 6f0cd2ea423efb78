// engine/flavors/array: the bounded MPMC flavour, a ring of `cap` stamped slots.
//
// Guarantee: each item sent is received exactly once, in the order in which
// senders reserved their positions; a send blocks only while all `cap` slots
// are full, a receive only while none holds an item. No lock on the item
// path: positions advance by compare-and-exchange, items are published by
// slot stamps.
// Positions in `head`/`tail`: [ lap : ... | MARK (mark_bit, tail only) | index : below mark_bit ].
// Invariants: slot i starts with stamp i. Stamp == p: free for the writer at
//   position p. Stamp == p + 1: holds the item for the reader at p. The reader
//   at p leaves p + one_lap, freeing the slot for the writer one lap later.
//   Once the mark is set in `tail` it stays, and every send is refused.
// Wakes: each write notifies one waiting receiver, each read one waiting
//   sender; disconnection wakes every waiter on both sides.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

#include "engine/alloc.h"
#include "base/backoff.h"
#include "engine/context.h"
#include "engine/fence.h"
#include "engine/item.h"
#include "engine/outcome.h"
#include "engine/select.h"
#include "engine/waker.h"
#include "base/panic.h"

namespace quorvel::engine {

struct TestAccess;

template <class T>
class ArrayChannel {
public:
    struct Slot {
        std::atomic<uint64_t> stamp;
        [[no_unique_address]] ItemCell<T> item;
    };

    // Allocates the whole buffer; std::bad_alloc leaves nothing behind.
    explicit ArrayChannel(size_t cap) : cap_(cap) {
        if (cap == 0 || cap > size_t(PTRDIFF_MAX) / sizeof(Slot)) throw std::bad_alloc();
        mark_bit_ = std::bit_ceil(uint64_t(cap) + 1);
        one_lap_ = mark_bit_ * 2;
        buffer_ = static_cast<Slot*>(allocate(AllocKind::Buffer, cap * sizeof(Slot), alignof(Slot)));
        for (size_t i = 0; i < cap; ++i) {
            // Relaxed: the channel is published to other threads only later,
            // through the ends (thread creation or a synchronised hand-over).
            ::new (static_cast<void*>(&buffer_[i])) Slot{};
            buffer_[i].stamp.store(i, std::memory_order_relaxed);
        }
    }

    ArrayChannel(const ArrayChannel&) = delete;
    ArrayChannel& operator=(const ArrayChannel&) = delete;

    // Runs when the last end of both sides is gone: destroys the items still
    // held between head and tail, then frees the buffer.
    ~ArrayChannel() {
        const uint64_t head = head_.load(std::memory_order_relaxed);  // sole owner now
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        const uint64_t hix = head & (mark_bit_ - 1);
        const uint64_t tix = tail & (mark_bit_ - 1);
        uint64_t len;
        if (hix < tix) {
            len = tix - hix;
        } else if (hix > tix) {
            len = cap_ - hix + tix;
        } else if ((tail & ~mark_bit_) == head) {
            len = 0;
        } else {
            len = cap_;
        }
        for (uint64_t i = 0; i < len; ++i) {
            const uint64_t index = hix + i < cap_ ? hix + i : hix + i - cap_;
            Slot& slot = buffer_[index];
            // A position reserved by a send that was never completed holds no
            // item; only a stamp of index + 1 (in any lap) marks a stored one.
            if ((slot.stamp.load(std::memory_order_relaxed) & (mark_bit_ - 1)) == index + 1) slot.item.destroy();
        }
        for (size_t i = 0; i < cap_; ++i) buffer_[i].~Slot();
        deallocate(AllocKind::Buffer, buffer_, cap_ * sizeof(Slot), alignof(Slot));
    }

    bool start_send(Token& token) noexcept {
        Backoff backoff;
        uint64_t tail = tail_.load(std::memory_order_relaxed);  // re-validated by the CAS below
        for (;;) {
            if (tail & mark_bit_) {
                token.array.slot = nullptr;
                token.array.stamp = 0;
                return true;
            }
            const uint64_t index = tail & (mark_bit_ - 1);
            const uint64_t lap = tail & ~(one_lap_ - 1);
            Slot& slot = buffer_[index];
            // Acquire: pairs with the release store of `stamp` in read(); the
            // previous item was moved out before the slot was freed.
            const uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
            if (tail == stamp) {
                const uint64_t new_tail = index + 1 < cap_ ? tail + 1 : lap + one_lap_;
                // Relaxed on failure: the value found is only a new guess.
                if (tail_.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst,
                                                std::memory_order_relaxed)) {
                    token.array.slot = &slot;
                    token.array.stamp = tail + 1;
                    return true;
                }
                backoff.spin();
            } else if (stamp + one_lap_ == tail + 1) {
                seq_cst_fence();
                // Relaxed: ordered by the fence above, which pairs with the
                // seq_cst head CAS in start_recv().
                const uint64_t head = head_.load(std::memory_order_relaxed);
                if (head + one_lap_ == tail) return false;  // full
                backoff.spin();
                tail = tail_.load(std::memory_order_relaxed);
            } else {
                backoff.snooze();  // a receiver is between reserving and stamping
                tail = tail_.load(std::memory_order_relaxed);
            }
        }
    }

    SendResult<T> write(Token& token, T&& item) noexcept {
        Slot* slot = static_cast<Slot*>(token.array.slot);
        if (!slot) return SendResult<T>::disconnected(std::move(item));
        slot->item.put(std::move(item));
        // Release: pairs with the acquire load of `stamp` in start_recv(); the
        // item is visible to the reader that sees the new stamp.
        slot->stamp.store(token.array.stamp, std::memory_order_release);
        receivers_.notify();
        return SendResult<T>::sent();
    }

    bool start_recv(Token& token) noexcept {
        Backoff backoff;
        uint64_t head = head_.load(std::memory_order_relaxed);  // re-validated by the CAS below
        for (;;) {
            const uint64_t index = head & (mark_bit_ - 1);
            const uint64_t lap = head & ~(one_lap_ - 1);
            Slot& slot = buffer_[index];
            // Acquire: pairs with the release store of `stamp` in write().
            const uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
            if (head + 1 == stamp) {
                const uint64_t new_head = index + 1 < cap_ ? head + 1 : lap + one_lap_;
                // Relaxed on failure: the value found is only a new guess.
                if (head_.compare_exchange_weak(head, new_head, std::memory_order_seq_cst,
                                                std::memory_order_relaxed)) {
                    token.array.slot = &slot;
                    token.array.stamp = head + one_lap_;
                    return true;
                }
                backoff.spin();
            } else if (stamp == head) {
                seq_cst_fence();
                // Relaxed: ordered by the fence above, which pairs with the
                // seq_cst tail CAS in start_send() and the mark's fetch-or.
                const uint64_t tail = tail_.load(std::memory_order_relaxed);
                if ((tail & ~mark_bit_) == head) {
                    if (tail & mark_bit_) {
                        token.array.slot = nullptr;
                        token.array.stamp = 0;
                        return true;
                    }
                    return false;  // empty
                }
                backoff.spin();
                head = head_.load(std::memory_order_relaxed);
            } else {
                backoff.snooze();  // a sender is between reserving and stamping
                head = head_.load(std::memory_order_relaxed);
            }
        }
    }

    RecvResult<T> read(Token& token) noexcept {
        Slot* slot = static_cast<Slot*>(token.array.slot);
        if (!slot) return RecvResult<T>::disconnected();
        T item = slot->item.take();
        // Release: pairs with the acquire load of `stamp` in start_send(); the
        // slot is empty before a writer of the next lap may use it.
        slot->stamp.store(token.array.stamp, std::memory_order_release);
        senders_.notify();
        return RecvResult<T>::received(std::move(item));
    }

    SendResult<T> try_send(T&& item) {
        Token token;
        if (start_send(token)) return write(token, std::move(item));
        return SendResult<T>::full(std::move(item));
    }

    RecvResult<T> try_recv() {
        Token token;
        if (start_recv(token)) return read(token);
        return RecvResult<T>::empty();
    }

    SendResult<T> send(T&& item) {
        return block_until_done<Token>(
            senders_, [this](Token& t) { return start_send(t); },
            [&](Token& t) { return write(t, std::move(item)); },
            [this] { return !is_full() || is_disconnected(); });
    }

    RecvResult<T> recv() {
        return block_until_done<Token>(
            receivers_, [this](Token& t) { return start_recv(t); }, [this](Token& t) { return read(t); },
            [this] { return !is_empty() || is_disconnected(); });
    }

    bool is_empty() const noexcept {
        const uint64_t head = head_.load(std::memory_order_seq_cst);
        const uint64_t tail = tail_.load(std::memory_order_seq_cst);
        return (tail & ~mark_bit_) == head;
    }
    bool is_full() const noexcept {
        const uint64_t tail = tail_.load(std::memory_order_seq_cst);
        const uint64_t head = head_.load(std::memory_order_seq_cst);
        return head + one_lap_ == (tail & ~mark_bit_);
    }
    bool is_disconnected() const noexcept { return tail_.load(std::memory_order_seq_cst) & mark_bit_; }

    // The last end of either side is gone: mark the tail and wake everyone.
    bool disconnect() {
        const uint64_t tail = tail_.fetch_or(mark_bit_, std::memory_order_seq_cst);
        if (tail & mark_bit_) return false;
        senders_.disconnect();
        receivers_.disconnect();
        return true;
    }
    bool disconnect_senders() { return disconnect(); }
    bool disconnect_receivers() { return disconnect(); }

    // Selection steps of the two ends.
    bool send_register(Operation oper, WaitContext& cx) {
        senders_.register_op(oper, cx);
        return send_is_ready();
    }
    void send_unregister(Operation oper) { senders_.unregister(oper); }
    bool send_is_ready() const noexcept { return !is_full() || is_disconnected(); }
    bool recv_register(Operation oper, WaitContext& cx) {
        receivers_.register_op(oper, cx);
        return recv_is_ready();
    }
    void recv_unregister(Operation oper) { receivers_.unregister(oper); }
    bool recv_is_ready() const noexcept { return !is_empty() || is_disconnected(); }

    size_t capacity() const noexcept { return cap_; }

private:
    // head and tail each own a 128-byte line, so senders and receivers do not
    // contend for one; the record holding this state is aligned to 128.
    alignas(128) std::atomic<uint64_t> head_{0};  // next read; moved by receivers' CAS
    alignas(128) std::atomic<uint64_t> tail_{0};  // next write and the mark; moved by senders' CAS
    // Set at construction, read-only afterwards.
    alignas(128) Slot* buffer_ = nullptr;
    size_t cap_;
    uint64_t mark_bit_ = 0;  // (cap + 1) rounded up to a power of two
    uint64_t one_lap_ = 0;   // 2 * mark_bit
    SyncWaker senders_;      // threads blocked in send; its own mutex
    SyncWaker receivers_;    // threads blocked in receive; its own mutex

    friend struct TestAccess;
};

}  // namespace quorvel::engine
