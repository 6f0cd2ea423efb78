// engine/flavors/list: the unbounded MPMC flavour, a chain of fixed-size blocks.
//
// Guarantee: send never blocks and fails only on disconnection; each item is
// received exactly once, in the order senders reserved their positions.
// Positions in `index`: [ position : 63 | MARK ]. Position p is at offset
//   p % LAP of block p / LAP; offset 31 is a gap meaning "end of block". MARK
//   in head: the head block is not the last; in tail: disconnected.
// Invariants: head <= tail. A slot is read only after its WRITE bit is set.
//   The sender at offset 30 installs the next block (allocated one item early)
//   and moves the tail over the gap; the receiver at offset 30 moves the head.
//   A block is freed exactly once: by its last reader (READ / DESTROY
//   hand-off), by the discard when the receivers go, or with the record.
// Wakes: each write notifies one waiting receiver; the senders' disconnection
//   wakes every receiver. Senders never wait, so nobody wakes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/alloc.h"
#include "base/backoff.h"
#include "engine/context.h"
#include "engine/fence.h"
#include "engine/item.h"
#include "engine/outcome.h"
#include "engine/select.h"
#include "engine/waker.h"

namespace quorvel::engine {

struct TestAccess;

namespace list {
inline constexpr uint64_t SHIFT = 1;      // positions are stored shifted left by one
inline constexpr uint64_t MARK_BIT = 1;   // bit 0 of an index
inline constexpr uint64_t LAP = 32;       // positions per block
inline constexpr uint64_t BLOCK_CAP = 31; // slots per block; position 31 is the gap
inline constexpr uint64_t WRITE = 1;      // slot state: the item has been written
inline constexpr uint64_t READ = 2;       // slot state: the item has been read
inline constexpr uint64_t DESTROY = 4;    // slot state: this slot's reader continues the block's destruction
static_assert(MARK_BIT == (uint64_t(1) << SHIFT) - 1, "the mark sits in the bits below the position");
static_assert(BLOCK_CAP == LAP - 1, "one gap position per lap");
}  // namespace list

template <class T>
class ListChannel {
public:
    struct Slot {
        std::atomic<uint64_t> state{0};  // WRITE | READ | DESTROY
        [[no_unique_address]] ItemCell<T> item;

        void wait_write() const noexcept {
            Backoff backoff;
            // Acquire: pairs with the release fetch-or of WRITE in write().
            while ((state.load(std::memory_order_acquire) & list::WRITE) == 0) backoff.snooze();
        }
    };

    struct Block {
        std::atomic<Block*> next{nullptr};
        Slot slots[list::BLOCK_CAP];

        Block* wait_next() const noexcept {
            Backoff backoff;
            for (;;) {
                // Acquire: pairs with the release store of `next` in start_send().
                if (Block* n = next.load(std::memory_order_acquire)) return n;
                backoff.snooze();
            }
        }
    };

    ListChannel() = default;
    ListChannel(const ListChannel&) = delete;
    ListChannel& operator=(const ListChannel&) = delete;

    // Runs when the last end of both sides is gone: destroys the items left
    // between head and tail and frees every block still in the chain.
    ~ListChannel() {
        using namespace list;
        // Relaxed: the last end's acq_rel handshake made this thread the sole owner.
        uint64_t head = head_.index.load(std::memory_order_relaxed) & ~MARK_BIT;
        const uint64_t tail = tail_.index.load(std::memory_order_relaxed) & ~MARK_BIT;
        Block* block = head_.block.load(std::memory_order_relaxed);
        while (head != tail) {
            const uint64_t offset = (head >> SHIFT) % LAP;
            if (offset < BLOCK_CAP) {
                Slot& slot = block->slots[offset];
                // A position reserved by a send that was never completed holds no item.
                if (slot.state.load(std::memory_order_relaxed) & WRITE) slot.item.destroy();
            } else {
                Block* next = block->next.load(std::memory_order_relaxed);
                free_block(block);
                block = next;
            }
            head += 1 << SHIFT;
        }
        if (block) free_block(block);
    }

    // Reserves the next position; always true. May allocate a block (and
    // throw std::bad_alloc) before it changes anything.
    bool start_send(Token& token) {
        using namespace list;
        Backoff backoff;
        // Acquire: pairs with the release stores of the tail in this function,
        // so a block seen through `tail.block` is fully linked.
        uint64_t tail = tail_.index.load(std::memory_order_acquire);
        Block* block = tail_.block.load(std::memory_order_acquire);
        BlockPtr next_block;
        for (;;) {
            if (tail & MARK_BIT) {
                token.list.block = nullptr;
                token.list.offset = 0;
                return true;  // disconnected; a block allocated in advance is freed
            }
            const uint64_t offset = (tail >> SHIFT) % LAP;
            if (offset == BLOCK_CAP) {
                // Another sender is installing the next block.
                backoff.snooze();
                tail = tail_.index.load(std::memory_order_acquire);
                block = tail_.block.load(std::memory_order_acquire);
                continue;
            }
            // Allocate the next block one item early, so that the senders
            // waiting at the gap wait for a pointer store, not an allocation.
            if (offset + 1 == BLOCK_CAP && !next_block) next_block = BlockPtr::make();
            if (!block) {
                // The first item ever sent: install the first block.
                BlockPtr first = BlockPtr::make();
                Block* expected = nullptr;
                // Release: publishes the zero-filled block to the acquire loads
                // of `tail.block`; relaxed on failure, we reload below.
                if (tail_.block.compare_exchange_strong(expected, first.get(), std::memory_order_release,
                                                        std::memory_order_relaxed)) {
                    // Release: pairs with the acquire loads of `head.block` in start_recv().
                    head_.block.store(first.get(), std::memory_order_release);
                    block = first.release();
                } else {
                    next_block = std::move(first);  // reused as the next block, or freed
                    tail = tail_.index.load(std::memory_order_acquire);
                    block = tail_.block.load(std::memory_order_acquire);
                    continue;
                }
            }
            const uint64_t new_tail = tail + (1 << SHIFT);
            // Acquire on failure: the block loaded next belongs to the index found.
            if (tail_.index.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst,
                                                  std::memory_order_acquire)) {
                if (offset + 1 == BLOCK_CAP) {
                    Block* next = next_block.release();
                    // Release (all three): pair with the acquire loads of
                    // `tail.block`, `tail.index` and `next` by senders, readers
                    // and the discard.
                    tail_.block.store(next, std::memory_order_release);
                    tail_.index.fetch_add(1 << SHIFT, std::memory_order_release);  // skip the gap
                    block->next.store(next, std::memory_order_release);
                }
                token.list.block = block;
                token.list.offset = offset;
                return true;
            }
            block = tail_.block.load(std::memory_order_acquire);
            backoff.spin();
        }
    }

    SendResult<T> write(Token& token, T&& item) noexcept {
        Block* block = static_cast<Block*>(token.list.block);
        if (!block) return SendResult<T>::disconnected(std::move(item));
        Slot& slot = block->slots[token.list.offset];
        slot.item.put(std::move(item));
        // Release: pairs with the acquire load in Slot::wait_write().
        slot.state.fetch_or(list::WRITE, std::memory_order_release);
        receivers_.notify();
        return SendResult<T>::sent();
    }

    bool start_recv(Token& token) noexcept {
        using namespace list;
        Backoff backoff;
        // Acquire: pairs with the release stores of the head after a block change.
        uint64_t head = head_.index.load(std::memory_order_acquire);
        Block* block = head_.block.load(std::memory_order_acquire);
        for (;;) {
            const uint64_t offset = (head >> SHIFT) % LAP;
            if (offset == BLOCK_CAP) {
                // Another receiver is moving the head to the next block.
                backoff.snooze();
                head = head_.index.load(std::memory_order_acquire);
                block = head_.block.load(std::memory_order_acquire);
                continue;
            }
            uint64_t new_head = head + (1 << SHIFT);
            if ((new_head & MARK_BIT) == 0) {
                // The head block may be the last one: compare with the tail.
                seq_cst_fence();
                // Relaxed: ordered by the fence above, which pairs with the
                // seq_cst tail CAS in start_send() and the mark's fetch-or.
                const uint64_t tail = tail_.index.load(std::memory_order_relaxed);
                if ((head >> SHIFT) == (tail >> SHIFT)) {
                    if (tail & MARK_BIT) {
                        token.list.block = nullptr;
                        token.list.offset = 0;
                        return true;  // disconnected and drained
                    }
                    return false;  // empty
                }
                if ((head >> SHIFT) / LAP != (tail >> SHIFT) / LAP) new_head |= MARK_BIT;
            }
            if (!block) {
                // The first block is still being installed.
                backoff.snooze();
                head = head_.index.load(std::memory_order_acquire);
                block = head_.block.load(std::memory_order_acquire);
                continue;
            }
            // Acquire on failure: the block loaded next belongs to the index found.
            if (head_.index.compare_exchange_weak(head, new_head, std::memory_order_seq_cst,
                                                  std::memory_order_acquire)) {
                if (offset + 1 == BLOCK_CAP) {
                    Block* next = block->wait_next();
                    uint64_t next_index = (new_head & ~MARK_BIT) + (1 << SHIFT);
                    // Relaxed: only a hint that the new head block is not the
                    // last; no data is read through it.
                    if (next->next.load(std::memory_order_relaxed)) next_index |= MARK_BIT;
                    // Release: pairs with the acquire loads of the head above.
                    head_.block.store(next, std::memory_order_release);
                    head_.index.store(next_index, std::memory_order_release);
                }
                token.list.block = block;
                token.list.offset = offset;
                return true;
            }
            block = head_.block.load(std::memory_order_acquire);
            backoff.spin();
        }
    }

    RecvResult<T> read(Token& token) noexcept {
        using namespace list;
        Block* block = static_cast<Block*>(token.list.block);
        if (!block) return RecvResult<T>::disconnected();
        const size_t offset = token.list.offset;
        Slot& slot = block->slots[offset];
        slot.wait_write();
        T item = slot.item.take();
        if (offset + 1 == BLOCK_CAP) {
            destroy_block(block, 0);  // the reader of the last slot starts the destruction
        } else if (slot.state.fetch_or(READ, std::memory_order_acq_rel) & DESTROY) {
            // AcqRel: the release hands our finished slot to the destroyer; the
            // acquire sees its DESTROY, and we continue where it stopped.
            destroy_block(block, offset + 1);
        }
        return RecvResult<T>::received(std::move(item));
    }

    SendResult<T> try_send(T&& item) { return send(std::move(item)); }

    SendResult<T> send(T&& item) {
        Token token;
        start_send(token);  // always true
        return write(token, std::move(item));
    }

    RecvResult<T> try_recv() {
        Token token;
        if (start_recv(token)) return read(token);
        return RecvResult<T>::empty();
    }

    RecvResult<T> recv() {
        return block_until_done<Token>(
            receivers_, [this](Token& t) { return start_recv(t); }, [this](Token& t) { return read(t); },
            [this] { return !is_empty() || is_disconnected(); });
    }

    bool is_empty() const noexcept {
        const uint64_t head = head_.index.load(std::memory_order_seq_cst);
        const uint64_t tail = tail_.index.load(std::memory_order_seq_cst);
        return (head >> list::SHIFT) == (tail >> list::SHIFT);
    }
    bool is_full() const noexcept { return false; }
    bool is_disconnected() const noexcept { return tail_.index.load(std::memory_order_seq_cst) & list::MARK_BIT; }

    // Last sender gone: mark the tail and wake every receiver, which go on
    // draining what is there.
    bool disconnect_senders() {
        const uint64_t tail = tail_.index.fetch_or(list::MARK_BIT, std::memory_order_seq_cst);
        if (tail & list::MARK_BIT) return false;
        receivers_.disconnect();
        return true;
    }

    // Last receiver gone: mark the tail and destroy every item at once.
    bool disconnect_receivers() {
        const uint64_t tail = tail_.index.fetch_or(list::MARK_BIT, std::memory_order_seq_cst);
        if (tail & list::MARK_BIT) return false;
        discard_all_messages();
        return true;
    }

    // Selection steps of the two ends. A sender is always ready and never registers.
    bool recv_register(Operation oper, WaitContext& cx) {
        receivers_.register_op(oper, cx);
        return recv_is_ready();
    }
    void recv_unregister(Operation oper) { receivers_.unregister(oper); }
    bool recv_is_ready() const noexcept { return !is_empty() || is_disconnected(); }

private:
    // Owns a block until it is installed.
    class BlockPtr {
    public:
        BlockPtr() noexcept = default;
        static BlockPtr make() { return BlockPtr(create<Block>(AllocKind::Block)); }
        BlockPtr(BlockPtr&& o) noexcept : p_(o.release()) {}
        BlockPtr& operator=(BlockPtr&& o) noexcept {
            reset(o.release());
            return *this;
        }
        ~BlockPtr() { reset(nullptr); }
        Block* get() const noexcept { return p_; }
        Block* release() noexcept { return std::exchange(p_, nullptr); }
        explicit operator bool() const noexcept { return p_ != nullptr; }

    private:
        explicit BlockPtr(Block* p) noexcept : p_(p) {}
        void reset(Block* p) noexcept {
            if (p_) free_block(p_);
            p_ = p;
        }
        Block* p_ = nullptr;
    };

    static void free_block(Block* block) noexcept { engine::destroy(AllocKind::Block, block); }

    // Frees `block` unless a reader is still inside one of slots start..29;
    // that reader then finds DESTROY and continues from its own slot.
    static void destroy_block(Block* block, size_t start) noexcept {
        using namespace list;
        for (size_t i = start; i + 1 < BLOCK_CAP; ++i) {
            Slot& slot = block->slots[i];
            // Acquire / AcqRel: pair with the acq_rel fetch-or of READ in read().
            if ((slot.state.load(std::memory_order_acquire) & READ) == 0 &&
                (slot.state.fetch_or(DESTROY, std::memory_order_acq_rel) & READ) == 0) {
                return;
            }
        }
        free_block(block);
    }

    // Destroys every item after the receivers' side is gone. Senders that
    // reserved a position before the mark still write; we wait for them.
    void discard_all_messages() noexcept {
        using namespace list;
        Backoff backoff;
        // Acquire: pairs with the release stores of the tail in start_send().
        uint64_t tail = tail_.index.load(std::memory_order_acquire);
        while (((tail >> SHIFT) % LAP) == BLOCK_CAP) {
            // A sender is installing a block; later tail moves fail on the mark.
            backoff.snooze();
            tail = tail_.index.load(std::memory_order_acquire);
        }
        uint64_t head = head_.index.load(std::memory_order_acquire);
        // AcqRel: takes the head block over from the first-block installer's release store.
        Block* block = head_.block.exchange(nullptr, std::memory_order_acq_rel);
        if ((head >> SHIFT) != (tail >> SHIFT)) {
            while (!block) {
                backoff.snooze();
                block = head_.block.exchange(nullptr, std::memory_order_acq_rel);
            }
        }
        while ((head >> SHIFT) != (tail >> SHIFT)) {
            const uint64_t offset = (head >> SHIFT) % LAP;
            if (offset < BLOCK_CAP) {
                Slot& slot = block->slots[offset];
                slot.wait_write();
                slot.item.destroy();
            } else {
                Block* next = block->wait_next();
                free_block(block);
                block = next;
            }
            head += 1 << SHIFT;
        }
        if (block) free_block(block);
        // Release, as every head update; no receiver is left to read it, and
        // the record's free comes after the ends' acq_rel handshake.
        head_.index.store(head & ~MARK_BIT, std::memory_order_release);
    }

    struct alignas(128) Position {
        std::atomic<uint64_t> index{0};
        std::atomic<Block*> block{nullptr};
    };

    Position head_;        // next read; moved by receivers; own 128-byte line
    Position tail_;        // next write and the disconnection mark; moved by senders; own line
    SyncWaker receivers_;  // threads blocked in receive; its own mutex

    friend struct TestAccess;
};

}  // namespace quorvel::engine
